#include "update/FileFetch.h"

#include "LongPath.h"
#include "update/DebugLog.h"
#include "update/DeltaFetch.h"
#include "update/HttpDownload.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

namespace {

constexpr int kAttemptsPerHost = 3;
constexpr DWORD kRetryDelaysMs[kAttemptsPerHost - 1] = {1000, 3000};
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogNameBytes = 255;

void AnnounceRetry(const FileFetch& fetch, int attempt, DWORD delayMs) {
    LogLineA(kLogLineBytes, "[Launcher][http] %s broke off; attempt %d of %d in %lu ms\n",
             ToAnsiForLog(fetch.relativeUrl.c_str(), kLogNameBytes).c_str(), attempt, kAttemptsPerHost, delayMs);
    PostStatusText(fetch.window, L"下載中斷，重試 (%d/%d)：%ls", attempt, kAttemptsPerHost, fetch.name.c_str());
}

enum class HostResult { Verified, WrongDigest, Unavailable, DiskRefused };

// Up to three attempts on one host, and one whole transfer more when a resumed file is wrong.
HostResult FetchFromHost(const FileFetch& fetch, const std::wstring& host, FetchResult* result) {
    bool wholeAgain = false;
    for (int attempt = 1; attempt <= kAttemptsPerHost;) {
        const DownloadResult download =
            HttpDownloadToFile(host, fetch.relativeUrl.c_str(), fetch.targetPath, fetch.window, fetch.size,
                               fetch.label.c_str(), fetch.sharedDone, fetch.sharedTotal);
        switch (download.outcome) {
            case DownloadOutcome::Done: {
                result->lastDigest = download.sha256.empty() ? FileSha256Hex(fetch.targetPath) : download.sha256;
                if (result->lastDigest == fetch.sha256) return HostResult::Verified;
                if (!download.resumed || wholeAgain) return HostResult::WrongDigest;
                wholeAgain = true;  // the kept ".part" may have held wrong bytes: once more from the start
                continue;
            }
            case DownloadOutcome::RangeRefused:
                ++attempt;  // the ".part" is gone; a whole transfer follows at once
                continue;
            case DownloadOutcome::Refused:
                return HostResult::Unavailable;
            case DownloadOutcome::LocalError:
                return HostResult::DiskRefused;
            case DownloadOutcome::Broken:
                break;
        }
        if (attempt == kAttemptsPerHost) break;
        const DWORD delay = kRetryDelaysMs[attempt - 1];
        AnnounceRetry(fetch, attempt + 1, delay);
        Sleep(delay);
        ++attempt;
    }
    return HostResult::Unavailable;
}

}  // namespace

FetchResult FetchVerifiedFile(const FileFetch& fetch) {
    FetchResult result;
    if (!fetch.hosts->empty()) {
        const DeltaResult delta = FetchByDelta(fetch, fetch.hosts->front());
        if (delta.outcome == DeltaOutcome::Done) {
            result.outcome = FetchOutcome::Verified;
            result.lastDigest = delta.sha256;
            return result;
        }
        if (delta.outcome == DeltaOutcome::LocalError) return result;
    }
    // What an earlier run left in the ".part" counts as done: the transfer only adds what it receives.
    const std::uint64_t kept = FileSizeOrZero(fetch.targetPath + L".part");
    if (fetch.sharedDone && kept <= fetch.size) *fetch.sharedDone += kept;
    bool anyWrong = false;
    for (const std::wstring& host : *fetch.hosts) {
        switch (FetchFromHost(fetch, host, &result)) {
            case HostResult::Verified:
                result.outcome = FetchOutcome::Verified;
                return result;
            case HostResult::WrongDigest:
                anyWrong = true;
                break;
            case HostResult::DiskRefused:
                result.outcome = FetchOutcome::DownloadFailed;
                return result;
            case HostResult::Unavailable:
                break;
        }
    }
    result.outcome = anyWrong ? FetchOutcome::VerifyFailed : FetchOutcome::DownloadFailed;
    return result;
}
