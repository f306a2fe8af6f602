#pragma once
// Diagnostic lines for the debugger output: fixed-size byte buffers, cut when a line is longer.

#include <cstddef>
#include <string>

// Formats with printf rules into `capacity` bytes (terminator included), cuts a longer line, and
// writes it with OutputDebugStringA.
void LogLineA(std::size_t capacity, const char* format, ...);

// The wide text in the ANSI code page, cut to at most `maxBytes` bytes without splitting a character;
// "(null)" for a null text.
std::string ToAnsiForLog(const wchar_t* text, std::size_t maxBytes);

// The first 16 characters of a digest (fewer when it is shorter), for "%s..." in log lines.
std::string DigestPrefix(const std::string& digest);
