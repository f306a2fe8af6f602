#pragma once
// A file decoded from zstd frames that a container holds ("z/<sha256>.zst"): its compressed copy, or a patch
// against its local copy. The frames are asked for as one range of the container (or as the container, when
// they fill it), decoded as they arrive into the file's ".part" within limits taken from the manifest, and the
// ".part" takes the target's name only when its digest is the listed one. A transfer that breaks off goes on
// from the end of the last frame that arrived whole.

#include "common/ZstdFrames.h"
#include "update/FetchTarget.h"
#include "update/Http.h"
#include "update/PartTransfer.h"
#include "update/ProgressSink.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

enum class FrameOutcome {
    Done,        // the file stands at the target, its digest checked
    Broken,      // network error, time-out, stall, cut-off body or 5xx: the next attempt resumes
    Refused,     // the host does not serve the container (404, another 4xx, a redirect, ...)
    Unusable,    // the host's bytes are of no use: another range, a body of another length, frames that do not
                 // decode within the limits, a file with another digest
    LocalError,  // the disk refused the ".part" (logged)
};

// Where the frames are and what they decode with.
struct FrameSource {
    EncodedPlace place;
    unsigned windowLog = kMaxWindowLog;  // the largest window a frame may ask for (WindowLogFor of the manifest's sizes)
    std::string_view reference;          // a patch's base, its digest checked, alive as long as the transfer
};

// One file's frames over as many attempts and hosts as the caller gives it; used by one thread.
class FrameTransfer {
public:
    FrameTransfer(const FetchTarget& target, const FrameSource& source, ProgressSink* sink);
    FrameTransfer(const FrameTransfer&) = delete;
    FrameTransfer& operator=(const FrameTransfer&) = delete;
    ~FrameTransfer();

    // One request to `host` over `http` for the frames not yet decoded: from the start, or after a Broken
    // attempt from the last frame end (the ".part" cut back to what those frames decoded to).
    FrameOutcome Attempt(HttpRequest& http, const std::wstring& host);

    // Ends the transfer without the file: the ".part" keeps the bytes of frames that arrived whole after a
    // transfer that broke off (the whole-file download resumes from there), and goes otherwise.
    void GiveUp();

    // Why the last attempt failed, for the log.
    const std::string& Reason() const { return reason_; }
    const std::wstring& Url() const { return url_; }

private:
    FrameOutcome Fail(FrameOutcome outcome, std::string reason);
    FrameOutcome Receive(HttpRequest& http, std::uint64_t expected);

    const FetchTarget& target_;
    FrameSource source_;
    std::wstring url_;  // "z/<sha256>.zst"
    PartFile part_;
    std::unique_ptr<FrameDecoder> decoder_;
    bool opened_ = false;
    bool resumable_ = false;  // the last attempt broke off: the next one resumes at its last frame end
    std::string reason_;
};
