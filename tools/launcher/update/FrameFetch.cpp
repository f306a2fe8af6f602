#include "update/FrameFetch.h"

#include "common/ChunkFrames.h"
#include "update/LocalFiles.h"

namespace {

// Every limit from the manifest: the file's size, the listed length, the window its sizes allow, the base.
FrameLimits LimitsOf(const FetchTarget& target, const FrameSource& source) {
    FrameLimits limits;
    limits.outputSize = target.size;
    limits.inputSize = source.place.length;
    limits.windowLogMax = source.windowLog;
    limits.reference = source.reference;
    return limits;
}

std::wstring UrlOf(const EncodedPlace& place) {
    const std::string served = ContainerServedPath(place.containerSha256);
    return std::wstring(served.begin(), served.end());  // "z/<hex>.zst": ASCII
}

}  // namespace

FrameTransfer::FrameTransfer(const FetchTarget& target, const FrameSource& source, ProgressSink* sink)
    : target_(target), source_(source), url_(UrlOf(source.place)), part_(sink, target.size, target.relativeUrl.c_str()) {}

FrameTransfer::~FrameTransfer() { GiveUp(); }

FrameOutcome FrameTransfer::Fail(FrameOutcome outcome, std::string reason) {
    reason_ = std::move(reason);
    resumable_ = outcome == FrameOutcome::Broken;
    return outcome;
}

FrameOutcome FrameTransfer::Attempt(HttpRequest& http, const std::wstring& host) {
    if (url_.empty() || source_.place.length == 0) return Fail(FrameOutcome::Refused, "no container");
    // Frames that arrived whole before a break stay; after anything else the frames start over.
    std::uint64_t keep = 0;
    if (resumable_ && decoder_ && decoder_->ResumeAtFrameEnd()) {
        keep = decoder_->OutputBytes();
    } else {
        decoder_ = std::make_unique<FrameDecoder>(LimitsOf(target_, source_));
        if (!decoder_->Error().empty()) return Fail(FrameOutcome::Refused, decoder_->Error());
    }
    if (opened_) {
        opened_ = part_.Reopen(keep);
    } else {
        local_files::CreateParentFolders(target_.targetPath);
        opened_ = part_.Open(target_.targetPath + L".part", 0);
    }
    if (!opened_) return Fail(FrameOutcome::LocalError, "the disk refused the .part");

    const std::uint64_t from = source_.place.offset + decoder_->InputBytes();
    const std::uint64_t last = source_.place.offset + source_.place.length - 1;
    const bool whole = from == 0 && source_.place.FillsContainer();
    const std::wstring range =
        whole ? std::wstring() : L"Range: bytes=" + std::to_wstring(from) + L"-" + std::to_wstring(last) + L"\r\n";
    const HttpOpenStep step = RequestFromPatchHost(host, url_.c_str(), range, http);
    if (step != HttpOpenStep::Done) {
        const bool refused = step == HttpOpenStep::CrackUrl || step == HttpOpenStep::ProxyAuthentication;
        return Fail(refused ? FrameOutcome::Refused : FrameOutcome::Broken, "no answer");
    }
    const DWORD status = QueryStatusCode(http.request.Get());
    if (status != (whole ? 200u : 206u)) {
        if (status == 200) return Fail(FrameOutcome::Unusable, "the host ignored Range");
        LogHttpStatus(status, url_.c_str());
        const FrameOutcome outcome = status >= 500 ? FrameOutcome::Broken
                                     : status == 416 ? FrameOutcome::Unusable
                                                     : FrameOutcome::Refused;
        return Fail(outcome, "HTTP " + std::to_string(status));
    }
    const std::uint64_t expected = last - from + 1;
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    const bool hasLength = QueryContentLength(http.request.Get(), length);
    if ((!whole && (!QueryRangeStart(http.request.Get(), &start) || start != from || !hasLength)) ||
        (hasLength && length != expected)) {
        return Fail(FrameOutcome::Unusable, "the host answered another range or length");
    }
    return Receive(http, expected);
}

FrameOutcome FrameTransfer::Receive(HttpRequest& http, std::uint64_t expected) {
    const std::uint64_t before = decoder_->InputBytes();
    const BodyOutcome body = part_.Receive(http, *decoder_, expected);
    switch (body) {
        case BodyOutcome::Done: break;
        case BodyOutcome::Broken: return Fail(FrameOutcome::Broken, "transfer broke off");
        case BodyOutcome::TooLong: return Fail(FrameOutcome::Unusable, "longer than listed");
        case BodyOutcome::Refused:
            if (part_.DiskRefused()) return Fail(FrameOutcome::LocalError, "the disk refused the .part");
            return Fail(FrameOutcome::Unusable, "the frames do not decode: " + decoder_->Error());
    }
    // A body without a length that stopped short broke off; one of the listed length must end its last frame.
    if (decoder_->InputBytes() - before < expected) return Fail(FrameOutcome::Broken, "transfer broke off");
    if (!decoder_->Complete()) return Fail(FrameOutcome::Unusable, "the frames end early");
    opened_ = false;
    switch (part_.Seal(target_.sha256, target_.targetPath)) {
        case SealOutcome::Placed: return FrameOutcome::Done;
        case SealOutcome::WrongDigest: return Fail(FrameOutcome::Unusable, "the decoded file has another digest");
        case SealOutcome::LocalError: break;
    }
    return Fail(FrameOutcome::LocalError, "the disk refused the move");
}

void FrameTransfer::GiveUp() {
    if (!opened_) return;
    opened_ = false;
    const std::uint64_t kept = resumable_ && decoder_ ? decoder_->OutputAtFrameEnd() : 0;
    if (kept > 0 && part_.Reopen(kept)) {
        part_.Close();
        return;
    }
    part_.Discard();
}
