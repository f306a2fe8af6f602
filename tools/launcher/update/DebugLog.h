#pragma once
// Diagnostic lines for the debugger output and the log file: fixed-size buffers, cut when a line is longer.

#include <cstddef>
#include <string>

// The longest debug line, in bytes, terminator included; a longer line is cut.
constexpr std::size_t kLogLineBytes = 1024;
// The most bytes a name or path takes in a debug line (ToAnsiForLog).
constexpr std::size_t kLogNameBytes = 259;

// Formats with printf rules into kLogLineBytes, cuts a longer line, and writes it with OutputDebugStringA
// and to the log file (LogFile.h).
void LogLine(const char* format, ...);

// The same for a wide line (swprintf rules, kLogLineBytes characters), written with OutputDebugStringW.
void LogLineW(const wchar_t* format, ...);

// The wide text in the ANSI code page, cut to at most `maxBytes` bytes without splitting a character;
// "(null)" for a null text.
std::string ToAnsiForLog(const wchar_t* text, std::size_t maxBytes);

// The first 16 characters of a digest (fewer when it is shorter), for "%s..." in log lines.
std::string DigestPrefix(const std::string& digest);
