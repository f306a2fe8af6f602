#include "update/DownloadWorkers.h"

#include "TextFormat.h"
#include "common/PathRules.h"
#include "update/HttpDownload.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

namespace {

constexpr std::size_t kLabelChars = 256;

void RecordFailure(DownloadBatch& batch, const std::wstring& path, const wchar_t* reason) {
    std::lock_guard<std::mutex> hold(batch.lock);
    batch.lastFailedPath = path;
    batch.lastFailedReason = reason;
}

// Downloads one file from the first host that delivers it with the right digest. False with *verified
// false when the last host's transfer failed; true with *verified false when its content was wrong.
bool DownloadAndVerify(DownloadBatch& batch, const ManifestFile& file, const std::wstring& label, bool* verified) {
    const std::wstring local = batch.launcherDir + file.path;
    const std::wstring url = path_rules::ServedPath(std::wstring_view(file.path));
    bool downloaded = false;
    *verified = false;
    for (const std::wstring& host : batch.hosts) {
        downloaded = HttpDownloadToFile(host, url.c_str(), local, batch.notifyWindow, file.size, label.c_str(),
                                        &batch.bytesDone, batch.totalBytes);
        *verified = downloaded && FileSha256Hex(local) == file.sha256;
        if (*verified) break;
    }
    return downloaded;
}

}  // namespace

DWORD WINAPI RunDownloadWorker(void* param) {
    DownloadBatch& batch = *static_cast<DownloadBatch*>(param);
    for (;;) {
        long k = batch.nextJob.fetch_add(1);
        if (k >= static_cast<long>(batch.jobs->size())) return 0;
        const ManifestFile& file = batch.manifest->files[(*batch.jobs)[static_cast<std::size_t>(k)]];
        const std::wstring label =
            FormatWideCut(kLabelChars, L"下載中 (%d/%d) %ls", static_cast<int>(batch.completed.load() + 1),
                        static_cast<int>(batch.jobCount), file.path.c_str());
        bool verified = false;
        if (!DownloadAndVerify(batch, file, label, &verified)) {
            ++batch.failed;
            PostStatusText(batch.notifyWindow, L"下載失敗：%ls", file.path.c_str());
            RecordFailure(batch, file.path, L"下載失敗");
        } else if (!verified) {
            // The file stays where it is; the next run's check queues it again.
            ++batch.failed;
            PostStatusText(batch.notifyWindow, L"檔案校驗失敗：%ls", file.path.c_str());
            RecordFailure(batch, file.path, L"校驗失敗");
        }
        ++batch.completed;
    }
}

void RunDownloadsSequentially(DownloadBatch& batch) {
    for (std::size_t index : *batch.jobs) {
        const ManifestFile& file = batch.manifest->files[index];
        const std::wstring label = FormatWideCut(kLabelChars, L"下載中 %ls", file.path.c_str());
        bool verified = false;
        if (!DownloadAndVerify(batch, file, label, &verified) || !verified) ++batch.failed;
    }
}
