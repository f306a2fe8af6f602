#pragma once
// Which game-file paths can be published: what the launcher accepts and what a Windows file system can hold.
// Paths here are UTF-8, relative to the game directory, with '/' between segments.

#include <string>
#include <string_view>

// True when the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Why the path cannot be published (the launcher would refuse it, or Windows cannot hold one of its
// names); empty when it can.
std::string PathProblem(std::string_view path);

// Why a VERSION/STATUS/NEWS value cannot go into the manifest (line breaks, '|', control characters,
// trailing blanks the reader would trim, invalid UTF-8); empty when it can.
std::string HeaderValueProblem(std::string_view value);
