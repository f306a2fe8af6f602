#include "SingleInstance.h"

#include "InstallationKey.h"
#include "LauncherPath.h"
#include "NamedObjects.h"
#include "WindowClasses.h"
#include "common/PathRules.h"
#include "update/DebugLog.h"
#include "update/LocalFiles.h"

#include <tlhelp32.h>

#include <cwchar>

namespace {

constexpr wchar_t kMutexPrefix[] = L"Local\\KorvaneLauncher-";
constexpr wchar_t kHandOverSuffix[] = L"-hand-over";
constexpr wchar_t kRestartedSuffix[] = L"-restarted";
constexpr wchar_t kHandOverReadySuffix[] = L"-hand-over-ready";
constexpr wchar_t kRestartSignalInfix[] = L"-restart-";
constexpr wchar_t kRollbackSignalInfix[] = L"-rollback-";
constexpr DWORD kWindowPollMs = 50;
constexpr DWORD kLockPollMs = 50;

constexpr char kLogNameTaken[] =
    "[Launcher][updater] %s is held by a program that is not a launcher: one run at a time is kept by %s instead\n";
constexpr char kLogLockTaken[] =
    "[Launcher][updater] %s is held, but no launcher of this folder runs: this start goes on\n";

// ---- other launchers of the folder ----

bool EndsWithNoCase(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           path_rules::EqualsAsciiNoCase(std::wstring_view(text).substr(text.size() - tail.size()),
                                         std::wstring_view(tail));
}

// True when another process runs this launcher's executable, or its new one during a hand-over, from this
// folder.
bool OtherLauncherRuns(const std::wstring& launcherDir) {
    const std::wstring own = GetLauncherExePath();
    const std::wstring ownName = own.substr(own.find_last_of(L'\\') + 1);
    const std::wstring key = InstallationKey(launcherDir);
    const DWORD self = GetCurrentProcessId();
    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid() || ownName.empty()) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        const std::wstring name = entry.szExeFile;
        if (entry.th32ProcessID == self) continue;
        if (!EndsWithNoCase(name, ownName) && !EndsWithNoCase(name, ownName + kNewLauncherSuffix)) continue;
        if (ProcessInstallationKey(entry.th32ProcessID) == key) return true;
    }
    return false;
}

std::wstring RestartSignalName(const std::wstring& launcherDir, DWORD processId, RestartKind kind) {
    return InstanceMutexName(launcherDir) + (kind == RestartKind::RolledBack ? kRollbackSignalInfix : kRestartSignalInfix) +
           std::to_wstring(processId);
}

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
    const std::wstring name = InstanceMutexName(launcherDir);
    bool taken = false;
    mutex_ = CreateAdminMutex(name, &taken);
    if (!mutex_.Valid()) {
        if (!taken) return true;
        LogLine(kLogNameTaken, ToAnsiForLog(name.c_str(), kLogNameBytes).c_str(),
                ToAnsiForLog(kInstanceLockName, kLogNameBytes).c_str());
        return ClaimLockFile(launcherDir, waitMs);
    }
    const DWORD result = WaitForSingleObject(mutex_.Get(), waitMs);
    owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    return owned_;
}

bool InstallationClaim::ClaimLockFile(const std::wstring& launcherDir, DWORD waitMs) {
    const std::wstring path = launcherDir + kInstanceLockName;
    const DWORD start = GetTickCount();
    for (;;) {
        lockFile_ = local_files::HoldLockFile(path);
        if (lockFile_.Valid()) return true;
        // Held (or being deleted by the launcher that just let go); anything else cannot tell.
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return true;
        if (GetTickCount() - start >= waitMs) break;
        Sleep(kLockPollMs);
    }
    // A program may have opened the file before the folder was secured, and keep it open.
    if (OtherLauncherRuns(launcherDir)) return false;
    LogLine(kLogLockTaken, ToAnsiForLog(path.c_str(), kLogNameBytes).c_str());
    return true;
}

void InstallationClaim::Release() {
    // Ownership belongs to the thread: closing the handle alone would leave the mutex held until it ends.
    if (owned_) ReleaseMutex(mutex_.Get());
    owned_ = false;
    mutex_.Reset();
    lockFile_.Reset();  // the file goes with its handle
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
    ScopedHandle claimed = OpenAdminEvent(RestartClaimedEventName(launcherDir), EVENT_MODIFY_STATE);
    if (claimed.Valid()) SetEvent(claimed.Get());
}

bool HandOverInProgress(const std::wstring& launcherDir) {
    return OpenAdminEvent(HandOverEventName(launcherDir), SYNCHRONIZE).Valid();
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
        ScopedHandle request = OpenAdminEvent(handOver, EVENT_MODIFY_STATE);
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

bool SignalRestart(const std::wstring& launcherDir, DWORD processId, RestartKind kind, ScopedHandle* signal) {
    bool taken = false;
    *signal = CreateAdminEvent(RestartSignalName(launcherDir, processId, kind), &taken);
    return signal->Valid();
}

RestartKind ReadRestartSignal(const std::wstring& launcherDir) {
    const DWORD self = GetCurrentProcessId();
    for (RestartKind kind : {RestartKind::Restarted, RestartKind::RolledBack}) {
        if (OpenAdminEvent(RestartSignalName(launcherDir, self, kind), SYNCHRONIZE).Valid()) return kind;
    }
    return RestartKind::None;
}
