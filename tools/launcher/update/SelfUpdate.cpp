#include "update/SelfUpdate.h"

#include "LauncherPath.h"
#include "NamedObjects.h"
#include "PlayerTexts.h"
#include "ProgramStart.h"
#include "Settings.h"
#include "SingleInstance.h"
#include "Win32Handles.h"
#include "common/PathRules.h"
#include "update/DebugLog.h"
#include "update/DiskSpace.h"
#include "update/FileFetch.h"
#include "update/LocalFiles.h"
#include "update/RolloutShare.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

#include <atomic>
#include <mutex>
#include <string>

namespace {

// ---- log lines (the operator reads them; their wording is fixed) ----

constexpr char kLogNoEntry[] = "[Launcher][self-update] manifest 沒有 LAUNCHER_SELF entry, 不做 self-update\n";
constexpr char kLogNoOwnPath[] = "[Launcher][self-update] GetLauncherExePath() 失敗\n";
constexpr char kLogRunningExe[] = "[Launcher][self-update] running exe = %s\n";
constexpr char kLogOwnDigestFailed[] =
    "[Launcher][self-update] 本機 SHA 計算失敗, 跳過 self-update (防 loop). 下次啟動再試.\n";
constexpr char kLogUpToDate[] = "[Launcher][self-update] SHA 一致, 已是最新版\n";
constexpr char kLogAntiLoop[] =
    "[Launcher][self-update] anti-loop bail. manifest=%s..., registry-last-installed=%s..., local=%s...; "
    "已安裝過此版本, 不再重下\n";
constexpr char kLogTriggered[] = "[Launcher][self-update] SHA 不一致, 觸發更新. local=%s..., manifest=%s...\n";
constexpr char kLogDownloading[] = "[Launcher][self-update] downloading from %s%s (expected size=%llu)\n";
constexpr char kLogDownloadFailed[] =
    "[Launcher][self-update] FetchVerifiedFile 回 DownloadFailed. 常見原因: 1) URL 上沒這支 exe (server 沒上傳) → 404, "
    "2) HTTPS 握手失敗, 3) Disk 寫不下 .new 檔. 詳細 status code 在 [Launcher][http] 的 log.\n";
constexpr char kLogVerifyFailed[] =
    "[Launcher][self-update] 校驗失敗. downloaded=%s..., manifest=%s.... 操作員的 manifest LAUNCHER_SELF SHA "
    "跟伺服器上的 Launcher.exe 對不上, 重新算 SHA 寫進 manifest.\n";
constexpr char kLogHandOver[] =
    "[Launcher][self-update] hand-over: 已啟動 %s, 它等 pid %lu 結束後替換 .exe 並重啟\n";
constexpr char kLogStep2Failed[] =
    "[Launcher][self-update] step 2 rename (.new → .exe) 失敗, GetLastError=%lu. 已回滾 .old → .exe, 玩家用回舊版.\n";
constexpr char kLogStartFailed[] = "[Launcher][self-update] 無法啟動 %s (%s), GetLastError=%lu\n";
constexpr char kLogNothingVerified[] = "[Launcher][self-update] hand-over 取消: 本次沒有校驗過的新版 launcher\n";


constexpr std::size_t kNewSuffixChars = std::char_traits<wchar_t>::length(kNewLauncherSuffix);
// How long the new executable waits for the launcher that started it to let go of the installation and end.
constexpr DWORD kHandOverWaitMs = 10000;
// How long a hand-over asked to by a second start looks for the restarted launcher's window.
constexpr DWORD kHandOffWaitMs = 10000;
// Tries of a file step that another process may hold up for a moment.
struct Retries {
    int tries;
    DWORD pauseMs;
};
// A scanner that holds Launcher.exe open usually lets go within a few seconds.
constexpr Retries kReplace{80, 100};
// The new executable's process may still be ending when the launcher it restarted removes the file.
constexpr Retries kRemoveNew{50, 100};

// Set when this process was started again by a hand-over that could not replace it; taken by its run.
std::atomic<bool> rolledBackStart{false};

// The digest of the new executable this process verified, for the hand-over that starts it.
std::mutex verifiedLock;  // guards the one below
std::string verifiedNewDigest;

// The running executable and the new one beside it that the hand-over starts.
struct ExecutablePaths {
    std::wstring own;
    std::wstring fresh;  // own + ".new": receives the download
};

// The new file and what an interrupted download of it left; neither is ever used again.
void RemoveNewFile(const ExecutablePaths& paths) {
    local_files::DeleteOrGone(paths.fresh);
    local_files::DeleteOrGone(paths.fresh + L".part");
}

// Whether the manifest's launcher must be downloaded; logs why not. An up-to-date launcher refreshes
// LastSelfUpdateSha; one that was installed before and still differs is not fetched again (anti-loop).
bool SelfUpdateDue(const LauncherSelfEntry& self, ExecutablePaths* paths) {
    paths->own = GetLauncherExePath();
    paths->fresh = paths->own + kNewLauncherSuffix;
    // A download that was cut off or failed its check before is never resumed: start clean either way.
    if (!paths->own.empty()) RemoveNewFile(*paths);
    if (self.sha256.empty() || self.size == 0) {
        LogLine(kLogNoEntry);
        return false;
    }
    if (paths->own.empty()) {
        LogLine(kLogNoOwnPath);
        return false;
    }
    LogLine(kLogRunningExe, ToAnsiForLog(paths->own.c_str(), kLogNameBytes).c_str());

    const std::string local = FileSha256Hex(paths->own);
    if (local.empty()) {
        LogLine(kLogOwnDigestFailed);
        return false;
    }
    if (local == self.sha256) {
        LogLine(kLogUpToDate);
        WriteLastSelfUpdateSha(local);
        return false;
    }
    const std::string installed = ReadLastSelfUpdateSha();
    if (!installed.empty() && installed == self.sha256) {
        LogLine(kLogAntiLoop, DigestPrefix(self.sha256).c_str(), DigestPrefix(installed).c_str(),
                 DigestPrefix(local).c_str());
        return false;
    }
    // Outside a staged rollout the game's update goes on as usual with this launcher; the anti-loop record
    // stays as it is.
    if (!InRolloutShare(self.sha256, self.share)) return false;
    LogLine(kLogTriggered, DigestPrefix(local).c_str(), DigestPrefix(self.sha256).c_str());
    return true;
}

// Downloads the new executable beside the running one, from the first host that delivers it, and checks
// its digest; on failure nothing of it is left on disk.
bool DownloadNewExecutable(HWND window, const LauncherSelfEntry& self, const ExecutablePaths& paths,
                           const std::vector<std::wstring>& hosts) {
    if (!EnoughDiskSpace(window, LauncherDirFromPath(paths.own), self.size)) return false;
    FetchTarget target;
    target.relativeUrl =
        path_rules::ServedPath(std::wstring_view(path_rules::FromAscii<wchar_t>(path_rules::kLauncherExeName)));
    target.targetPath = paths.fresh;
    target.size = self.size;
    target.sha256 = self.sha256;
    target.name = path_rules::FromAscii<wchar_t>(path_rules::kLauncherExeName);
    TransferReporter reporter(window, player_texts::kSelfUpdateLabel);
    LogLine(kLogDownloading, ToAnsiForLog(hosts.empty() ? L"" : hosts.front().c_str(), kLogNameBytes).c_str(),
             ToAnsiForLog(target.relativeUrl.c_str(), kLogNameBytes).c_str(), static_cast<unsigned long long>(self.size));
    const FetchResult fetched = FetchVerifiedFile(hosts, target, FetchListener{window, &reporter});
    if (fetched.outcome == FetchOutcome::DownloadFailed) {
        RemoveNewFile(paths);
        LogLine(kLogDownloadFailed);
        PostStatusText(window, player_texts::kSelfDownloadFailed);
        return false;
    }
    // The executable that will run as administrator is checked once more as it lies on the disk.
    const std::string onDisk = fetched.outcome == FetchOutcome::Verified ? FileSha256Hex(paths.fresh) : fetched.lastDigest;
    if (onDisk != self.sha256) {
        LogLine(kLogVerifyFailed, DigestPrefix(onDisk).c_str(), DigestPrefix(self.sha256).c_str());
        PostStatusText(window, player_texts::kSelfVerifyFailed);
        RemoveNewFile(paths);
        return false;
    }
    local_files::DeleteOrGone(paths.fresh + L":Zone.Identifier");
    return true;
}

// After a failed hand-over: the new executable's process ends just after it started this launcher.
void RemoveNewFileWhenReleased(const ExecutablePaths& paths) {
    for (int i = 0; i < kRemoveNew.tries && !local_files::DeleteOrGone(paths.fresh); ++i) Sleep(kRemoveNew.pauseMs);
    local_files::DeleteOrGone(paths.fresh + L".part");
}

// One rename, atomic on NTFS: at every instant `target` holds either the old launcher or the new one.
// Retried while a scanner holds the target open; the last error code, or 0 once it was replaced.
DWORD ReplaceWithOwnFile(const std::wstring& own, const std::wstring& target) {
    DWORD error = 0;
    for (int i = 0; i < kReplace.tries; ++i) {
        if (i > 0) Sleep(kReplace.pauseMs);
        if (local_files::MoveReplacing(own, target)) return 0;
        error = GetLastError();
    }
    return error;
}

// An executable of the launcher's directory, with the directory (without its backslash) as working directory.
ProgramStart ExecutableStart(const std::wstring& path, const std::vector<std::wstring>& arguments,
                             const std::string& sha256) {
    std::wstring directory = LauncherDirFromPath(path);
    if (!directory.empty()) directory.pop_back();
    return ProgramStart{path, arguments, directory, sha256};
}

const char* StartOutcomeName(StartOutcome outcome) {
    switch (outcome) {
        case StartOutcome::Started: return "started";
        case StartOutcome::CannotOpen: return "cannot be opened";
        case StartOutcome::WrongDigest: return "its digest changed";
        case StartOutcome::CannotStart: return "CreateProcessW failed";
    }
    return "?";
}

bool Started(const std::wstring& path, const StartedProgram& started) {
    if (started.outcome == StartOutcome::Started) return true;
    LogLine(kLogStartFailed, ToAnsiForLog(path.c_str(), kLogNameBytes).c_str(), StartOutcomeName(started.outcome),
            started.error);
    return false;
}

bool EndsWithNewSuffix(const std::wstring& path) {
    return path.size() > kNewSuffixChars &&
           CompareStringOrdinal(path.c_str() + path.size() - kNewSuffixChars, static_cast<int>(kNewSuffixChars),
                                kNewLauncherSuffix, static_cast<int>(kNewSuffixChars), TRUE) == CSTR_EQUAL;
}

}  // namespace

void NoteRolledBackStart() {
    rolledBackStart.store(true);
}

bool RunSelfUpdate(HWND window, const Manifest& manifest, const std::vector<std::wstring>& hosts) {
    const LauncherSelfEntry& self = manifest.launcherSelf;
    if (rolledBackStart.exchange(false)) {
        // The hand-over that started this launcher could not replace it: say so once, tidy up, and try
        // again only at the next start, not in a loop of restarts.
        ExecutablePaths paths;
        paths.own = GetLauncherExePath();
        paths.fresh = paths.own + kNewLauncherSuffix;
        if (!paths.own.empty()) RemoveNewFileWhenReleased(paths);
        PostStatusText(window, player_texts::kSelfRolledBack);
        return false;
    }
    ExecutablePaths paths;
    if (!SelfUpdateDue(self, &paths)) return false;

    PostStatusText(window, player_texts::kSelfUpdating);
    PostProgress(window, 0);
    if (!DownloadNewExecutable(window, self, paths, hosts)) return false;
    {
        std::lock_guard<std::mutex> hold(verifiedLock);
        verifiedNewDigest = self.sha256;
    }

    // The new executable replaces this one once this process has ended (StartHandOver, CompleteHandOver);
    // LastSelfUpdateSha is written there, after the replace.
    PostProgress(window, 100);
    PostStatusText(window, player_texts::kSelfRestarting);
    PostRestart(window);
    return true;
}

bool StartHandOver() {
    const std::wstring own = GetLauncherExePath();
    if (own.empty()) return false;
    std::string digest;
    {
        std::lock_guard<std::mutex> hold(verifiedLock);
        digest = verifiedNewDigest;
    }
    if (digest.empty()) {
        LogLine(kLogNothingVerified);
        return false;
    }
    const std::wstring fresh = own + kNewLauncherSuffix;
    const DWORD self = GetCurrentProcessId();
    // The hand-over's event exists from now until the new executable is done: a start while this process
    // lets go of the installation, before the new one takes it, sees it and hands off. Closed by the exit.
    const std::wstring launcherDir = LauncherDirFromPath(own);
    bool taken = false;
    static ScopedHandle handOver;
    handOver = CreateAdminEvent(HandOverEventName(launcherDir), &taken);
    ScopedHandle ready = CreateAdminEvent(HandOverReadyEventName(launcherDir), &taken);
    if (!Started(fresh, StartProgram(ExecutableStart(fresh, {kHandOverArgument, std::to_wstring(self)}, digest)))) {
        handOver.Reset();
        return false;
    }
    LogLine(kLogHandOver, ToAnsiForLog(fresh.c_str(), kLogNameBytes).c_str(), static_cast<unsigned long>(self));
    // Ended only once the new executable holds the hand-over's event itself: ended before, this process
    // would take the event with it, and a start in that moment would find nobody in charge.
    if (ready.Valid()) WaitForSingleObject(ready.Get(), kHandOverWaitMs);
    return true;
}

bool CompleteHandOver(DWORD oldProcessId) {
    const std::wstring own = GetLauncherExePath();
    if (!EndsWithNewSuffix(own)) return false;
    const std::wstring target = own.substr(0, own.size() - kNewSuffixChars);

    const std::wstring launcherDir = LauncherDirFromPath(target);
    // Exists while this process runs; a second start sets it rather than wait for a window (ShowRunningLauncher).
    bool taken = false;
    ScopedHandle showRequest = CreateAdminEvent(HandOverEventName(launcherDir), &taken);
    // Taken while both images are mapped, so that neither file can be written: each is started later only
    // with the bytes it has now.
    const std::string ownDigest = FileSha256Hex(own);
    const std::string oldDigest = FileSha256Hex(target);
    {
        ScopedHandle ready = OpenAdminEvent(HandOverReadyEventName(launcherDir), EVENT_MODIFY_STATE);
        if (ready.Valid()) SetEvent(ready.Get());  // the old launcher may end now
    }
    // Opened first, so that the id cannot name another process by the time it is waited for.
    ScopedHandle old(OpenProcess(SYNCHRONIZE, FALSE, oldProcessId));
    // Waiting on the mutex makes this process its next owner the moment the old launcher lets go, before
    // a second start could take it; a start in between hands off to the window of the restarted launcher.
    InstallationClaim claim;
    if (!claim.Claim(launcherDir, kHandOverWaitMs)) return true;  // another launcher runs
    if (old.Valid()) WaitForSingleObject(old.Get(), kHandOverWaitMs);

    const DWORD error = ReplaceWithOwnFile(own, target);
    if (error == 0) {
        WriteLastSelfUpdateSha(ownDigest);
    } else {
        LogLine(kLogStep2Failed, error);
    }
    const RestartKind kind = error == 0 ? RestartKind::Restarted : RestartKind::RolledBack;
    ScopedHandle restartClaimed = CreateAdminEvent(RestartClaimedEventName(launcherDir), &taken);
    ScopedHandle signal;
    const StartedProgram started =
        StartProgram(ExecutableStart(target, {}, error == 0 ? ownDigest : oldDigest), [&](DWORD processId) {
            // It waits for this process's claim instead of handing off to it. Without the signal it is an
            // ordinary start, and nothing of the hand-over may be left for it to hand off to.
            if (!SignalRestart(launcherDir, processId, kind, &signal)) {
                claim.Release();
                showRequest.Reset();
                restartClaimed.Reset();
            }
            return true;
        });
    const bool restarting = Started(target, started);
    claim.Release();
    // This process's event stays until the restarted launcher holds the installation: a start in between
    // must hand off, not run an update beside it.
    if (restarting && restartClaimed.Valid()) WaitForSingleObject(restartClaimed.Get(), kHandOverWaitMs);
    const bool asked = showRequest.Valid() && WaitForSingleObject(showRequest.Get(), 0) == WAIT_OBJECT_0;
    showRequest.Reset();  // gone, so that the search below looks for the window and not for the event
    if (asked) ShowRunningLauncher(launcherDir, kHandOffWaitMs);
    return true;
}
