// A big file brought up to date from its local copy and ranges of the served file, in-process against the
// loopback host: every case ends with exactly the new file, by delta or by the whole-file download.
#include "update/FileFetch.h"
#include "update/PatchHost.h"

#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

constexpr std::size_t kKiB = 1024;

// The index patchgen publishes for `bytes`, built here from the shared chunker and a digest of the tests'.
std::string IndexFor(const std::string& bytes) {
    ChunkIndex index;
    index.params = kDefaultChunkParams;
    index.fileSize = bytes.size();
    for (const ChunkSpan& span : ChunkBuffer(bytes, kDefaultChunkParams)) {
        ChunkEntry entry;
        entry.offset = span.offset;
        entry.length = span.length;
        const std::string hex = testsupport::Sha256Hex(bytes.substr(static_cast<std::size_t>(span.offset), span.length));
        for (std::size_t i = 0; i < entry.sha256.size(); ++i) {
            entry.sha256[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        }
        index.chunks.push_back(entry);
    }
    return SerializeChunkIndex(index);
}

std::string Random(std::size_t size, std::mt19937& random) {
    std::string out(size, '\0');
    for (char& c : out) c = static_cast<char>(random() & 0xFF);
    return out;
}

enum class IndexServed { Right, Corrupt, Missing };

struct Served {
    IndexServed index = IndexServed::Right;
    bool honourRange = true;
    bool corruptRanges = false;
};

struct Outcome {
    FetchOutcome outcome = FetchOutcome::DownloadFailed;
    std::string result;        // the file afterwards
    int wholeRequests = 0;     // GETs of the file without Range
    int rangeRequests = 0;
    int indexRequests = 0;
    std::uint64_t bodyBytes = 0;  // everything the host sent
    bool partLeft = false;
};

Outcome Update(const std::string& local, const std::string& next, const Served& served) {
    Outcome out;
    LoopbackHttpServer server;
    TempDir dir;
    const std::string digest = testsupport::Sha256Hex(next);
    const std::string index = IndexFor(next);
    HttpResponse file{200, next};
    file.honourRange = served.honourRange;
    file.corruptRanges = served.corruptRanges;
    server.Route("/patch/files/big.pak", file);
    std::string servedIndex = index;
    if (served.index == IndexServed::Corrupt) servedIndex[servedIndex.size() / 2] ^= 1;
    if (served.index != IndexServed::Missing) server.RouteBody("/patch/" + ChunkIndexServedPath(digest), servedIndex);
    EXPECT_TRUE(testsupport::WriteBytes(dir / L"big.pak", local));

    const std::vector<std::wstring> hosts = {PatchBaseUrl};
    FetchTarget target;
    target.relativeUrl = L"files/big.pak";
    target.targetPath = dir / L"big.pak";
    target.size = next.size();
    target.sha256 = digest;
    target.name = L"big.pak";
    target.offers.deltaIndexSha256 = testsupport::Sha256Hex(index);
    target.offers.deltaIndexSize = index.size();
    out.outcome = FetchVerifiedFile(hosts, target, FetchListener{}).outcome;
    out.result = testsupport::ReadBytes(dir / L"big.pak");
    out.partLeft = testsupport::FileExists(dir / L"big.pak.part");
    for (const std::string& head : server.RequestLines()) {
        if (head.rfind("GET /patch/files/big.pak ", 0) == 0) {
            ++(head.find("\r\nRange: bytes=") != std::string::npos ? out.rangeRequests : out.wholeRequests);
        } else if (head.rfind("GET /patch/delta/", 0) == 0) {
            ++out.indexRequests;
        }
    }
    out.bodyBytes = server.BodyBytesSent();
    return out;
}

struct DeltaCase {
    const char* name;
    std::function<std::string(const std::string&)> edit;  // the new version from the local one
    Served served;
    bool byDelta;  // true: only ranges of the file were fetched; false: the file once, whole
};

// Each case from the local copy `base`: the new file exactly, no .part, the index fetched once, and the file
// by ranges under `deltaShare` of its size (index included) or whole in one request.
void ExpectEveryCase(const std::string& base, const std::vector<DeltaCase>& cases, double deltaShare) {
    for (const DeltaCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string next = c.edit(base);
        const Outcome out = Update(base, next, c.served);
        EXPECT_EQ(out.outcome, FetchOutcome::Verified);
        EXPECT_TRUE(out.result == next) << "the file afterwards is not the new version";
        EXPECT_FALSE(out.partLeft);
        EXPECT_EQ(out.indexRequests, 1);
        EXPECT_EQ(out.wholeRequests, c.byDelta ? 0 : 1);
        if (c.byDelta) {
            EXPECT_LT(static_cast<double>(out.bodyBytes), static_cast<double>(next.size()) * deltaShare);
        }
    }
}

TEST(DeltaFetchTest, EveryCaseEndsWithTheNewFile) {
    std::mt19937 random(7);
    const std::string base = Random(1536 * kKiB, random);
    const std::string fresh = Random(1536 * kKiB, random);
    const std::string block = Random(100 * kKiB, random);
    const auto inPlace = [&](const std::string& s) { return s.substr(0, 700 * kKiB) + block + s.substr(800 * kKiB); };
    const std::vector<DeltaCase> cases = {
        {"a change in place", inPlace, {}, true},
        {"an insertion", [&](const std::string& s) { return s.substr(0, 600 * kKiB) + block + s.substr(600 * kKiB); }, {}, true},
        {"a deletion", [&](const std::string& s) { return s.substr(0, 500 * kKiB) + s.substr(600 * kKiB); }, {}, true},
        {"an append", [&](const std::string& s) { return s + block + block; }, {}, true},
        {"a truncation", [&](const std::string& s) { return s.substr(0, 1000 * kKiB); }, {}, true},
        {"a local file longer than the new one", [&](const std::string& s) { return s.substr(0, 1200 * kKiB) + block; },
         {}, true},
        {"nothing in common", [&](const std::string&) { return fresh; }, {}, false},
        {"a host that ignores Range", inPlace, {IndexServed::Right, false, false}, false},
        {"a corrupt index", inPlace, {IndexServed::Corrupt, true, false}, false},
        {"no index on the host", inPlace, {IndexServed::Missing, true, false}, false},
        {"a chunk that arrives wrong", inPlace, {IndexServed::Right, true, true}, false},
    };
    ExpectEveryCase(base, cases, 0.5);  // by delta, only what changed travels: well under half the file
}

// A big local copy is sampled before it is cut whole: a copy that shares nothing comes whole, and one that
// shares enough for delta to pay, in one stretch anywhere or in pieces, is still found.
TEST(DeltaFetchTest, BigLocalCopiesAreSampledBeforeTheyAreCut) {
    constexpr std::size_t kMiB = 1024 * kKiB;
    std::mt19937 random(9);
    const std::string base = Random(20 * kMiB, random);
    const std::string fresh = Random(20 * kMiB, random);
    std::string pieces = fresh;  // every fifth 256 KiB of the local copy kept
    for (std::size_t at = 3 * 256 * kKiB; at < pieces.size(); at += 5 * 256 * kKiB) pieces.replace(at, 256 * kKiB, base, at, 256 * kKiB);
    const std::vector<DeltaCase> cases = {
        {"nothing in common", [&](const std::string&) { return fresh; }, {}, false},
        {"3 MiB in common, between samples", [&](const std::string& s) {
             return fresh.substr(0, 9 * kMiB + 77 * kKiB) + s.substr(5 * kMiB + 300 * kKiB, 3 * kMiB) + fresh.substr(12 * kMiB);
         }, {}, true},
        {"all but the last 15 % rewritten", [&](const std::string& s) { return fresh.substr(0, 17 * kMiB) + s.substr(17 * kMiB); }, {}, true},
        {"a fifth in common, in 256 KiB pieces", [&](const std::string&) { return pieces; }, {}, true},
    };
    ExpectEveryCase(base, cases, 0.95);  // by delta, less than the whole file
}

// Nothing to build from: no index is fetched and the file comes whole, in one request.
TEST(DeltaFetchTest, EmptyOrMissingLocalCopyGoesStraightToTheWholeFile) {
    std::mt19937 random(8);
    const std::string next = Random(1200 * kKiB, random);
    const Outcome out = Update("", next, {});
    EXPECT_EQ(out.outcome, FetchOutcome::Verified);
    EXPECT_TRUE(out.result == next);
    EXPECT_EQ(out.indexRequests, 0);
    EXPECT_EQ(out.wholeRequests, 1);
    EXPECT_EQ(out.rangeRequests, 0);
}

// Random files under random edits: inserts, deletes, overwrites, appends and truncations, several at once.
TEST(DeltaFetchTest, RandomEditsOfRandomFiles) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::string local = Random(256 * kKiB + random() % (2048 * kKiB), random);
        std::string next = local;
        const int edits = 1 + static_cast<int>(random() % 6);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = next.empty() ? 0 : random() % next.size();
            const std::size_t length = 1 + random() % (96 * kKiB);
            switch (random() % 5) {
                case 0: next.insert(at, Random(length, random)); break;
                case 1: next.erase(at, length); break;
                case 2: next.replace(at, std::min(length, next.size() - at), Random(std::min(length, next.size() - at), random)); break;
                case 3: next += Random(length, random); break;
                default: next.resize(std::max<std::size_t>(at, 1)); break;
            }
        }
        const Outcome out = Update(local, next, {});
        EXPECT_EQ(out.outcome, FetchOutcome::Verified);
        EXPECT_TRUE(out.result == next) << "the file afterwards is not the new version";
        // Never more than the whole file and its index (and the one request's worth when it went whole).
        EXPECT_LE(out.bodyBytes, next.size() + IndexFor(next).size());
    }
}

}  // namespace
