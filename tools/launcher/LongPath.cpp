#include "LongPath.h"

#include <windows.h>

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
