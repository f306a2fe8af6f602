#pragma once
// Up to four threads that download and verify the queued game files of one update run.

#include "common/PackPlan.h"
#include "update/CheckCache.h"
#include "update/Manifest.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr int kMaxDownloadWorkers = 4;

// One range of a pack, or of a container of zstd frames, for a worker to fetch; its members' ids are positions
// in DownloadBatch::jobs.
struct PackRangeJob {
    const ManifestPack* pack = nullptr;  // in manifest->packs, or in manifest->containers
    bool frames = false;                 // a container: its members are compressed copies or patches
    PackRange range;
};

// Shared by the workers of one run; owned by the updater thread until every worker has ended.
struct DownloadBatch {
    HWND notifyWindow = nullptr;
    const Manifest* manifest = nullptr;
    const std::vector<std::size_t>* jobs = nullptr;  // indices into manifest->files, ascending
    std::wstring launcherDir;
    // Not empty while pre-loading the coming release: each file goes to stagingDir + its SHA-256, beside its
    // installed copy (the base of its patches and its delta); the window gets one percent line and no more.
    std::wstring stagingDir;
    std::vector<std::wstring> hosts;  // base URLs: the manifest's host first, then those to fall back on
    CheckCache* cache = nullptr;      // records of verified files for the quick check; may be null
    std::uint32_t volume = 0;         // with a cache: ReadVolumeSerial of launcherDir, for the records
    std::vector<PackRangeJob> packJobs;  // taken before the file jobs (PlanPackJobs)
    std::vector<char> inPack;            // per position in jobs: 1 when a pack or container range carries it
    std::vector<int> rangePatch;         // per position: the patch (in its file's patches) a container range
                                         // carries, or -1 (its compressed copy, or no container)
    std::atomic<long> nextPackJob{0};
    std::atomic<bool> rangesIgnored{false};  // the host answered a range with a whole pack not worth reading
    std::atomic<long> nextJob{0};
    std::atomic<long> completed{0};
    std::atomic<long> failed{0};
    std::atomic<std::uint64_t> bytesDone{0};
    std::atomic<int> postedPercent{-1};  // the pre-load's line
    std::uint64_t totalBytes = 0;
    long jobCount = 0;
    std::mutex lock;                     // guards the three strings below, nothing else
    std::wstring lastFailedPath;
    std::wstring lastFailedReason;
    std::wstring lastFailedHolder;       // the program that held the last failed file, or empty

    bool Preloading() const { return !stagingDir.empty(); }
};

// Puts the jobs whose files come as members of a container or a pack into ranges (packJobs, inPack,
// rangePatch), one range per container or pack where the members needed lie close together. A file comes
// from a container when its patch there has the local copy as its base (read whole, on the calling thread
// and three more, and checked by digest), or else when its compressed copy shares a container or the file
// is in a pack; otherwise from its pack. A file whose patch fills a container of its own is left to its own fetch. Call before any
// worker starts.
void PlanPackJobs(DownloadBatch& batch);

// Thread routine: takes pack ranges and then jobs until none is left, over one connection per host kept for
// all of them; a file a range did not bring is fetched on its own by the same worker at once, without the way
// the range failed at; each is fetched and checked by digest (FetchVerifiedFile).
DWORD WINAPI RunDownloadWorker(void* batch);

// The same jobs one after another on the calling thread, when no worker thread could be started.
// Counts failures without posting them.
void RunDownloadsSequentially(DownloadBatch& batch);

// The whole batch: plans its ranges, then runs up to four workers (on the calling thread when none starts)
// and returns when every job has ended. Set everything but the counters and the plan first.
void RunDownloadBatch(DownloadBatch& batch);
