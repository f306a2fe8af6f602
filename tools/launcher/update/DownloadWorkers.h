#pragma once
// Up to four threads that download and verify the queued game files of one update run.

#include "update/CheckCache.h"
#include "update/Manifest.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

constexpr int kMaxDownloadWorkers = 4;

// Shared by the workers of one run; owned by the updater thread until every worker has ended.
struct DownloadBatch {
    HWND notifyWindow = nullptr;
    const Manifest* manifest = nullptr;
    const std::vector<std::size_t>* jobs = nullptr;  // indices into manifest->files, ascending
    std::wstring launcherDir;
    std::vector<std::wstring> hosts;  // base URLs: the manifest's host first, then those to fall back on
    CheckCache* cache = nullptr;      // records of verified files for the quick check; may be null
    std::atomic<long> nextJob{0};
    std::atomic<long> completed{0};
    std::atomic<long> failed{0};
    std::atomic<std::uint64_t> bytesDone{0};
    std::uint64_t totalBytes = 0;
    long jobCount = 0;
    std::mutex lock;                     // guards the two strings below, nothing else
    std::wstring lastFailedPath;
    std::wstring lastFailedReason;
};

// Thread routine: takes jobs until none is left; each is fetched and checked by digest (FetchVerifiedFile).
DWORD WINAPI RunDownloadWorker(void* batch);

// The same jobs one after another on the calling thread, when no worker thread could be started.
// Counts failures only.
void RunDownloadsSequentially(DownloadBatch& batch);
