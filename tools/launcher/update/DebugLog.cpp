#include "update/DebugLog.h"

#include "update/LogFile.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>

void LogLine(const char* format, ...) {
    char line[kLogLineBytes] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof(line), format, args);  // cuts and always terminates
    va_end(args);
    OutputDebugStringA(line);
    AppendToLog(line);
}

void LogLineW(const wchar_t* format, ...) {
    wchar_t line[kLogLineBytes] = {};
    va_list args;
    va_start(args, format);
    std::vswprintf(line, kLogLineBytes, format, args);
    va_end(args);
    line[kLogLineBytes - 1] = L'\0';
    OutputDebugStringW(line);
    AppendToLog(line);
}

std::string ToAnsiForLog(const wchar_t* text, std::size_t maxBytes) {
    if (!text) return "(null)";
    std::string out;
    // Convert character by character so that a cut never leaves half of a double-byte character.
    for (const wchar_t* p = text; *p; ++p) {
        int units = (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ? 2 : 1;
        char bytes[8] = {};
        int n = WideCharToMultiByte(CP_ACP, 0, p, units, bytes, sizeof(bytes), nullptr, nullptr);
        if (n <= 0) n = 0;
        if (out.size() + static_cast<std::size_t>(n) > maxBytes) break;
        out.append(bytes, static_cast<std::size_t>(n));
        p += units - 1;
    }
    return out;
}

std::string DigestPrefix(const std::string& digest) {
    return digest.substr(0, 16);
}
