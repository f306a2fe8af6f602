#include "DirectoryProcesses.h"

#include <tlhelp32.h>

namespace reliability {

namespace {

constexpr int kKillAttempts = 20;
constexpr DWORD kExitWaitMs = 10000;

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

std::wstring ImagePath(DWORD id) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (!process) return std::wstring();
    std::wstring image(32768, L'\0');
    DWORD size = static_cast<DWORD>(image.size());
    if (!QueryFullProcessImageNameW(process, 0, &image[0], &size)) size = 0;
    CloseHandle(process);
    image.resize(size);
    return image;
}

bool SameDirectory(const std::wstring& image, const std::wstring& directory) {
    const std::size_t slash = image.find_last_of(L"\\/");
    if (slash == std::wstring::npos) return false;
    const std::wstring imageDir = image.substr(0, slash);
    return CompareStringOrdinal(imageDir.c_str(), static_cast<int>(imageDir.size()), directory.c_str(),
                                static_cast<int>(directory.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<DirectoryProcess> FindDirectoryProcesses(const std::wstring& directory, const std::set<DWORD>& parents) {
    std::vector<DirectoryProcess> found;
    const std::wstring dir = WithoutTrailingSeparators(directory);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return found;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        DirectoryProcess process{entry.th32ProcessID, entry.th32ParentProcessID, ImagePath(entry.th32ProcessID)};
        const bool ours =
            process.image.empty() ? parents.count(process.parentId) > 0 : SameDirectory(process.image, dir);
        if (ours) found.push_back(process);
    }
    CloseHandle(snapshot);
    return found;
}

bool TerminateDirectoryProcesses(const std::wstring& directory, std::set<DWORD>& known) {
    for (int attempt = 0; attempt < kKillAttempts; ++attempt) {
        const std::vector<DirectoryProcess> found = FindDirectoryProcesses(directory, known);
        if (found.empty()) return true;
        for (const DirectoryProcess& process : found) {
            known.insert(process.id);
            HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.id);
            if (!handle) continue;  // ended between the snapshot and now
            TerminateProcess(handle, 1);
            WaitForSingleObject(handle, kExitWaitMs);
            CloseHandle(handle);
        }
    }
    return FindDirectoryProcesses(directory, known).empty();
}

}  // namespace reliability
