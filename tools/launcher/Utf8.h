#pragma once
// UTF-8 to and from the wide text Windows takes: manifest bodies, request paths, the check cache's names.

#include <string>
#include <string_view>

// Empty for empty text or text Windows cannot convert.
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view bytes);
