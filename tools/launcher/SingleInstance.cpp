#include "SingleInstance.h"

#include "InstallationKey.h"
#include "ui/MainWindow.h"

#include <cwchar>

namespace {

constexpr wchar_t kMutexPrefix[] = L"Local\\KorvaneLauncher-";
constexpr wchar_t kHandOverSuffix[] = L"-hand-over";
constexpr wchar_t kRestartedSuffix[] = L"-restarted";
constexpr wchar_t kHandOverReadySuffix[] = L"-hand-over-ready";
constexpr DWORD kWindowPollMs = 50;

// ---- the running launcher's window ----

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
    if (ProcessInstallationKey(processId) != search->key) return TRUE;
    search->found = hwnd;
    return FALSE;
}

}  // namespace

std::wstring InstanceMutexName(const std::wstring& launcherDir) {
    return kMutexPrefix + InstallationDigest(launcherDir);
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

std::wstring HandOverReadyEventName(const std::wstring& launcherDir) {
    return InstanceMutexName(launcherDir) + kHandOverReadySuffix;
}

std::wstring RestartClaimedEventName(const std::wstring& launcherDir) {
    return InstanceMutexName(launcherDir) + kRestartedSuffix;
}

void AnnounceRestartClaimed(const std::wstring& launcherDir) {
    ScopedHandle claimed(OpenEventW(EVENT_MODIFY_STATE, FALSE, RestartClaimedEventName(launcherDir).c_str()));
    if (claimed.Valid()) SetEvent(claimed.Get());
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
