#include "update/FileFetch.h"

#include "PlayerTexts.h"
#include "common/ZstdFrames.h"
#include "update/DebugLog.h"
#include "update/DecodeBudget.h"
#include "update/DeltaFetch.h"
#include "update/FrameFetch.h"
#include "update/HttpDownload.h"
#include "update/LocalFiles.h"
#include "update/LocalMirror.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

#include <algorithm>

namespace {

constexpr int kAttemptsPerHost = 3;
constexpr DWORD kRetryDelaysMs[kAttemptsPerHost - 1] = {1000, 3000};

void AnnounceRetry(const std::wstring& url, const FetchTarget& target, const FetchListener& listener, int attempt,
                   DWORD delayMs) {
    LogLine("[Launcher][http] %s broke off; attempt %d of %d in %lu ms\n",
             ToAnsiForLog(url.c_str(), kLogNameBytes).c_str(), attempt, kAttemptsPerHost, delayMs);
    PostStatusText(listener.window, player_texts::kRetrying, attempt, kAttemptsPerHost, target.name.c_str());
}

// Passes a transfer's progress on and counts the bytes that came over the network, whatever way they came.
class WireCount : public ProgressSink {
public:
    explicit WireCount(ProgressSink* outer) : outer_(outer) {}
    void OnBytes(std::uint64_t done, std::uint64_t total, bool received) override {
        if (received && done > done_) wire_ += done - done_;
        done_ = done;
        if (outer_) outer_->OnBytes(done, total, received);
    }
    void OnWireBytes(std::uint64_t bytes) override {
        wire_ += bytes;
        if (outer_) outer_->OnWireBytes(bytes);
    }
    std::uint64_t Wire() const { return wire_; }

private:
    ProgressSink* outer_;
    std::uint64_t done_ = 0;
    std::uint64_t wire_ = 0;
};

enum class WayEnd { Placed, Failed, DiskRefused };

// The file from zstd frames (FrameFetch.h) on the first host that can be reached; a local mirror that fails
// is dropped and the next host goes on from the last frame end.
WayEnd FetchByFrames(const std::vector<std::wstring>& hosts, const FetchTarget& target, const FetchListener& listener,
                     HostConnections& kept, const FrameSource& source, const std::string& way) {
    FrameTransfer transfer(target, source, listener.sink);
    bool asked = false;
    for (const std::wstring& host : hosts) {
        if (HostSkipped(host)) continue;
        asked = true;
        for (int attempt = 1;; ++attempt) {
            const FrameOutcome outcome = transfer.Attempt(kept.For(host), host);
            if (outcome == FrameOutcome::Done) {
                NoteDeliveredBytes(host, source.place.length);
                return WayEnd::Placed;
            }
            if (outcome == FrameOutcome::LocalError) return WayEnd::DiskRefused;
            if (outcome == FrameOutcome::Unusable) DropLocalMirror(host, "failed (" + way + ")");
            if (outcome != FrameOutcome::Broken) break;
            DropLocalMirror(host, "failed (transfer broke off)");
            if (attempt == kAttemptsPerHost || HostSkipped(host)) break;
            AnnounceRetry(transfer.Url(), target, listener, attempt + 1, kRetryDelaysMs[attempt - 1]);
            Sleep(kRetryDelaysMs[attempt - 1]);
        }
        if (!HostSkipped(host)) break;
    }
    if (asked) {
        LogLine("[Launcher][updater] %s: %s given up (%s)\n", ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(),
                way.c_str(), transfer.Reason().c_str());
    }
    return WayEnd::Failed;
}

// Way 1: a patch whose base is the local copy, when one costs less than `ceiling`.
WayEnd FetchByPatch(const std::vector<std::wstring>& hosts, const FetchTarget& target, const FetchListener& listener,
                    HostConnections& kept, std::uint64_t ceiling, std::string* way) {
    std::uint64_t localSize = 0;
    if (target.offers.patches.empty() || !local_files::QuerySize(target.LocalCopy(), &localSize) ||
        localSize > kPatchBaseLimit) {
        return WayEnd::Failed;
    }
    const auto fits = [&](const PatchOffer& p) { return p.baseSize == localSize && p.frames.length < ceiling; };
    if (std::none_of(target.offers.patches.begin(), target.offers.patches.end(), fits)) return WayEnd::Failed;
    const unsigned windowLog = WindowLogFor(target.size, localSize);
    // Reserved before the base is read: the base and the decoder's window are held together.
    DecodeReservation memory(localSize + DecoderBytes(windowLog));
    std::string base;
    unsigned char digest[32] = {};
    if (!local_files::ReadWhole(target.LocalCopy(), localSize, &base) || base.size() != localSize ||
        !Sha256OfBytes(base.data(), base.size(), digest)) {
        return WayEnd::Failed;
    }
    const std::string baseSha256 = DigestHex(digest);
    for (const PatchOffer& patch : target.offers.patches) {
        if (!fits(patch) || patch.baseSha256 != baseSha256) continue;
        *way = PatchWay(baseSha256);
        return FetchByFrames(hosts, target, listener, kept, FrameSource{patch.frames, windowLog, base}, *way);
    }
    return WayEnd::Failed;
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
        AnnounceRetry(target.relativeUrl, target, listener, attempt + 1, delay);
        Sleep(delay);
        ++attempt;
    }
    return HostResult::Unavailable;
}

FetchResult Placed(const FetchTarget& target, const std::string& way, std::uint64_t wire) {
    LogArrival(target.name, way, wire, target.size);
    FetchResult result;
    result.outcome = FetchOutcome::Verified;
    result.lastDigest = target.sha256;
    return result;
}

}  // namespace

void LogArrival(const std::wstring& name, const std::string& way, std::uint64_t wire, std::uint64_t decoded) {
    LogLine("[Launcher][updater] %s: %s, %llu bytes on the wire, %llu decoded\n",
            ToAnsiForLog(name.c_str(), kLogNameBytes).c_str(), way.c_str(), static_cast<unsigned long long>(wire),
            static_cast<unsigned long long>(decoded));
}

std::string PatchWay(const std::string& baseSha256) {
    return "patch from " + DigestPrefix(baseSha256) + "...";
}

FetchResult FetchVerifiedFile(const std::vector<std::wstring>& hosts, const FetchTarget& target,
                              const FetchListener& listener, HostConnections* connections) {
    FetchResult result;
    HostConnections own;  // without kept connections: one per host for this file's attempts
    HostConnections& kept = connections ? *connections : own;
    WireCount wire(listener.sink);
    const FetchListener counted{listener.window, &wire};
    // What each way costs that is known before it starts: finishing a ".part" an earlier run left (its bytes
    // are the file's first ones, whichever way they came), and the compressed copy's listed length.
    const std::uint64_t partBytes = local_files::SizeOrZero(target.targetPath + L".part");
    const std::uint64_t unfinished = partBytes <= target.size ? target.size - partBytes : target.size;
    const EncodedPlace& compressed = target.offers.compressed;
    const std::uint64_t compressedCost = compressed.Listed() ? compressed.length : UINT64_MAX;
    const std::uint64_t laterCost = std::min(unfinished, compressedCost);

    std::string way;
    switch (FetchByPatch(hosts, target, counted, kept, laterCost, &way)) {
        case WayEnd::Placed: return Placed(target, way, wire.Wire());
        case WayEnd::DiskRefused: return result;
        case WayEnd::Failed: break;
    }
    // The delta update from the first host that can be reached: a local mirror that fails moves it on to
    // the next host rather than to the next way.
    std::uint64_t indexBytes = 0;
    for (const std::wstring& host : hosts) {
        if (HostSkipped(host)) continue;
        const DeltaResult delta = FetchByDelta(target, host, counted.sink, &kept.For(host), laterCost);
        indexBytes += delta.indexBytes;
        if (delta.outcome == DeltaOutcome::Done) {
            NoteDeliveredBytes(host, delta.indexBytes + (delta.frames ? delta.frameBytes : delta.rangeBytes));
            return Placed(target, delta.frames ? "compressed chunks" : "delta", wire.Wire() + indexBytes);
        }
        if (delta.outcome == DeltaOutcome::LocalError) return result;
        if (delta.hostAtFault) DropLocalMirror(host, "failed (delta update)");
        if (!HostSkipped(host)) break;
    }
    if (compressedCost < unfinished) {
        const unsigned windowLog = WindowLogFor(target.size, 0);
        DecodeReservation memory(DecoderBytes(windowLog));
        const FrameSource source{compressed, windowLog, {}};
        switch (FetchByFrames(hosts, target, counted, kept, source, "compressed file")) {
            case WayEnd::Placed: return Placed(target, "compressed file", wire.Wire() + indexBytes);
            case WayEnd::DiskRefused: return result;
            case WayEnd::Failed: break;
        }
    }
    bool anyWrong = false;
    for (const std::wstring& host : hosts) {
        switch (FetchFromHost(target, counted, host, kept.For(host), &result)) {
            case HostResult::Verified:
                NoteDeliveredBytes(host, target.size);
                LogArrival(target.name, "whole file", wire.Wire() + indexBytes, target.size);
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
