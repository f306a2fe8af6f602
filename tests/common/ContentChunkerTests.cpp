#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "TestBytes.h"
#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"

namespace {

constexpr ChunkParams kSmall{256, 1024, 4096};

std::vector<std::uint64_t> Ends(const std::vector<ChunkSpan>& spans) {
    std::vector<std::uint64_t> ends;
    for (const ChunkSpan& span : spans) ends.push_back(span.offset + span.length);
    return ends;
}

// Chunk ends when the bytes arrive in pieces of the given sizes, taken in turn.
std::vector<std::uint64_t> StreamedEnds(const std::string& bytes, const ChunkParams& params,
                                        const std::vector<std::size_t>& pieces) {
    std::vector<std::uint64_t> ends;
    std::optional<ContentChunker> chunker = StartChunker(params);
    std::uint64_t chunkStart = 0;
    std::size_t at = 0;
    for (std::size_t turn = 0; at < bytes.size(); ++turn) {
        std::size_t left = std::min(pieces[turn % pieces.size()], bytes.size() - at);
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        at += left;
        while (left > 0) {
            const ChunkFeed feed = chunker->Feed(data, left);
            if (feed.used == 0 || feed.used > left) {
                ADD_FAILURE() << "Feed took " << feed.used << " of " << left;
                return ends;
            }
            data += feed.used;
            left -= feed.used;
            if (feed.chunkLength != 0) ends.push_back(chunkStart += feed.chunkLength);
        }
    }
    if (const std::uint32_t last = chunker->Finish()) ends.push_back(chunkStart + last);
    return ends;
}

}  // namespace

TEST(ContentChunker, CutsDoNotDependOnHowTheStreamIsSplit) {
    std::mt19937_64 random(7);
    std::vector<std::size_t> uneven;
    for (int i = 0; i < 500; ++i) uneven.push_back(1 + random() % 9000);
    struct Case { const char* name; ChunkParams params; std::size_t size; std::vector<std::size_t> pieces; };
    const Case cases[] = {
        {"single bytes", kSmall, 200'000, {1}},
        {"around the hash window", kSmall, 300'000, {63, 64, 65}},
        {"around min and max", kSmall, 300'000, {255, 256, 4095, 4096, 4097}},
        {"uneven", kSmall, 300'000, uneven},
        {"default params, 64 KiB blocks", kDefaultChunkParams, 8'000'000, {64 * 1024}},
        {"default params, uneven", kDefaultChunkParams, 8'000'000, uneven},
        {"fixed size chunks", {512, 512, 512}, 100'000, {1, 700, 511}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = RandomBytes(c.size, 11);
        const std::vector<std::uint64_t> whole = Ends(ChunkBuffer(bytes, c.params));
        ASSERT_GT(whole.size(), 20u);
        EXPECT_EQ(StreamedEnds(bytes, c.params, c.pieces), whole);
    }
}

TEST(ContentChunker, ChunksTileTheInputWithinTheBounds) {
    struct Case { const char* name; ChunkParams params; std::string bytes; bool random; };
    const Case cases[] = {
        {"random, small params", kSmall, RandomBytes(1'000'000, 3), true},
        {"random, default params", kDefaultChunkParams, RandomBytes(16'000'000, 4), true},
        {"zeros", kSmall, std::string(100'000, '\0'), false},
        {"min equals avg", {1024, 1024, 8192}, RandomBytes(500'000, 5), false},
        {"fixed size", {300, 300, 300}, RandomBytes(10'000, 6), false},
        {"shorter than min", kSmall, RandomBytes(100, 7), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<ChunkSpan> spans = ChunkBuffer(c.bytes, c.params);
        ASSERT_FALSE(spans.empty());
        std::uint64_t next = 0;
        for (std::size_t i = 0; i < spans.size(); ++i) {
            EXPECT_EQ(spans[i].offset, next);
            EXPECT_LE(spans[i].length, c.params.maxSize);
            EXPECT_GE(spans[i].length, i + 1 < spans.size() ? c.params.minSize : 1u);
            next += spans[i].length;
        }
        EXPECT_EQ(next, c.bytes.size());
        if (c.random) {  // random bytes also give chunks near avgSize on average
            const double mean = static_cast<double>(c.bytes.size()) / static_cast<double>(spans.size());
            EXPECT_GT(mean, c.params.avgSize * 0.75);
            EXPECT_LT(mean, c.params.avgSize * 1.5);
        }
    }
}

TEST(ContentChunker, AnEditMovesOnlyTheCutsNearIt) {
    const std::string original = RandomBytes(2'000'000, 21);
    struct Case { const char* name; std::size_t at; std::size_t removed; std::string inserted; };
    const Case cases[] = {
        {"insert one byte at the start", 0, 0, "x"},
        {"insert 100 bytes", 100'000, 0, RandomBytes(100, 1)},
        {"delete 100 bytes", 100'000, 100, ""},
        {"rewrite 10 KiB in place", 500'000, 10'240, RandomBytes(10'240, 2)},
        {"delete 1 MiB", 300'000, 1 << 20, ""},
    };
    const std::vector<std::uint64_t> before = Ends(ChunkBuffer(original, kSmall));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string edited = original;
        edited.replace(c.at, c.removed, c.inserted);
        const std::vector<std::uint64_t> after = Ends(ChunkBuffer(edited, kSmall));
        const std::set<std::uint64_t> afterSet(after.begin(), after.end());
        std::size_t lost = 0;
        for (std::uint64_t end : before) {
            if (end > c.at && end < c.at + c.removed) continue;
            const std::uint64_t moved = end <= c.at ? end : end - c.removed + c.inserted.size();
            if (afterSet.count(moved) == 0) ++lost;
        }
        EXPECT_LE(lost, 3u);
    }
}

TEST(ContentChunker, ParamsAreCheckedAndEmptyInputHasNoChunks) {
    struct Case { ChunkParams params; bool valid; };
    const Case cases[] = {
        {kDefaultChunkParams, true},
        {{64, 64, 64}, true},
        {{64, 1024, kMaxChunkSizeLimit}, true},
        {{0, 0, 0}, false},
        {{63, 1024, 4096}, false},
        {{2048, 1024, 4096}, false},
        {{256, 8192, 4096}, false},
        {{256, 1024, kMaxChunkSizeLimit + 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.params.minSize) + "/" + std::to_string(c.params.avgSize));
        EXPECT_EQ(ChunkParamsValid(c.params), c.valid);
        std::optional<ContentChunker> chunker = StartChunker(c.params);
        ASSERT_EQ(chunker.has_value(), c.valid);
        EXPECT_EQ(ChunkBuffer(RandomBytes(1000, 1), c.params).empty(), !c.valid);
        if (!chunker) continue;
        EXPECT_TRUE(ChunkBuffer("", c.params).empty());
        const ChunkFeed nothing = chunker->Feed(nullptr, 0);
        EXPECT_EQ(nothing.used + nothing.chunkLength, 0u);
        EXPECT_EQ(chunker->Finish(), 0u);
    }
}

// Published indexes were cut this way; a launcher that cuts otherwise still builds correct files but fetches
// nearly everything. A change here needs a new index version.
TEST(ContentChunker, CutsOfIndexVersion1StayFixed) {
    const std::string bytes = RandomBytes(8 << 20, 1);
    struct Case { ChunkParams params; std::size_t chunks; std::uint32_t crcOfAllCuts; };
    const Case cases[] = {{ChunkParams{16 * 1024, 64 * 1024, 256 * 1024}, 112, 0x0c7705fcu}, {kSmall, 7198, 0x96831ebdu}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.params.avgSize);
        ChunkIndex cuts{c.params, bytes.size(), {}};
        for (const ChunkSpan& span : ChunkBuffer(bytes, c.params)) cuts.chunks.push_back({span.offset, span.length, {}});
        EXPECT_EQ(cuts.chunks.size(), c.chunks);
        const std::string wire = SerializeChunkIndex(cuts);
        EXPECT_EQ(Crc32(std::string_view(wire).substr(0, wire.size() - 4)), c.crcOfAllCuts);
    }
}
