#include "SingleInstance.h"

#include "LauncherPath.h"
#include "common/PathRules.h"
#include "ui/MainWindow.h"

#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

constexpr wchar_t kMutexPrefix[] = L"Local\\KorvaneLauncher-";
constexpr wchar_t kHandOverSuffix[] = L"-hand-over";
constexpr DWORD kLongestPath = 32768;
constexpr DWORD kWindowPollMs = 50;

// ---- the installation's key ----

std::wstring FullPath(const std::wstring& path) {
    std::vector<wchar_t> full(kLongestPath, L'\0');
    const DWORD got = GetFullPathNameW(path.c_str(), kLongestPath, full.data(), nullptr);
    if (got == 0 || got >= kLongestPath) return path;
    return std::wstring(full.data(), got);
}

// Expands 8.3 names; a path that does not exist keeps its spelling.
std::wstring LongPath(const std::wstring& path) {
    std::vector<wchar_t> longer(kLongestPath, L'\0');
    const DWORD got = GetLongPathNameW(path.c_str(), longer.data(), kLongestPath);
    if (got == 0 || got >= kLongestPath) return path;
    return std::wstring(longer.data(), got);
}

// One text per directory: full, long, one trailing separator, and folded like every file name here.
std::wstring InstallationKey(const std::wstring& launcherDir) {
    std::wstring path = LongPath(FullPath(launcherDir));
    while (!path.empty() && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    path.push_back(L'\\');
    return path_rules::FileKey(std::wstring_view(path));
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

// ---- the running launcher's window ----

std::wstring ProcessDirectory(DWORD processId) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.Valid()) return std::wstring();
    std::vector<wchar_t> image(kLongestPath, L'\0');
    DWORD size = kLongestPath;
    if (!QueryFullProcessImageNameW(process.Get(), 0, image.data(), &size)) return std::wstring();
    return LauncherDirFromPath(std::wstring(image.data(), size));
}

struct WindowSearch {
    std::wstring key;
    DWORD self;
    HWND found;
};

BOOL CALLBACK MatchLauncherWindow(HWND hwnd, LPARAM param) {
    WindowSearch* search = reinterpret_cast<WindowSearch*>(param);
    wchar_t className[64] = {};
    if (!GetClassNameW(hwnd, className, 64) || std::wcscmp(className, kMainWindowClass) != 0) return TRUE;
    // Hidden: not shown yet, or already gone behind the farewell splash.
    if (!IsWindowVisible(hwnd)) return TRUE;
    DWORD processId = 0;
    GetWindowThreadProcessId(hwnd, &processId);
    if (processId == search->self) return TRUE;
    const std::wstring directory = ProcessDirectory(processId);
    if (directory.empty() || InstallationKey(directory) != search->key) return TRUE;
    search->found = hwnd;
    return FALSE;
}

}  // namespace

std::wstring InstanceMutexName(const std::wstring& launcherDir) {
    wchar_t hex[17] = {};
    std::swprintf(hex, 17, L"%016llx", static_cast<unsigned long long>(Fnv1a64(InstallationKey(launcherDir))));
    return kMutexPrefix + std::wstring(hex);
}

bool InstallationClaim::Claim(const std::wstring& launcherDir, DWORD waitMs) {
    Release();
    mutex_ = CreateMutexW(nullptr, FALSE, InstanceMutexName(launcherDir).c_str());
    if (!mutex_.Valid()) return true;
    const DWORD result = WaitForSingleObject(mutex_.Get(), waitMs);
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return owned_;
}

void InstallationClaim::Release() {
    // Ownership belongs to the thread: closing the handle alone would leave the mutex held until it ends.
    if (owned_) ReleaseMutex(mutex_.Get());
    owned_ = false;
    mutex_.Reset();
}

std::wstring HandOverEventName(const std::wstring& launcherDir) {
    return InstanceMutexName(launcherDir) + kHandOverSuffix;
}

bool HandOverInProgress(const std::wstring& launcherDir) {
    return ScopedHandle(OpenEventW(SYNCHRONIZE, FALSE, HandOverEventName(launcherDir).c_str())).Valid();
}

bool ShowRunningLauncher(const std::wstring& launcherDir, DWORD waitMs) {
    WindowSearch search{InstallationKey(launcherDir), GetCurrentProcessId(), nullptr};
    const std::wstring handOver = HandOverEventName(launcherDir);
    const DWORD start = GetTickCount();
    for (;;) {
        EnumWindows(MatchLauncherWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        // While a self-update hands over, this process's own image would keep the launcher file from being
        // replaced: leave the front to the hand-over, which shows the restarted launcher, and end.
        ScopedHandle request(OpenEventW(EVENT_MODIFY_STATE, FALSE, handOver.c_str()));
        if (request.Valid()) {
            AllowSetForegroundWindow(ASFW_ANY);
            SetEvent(request.Get());
            return true;
        }
        if (GetTickCount() - start >= waitMs) return false;
        Sleep(kWindowPollMs);
    }
    if (IsIconic(search.found)) ShowWindow(search.found, SW_RESTORE);
    // This process was just started by the player, so Windows lets it hand the foreground on.
    SetForegroundWindow(search.found);
    return true;
}

void MarkNextStartAsRestart() {
    SetEnvironmentVariableW(kEnvRestartMark, L"1");
}

bool TakeRestartMark() {
    const bool marked = GetEnvironmentVariableW(kEnvRestartMark, nullptr, 0) != 0;
    SetEnvironmentVariableW(kEnvRestartMark, nullptr);
    return marked;
}
