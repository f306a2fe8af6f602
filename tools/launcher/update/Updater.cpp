#include "update/Updater.h"

#include "GameClient.h"
#include "InstallationKey.h"
#include "LauncherPath.h"
#include "PlayerTexts.h"
#include "Settings.h"
#include "Threads.h"
#include "TextFormat.h"
#include "Win32Handles.h"
#include "common/PathRules.h"
#include "update/CheckCache.h"
#include "update/DebugLog.h"
#include "update/DiskSpace.h"
#include "update/DownloadWorkers.h"
#include "update/FileCheck.h"
#include "update/FolderSecurity.h"
#include "update/HeldFiles.h"
#include "update/LocalFiles.h"
#include "update/LocalMirror.h"
#include "update/Manifest.h"
#include "update/ManifestTrust.h"
#include "update/Preload.h"
#include "update/SelfUpdate.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"
#include "update/TransferGate.h"

#include <tlhelp32.h>

#include <atomic>
#include <memory>
#include <set>
#include <vector>

std::atomic<bool> UpdaterRunning{false};

namespace {

constexpr int kOldLauncherTries = 25;
constexpr DWORD kOldLauncherPauseMs = 200;

DWORD WINAPI RemoveWhenReleasedThread(void* param) {
    std::unique_ptr<std::wstring> path(static_cast<std::wstring*>(param));
    for (int i = 0; i < kOldLauncherTries && !local_files::DeleteOrGone(*path); ++i) Sleep(kOldLauncherPauseMs);
    return 0;
}

// The previous launcher's image may still be mapped while its process ends after a restart: keep trying
// for a few seconds beside the run instead of holding it up.
void RemoveWhenReleased(const std::wstring& path) {
    if (local_files::DeleteOrGone(path)) return;
    auto copy = std::make_unique<std::wstring>(path);
    if (StartDetachedThread(RemoveWhenReleasedThread, copy.get())) copy.release();  // the thread owns it now
}

// The finished flag, the last message of a run. A player about to be let start the game from a folder that
// could not be secured reads so first, whichever way the run ended.
void PostOutcome(HWND window, bool gameMayStart) {
    if (gameMayStart && GameFolderUnsecured()) PostStatusText(window, player_texts::kFolderUnprotected);
    PostFinished(window, gameMayStart);
}

// The run's last status; the log has it too, with what led to it, so that support reads what the player read.
void PostEnd(HWND window, const std::wstring& text, const std::wstring& cause) {
    PostStatusText(window, L"%ls", text.c_str());
    LogLineW(L"[Launcher][updater] run ended: %ls -- %ls\n", text.c_str(), cause.c_str());
}

// Ends a run with its outcome text and the finished flag.
void Finish(HWND window, const wchar_t* text, const wchar_t* cause, bool gameMayStart) {
    PostEnd(window, text, cause);
    PostOutcome(window, gameMayStart);
}

void FinishUpToDate(HWND window) {
    PostEnd(window, player_texts::kUpToDate, L"every listed file is as listed");
    PostProgress(window, 100);
    PostOutcome(window, true);
}

// What the jobs still need from the network: their sizes, less what their ".part" files already hold.
std::uint64_t BytesToFetch(const Manifest& manifest, const std::vector<std::size_t>& jobs, const std::wstring& launcherDir) {
    std::uint64_t total = 0;
    for (std::size_t index : jobs) {
        const ManifestFile& file = manifest.files[index];
        const std::uint64_t part = local_files::SizeOrZero(launcherDir + file.path + L".part");
        total += part <= file.size ? file.size - part : file.size;
    }
    return total;
}

// How the downloads of a run ended.
struct BatchOutcome {
    long failed = 0;
    std::wstring lastFailedPath;
    std::wstring lastFailedReason;
    std::wstring lastFailedHolder;  // the program that held the last failed file, or empty
};

// Takes out the jobs whose path reaches through a link, or whose file or ".part" is a link or has a second
// name: writing there would write wherever the link leads, as administrator. Each one gets a status line and
// a log line and counts as a failed file; nothing of it is touched.
BatchOutcome LeaveOutLinkedPaths(HWND window, const Manifest& manifest, const std::wstring& launcherDir,
                                 std::vector<std::size_t>* jobs) {
    // Asked on the check's threads: each file costs several round trips to the file system (many more under
    // Wine), and the answers do not depend on one another.
    std::vector<char> crosses(jobs->size(), 0);
    std::atomic<std::size_t> next{0};
    RunOnThreads(CheckThreadCount(jobs->size()), [&] {
        std::set<std::wstring> plainFolders;  // this thread's own
        for (std::size_t k = next.fetch_add(1); k < jobs->size(); k = next.fetch_add(1)) {
            crosses[k] = local_files::CrossesLink(launcherDir, manifest.files[(*jobs)[k]].path, &plainFolders) ? 1 : 0;
        }
    });
    BatchOutcome skipped;
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < jobs->size(); ++k) {
        const std::size_t index = (*jobs)[k];
        const std::wstring& path = manifest.files[index].path;
        if (!crosses[k]) {
            kept.push_back(index);
            continue;
        }
        LogLine("[Launcher][updater] %s reaches through a link or has a second name: left alone\n",
                ToAnsiForLog(path.c_str(), kLogNameBytes).c_str());
        PostStatusText(window, player_texts::kLinkSkippedNamed, path.c_str());
        ++skipped.failed;
        skipped.lastFailedPath = path;
        skipped.lastFailedReason = player_texts::kLinkSkipped;
    }
    *jobs = std::move(kept);
    return skipped;
}

// Downloads the jobs with up to four workers, or on this thread when none starts.
BatchOutcome DownloadJobs(HWND window, const Manifest& manifest, const std::vector<std::size_t>& jobs,
                             const std::wstring& launcherDir, const std::vector<std::wstring>& hosts, CheckCache* cache) {
    auto batch = std::make_unique<DownloadBatch>();
    batch->notifyWindow = window;
    // Without the volume's serial no file can be stamped: those downloaded get no record and are hashed next time.
    batch->cache = cache && local_files::ReadVolumeSerial(launcherDir, &batch->volume) ? cache : nullptr;
    batch->manifest = &manifest;
    batch->jobs = &jobs;
    batch->launcherDir = launcherDir;
    batch->hosts = hosts;
    for (std::size_t index : jobs) batch->totalBytes += manifest.files[index].size;
    batch->jobCount = static_cast<long>(jobs.size());
    RunDownloadBatch(*batch);

    BatchOutcome outcome;
    outcome.failed = batch->failed.load();
    std::lock_guard<std::mutex> hold(batch->lock);
    outcome.lastFailedPath = batch->lastFailedPath;
    outcome.lastFailedReason = batch->lastFailedReason;
    outcome.lastFailedHolder = batch->lastFailedHolder;
    return outcome;
}

// The end of a run that downloaded: 100 %, the outcome text and the finished flag.
void ReportDownloads(HWND window, const BatchOutcome& outcome) {
    PostProgress(window, 100);
    if (outcome.failed == 0) {
        PostEnd(window, player_texts::kUpdated, L"every file arrived");
        PostOutcome(window, true);
        return;
    }
    const std::wstring cause = FormatWideCut(kStatusTextChars, L"%ld file(s) failed; the last: %ls (%ls)", outcome.failed,
                                             outcome.lastFailedPath.c_str(), outcome.lastFailedReason.c_str());
    if (!outcome.lastFailedHolder.empty()) {
        // What the player can act on: close that program and start again.
        PostEnd(window,
                FormatWideCut(kStatusTextChars, player_texts::kFileInUse, outcome.lastFailedPath.c_str(),
                              outcome.lastFailedHolder.c_str()),
                cause + L", held by another program");
    } else if (!outcome.lastFailedPath.empty()) {
        PostEnd(window,
                FormatWideCut(kStatusTextChars, player_texts::kDoneWithFailuresNamed, static_cast<int>(outcome.failed),
                              outcome.lastFailedPath.c_str(), outcome.lastFailedReason.c_str()),
                cause);
    } else {
        PostEnd(window, FormatWideCut(kStatusTextChars, player_texts::kDoneWithFailures, static_cast<int>(outcome.failed)),
                cause);
    }
    PostOutcome(window, false);
}

// Ends a run whose manifest could not be used. While a client of this installation runs, every such end
// lets the player start another one (dual-open); an untrusted manifest then reads as an unreachable host.
void FinishRefused(HWND window, ManifestRefusal refusal, bool gameRunning) {
    const wchar_t* dualOpen = L"; a game client of this folder runs, so it may be started again";
    switch (refusal) {
        case ManifestRefusal::Unparsed:
            if (gameRunning) {
                Finish(window, player_texts::kManifestUnparsedDualOpen,
                       (std::wstring(L"the manifest could not be read") + dualOpen).c_str(), true);
            } else {
                Finish(window, player_texts::kManifestUnparsed, L"the manifest could not be read", false);
            }
            return;
        case ManifestRefusal::BadSignature:
        case ManifestRefusal::Older:
            if (!gameRunning) {
                if (refusal == ManifestRefusal::Older) {
                    Finish(window, player_texts::kManifestOlder, L"the manifest's sequence is below one seen before",
                           false);
                } else {
                    Finish(window, player_texts::kManifestBadSignature, L"the manifest's signature does not verify", false);
                }
                return;
            }
            break;
        case ManifestRefusal::ProxyAuthentication:
            if (!gameRunning) {
                Finish(window, player_texts::kProxyLogin, L"the proxy asks for a logon the launcher may not give", false);
                return;
            }
            break;
        case ManifestRefusal::Unreachable:
        case ManifestRefusal::None:
            break;
    }
    if (gameRunning) {
        Finish(window, player_texts::kNoServerDualOpen,
               (std::wstring(L"no patch host gave a manifest it could use") + dualOpen).c_str(), true);
    } else {
        Finish(window, player_texts::kNoServer, L"no patch host gave a manifest it could use", false);
    }
}

// The hosts a run downloads from: the machine's local mirrors, the one that served the accepted manifest,
// then the ones after it.
std::vector<std::wstring> DownloadHosts(const std::vector<std::wstring>& mirrors, const std::vector<std::wstring>& hosts,
                                        std::size_t manifestHost) {
    std::vector<std::wstring> list = mirrors;
    list.insert(list.end(), hosts.begin() + static_cast<std::ptrdiff_t>(manifestHost), hosts.end());
    return list;
}

// Tells the window what the manifest says the game client and the settings program are: each is started
// only with those bytes.
void PostListedPrograms(HWND window, const Manifest& manifest) {
    ProgramDigests digests;
    for (const ManifestFile& file : manifest.files) {
        for (const wchar_t* program : {kGameClientExe, kSettingsExe}) {
            if (path_rules::EqualsAsciiNoCase(std::wstring_view(file.path), std::wstring_view(program))) {
                digests[program] = file.sha256;
            }
        }
    }
    PostProgramDigests(window, digests);
}

// Logs what the local mirrors delivered when the run ends, whichever way it ends.
struct MirrorShareLine {
    MirrorShareLine() = default;
    MirrorShareLine(const MirrorShareLine&) = delete;
    MirrorShareLine& operator=(const MirrorShareLine&) = delete;
    ~MirrorShareLine() { LogMirrorShare(); }
};

// What a run that let the game start with every file as listed leaves for the pre-load.
struct RunEnd {
    bool filesCurrent = false;
    Manifest manifest;
    PreloadSource source;
};

// Steps of one run; returns when the run has posted its last message.
void RunUpdate(const UpdaterThreadArgs& args, RunEnd* end) {
    const HWND window = args.notifyWindow;
    const std::wstring exe = GetLauncherExePath();
    if (!exe.empty()) RemoveWhenReleased(exe + L".old");

    const bool gameRunning = CheckGameRunning();
    PostStatusText(window, player_texts::kConnecting);
    PostProgress(window, 0);

    Manifest manifest;
    std::size_t manifestHost = 0;
    const ManifestRefusal refusal = FetchAcceptedManifest(args.patchHosts, args.manifestKeys, &manifest, &manifestHost);
    if (refusal != ManifestRefusal::None) {
        FinishRefused(window, refusal, gameRunning);
        return;
    }
    const std::vector<std::wstring> mirrors = ParseLocalMirrors(ReadLocalMirrors());
    BeginHostRecord(mirrors);
    BeginHeldFilesRun();
    const MirrorShareLine shareLine;
    const std::vector<std::wstring> hosts = DownloadHosts(mirrors, args.patchHosts, manifestHost);
    if (RunSelfUpdate(window, manifest, hosts)) return;
    PostListedPrograms(window, manifest);
    const auto filesCurrent = [&] {
        end->filesCurrent = true;
        end->source.manifestHosts.assign(args.patchHosts.begin() + static_cast<std::ptrdiff_t>(manifestHost),
                                         args.patchHosts.end());
        end->source.downloadHosts = hosts;
        end->source.keys = args.manifestKeys;
        end->manifest = std::move(manifest);
    };

    if (manifest.files.empty()) {
        FinishUpToDate(window);
        filesCurrent();
        return;
    }
    // With CHECK=quick the check may trust what it recorded before, unless the player asked for a full one.
    // Records written while others could write the folder (it could not be secured, or this start had to
    // secure it) are not even loaded: every file is hashed and the records are written anew from that alone.
    const bool recordsTrusted = !GameFolderUnsecured() && !GameFolderSecuredThisRun();
    CheckCache cache;
    CheckCache* records = manifest.quickCheck ? &cache : nullptr;
    const std::wstring cachePath = args.launcherDir + kCheckCacheName;
    if (records && recordsTrusted) cache.Load(cachePath);
    const auto keepRecords = [&] {
        if (records && (cache.Changed() || !recordsTrusted)) cache.Save(cachePath);
    };
    // Files the coming release's pre-load staged are taken from there, hashed once, after the check.
    const std::set<std::string> staged = StagedDigests(manifest, args.launcherDir);
    std::vector<std::size_t> jobs = CheckFiles(window, manifest, args.launcherDir, records,
                                               records && !args.fullCheck && recordsTrusted, &staged);
    if (jobs.empty()) {
        keepRecords();
        FinishUpToDate(window);
        filesCurrent();
        return;
    }
    if (gameRunning) {
        keepRecords();
        Finish(window, player_texts::kClientRunning, L"files are to be updated while a game client of this folder runs",
               false);
        return;
    }
    const BatchOutcome skipped = LeaveOutLinkedPaths(window, manifest, args.launcherDir, &jobs);
    // The coming release's files, pre-loaded before it opened, need no download now.
    TakeStagedFiles(manifest, args.launcherDir, records, &jobs);
    if (!EnoughDiskSpace(window, args.launcherDir, BytesToFetch(manifest, jobs, args.launcherDir))) {
        keepRecords();
        PostOutcome(window, false);
        return;
    }
    BatchOutcome outcome =
        jobs.empty() ? BatchOutcome{} : DownloadJobs(window, manifest, jobs, args.launcherDir, hosts, records);
    if (skipped.failed > 0 && outcome.lastFailedPath.empty()) {
        outcome.lastFailedPath = skipped.lastFailedPath;
        outcome.lastFailedReason = skipped.lastFailedReason;
        outcome.lastFailedHolder.clear();
    }
    outcome.failed += skipped.failed;
    // Saved before the last message: the player may start the game, and end the launcher, at once.
    keepRecords();
    ReportDownloads(window, outcome);
    if (outcome.failed == 0) filesCurrent();
}

}  // namespace

bool CheckGameRunning() {
    const std::wstring own = LauncherDirFromPath(GetLauncherExePath());
    if (own.empty()) return false;
    const std::wstring ownKey = InstallationKey(own);

    ScopedHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
        if (!path_rules::EqualsAsciiNoCase(std::wstring_view(entry.szExeFile), std::wstring_view(kGameClientExe))) continue;
        if (ProcessInstallationKey(entry.th32ProcessID) == ownKey) return true;
    }
    return false;
}

DWORD WINAPI UpdaterThread(void* param) {
    std::unique_ptr<UpdaterThreadArgs> args(static_cast<UpdaterThreadArgs*>(param));
    RunEnd end;
    RunUpdate(*args, &end);
    if (end.filesCurrent) RunPreload(args->notifyWindow, end.manifest, args->launcherDir, end.source);
    UpdaterRunning.store(false);
    return 0;
}
