#include "update/FileFetch.h"

#include "PlayerTexts.h"
#include "update/DebugLog.h"
#include "update/DeltaFetch.h"
#include "update/HttpDownload.h"
#include "update/LocalMirror.h"
#include "update/StatusChannel.h"

namespace {

constexpr int kAttemptsPerHost = 3;
constexpr DWORD kRetryDelaysMs[kAttemptsPerHost - 1] = {1000, 3000};

void AnnounceRetry(const FetchTarget& target, const FetchListener& listener, int attempt, DWORD delayMs) {
    LogLine("[Launcher][http] %s broke off; attempt %d of %d in %lu ms\n",
             ToAnsiForLog(target.relativeUrl.c_str(), kLogNameBytes).c_str(), attempt, kAttemptsPerHost, delayMs);
    PostStatusText(listener.window, player_texts::kRetrying, attempt, kAttemptsPerHost, target.name.c_str());
}

enum class HostResult { Verified, WrongDigest, Unavailable, DiskRefused };

// Up to three attempts on one host, and one whole transfer more when a resumed file is wrong.
HostResult FetchFromHost(const FetchTarget& target, const FetchListener& listener, const std::wstring& host,
                         HttpRequest& http, FetchResult* result) {
    bool wholeAgain = false;
    for (int attempt = 1; attempt <= kAttemptsPerHost;) {
        if (HostSkipped(host)) return HostResult::Unavailable;
        const DownloadResult download = HttpDownloadToFile(http, host, target.relativeUrl.c_str(), target.targetPath,
                                                           target.size, target.sha256, listener.sink);
        switch (download.outcome) {
            case DownloadOutcome::Done:
                result->lastDigest = download.sha256;
                return HostResult::Verified;
            case DownloadOutcome::WrongDigest:
                result->lastDigest = download.sha256;
                DropLocalMirror(host, "failed (a file with another digest)");
                if (!download.resumed || wholeAgain || HostSkipped(host)) return HostResult::WrongDigest;
                wholeAgain = true;  // the kept ".part" may have held wrong bytes: once more from the start
                continue;
            case DownloadOutcome::RangeRefused:
                ++attempt;  // the ".part" is gone; a whole transfer follows at once
                continue;
            case DownloadOutcome::Refused:
                return HostResult::Unavailable;
            case DownloadOutcome::LocalError:
                return HostResult::DiskRefused;
            case DownloadOutcome::Broken:
                DropLocalMirror(host, "failed (transfer broke off)");
                break;
        }
        if (attempt == kAttemptsPerHost || HostSkipped(host)) break;
        const DWORD delay = kRetryDelaysMs[attempt - 1];
        AnnounceRetry(target, listener, attempt + 1, delay);
        Sleep(delay);
        ++attempt;
    }
    return HostResult::Unavailable;
}

}  // namespace

FetchResult FetchVerifiedFile(const std::vector<std::wstring>& hosts, const FetchTarget& target,
                              const FetchListener& listener, HostConnections* connections) {
    FetchResult result;
    HostConnections own;  // without kept connections: one per host for this file's attempts
    HostConnections& kept = connections ? *connections : own;
    // The delta update from the first host that can be reached: a local mirror that fails moves it on to
    // the next host rather than to the whole file.
    for (const std::wstring& host : hosts) {
        if (HostSkipped(host)) continue;
        const DeltaResult delta = FetchByDelta(target, host, listener.sink, &kept.For(host));
        if (delta.outcome == DeltaOutcome::Done) {
            NoteDeliveredBytes(host, delta.indexBytes + delta.rangeBytes);
            result.outcome = FetchOutcome::Verified;
            result.lastDigest = delta.sha256;
            return result;
        }
        if (delta.outcome == DeltaOutcome::LocalError) return result;
        if (delta.hostAtFault) DropLocalMirror(host, "failed (delta update)");
        if (!HostSkipped(host)) break;
    }
    bool anyWrong = false;
    for (const std::wstring& host : hosts) {
        switch (FetchFromHost(target, listener, host, kept.For(host), &result)) {
            case HostResult::Verified:
                NoteDeliveredBytes(host, target.size);
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
