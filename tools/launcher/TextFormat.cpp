#include "TextFormat.h"

#include <cwchar>
#include <vector>

std::wstring FormatWideCutV(std::size_t chars, const wchar_t* format, va_list args) {
    // vswprintf fails outright on a text that does not fit, so grow until it fits, then cut.
    std::vector<wchar_t> buffer(chars, L'\0');
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0) break;
        if (buffer.size() >= (1u << 24)) {
            buffer.assign(1, L'\0');
            break;
        }
        buffer.assign(buffer.size() * 4, L'\0');
    }
    std::wstring text(buffer.data());
    if (text.size() > chars - 1) text.resize(chars - 1);
    return text;
}

std::wstring FormatWideCut(std::size_t chars, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = FormatWideCutV(chars, format, args);
    va_end(args);
    return text;
}
