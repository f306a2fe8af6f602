#include "LauncherPath.h"

#include "LongPath.h"
#include "Win32Handles.h"

#include <windows.h>

#include <vector>

namespace {

constexpr DWORD kFirstPathChars = 260;
constexpr DWORD kMaxPathChars = 32768;  // the longest path Windows can give a module

// The path as the file system names the file: long names, no link on the way. The module's path may reach
// the game folder through a link (a game moved to another drive) or 8.3 names; every file the launcher
// writes below it is named from this form, so that a link found later below it stands out. The path as it
// was when the file cannot be opened.
std::wstring FinalPathOf(const std::wstring& path) {
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring final = file.Valid() ? FinalPathOfHandle(file.Get()) : std::wstring();
    return final.empty() ? path : final;
}

}  // namespace

std::wstring FinalPathOfHandle(HANDLE file) {
    // Grown until the name fits: Windows reports the size it needs, Wine a size that may not be enough.
    for (DWORD chars = kFirstPathChars; chars <= 2 * kMaxPathChars; chars *= 2) {
        std::vector<wchar_t> final(chars, L'\0');
        const DWORD got = GetFinalPathNameByHandleW(file, final.data(), chars, FILE_NAME_NORMALIZED);
        if (got == 0 && GetLastError() != ERROR_NOT_ENOUGH_MEMORY && GetLastError() != ERROR_INSUFFICIENT_BUFFER) break;
        if (got > 0 && got < chars) return WithoutLongPrefix(std::wstring(final.data(), got));
    }
    return std::wstring();
}

std::wstring WithoutLongPrefix(const std::wstring& path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\\\" + path.substr(8);
    if (path.compare(0, 4, L"\\\\?\\") == 0) return path.substr(4);
    return path;
}

std::wstring GetLauncherExePath() {
    // GetModuleFileNameW cuts a path that does not fit and reports the full buffer: grow until it fits.
    for (DWORD chars = kFirstPathChars; chars <= kMaxPathChars; chars *= 2) {
        std::vector<wchar_t> path(chars, L'\0');
        DWORD got = GetModuleFileNameW(nullptr, path.data(), chars);
        if (got == 0) return std::wstring();
        if (got < chars) return FinalPathOf(std::wstring(path.data(), got));
    }
    return std::wstring();
}

std::wstring LauncherDirFromPath(const std::wstring& modulePath) {
    std::size_t slash = modulePath.rfind(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    return modulePath.substr(0, slash + 1);
}
