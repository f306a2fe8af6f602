#include "update/PackFetch.h"

#include "common/ZstdFrames.h"
#include "update/DebugLog.h"
#include "update/DecodeBudget.h"
#include "update/LocalFiles.h"
#include "update/LocalMirror.h"
#include "update/PartTransfer.h"
#include "update/Sha256.h"

#include <memory>
#include <optional>

namespace {

constexpr int kAttempts = 3;
constexpr DWORD kRetryDelaysMs[kAttempts - 1] = {1000, 3000};
constexpr char kLogFileByFile[] = "[Launcher][pack] %s: %zu file(s) one by one (%s)\n";
constexpr char kLogWrongMember[] = "[Launcher][pack] %s: %s arrived with another digest, fetched whole\n";
constexpr char kLogMemberFailed[] = "[Launcher][pack] %s: %s %s, fetched on its own\n";
constexpr char kLogRetry[] = "[Launcher][pack] %s broke off after %zu of %zu file(s); attempt %d of %d in %lu ms\n";

// The range as one transfer for the sink: the members in place, plus the bytes of the one being written.
class RangeProgress : public ProgressSink {
public:
    RangeProgress(ProgressSink* outer, std::uint64_t total) : outer_(outer), total_(total) {}
    void OnBytes(std::uint64_t done, std::uint64_t, bool received) override {
        if (outer_) outer_->OnBytes(placed_ + done, total_, received);
    }
    void OnWireBytes(std::uint64_t bytes) override {
        if (outer_) outer_->OnWireBytes(bytes);
    }
    void Placed(std::uint64_t bytes) { placed_ += bytes; }

private:
    ProgressSink* outer_;
    std::uint64_t total_;
    std::uint64_t placed_ = 0;
};

enum class Attempt { Done, Broken, Unusable, Ignored, LocalError };

// One range fetch in progress: which members are settled, and the ".part" of the one being written with, in a
// container, its decoder, its base and what they hold of the decode budget.
struct RangeRun {
    const std::wstring& host;
    const PackRangeFetch& job;
    const std::vector<FetchTarget>& members;
    const PackRangeListener& listener;
    RangeProgress progress;
    std::size_t settled = 0;  // members[0, settled) are reported
    std::unique_ptr<PartFile> part;
    std::optional<DecodeReservation> memory;
    std::string base;
    std::unique_ptr<FrameDecoder> decoder;
    bool passing = false;      // the rest of the current member is passed over: it is not placed
    std::wstring folderMade;  // the folder made for the last member: its neighbours mostly share it
    bool hostAtFault = false;  // a body that does not fit the range, or a member with another digest

    void Report(PackMemberOutcome outcome) {
        if (listener.onMember) listener.onMember(settled, outcome);
        ++settled;
    }
    // Lets go of the current member's ".part" (kept on the disk unless discarded first), decoder and base.
    void EndMember() {
        part.reset();
        decoder.reset();  // before the base it refers to
        std::string().swap(base);
        memory.reset();
    }
};

// The local copy as a patch's base: read whole and used only with the base's size and digest.
bool ReadBase(const FetchTarget& target, const MemberFrames& frames, std::string* base) {
    unsigned char digest[32] = {};
    return local_files::ReadWhole(target.LocalCopy(), frames.baseSize, base) && base->size() == frames.baseSize &&
           Sha256OfBytes(base->data(), base->size(), digest) && DigestHex(digest) == frames.baseSha256;
}

// Opens member `index`'s ".part" and, in a container, its decoder, within the limits of its lines; false when
// the disk refused. A patch whose base is not the local copy any more is passed over.
bool StartMember(RangeRun& run, std::size_t index) {
    const FetchTarget& target = run.members[index];
    // A folder swapped for a link since is still caught: the ".part" must name itself.
    const std::wstring folder = target.targetPath.substr(0, target.targetPath.find_last_of(L"\\/") + 1);
    if (folder != run.folderMade) {
        local_files::CreateParentFolders(target.targetPath);
        run.folderMade = folder;
    }
    if (!run.job.frames.empty()) {
        const MemberFrames& frames = run.job.frames[index];
        FrameLimits limits;
        limits.outputSize = target.size;
        limits.inputSize = run.job.range.members[index].length;
        limits.windowLogMax = WindowLogFor(target.size, frames.baseSize);
        run.memory.emplace(frames.baseSize + DecoderBytes(limits.windowLogMax));
        if (!frames.baseSha256.empty() && !ReadBase(target, frames, &run.base)) {
            LogLine(kLogMemberFailed, ToAnsiForLog(run.job.packUrl.c_str(), kLogNameBytes).c_str(),
                    ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(), "has another base here now");
            run.EndMember();
            run.passing = true;
            return true;
        }
        limits.reference = run.base;
        run.decoder = std::make_unique<FrameDecoder>(limits);
    }
    run.part = std::make_unique<PartFile>(&run.progress, target.size, target.relativeUrl.c_str());
    return run.part->Open(target.targetPath + L".part", 0);
}

// Drops the current member for a fault of the host's: the rest of it is passed over.
void FailMember(RangeRun& run, const FetchTarget& target, const std::string& why) {
    run.hostAtFault = true;
    LogLine(kLogMemberFailed, ToAnsiForLog(run.job.packUrl.c_str(), kLogNameBytes).c_str(),
            ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(), why.c_str());
    run.part->Discard();
    run.EndMember();
    run.passing = true;
}

// Takes one member's share of the body: the first piece opens its ".part", the last one seals it.
bool TakePiece(RangeRun& run, const MemberPiece& piece, std::size_t first) {
    const std::size_t index = first + piece.member;
    const FetchTarget& target = run.members[index];
    if (!run.part && !run.passing && !StartMember(run, index)) return false;
    if (!run.passing) {
        const bool appended = run.decoder ? run.part->AppendDecoded(*run.decoder, piece.data, piece.size)
                                          : run.part->Append(piece.data, piece.size, true);
        if (!appended && run.part->DiskRefused()) return false;
        if (!appended) FailMember(run, target, "does not decode (" + run.decoder->Error() + ")");
    }
    if (!piece.ends) return true;
    if (!run.passing && run.decoder && !run.decoder->Complete()) FailMember(run, target, "ends early");
    if (run.passing) {
        run.passing = false;
        run.Report(PackMemberOutcome::NotPlaced);
        return true;
    }
    const SealOutcome sealed = run.part->Seal(target.sha256, target.targetPath);
    const bool framed = run.decoder != nullptr;
    run.EndMember();
    switch (sealed) {
        case SealOutcome::Placed:
            NoteDeliveredBytes(run.host, framed ? run.job.range.members[index].length : target.size);
            run.progress.Placed(target.size);
            run.Report(PackMemberOutcome::Placed);
            return true;
        case SealOutcome::WrongDigest:
            run.hostAtFault = true;
            if (framed) {
                LogLine(kLogMemberFailed, ToAnsiForLog(run.job.packUrl.c_str(), kLogNameBytes).c_str(),
                        ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(), "arrived with another digest");
            } else {
                LogLine(kLogWrongMember, ToAnsiForLog(run.job.packUrl.c_str(), kLogNameBytes).c_str(),
                        ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str());
            }
            run.Report(PackMemberOutcome::NotPlaced);
            return true;
        case SealOutcome::LocalError: break;
    }
    return false;
}

// One request for the members not yet settled.
Attempt RequestRange(HttpRequest& http, const std::wstring& host, RangeRun& run, const PackRange& range) {
    const wchar_t* name = run.job.packUrl.c_str();
    const std::uint64_t last = range.offset + range.length - 1;
    const std::wstring header = L"Range: bytes=" + std::to_wstring(range.offset) + L"-" + std::to_wstring(last) + L"\r\n";
    if (RequestFromPatchHost(host, name, header, http) != HttpOpenStep::Done) return Attempt::Broken;
    const DWORD status = QueryStatusCode(http.request.Get());
    std::uint64_t bodyOffset = range.offset;
    std::uint64_t limit = range.length;
    if (status == 206) {
        std::uint64_t start = 0;
        std::uint64_t length = 0;
        if (!QueryRangeStart(http.request.Get(), &start) || start != range.offset ||
            !QueryContentLength(http.request.Get(), length) || length != range.length) {
            run.hostAtFault = true;
            return Attempt::Unusable;
        }
    } else if (status == 200) {
        if (!WorthTheWholePack(range, run.job.packSize)) return Attempt::Ignored;
        bodyOffset = 0;
        limit = run.job.packSize;
    } else {
        LogHttpStatus(status, name);
        return status >= 500 ? Attempt::Broken : Attempt::Unusable;
    }

    const std::size_t first = run.settled;
    PackSplitter splitter(range, bodyOffset);
    bool diskRefused = false;
    const BodyOutcome body = ReadBody(http, limit, name, [&](const char* data, std::size_t size) {
        return splitter.Feed(data, size, [&](const MemberPiece& piece) {
            diskRefused = !TakePiece(run, piece, first);
            return !diskRefused;
        });
    });
    if (run.part) run.part->Discard();  // a member cut off in the middle starts over
    run.EndMember();
    run.passing = false;
    switch (body) {
        case BodyOutcome::Done: return run.settled == first + range.members.size() ? Attempt::Done : Attempt::Broken;
        case BodyOutcome::Broken: return Attempt::Broken;
        case BodyOutcome::TooLong: break;
        case BodyOutcome::Refused:
            if (diskRefused) return Attempt::LocalError;
            break;
    }
    run.hostAtFault = true;
    return Attempt::Unusable;
}

const char* ReasonFor(Attempt attempt) {
    switch (attempt) {
        case Attempt::Broken: return "transfer broke off";
        case Attempt::Unusable: return "the host answered something else than the range";
        case Attempt::Ignored: return "the host ignored Range";
        case Attempt::LocalError: return "the disk refused a file";
        case Attempt::Done: break;
    }
    return "";
}

}  // namespace

PackRangeEnd FetchPackRange(HttpRequest& http, const std::wstring& host, const PackRangeFetch& job,
                            const std::vector<FetchTarget>& members, const PackRangeListener& listener) {
    std::uint64_t total = 0;  // what the members decode to
    for (const FetchTarget& member : members) total += member.size;
    RangeRun run{host, job, members, listener, RangeProgress(listener.sink, total)};
    Attempt attempt = Attempt::Done;
    for (int round = 1; round <= kAttempts; ++round) {
        const PackRange rest = RemainingRange(job.range, run.settled);
        if (rest.members.empty()) break;
        attempt = RequestRange(http, host, run, rest);
        if (run.hostAtFault || attempt == Attempt::Broken || attempt == Attempt::Ignored) {
            DropLocalMirror(host, "failed (pack range)");
        }
        if (attempt != Attempt::Broken || round == kAttempts || run.settled == members.size()) break;
        if (HostSkipped(host)) break;
        LogLine(kLogRetry, ToAnsiForLog(job.packUrl.c_str(), kLogNameBytes).c_str(), run.settled,
                 members.size(), round + 1, kAttempts, kRetryDelaysMs[round - 1]);
        Sleep(kRetryDelaysMs[round - 1]);
    }
    if (run.settled < members.size()) {
        LogLine(kLogFileByFile, ToAnsiForLog(job.packUrl.c_str(), kLogNameBytes).c_str(),
                 members.size() - run.settled, ReasonFor(attempt));
    }
    const PackMemberOutcome rest =
        attempt == Attempt::LocalError ? PackMemberOutcome::LocalError : PackMemberOutcome::NotPlaced;
    while (run.settled < members.size()) run.Report(rest);
    return attempt == Attempt::Ignored ? PackRangeEnd::RangesIgnored : PackRangeEnd::Done;
}
