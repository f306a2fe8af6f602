#pragma once
// Wide printf into a fixed number of characters, cut (never dropped) when the text is longer.

#include <cstdarg>
#include <string>

// At most chars - 1 characters of the formatted text.
std::wstring FormatWideCutV(std::size_t chars, const wchar_t* format, va_list args);
std::wstring FormatWideCut(std::size_t chars, const wchar_t* format, ...);
