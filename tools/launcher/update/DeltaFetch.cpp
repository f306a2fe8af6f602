#include "update/DeltaFetch.h"

#include "Win32Handles.h"
#include "common/ChunkFrames.h"
#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"
#include "common/DeltaPlan.h"
#include "common/ZstdFrames.h"
#include "update/DebugLog.h"
#include "update/DecodeBudget.h"
#include "update/Http.h"
#include "update/LocalFiles.h"
#include "update/PartTransfer.h"
#include "update/Sha256.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

constexpr DWORD kReadBlock = 1024 * 1024;
// A quick look at a big local copy before cutting all of it: kProbeCount samples of kProbeBytes spread
// evenly over the file. Files under kProbeMinimum are cut whole straight away.
constexpr std::uint32_t kProbeBytes = 128 * 1024;
constexpr std::uint64_t kProbeCount = 32;
constexpr std::uint64_t kProbeMinimum = 4 * kProbeCount * kProbeBytes;

// The reason a delta update gave way to the next way, logged once per file.
void LogFallback(const FetchTarget& target, const char* reason) {
    LogLine("[Launcher][delta] %s: %s (%s)\n", ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(),
            target.offers.compressed.Listed() ? "compressed file" : "whole file", reason);
}

// Whether a big local copy shares anything with the index's file, judged from samples: each is cut from an
// arbitrary offset, so its first and last pieces are dropped; the cuts in between fall where the whole
// file's do once the chunker has met one of them. Delta gives way anyway when less than a tenth of the file
// is shared, and a shared stretch that long holds at least two whole samples when both versions are of
// about the same size; a share in small scattered pieces, or in a local copy many times bigger, may be
// missed, and the file then comes whole. Saves cutting and hashing all of a copy that has nothing in common
// (a fifth of the download's time on a fast line). True when the file is too small to sample, or unreadable
// (the full cut says so).
bool SamplesShareAChunk(HANDLE file, std::uint64_t fileSize, const ChunkIndex& index) {
    if (fileSize < kProbeMinimum) return true;
    std::unordered_set<std::uint32_t> lengths;
    std::vector<std::array<unsigned char, 32>> digests;
    digests.reserve(index.chunks.size());
    for (const ChunkEntry& chunk : index.chunks) {
        lengths.insert(chunk.length);
        digests.push_back(chunk.sha256);
    }
    std::sort(digests.begin(), digests.end());
    Sha256Stream hasher;
    std::vector<unsigned char> sample(kProbeBytes);
    const std::uint64_t stride = (fileSize - kProbeBytes) / (kProbeCount - 1);
    bool shares = false;
    for (std::uint64_t i = 0; i < kProbeCount && !shares; ++i) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(i * stride);
        DWORD read = 0;
        if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN) || !ReadFile(file, sample.data(), kProbeBytes, &read, nullptr)) {
            shares = true;
            break;
        }
        const std::string_view bytes(reinterpret_cast<const char*>(sample.data()), read);
        const std::vector<ChunkSpan> spans = ChunkBuffer(bytes, index.params);
        for (std::size_t s = 1; s + 1 < spans.size() && !shares; ++s) {
            if (lengths.count(spans[s].length) == 0) continue;
            std::array<unsigned char, 32> digest{};
            if (!hasher.Restart()) return true;
            hasher.Update(sample.data() + spans[s].offset, spans[s].length);
            if (!hasher.Finish(digest)) return true;
            shares = std::binary_search(digests.begin(), digests.end(), digest);
        }
    }
    LARGE_INTEGER start = {};
    return SetFilePointerEx(file, start, nullptr, FILE_BEGIN) ? shares : true;
}

// Cuts the open local file as the index was cut and hashes the chunks whose length some chunk of the index
// has: a chunk of another length can match none, so most of a file that shares nothing is only cut, not
// hashed. False when the file cannot be read.
bool ChunkLocalFile(HANDLE file, const ChunkIndex& index, std::vector<ChunkEntry>* chunks) {
    std::unordered_set<std::uint32_t> lengths;
    for (const ChunkEntry& chunk : index.chunks) lengths.insert(chunk.length);
    std::optional<ContentChunker> chunker = StartChunker(index.params);
    Sha256Stream hasher;
    if (!chunker) return false;
    std::vector<unsigned char> buffer(kReadBlock);
    std::vector<unsigned char> carried;  // the start of the current chunk, from earlier reads
    std::uint64_t chunkStart = 0;
    // Ends the current chunk, whose last `size` bytes are at `tail`.
    const auto close = [&](std::uint32_t length, const unsigned char* tail, std::size_t size) {
        if (lengths.count(length) != 0) {
            ChunkEntry entry;
            entry.offset = chunkStart;
            entry.length = length;
            if (!hasher.Restart()) return false;
            if (!carried.empty()) hasher.Update(carried.data(), carried.size());
            hasher.Update(tail, size);
            if (!hasher.Finish(entry.sha256)) return false;
            chunks->push_back(entry);
        }
        carried.clear();
        chunkStart += length;
        return true;
    };
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), kReadBlock, &read, nullptr)) return false;
        if (read == 0) break;
        std::size_t pieceStart = 0;
        for (std::size_t at = 0; at < read;) {
            const ChunkFeed feed = chunker->Feed(buffer.data() + at, read - at);
            at += feed.used;
            if (feed.chunkLength != 0) {
                if (!close(feed.chunkLength, buffer.data() + pieceStart, at - pieceStart)) return false;
                pieceStart = at;
            }
        }
        carried.insert(carried.end(), buffer.data() + pieceStart, buffer.data() + read);
    }
    const std::uint32_t last = chunker->Finish();
    return last == 0 || close(last, nullptr, 0);
}

// A served object the manifest lists by digest and size (a chunk index, a frame table), and the words a
// reason uses for it.
struct ListedObject {
    std::string served;  // "delta/<hex>.kcix", "z/<hex>.kzix": ASCII
    std::uint64_t size = 0;
    std::string sha256;
    const char* what;  // "index"
    const char* line;  // "DELTA"
};

// Fetches `object` over `http`, checks it against its line, parses it with `parse` into *parsed and holds it to
// the manifest with `fits` (an empty text when it fits, else the reason). False with a reason; every failure
// but a 404 is the host's.
template <typename Parsed, typename Fits>
bool FetchListed(HttpRequest& http, const std::wstring& host, const ListedObject& object,
                 bool (*parse)(std::string_view, Parsed*, std::string*), Parsed* parsed, const Fits& fits,
                 DeltaResult* result, std::string* reason) {
    const std::string what = object.what;
    result->hostAtFault = true;
    const std::wstring name(object.served.begin(), object.served.end());
    if (RequestFromPatchHost(host, name.c_str(), std::wstring(), http) != HttpOpenStep::Done) {
        *reason = what + " unavailable";
        return false;
    }
    const DWORD status = QueryStatusCode(http.request.Get());
    if (status != 200) {
        LogHttpStatus(status, name.c_str());
        *reason = what + " unavailable, HTTP " + std::to_string(status);
        result->hostAtFault = status != 404;
        return false;
    }
    std::string bytes;
    switch (ReadBodyToMemory(http, object.size, name.c_str(), &bytes)) {
        case BodyOutcome::Done: break;
        case BodyOutcome::TooLong: *reason = what + " longer than the manifest says"; return false;
        case BodyOutcome::Broken:
        case BodyOutcome::Refused: *reason = what + " transfer broke off"; return false;
    }
    result->indexBytes = bytes.size();
    unsigned char digest[32] = {};
    if (bytes.size() != object.size || !Sha256OfBytes(bytes.data(), bytes.size(), digest) ||
        DigestHex(digest) != object.sha256) {
        *reason = what + " does not match its " + object.line + " line";
        return false;
    }
    std::string why;
    if (!parse(bytes, parsed, &why)) {
        *reason = what + " unreadable: " + why;
        return false;
    }
    *reason = fits();
    if (!reason->empty()) return false;
    result->hostAtFault = false;
    return true;
}

// The index of the target's file, fetched over `http` and checked against the manifest's DELTA line and
// FILE size. False with a reason; every failure but a 404 is the host's.
bool FetchIndex(HttpRequest& http, const FetchTarget& target, const std::wstring& host, ChunkIndex* index,
                DeltaResult* result, std::string* reason) {
    const ListedObject object{ChunkIndexServedPath(target.sha256), target.offers.deltaIndexSize,
                              target.offers.deltaIndexSha256, "index", "DELTA"};
    const auto fits = [&]() -> std::string {
        if (index->fileSize == target.size) return std::string();
        return "index describes " + std::to_string(index->fileSize) + " bytes, the manifest " +
               std::to_string(target.size);
    };
    return FetchListed(http, host, object, ParseChunkIndex, index, fits, result, reason);
}

// The frame table of the target's chunk frames, checked against the ZCHUNKS line and the FILE size: its frames
// must fill the listed length exactly.
bool FetchFrameTable(HttpRequest& http, const FetchTarget& target, const std::wstring& host, ChunkFrames* frames,
                     DeltaResult* result, std::string* reason) {
    const FetchOffers& offers = target.offers;
    const ListedObject object{ChunkFramesServedPath(offers.framesSha256), offers.framesSize, offers.framesSha256,
                              "frame table", "ZCHUNKS"};
    const auto fits = [&]() -> std::string {
        if (frames->index.fileSize == target.size &&
            FrameOffset(*frames, frames->frameLengths.size()) == offers.chunkFrames.length) {
            return std::string();
        }
        return "frame table does not match its ZCHUNKS line";
    };
    return FetchListed(http, host, object, ParseChunkFrames, frames, fits, result, reason);
}

// The frames of a fetch's chunks: where they start after the first frame, their length and the largest window
// their chunks allow.
struct FrameSpan {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    unsigned windowLog = 0;
};

// One span per fetch of the plan, in order; false when a fetch does not start and end on chunk bounds.
bool SpansOf(const ChunkFrames& frames, const DeltaPlan& plan, std::vector<FrameSpan>* spans) {
    const std::vector<ChunkEntry>& chunks = frames.index.chunks;
    std::vector<std::uint64_t> starts(1, 0);
    for (std::uint32_t length : frames.frameLengths) starts.push_back(starts.back() + length);
    for (const DeltaOp& op : plan.ops) {
        if (op.kind != DeltaOpKind::Fetch) continue;
        const auto first = std::lower_bound(chunks.begin(), chunks.end(), op.newOffset,
                                            [](const ChunkEntry& c, std::uint64_t at) { return c.offset < at; });
        if (first == chunks.end() || first->offset != op.newOffset) return false;
        const std::size_t i = static_cast<std::size_t>(first - chunks.begin());
        std::size_t j = i;
        FrameSpan span;
        for (; j < chunks.size() && chunks[j].offset < op.newOffset + op.length; ++j) {
            span.windowLog = std::max(span.windowLog, WindowLogFor(chunks[j].length, 0));
        }
        if (chunks[j - 1].offset + chunks[j - 1].length != op.newOffset + op.length) return false;
        span.offset = starts[i];
        span.length = starts[j] - starts[i];
        spans->push_back(span);
    }
    return true;
}

// Copies local bytes [offset, offset + length) to the end of the ".part".
bool CopyLocal(HANDLE local, PartFile& part, const DeltaOp& op, std::vector<unsigned char>& buffer) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(op.localOffset);
    if (!SetFilePointerEx(local, at, nullptr, FILE_BEGIN)) return false;
    for (std::uint64_t left = op.length; left > 0;) {
        const DWORD want = left < kReadBlock ? static_cast<DWORD>(left) : kReadBlock;
        DWORD read = 0;
        if (!ReadFile(local, buffer.data(), want, &read, nullptr) || read != want) return false;
        if (!part.Append(buffer.data(), read, false)) return false;
        left -= read;
    }
    return true;
}

enum class RangeOutcome { Done, WholeFile, LocalError };

// Asks `host` for bytes [first, first + length) of `name` and checks that the answer is that range.
bool RequestRange(HttpRequest& http, const std::wstring& host, const wchar_t* name, std::uint64_t first,
                  std::uint64_t length, std::string* reason) {
    const std::wstring range =
        L"Range: bytes=" + std::to_wstring(first) + L"-" + std::to_wstring(first + length - 1) + L"\r\n";
    if (RequestFromPatchHost(host, name, range, http) != HttpOpenStep::Done) {
        *reason = "range request failed";
        return false;
    }
    const DWORD status = QueryStatusCode(http.request.Get());
    std::uint64_t start = 0;
    std::uint64_t answered = 0;
    if (status != 206) {
        *reason = status == 200 ? "the host ignored Range" : "range answered HTTP " + std::to_string(status);
        return false;
    }
    if (!QueryRangeStart(http.request.Get(), &start) || start != first ||
        !QueryContentLength(http.request.Get(), answered) || answered != length) {
        *reason = "the host answered another range";
        return false;
    }
    return true;
}

// Appends new-file bytes [offset, offset + length) to the ".part", fetched over `http`.
RangeOutcome AppendServedRange(HttpRequest& http, const FetchTarget& target, const std::wstring& host, const DeltaOp& op,
                               PartFile& part, std::string* reason) {
    if (!RequestRange(http, host, target.relativeUrl.c_str(), op.newOffset, op.length, reason)) {
        return RangeOutcome::WholeFile;
    }
    const std::uint64_t before = part.Bytes();
    switch (part.Receive(http)) {
        case BodyOutcome::Done:
            if (part.Bytes() - before == op.length) return RangeOutcome::Done;
            *reason = "range transfer broke off";
            return RangeOutcome::WholeFile;
        case BodyOutcome::Broken:
        case BodyOutcome::TooLong: *reason = "range transfer broke off"; return RangeOutcome::WholeFile;
        case BodyOutcome::Refused: break;
    }
    return RangeOutcome::LocalError;
}

// Appends the same bytes decoded from their chunks' frames, fetched over `http` as a range of their container.
RangeOutcome AppendFrameRange(HttpRequest& http, const FetchTarget& target, const std::wstring& host, const DeltaOp& op,
                              const FrameSpan& span, PartFile& part, std::string* reason) {
    const std::string served = ContainerServedPath(target.offers.chunkFrames.containerSha256);
    const std::wstring name(served.begin(), served.end());
    if (!RequestRange(http, host, name.c_str(), target.offers.chunkFrames.offset + span.offset, span.length, reason)) {
        return RangeOutcome::WholeFile;
    }
    FrameLimits limits;
    limits.outputSize = op.length;
    limits.inputSize = span.length;
    limits.windowLogMax = span.windowLog;
    FrameDecoder decoder(limits);
    switch (part.Receive(http, decoder, span.length)) {
        case BodyOutcome::Done:
            if (decoder.Complete()) return RangeOutcome::Done;
            *reason = "the frames end early";
            return RangeOutcome::WholeFile;
        case BodyOutcome::Broken:
        case BodyOutcome::TooLong: *reason = "range transfer broke off"; return RangeOutcome::WholeFile;
        case BodyOutcome::Refused: break;
    }
    if (part.DiskRefused()) return RangeOutcome::LocalError;
    *reason = "a frame does not decode: " + decoder.Error();
    return RangeOutcome::WholeFile;
}

// Builds the ".part" by the plan, each fetch by its raw bytes or (with `spans`) by its frames, and moves it
// into place when its digest is right.
DeltaOutcome Assemble(HttpRequest& http, const FetchTarget& target, const std::wstring& host, const DeltaPlan& plan,
                      const std::vector<FrameSpan>* spans, ScopedHandle& local, PartFile& part, DeltaResult* result,
                      std::string* reason) {
    if (!part.Open(target.targetPath + L".part", 0)) return DeltaOutcome::LocalError;
    std::vector<unsigned char> buffer(kReadBlock);
    std::size_t fetched = 0;
    for (const DeltaOp& op : plan.ops) {
        if (op.kind == DeltaOpKind::Copy) {
            if (!CopyLocal(local.Get(), part, op, buffer)) {
                LogHttpStepFailure("copy from the local file", target.relativeUrl.c_str(), GetLastError());
                *reason = "local copy unreadable";
                return DeltaOutcome::WholeFile;
            }
            result->copiedBytes += op.length;
            continue;
        }
        const RangeOutcome range = spans ? AppendFrameRange(http, target, host, op, (*spans)[fetched], part, reason)
                                         : AppendServedRange(http, target, host, op, part, reason);
        switch (range) {
            case RangeOutcome::Done: break;
            case RangeOutcome::WholeFile: result->hostAtFault = true; return DeltaOutcome::WholeFile;
            case RangeOutcome::LocalError: return DeltaOutcome::LocalError;
        }
        if (spans) result->frameBytes += (*spans)[fetched].length;
        ++fetched;
        result->rangeBytes += op.length;
        ++result->ranges;
    }
    local.Reset();  // the move replaces it
    switch (part.Seal(target.sha256, target.targetPath)) {
        case SealOutcome::Placed: break;
        case SealOutcome::WrongDigest:
            *reason = "the assembled file has another digest";
            result->hostAtFault = true;
            return DeltaOutcome::WholeFile;
        case SealOutcome::LocalError: return DeltaOutcome::LocalError;
    }
    result->sha256 = part.Digest();
    return DeltaOutcome::Done;
}

}  // namespace

DeltaResult FetchByDelta(const FetchTarget& target, const std::wstring& host, ProgressSink* sink, HttpRequest* kept,
                         std::uint64_t ceiling) {
    DeltaResult result;
    const FetchOffers& offers = target.offers;
    result.frames = offers.chunkFrames.Listed() && offers.framesSize > 0 && offers.framesSize <= kMaxChunkIndexBytes;
    const bool indexed =
        !offers.deltaIndexSha256.empty() && offers.deltaIndexSize > 0 && offers.deltaIndexSize <= kMaxChunkIndexBytes;
    if (!result.frames && !indexed) return result;
    ScopedHandle local = local_files::OpenToRead(target.LocalCopy(), FILE_FLAG_SEQUENTIAL_SCAN);
    LARGE_INTEGER localSize = {};
    if (!local.Valid() || !GetFileSizeEx(local.Get(), &localSize) || localSize.QuadPart == 0) return result;

    HttpRequest own;  // one connection for the index and every range
    HttpRequest& http = kept ? *kept : own;
    PartFile part(sink, target.size, target.relativeUrl.c_str());
    std::string reason;
    ChunkFrames frames;
    ChunkIndex& index = frames.index;
    std::vector<ChunkEntry> localChunks;
    std::optional<DeltaPlan> plan;
    std::vector<FrameSpan> spans;
    const bool fetched = result.frames ? FetchFrameTable(http, target, host, &frames, &result, &reason)
                                       : FetchIndex(http, target, host, &index, &result, &reason);
    if (!fetched) {
        result.outcome = DeltaOutcome::WholeFile;
    } else if (!SamplesShareAChunk(local.Get(), static_cast<std::uint64_t>(localSize.QuadPart), index)) {
        reason = "little in common with the local copy";
        result.outcome = DeltaOutcome::WholeFile;
    } else if (!ChunkLocalFile(local.Get(), index, &localChunks)) {
        reason = "local copy unreadable";
        result.outcome = DeltaOutcome::WholeFile;
    } else if (!(plan = PlanDelta(index, localChunks)) || plan->fetchWhole) {
        reason = "little in common with the local copy";
        result.outcome = DeltaOutcome::WholeFile;
    } else if (result.frames && !SpansOf(frames, *plan, &spans)) {
        reason = "frame table does not match its ZCHUNKS line";
        result.hostAtFault = true;
        result.outcome = DeltaOutcome::WholeFile;
    } else {
        std::uint64_t cost = 0;
        unsigned windowLog = 0;
        for (const FrameSpan& span : spans) {
            cost += span.length;
            windowLog = std::max(windowLog, span.windowLog);
        }
        if (!result.frames) cost = plan->fetchBytes;
        if (cost >= ceiling) {
            reason = "its ranges cost more than the next way";
            result.outcome = DeltaOutcome::WholeFile;
        } else {
            std::optional<DecodeReservation> memory;
            if (result.frames) memory.emplace(DecoderBytes(windowLog));
            result.outcome =
                Assemble(http, target, host, *plan, result.frames ? &spans : nullptr, local, part, &result, &reason);
        }
    }
    if (result.outcome == DeltaOutcome::Done) {
        LogLine("[Launcher][delta] %s: %llu bytes from the local copy, %llu in %zu ranges, index %llu\n",
                 ToAnsiForLog(target.name.c_str(), kLogNameBytes).c_str(),
                 static_cast<unsigned long long>(result.copiedBytes), static_cast<unsigned long long>(result.rangeBytes),
                 result.ranges, static_cast<unsigned long long>(result.indexBytes));
        return result;
    }
    // The next way starts afresh: nothing of this attempt stays, on the disk or on the bar.
    part.Discard();
    if (result.outcome == DeltaOutcome::WholeFile) LogFallback(target, reason.c_str());
    return result;
}
