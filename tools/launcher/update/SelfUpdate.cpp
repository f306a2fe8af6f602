#include "update/SelfUpdate.h"

#include "LauncherPath.h"
#include "Settings.h"
#include "common/PathRules.h"
#include "update/DebugLog.h"
#include "update/DiskSpace.h"
#include "update/FileFetch.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

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
    "[Launcher][self-update] HttpDownloadToFile 回 false. 常見原因: 1) URL 上沒這支 exe (server 沒上傳) → 404, "
    "2) HTTPS 握手失敗, 3) Disk 寫不下 .new 檔. 詳細 status code 在 HttpDownloadToFile 的 log.\n";
constexpr char kLogVerifyFailed[] =
    "[Launcher][self-update] 校驗失敗. downloaded=%s..., manifest=%s.... 操作員的 manifest LAUNCHER_SELF SHA "
    "跟伺服器上的 Launcher.exe 對不上, 重新算 SHA 寫進 manifest.\n";
constexpr char kLogStep1Failed[] =
    "[Launcher][self-update] step 1 rename (.exe → .old) 失敗, GetLastError=%lu. .new 保留, 下次再試.\n";
constexpr char kLogStep2Failed[] =
    "[Launcher][self-update] step 2 rename (.new → .exe) 失敗, GetLastError=%lu. 已回滾 .old → .exe, 玩家用回舊版.\n";

constexpr std::size_t kNoEntryLine = 160;
constexpr std::size_t kNoPathLine = 200;
constexpr std::size_t kPathLine = 512;
constexpr std::size_t kDigestLine = 400;
constexpr std::size_t kUrlLine = 768;
constexpr std::size_t kLogPathBytes = 259;
constexpr std::size_t kLogUrlBytes = 255;

// The running executable and the two names beside it that the swap uses.
struct ExecutablePaths {
    std::wstring own;
    std::wstring fresh;  // own + ".new": receives the download
    std::wstring old;    // own + ".old": receives the running executable during the swap
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
    paths->fresh = paths->own + L".new";
    paths->old = paths->own + L".old";
    // A download that was cut off or failed its check before is never resumed: start clean either way.
    if (!paths->own.empty()) RemoveNewFile(*paths);
    if (self.sha256.empty() || self.size == 0) {
        LogLineA(kNoEntryLine, kLogNoEntry);
        return false;
    }
    if (paths->own.empty()) {
        LogLineA(kNoPathLine, kLogNoOwnPath);
        return false;
    }
    LogLineA(kPathLine, kLogRunningExe, ToAnsiForLog(paths->own.c_str(), kLogPathBytes).c_str());

    const std::string local = FileSha256Hex(paths->own);
    if (local.empty()) {
        LogLineA(kPathLine, kLogOwnDigestFailed);
        return false;
    }
    if (local == self.sha256) {
        LogLineA(kPathLine, kLogUpToDate);
        WriteLastSelfUpdateSha(local);
        return false;
    }
    const std::string installed = ReadLastSelfUpdateSha();
    if (!installed.empty() && installed == self.sha256) {
        LogLineA(kDigestLine, kLogAntiLoop, DigestPrefix(self.sha256).c_str(), DigestPrefix(installed).c_str(),
                 DigestPrefix(local).c_str());
        return false;
    }
    LogLineA(kDigestLine, kLogTriggered, DigestPrefix(local).c_str(), DigestPrefix(self.sha256).c_str());
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
    TransferReporter reporter(window, L"啟動器更新中");
    LogLineA(kUrlLine, kLogDownloading, ToAnsiForLog(hosts.empty() ? L"" : hosts.front().c_str(), kLogUrlBytes).c_str(),
             ToAnsiForLog(target.relativeUrl.c_str(), kLogUrlBytes).c_str(), static_cast<unsigned long long>(self.size));
    const FetchResult fetched = FetchVerifiedFile(hosts, target, FetchListener{window, &reporter});
    if (fetched.outcome == FetchOutcome::DownloadFailed) {
        RemoveNewFile(paths);
        LogLineA(kUrlLine, kLogDownloadFailed);
        PostStatusText(window, L"啟動器下載失敗, 跳過 self-update");
        return false;
    }
    // The executable that will run as administrator is checked once more as it lies on the disk.
    const std::string onDisk = fetched.outcome == FetchOutcome::Verified ? FileSha256Hex(paths.fresh) : fetched.lastDigest;
    if (onDisk != self.sha256) {
        LogLineA(kDigestLine, kLogVerifyFailed, DigestPrefix(onDisk).c_str(), DigestPrefix(self.sha256).c_str());
        PostStatusText(window, L"啟動器更新校驗失敗, 跳過");
        RemoveNewFile(paths);
        return false;
    }
    local_files::DeleteOrGone(paths.fresh + L":Zone.Identifier");
    return true;
}

// Moves the running executable aside and the new one into its place; a failed second move puts the old
// one back, so the own path always holds a launcher.
bool SwapExecutables(HWND window, const ExecutablePaths& paths) {
    if (!local_files::MoveReplacing(paths.own, paths.old)) {
        LogLineA(kDigestLine, kLogStep1Failed, GetLastError());
        PostStatusText(window, L"啟動器無法替換, 繼續使用舊版");
        return false;  // the new file stays; the next attempt deletes it before downloading again
    }
    if (!local_files::MoveReplacing(paths.fresh, paths.own)) {
        const DWORD error = GetLastError();  // before the rollback overwrites it
        local_files::MoveReplacing(paths.old, paths.own);
        local_files::DeleteOrGone(paths.fresh);
        LogLineA(kDigestLine, kLogStep2Failed, error);
        PostStatusText(window, L"啟動器替換失敗, 已回滾");
        return false;
    }
    return true;
}

}  // namespace

bool RunSelfUpdate(HWND window, const Manifest& manifest, const std::vector<std::wstring>& hosts) {
    const LauncherSelfEntry& self = manifest.launcherSelf;
    ExecutablePaths paths;
    if (!SelfUpdateDue(self, &paths)) return false;

    PostStatusText(window, L"啟動器更新中...");
    PostProgress(window, 0);
    if (!DownloadNewExecutable(window, self, paths, hosts)) return false;
    if (!SwapExecutables(window, paths)) return false;

    // Only after both moves: a failed or rolled-back attempt must be tried again at the next start.
    WriteLastSelfUpdateSha(self.sha256);
    PostProgress(window, 100);
    PostStatusText(window, L"啟動器已更新, 重啟中...");
    PostRestart(window);
    return true;
}
