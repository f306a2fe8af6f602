#include "update/DownloadWorkers.h"

#include "PlayerTexts.h"
#include "TextFormat.h"
#include "common/PathRules.h"
#include "update/FileFetch.h"
#include "update/LocalFiles.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

namespace {

constexpr std::size_t kLabelChars = 256;

void RecordFailure(DownloadBatch& batch, const std::wstring& path, const wchar_t* reason) {
    std::lock_guard<std::mutex> hold(batch.lock);
    batch.lastFailedPath = path;
    batch.lastFailedReason = reason;
}

// Fetches one job; the outcome decides the failure text.
FetchOutcome FetchJob(DownloadBatch& batch, const ManifestFile& file, const std::wstring& label) {
    FetchTarget target;
    target.relativeUrl = path_rules::ServedPath(std::wstring_view(file.path));
    target.targetPath = batch.launcherDir + file.path;
    target.size = file.size;
    target.sha256 = file.sha256;
    target.name = file.path;
    target.deltaIndexSha256 = file.deltaIndexSha256;
    target.deltaIndexSize = file.deltaIndexSize;
    TransferReporter reporter(batch.notifyWindow, label, &batch.bytesDone, batch.totalBytes);
    const FetchOutcome outcome = FetchVerifiedFile(batch.hosts, target, FetchListener{batch.notifyWindow, &reporter}).outcome;
    if (batch.cache) {
        const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
        local_files::FileStamp stamp;
        if (outcome == FetchOutcome::Verified && local_files::ReadStamp(target.targetPath, &stamp)) {
            batch.cache->Record(key, file.sha256, stamp);
        } else {
            batch.cache->Drop(key);
        }
    }
    return outcome;
}

}  // namespace

DWORD WINAPI RunDownloadWorker(void* param) {
    DownloadBatch& batch = *static_cast<DownloadBatch*>(param);
    for (;;) {
        long k = batch.nextJob.fetch_add(1);
        if (k >= static_cast<long>(batch.jobs->size())) return 0;
        const ManifestFile& file = batch.manifest->files[(*batch.jobs)[static_cast<std::size_t>(k)]];
        const std::wstring label =
            FormatWideCut(kLabelChars, player_texts::kDownloadingCounted, static_cast<int>(batch.completed.load() + 1),
                        static_cast<int>(batch.jobCount), file.path.c_str());
        const FetchOutcome outcome = FetchJob(batch, file, label);
        if (outcome == FetchOutcome::DownloadFailed) {
            ++batch.failed;
            PostStatusText(batch.notifyWindow, player_texts::kDownloadFailedNamed, file.path.c_str());
            RecordFailure(batch, file.path, player_texts::kDownloadFailed);
        } else if (outcome == FetchOutcome::VerifyFailed) {
            // Nothing of the wrong bytes took the file's place; the next run's check queues it again.
            ++batch.failed;
            PostStatusText(batch.notifyWindow, player_texts::kVerifyFailedNamed, file.path.c_str());
            RecordFailure(batch, file.path, player_texts::kVerifyFailed);
        }
        ++batch.completed;
    }
}

void RunDownloadsSequentially(DownloadBatch& batch) {
    for (std::size_t index : *batch.jobs) {
        const ManifestFile& file = batch.manifest->files[index];
        const std::wstring label = FormatWideCut(kLabelChars, player_texts::kDownloadingNamed, file.path.c_str());
        if (FetchJob(batch, file, label) != FetchOutcome::Verified) ++batch.failed;
    }
}
