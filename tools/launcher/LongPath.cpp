#include "LongPath.h"

#include <windows.h>
#include <shlobj.h>

namespace {

// Directories have 12 characters less than files (room for an 8.3 name).
constexpr std::size_t kShortPathLimit = MAX_PATH - 12;

bool IsDriveAbsolute(const std::wstring& path) {
    return path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
}

bool IsShare(const std::wstring& path) {
    return path.size() >= 3 && (path[0] == L'\\' || path[0] == L'/') && (path[1] == L'\\' || path[1] == L'/') &&
           path[2] != L'?' && path[2] != L'.';
}

std::wstring Backslashed(const std::wstring& path, std::size_t from) {
    std::wstring out;
    out.reserve(path.size());
    for (std::size_t i = from; i < path.size(); ++i) {
        const wchar_t c = path[i] == L'/' ? L'\\' : path[i];
        if (c == L'\\' && !out.empty() && out.back() == L'\\') continue;
        out.push_back(c);
    }
    return out;
}

}  // namespace

std::wstring ForFileApi(const std::wstring& path) {
    if (path.size() < kShortPathLimit) return path;
    if (IsDriveAbsolute(path)) return L"\\\\?\\" + Backslashed(path, 0);
    if (IsShare(path)) return L"\\\\?\\UNC\\" + Backslashed(path, 2);
    return path;
}

bool CreateDirectoryChain(const std::wstring& directory) {
    if (directory.size() < kShortPathLimit) {
        // The shell splits directory chains at backslashes only and takes no long form.
        std::wstring backslashed = directory;
        for (wchar_t& c : backslashed) {
            if (c == L'/') c = L'\\';
        }
        SHCreateDirectoryExW(nullptr, backslashed.c_str(), nullptr);
    } else {
        // Every level below the root, in the long form; levels that exist fail harmlessly.
        std::size_t start = 3;
        if (IsShare(directory)) {
            const std::size_t server = directory.find_first_of(L"\\/", 2);
            start = server == std::wstring::npos ? directory.size() : directory.find_first_of(L"\\/", server + 1);
        }
        for (std::size_t at = directory.find_first_of(L"\\/", start); ; at = directory.find_first_of(L"\\/", at + 1)) {
            const std::wstring level = at == std::wstring::npos ? directory : directory.substr(0, at);
            CreateDirectoryW(ForFileApi(level).c_str(), nullptr);
            if (at == std::wstring::npos) break;
        }
    }
    const DWORD attributes = GetFileAttributesW(ForFileApi(directory).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}
