#include "InstallationKey.h"

#include "LauncherPath.h"
#include "LongPath.h"
#include "Win32Handles.h"
#include "common/PathRules.h"

#include <cstdint>
#include <cwchar>
#include <string_view>
#include <vector>

namespace {

// The longest path Windows knows, in UTF-16 units; no buffer grows beyond it.
constexpr DWORD kLongestPath = 32768;
constexpr DWORD kFirstGuess = MAX_PATH;
constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongSharePrefix[] = L"\\\\?\\UNC\\";

// ---- paths through growing buffers ----

std::wstring FullPath(const std::wstring& path) {
    std::vector<wchar_t> full(kFirstGuess, L'\0');
    for (;;) {
        const DWORD got = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (got == 0 || got > kLongestPath) return path;
        if (got < full.size()) return std::wstring(full.data(), got);
        full.assign(got, L'\0');  // `got` counts the terminating zero here
    }
}

// The path without the "\\?\" or "\\?\UNC\" the file API needed.
std::wstring WithoutLongPrefix(const std::wstring& path) {
    if (path.compare(0, std::wcslen(kLongSharePrefix), kLongSharePrefix) == 0)
        return L"\\\\" + path.substr(std::wcslen(kLongSharePrefix));
    if (path.compare(0, std::wcslen(kLongPrefix), kLongPrefix) == 0) return path.substr(std::wcslen(kLongPrefix));
    return path;
}

// Expands 8.3 names of a full path; a path that does not exist keeps its spelling.
std::wstring LongNames(const std::wstring& fullPath) {
    const std::wstring asked = ForFileApi(fullPath);
    std::vector<wchar_t> longer(kFirstGuess, L'\0');
    for (;;) {
        const DWORD got = GetLongPathNameW(asked.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
        if (got == 0 || got > kLongestPath) return fullPath;
        if (got < longer.size()) return WithoutLongPrefix(std::wstring(longer.data(), got));
        longer.assign(got, L'\0');
    }
}

std::wstring ProcessImagePath(HANDLE process) {
    for (DWORD capacity = kFirstGuess; capacity <= kLongestPath; capacity *= 2) {
        std::vector<wchar_t> image(capacity, L'\0');
        DWORD size = capacity;
        if (QueryFullProcessImageNameW(process, 0, image.data(), &size)) return std::wstring(image.data(), size);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return std::wstring();
    }
    return std::wstring();
}

std::uint64_t Fnv1a64(const std::wstring& text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (wchar_t c : text) {
        const unsigned unit = static_cast<unsigned>(c) & 0xFFFF;
        for (unsigned byte : {unit & 0xFF, unit >> 8}) {
            hash ^= byte;
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

}  // namespace

std::wstring InstallationKey(const std::wstring& directory) {
    std::wstring path = LongNames(FullPath(directory));
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    path.push_back(L'\\');
    return path_rules::FileKey(std::wstring_view(path));
}

std::wstring InstallationDigest(const std::wstring& directory) {
    wchar_t hex[17] = {};
    std::swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(Fnv1a64(InstallationKey(directory))));
    return hex;
}

std::wstring ProcessInstallationKey(DWORD processId) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.Valid()) return std::wstring();
    const std::wstring directory = LauncherDirFromPath(ProcessImagePath(process.Get()));
    return directory.empty() ? std::wstring() : InstallationKey(directory);
}
