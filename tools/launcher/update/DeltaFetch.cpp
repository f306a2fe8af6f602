#include "update/DeltaFetch.h"

#include "LongPath.h"
#include "Win32Handles.h"
#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"
#include "common/DeltaPlan.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/PartTransfer.h"
#include "update/Sha256.h"

#include <algorithm>
#include <cstring>
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
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogNameBytes = 255;

// The reason a delta update gave way to the whole file, logged once per file.
void LogFallback(const FileFetch& fetch, const char* reason) {
    LogLineA(kLogLineBytes, "[Launcher][delta] %s: whole file (%s)\n", ToAnsiForLog(fetch.name.c_str(), kLogNameBytes).c_str(),
             reason);
}

// SHA-256 of one chunk after another over one CNG provider.
class ChunkHasher {
public:
    ChunkHasher() { ok_ = BCryptOpenAlgorithmProvider(algorithm_.Receive(), BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0; }

    bool Start() {
        hash_.Reset();
        ok_ = ok_ && BCryptCreateHash(algorithm_.Get(), hash_.Receive(), nullptr, 0, nullptr, 0, 0) == 0;
        return ok_;
    }
    void Update(const unsigned char* data, std::size_t size) {
        if (size == 0) return;
        ok_ = ok_ && BCryptHashData(hash_.Get(), const_cast<unsigned char*>(data), static_cast<ULONG>(size), 0) == 0;
    }
    bool Finish(std::array<unsigned char, 32>* digest) {
        ok_ = ok_ && BCryptFinishHash(hash_.Get(), digest->data(), static_cast<ULONG>(digest->size()), 0) == 0;
        return ok_;
    }

private:
    ScopedBcryptAlgorithm algorithm_;  // declared first: released after the hash
    ScopedBcryptHash hash_;
    bool ok_ = false;
};

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
    ChunkHasher hasher;
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
            if (!hasher.Start()) return true;
            hasher.Update(sample.data() + spans[s].offset, spans[s].length);
            if (!hasher.Finish(&digest)) return true;
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
    ChunkHasher hasher;
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
            if (!hasher.Start()) return false;
            if (!carried.empty()) hasher.Update(carried.data(), carried.size());
            hasher.Update(tail, size);
            if (!hasher.Finish(&entry.sha256)) return false;
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

// GET of the index into memory over `http`: status 200, at most `limit` bytes. False with a reason.
bool FetchIndexBytes(HttpRequest& http, const std::wstring& host, const std::wstring& name, std::uint64_t limit, std::string* bytes, std::string* reason) {
    const HttpOpenStep opened = OpenPatchRequest(host, name.c_str(), http);
    if (opened != HttpOpenStep::Done) {
        LogHttpStepFailure(HttpStepName(opened), name.c_str(), GetLastError());
        *reason = "index unavailable";
        return false;
    }
    if (!WinHttpSendRequest(http.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        LogHttpStepFailure("index request", name.c_str(), GetLastError());
        *reason = "index unavailable";
        return false;
    }
    const DWORD status = QueryStatusCode(http.request.Get());
    if (status != 200) {
        LogHttpStatus(status, name.c_str());
        *reason = "index unavailable, HTTP " + std::to_string(status);
        return false;
    }
    std::vector<char> piece;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(http.request.Get(), &available)) {
            *reason = "index transfer broke off";
            return false;
        }
        if (available == 0) return true;
        if (bytes->size() + available > limit) {
            *reason = "index longer than the manifest says";
            return false;
        }
        piece.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(http.request.Get(), piece.data(), available, &read)) {
            *reason = "index transfer broke off";
            return false;
        }
        bytes->append(piece.data(), read);
    }
}

// The index of fetch's file, fetched and checked against the manifest's DELTA line and FILE size.
bool FetchIndex(HttpRequest& http, const FileFetch& fetch, const std::wstring& host, ChunkIndex* index,
                DeltaResult* result, std::string* reason) {
    const std::string served = ChunkIndexServedPath(fetch.sha256);
    const std::wstring name(served.begin(), served.end());  // "delta/<hex>.kcix": ASCII
    std::string bytes;
    if (!FetchIndexBytes(http, host, name, fetch.deltaIndexSize, &bytes, reason)) return false;
    result->indexBytes = bytes.size();
    unsigned char digest[32] = {};
    if (bytes.size() != fetch.deltaIndexSize || !Sha256OfBytes(bytes.data(), bytes.size(), digest) ||
        DigestHex(digest) != fetch.deltaIndexSha256) {
        *reason = "index does not match its DELTA line";
        return false;
    }
    std::string why;
    if (!ParseChunkIndex(bytes, index, &why)) {
        *reason = "index unreadable: " + why;
        return false;
    }
    if (index->fileSize != fetch.size) {
        *reason = "index describes " + std::to_string(index->fileSize) + " bytes, the manifest " + std::to_string(fetch.size);
        return false;
    }
    return true;
}

// Copies local bytes [offset, offset + length) to the end of the ".part".
bool CopyLocal(HANDLE local, HANDLE part, const DeltaOp& op, std::vector<unsigned char>& buffer, Sha256Stream* digest,
               TransferProgress& progress) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(op.localOffset);
    if (!SetFilePointerEx(local, at, nullptr, FILE_BEGIN)) return false;
    for (std::uint64_t left = op.length; left > 0;) {
        const DWORD want = left < kReadBlock ? static_cast<DWORD>(left) : kReadBlock;
        DWORD read = 0;
        DWORD written = 0;
        if (!ReadFile(local, buffer.data(), want, &read, nullptr) || read != want) return false;
        if (!WriteFile(part, buffer.data(), read, &written, nullptr) || written != read) return false;
        digest->Update(buffer.data(), read);
        progress.OnChunk(read, false);
        left -= read;
    }
    return true;
}

enum class RangeOutcome { Done, WholeFile, LocalError };

// Fetches new-file bytes [offset, offset + length) to the end of the ".part" over `http`.
RangeOutcome FetchRange(HttpRequest& http, const FileFetch& fetch, const std::wstring& host, const DeltaOp& op,
                        HANDLE part, Sha256Stream* digest, TransferProgress& progress, std::string* reason) {
    const wchar_t* name = fetch.relativeUrl.c_str();
    const HttpOpenStep opened = OpenPatchRequest(host, name, http);
    if (opened != HttpOpenStep::Done) {
        LogHttpStepFailure(HttpStepName(opened), name, GetLastError());
        *reason = "range request failed";
        return RangeOutcome::WholeFile;
    }
    const std::wstring range = L"Range: bytes=" + std::to_wstring(op.newOffset) + L"-" +
                               std::to_wstring(op.newOffset + op.length - 1) + L"\r\n";
    if (!WinHttpSendRequest(http.request.Get(), range.c_str(), static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        LogHttpStepFailure("range request", name, GetLastError());
        *reason = "range request failed";
        return RangeOutcome::WholeFile;
    }
    const DWORD status = QueryStatusCode(http.request.Get());
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    if (status != 206) {
        *reason = status == 200 ? "the host ignored Range" : "range answered HTTP " + std::to_string(status);
        return RangeOutcome::WholeFile;
    }
    if (!QueryRangeStart(http.request.Get(), &start) || start != op.newOffset ||
        !QueryContentLength(http.request.Get(), length) || length != op.length) {
        *reason = "the host answered another range";
        return RangeOutcome::WholeFile;
    }
    switch (ReceiveBody(http.request.Get(), part, progress, digest, name)) {
        case BodyOutcome::Done: return RangeOutcome::Done;
        case BodyOutcome::Broken: *reason = "range transfer broke off"; return RangeOutcome::WholeFile;
        case BodyOutcome::LocalError: break;
    }
    return RangeOutcome::LocalError;
}

// Builds the ".part" by the plan and moves it into place when its digest is right.
DeltaOutcome Assemble(HttpRequest& http, const FileFetch& fetch, const std::wstring& host, const DeltaPlan& plan,
                      ScopedHandle& local, TransferProgress& progress, DeltaResult* result, std::string* reason) {
    const std::wstring partPath = fetch.targetPath + L".part";
    const wchar_t* name = fetch.relativeUrl.c_str();
    ScopedHandle part(CreateFileW(ForFileApi(partPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!part.Valid()) {
        LogHttpStepFailure("CreateFile .part", name, GetLastError());
        return DeltaOutcome::LocalError;
    }
    Sha256Stream digest;
    std::vector<unsigned char> buffer(kReadBlock);
    for (const DeltaOp& op : plan.ops) {
        if (op.kind == DeltaOpKind::Copy) {
            if (!CopyLocal(local.Get(), part.Get(), op, buffer, &digest, progress)) {
                LogHttpStepFailure("copy from the local file", name, GetLastError());
                *reason = "local copy unreadable";
                return DeltaOutcome::WholeFile;
            }
            result->copiedBytes += op.length;
            continue;
        }
        switch (FetchRange(http, fetch, host, op, part.Get(), &digest, progress, reason)) {
            case RangeOutcome::Done: break;
            case RangeOutcome::WholeFile: return DeltaOutcome::WholeFile;
            case RangeOutcome::LocalError: return DeltaOutcome::LocalError;
        }
        result->rangeBytes += op.length;
        ++result->ranges;
    }
    // On the disk before the move makes it the target, as for a download.
    if (!FlushFileBuffers(part.Get())) {
        LogHttpStepFailure("FlushFileBuffers .part", name, GetLastError());
        return DeltaOutcome::LocalError;
    }
    part.Reset();
    local.Reset();  // the move replaces it
    unsigned char sha[32] = {};
    if (!digest.Finish(sha) || DigestHex(sha) != fetch.sha256) {
        *reason = "the assembled file has another digest";
        return DeltaOutcome::WholeFile;
    }
    if (!MoveIntoPlace(partPath, fetch.targetPath, name)) return DeltaOutcome::LocalError;
    result->sha256 = DigestHex(sha);
    return DeltaOutcome::Done;
}

}  // namespace

DeltaResult FetchByDelta(const FileFetch& fetch, const std::wstring& host) {
    DeltaResult result;
    if (fetch.deltaIndexSha256.empty() || fetch.deltaIndexSize == 0 || fetch.deltaIndexSize > kMaxChunkIndexBytes) {
        return result;
    }
    ScopedHandle local(CreateFileW(ForFileApi(fetch.targetPath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER localSize = {};
    if (!local.Valid() || !GetFileSizeEx(local.Get(), &localSize) || localSize.QuadPart == 0) return result;

    TransferProgress progress{fetch.window, fetch.size, fetch.label.c_str(), fetch.sharedDone, fetch.sharedTotal};
    progress.lastSpeedTick = GetTickCount();
    HttpRequest http;  // one connection for the index and every range
    std::string reason;
    ChunkIndex index;
    std::vector<ChunkEntry> localChunks;
    std::optional<DeltaPlan> plan;
    if (!FetchIndex(http, fetch, host, &index, &result, &reason)) {
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
    } else {
        result.outcome = Assemble(http, fetch, host, *plan, local, progress, &result, &reason);
    }
    if (result.outcome == DeltaOutcome::Done) {
        LogLineA(kLogLineBytes, "[Launcher][delta] %s: %llu bytes from the local copy, %llu in %zu ranges, index %llu\n",
                 ToAnsiForLog(fetch.name.c_str(), kLogNameBytes).c_str(),
                 static_cast<unsigned long long>(result.copiedBytes), static_cast<unsigned long long>(result.rangeBytes),
                 result.ranges, static_cast<unsigned long long>(result.indexBytes));
        return result;
    }
    // The whole-file download starts afresh: nothing of this attempt stays, on the disk or on the bar.
    DeleteFileW(ForFileApi(fetch.targetPath + L".part").c_str());
    if (fetch.sharedDone) fetch.sharedDone->fetch_sub(progress.bytesDone);
    if (result.outcome == DeltaOutcome::WholeFile) LogFallback(fetch, reason.c_str());
    return result;
}
