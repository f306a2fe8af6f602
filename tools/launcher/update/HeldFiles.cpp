#include "update/HeldFiles.h"

#include "PlayerTexts.h"
#include "update/DebugLog.h"
#include "update/LocalFiles.h"

#include <restartmanager.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr DWORD kFirstPauseMs = 100;
constexpr DWORD kLongestPauseMs = 2000;

std::atomic<long> runWaitLeftMs{static_cast<long>(kHeldRunWaitMs)};
std::mutex heldLock;
std::map<std::wstring, std::wstring> heldTargets;  // target path -> holder's name; guarded by heldLock

bool InUse(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_ACCESS_DENIED;
}

// Takes up to `want` ms of the run's budget; what it got.
DWORD TakeFromRunBudget(DWORD want) {
    long left = runWaitLeftMs.load();
    for (;;) {
        const long take = std::min<long>(left, static_cast<long>(want));
        if (take <= 0) return 0;
        if (runWaitLeftMs.compare_exchange_weak(left, left - take)) return static_cast<DWORD>(take);
    }
}

using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The programs that hold `path` open, as the Restart Manager sees them; empty when it cannot tell. Loaded from
// System32 by full path when needed: the import table keeps to the Known DLLs.
std::vector<RM_PROCESS_INFO> Holders(const std::wstring& path) {
    std::vector<RM_PROCESS_INFO> found;
    HMODULE module = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) return found;
    const auto start = Entry<RmStartSessionFn>(module, "RmStartSession");
    const auto add = Entry<RmRegisterResourcesFn>(module, "RmRegisterResources");
    const auto list = Entry<RmGetListFn>(module, "RmGetList");
    const auto end = Entry<RmEndSessionFn>(module, "RmEndSession");
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (start && add && list && end && start(&session, 0, key) == ERROR_SUCCESS) {
        LPCWSTR files[] = {path.c_str()};
        UINT needed = 0;
        UINT count = 0;
        DWORD reasons = 0;
        DWORD status = add(session, 1, files, 0, nullptr, 0, nullptr);
        // The list may grow between the two calls: asked again while it does, a few times at most.
        for (int tries = 0; status == ERROR_SUCCESS && tries < 4; ++tries) {
            count = static_cast<UINT>(found.size());
            status = list(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
            if (status == ERROR_MORE_DATA) {
                found.resize(needed);
                status = ERROR_SUCCESS;
                continue;
            }
            found.resize(status == ERROR_SUCCESS ? std::min<UINT>(count, static_cast<UINT>(found.size())) : 0);
            break;
        }
        if (status != ERROR_SUCCESS) found.clear();
        end(session);
    }
    FreeLibrary(module);
    return found;
}

void RecordHeld(const std::wstring& target, const wchar_t* name, DWORD error) {
    const std::vector<RM_PROCESS_INFO> holders = Holders(target);
    std::wstring program = player_texts::kUnknownHolder;
    if (!holders.empty() && holders[0].strAppName[0]) program = holders[0].strAppName;
    for (const RM_PROCESS_INFO& holder : holders) {
        LogLine("[Launcher][updater] %s is held by %s (pid %lu): left as it was\n", ToAnsiForLog(name, kLogNameBytes).c_str(),
                ToAnsiForLog(holder.strAppName, kLogNameBytes).c_str(), holder.Process.dwProcessId);
    }
    if (holders.empty()) {
        LogLine("[Launcher][updater] %s is held by a program the Restart Manager cannot name (err=%lu): left as it was\n",
                ToAnsiForLog(name, kLogNameBytes).c_str(), error);
    }
    std::lock_guard<std::mutex> hold(heldLock);
    heldTargets[target] = program;
}

}  // namespace

void BeginHeldFilesRun() {
    runWaitLeftMs.store(static_cast<long>(kHeldRunWaitMs));
    std::lock_guard<std::mutex> hold(heldLock);
    heldTargets.clear();
}

bool PlaceWhenReleased(HANDLE file, const std::wstring& target, const wchar_t* name) {
    DWORD waited = 0;
    DWORD pause = kFirstPauseMs;
    for (;;) {
        if (local_files::MoveIntoPlace(file, target)) return true;
        const DWORD error = GetLastError();
        if (!InUse(error)) return false;
        const DWORD slept = waited < kHeldFileWaitMs ? TakeFromRunBudget(std::min(pause, kHeldFileWaitMs - waited)) : 0;
        if (slept == 0) {
            RecordHeld(target, name, error);
            SetLastError(error);
            return false;
        }
        if (waited == 0) {
            LogLine("[Launcher][updater] %s is in use (err=%lu): waiting for it\n", ToAnsiForLog(name, kLogNameBytes).c_str(),
                    error);
        }
        Sleep(slept);
        waited += slept;
        pause = std::min(pause * 2, kLongestPauseMs);
    }
}

bool HeldBy(const std::wstring& target, std::wstring* program) {
    std::lock_guard<std::mutex> hold(heldLock);
    const auto found = heldTargets.find(target);
    if (found == heldTargets.end()) return false;
    *program = found->second;
    return true;
}
