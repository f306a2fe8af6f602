#include "update/FileCheck.h"

#include "LongPath.h"
#include "common/PathRules.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr unsigned kMaxCheckThreads = 4;

bool SizeAndDigestMatch(const std::wstring& local, const ManifestFile& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ForFileApi(local).c_str(), GetFileExInfoStandard, &data)) return false;
    const std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size != file.size) return false;  // the digest only for files whose size already matches
    return FileSha256Hex(local) == file.sha256;
}

// Shared by the check's threads.
struct CheckRun {
    const Manifest* manifest;
    const std::wstring* launcherDir;
    CheckCache* cache;
    bool trustCache;
    HWND window;
    std::vector<char> intact;  // per file, written by the one thread that examined it
    std::atomic<std::size_t> next{0};
    std::size_t examined = 0;  // guarded by progressLock, with lastPercent
    int lastPercent = -1;
    std::mutex progressLock;

    bool Examine(const ManifestFile& file) {
        const std::wstring local = *launcherDir + file.path;
        if (!cache) return SizeAndDigestMatch(local, file);
        const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
        FileStamp stamp;
        const bool stamped = ReadFileStamp(local, &stamp);
        if (trustCache && stamped && stamp.size == file.size && cache->Matches(key, file.sha256, stamp)) return true;
        // Stamped before hashing: a file changed meanwhile gets another stamp and is hashed again next time.
        const bool whole = SizeAndDigestMatch(local, file);
        if (whole && stamped) {
            cache->Record(key, file.sha256, stamp);
        } else {
            cache->Drop(key);
        }
        return whole;
    }

    void CountExamined() {
        std::lock_guard<std::mutex> hold(progressLock);
        const int percent = static_cast<int>(++examined * 100 / manifest->files.size());
        if (percent != lastPercent) {
            lastPercent = percent;
            PostProgress(window, static_cast<unsigned>(percent));
        }
    }

    static DWORD WINAPI WorkThread(void* self) {
        static_cast<CheckRun*>(self)->Work();
        return 0;
    }

    void Work() {
        for (std::size_t i = next.fetch_add(1); i < manifest->files.size(); i = next.fetch_add(1)) {
            const ManifestFile& file = manifest->files[i];
            intact[i] = Examine(file) ? 1 : 0;
            // What a download broken off earlier left beside a file that is whole now.
            if (intact[i]) DeleteFileW(ForFileApi(*launcherDir + file.path + L".part").c_str());
            CountExamined();
        }
    }
};

}  // namespace

unsigned CheckThreadCount(std::size_t files) {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>({kMaxCheckThreads, processors, std::max<std::size_t>(files, 1)}));
}

std::vector<std::size_t> CheckFiles(HWND window, const Manifest& manifest, const std::wstring& launcherDir,
                                    CheckCache* cache, bool trustCache) {
    PostStatusText(window, L"檢查檔案中...");
    CheckRun run{&manifest, &launcherDir, cache, trustCache, window, std::vector<char>(manifest.files.size(), 0)};
    HANDLE helpers[kMaxCheckThreads] = {};
    DWORD started = 0;
    for (unsigned t = 1; t < CheckThreadCount(manifest.files.size()); ++t) {
        // A helper that cannot be started leaves its share to the others.
        if (HANDLE thread = CreateThread(nullptr, 0, CheckRun::WorkThread, &run, 0, nullptr)) helpers[started++] = thread;
    }
    run.Work();  // this thread takes its share too
    if (started > 0) WaitForMultipleObjects(started, helpers, TRUE, INFINITE);
    for (DWORD i = 0; i < started; ++i) CloseHandle(helpers[i]);

    std::vector<std::size_t> jobs;
    std::set<std::wstring> queued;
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        // Two workers must never write one file: a path listed twice is queued once.
        if (!run.intact[i] && queued.insert(path_rules::FileKey(std::wstring_view(manifest.files[i].path))).second) {
            jobs.push_back(i);
        }
    }
    return jobs;
}
