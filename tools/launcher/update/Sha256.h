#pragma once
// SHA-256 of a local file through CNG.

#include <string>

// 64 lower-case hex digits, or an empty string when the file cannot be opened or read (logged).
std::string FileSha256Hex(const std::wstring& path);
