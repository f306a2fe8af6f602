#include "LauncherPath.h"

#include <windows.h>

#include <vector>

namespace {

constexpr DWORD kFirstPathChars = 260;
constexpr DWORD kMaxPathChars = 32768;  // the longest path Windows can give a module

}  // namespace

std::wstring GetLauncherExePath() {
    // GetModuleFileNameW cuts a path that does not fit and reports the full buffer: grow until it fits.
    for (DWORD chars = kFirstPathChars; chars <= kMaxPathChars; chars *= 2) {
        std::vector<wchar_t> path(chars, L'\0');
        DWORD got = GetModuleFileNameW(nullptr, path.data(), chars);
        if (got == 0) return std::wstring();
        if (got < chars) return std::wstring(path.data(), got);
    }
    return std::wstring();
}

std::wstring LauncherDirFromPath(const std::wstring& modulePath) {
    std::size_t slash = modulePath.rfind(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return modulePath.substr(0, slash + 1);
}
