#include <gtest/gtest.h>

#include <functional>

#include "TestBytes.h"
#include "common/ChunkIndex.h"

namespace {

constexpr ChunkParams kSmall{256, 1024, 4096};

ChunkIndex ThreeChunks() {
    ChunkIndex index{kSmall, 4500, {}};
    index.chunks = {{0, 1000, Sha256Of("a")}, {1000, 3000, Sha256Of("b")}, {4000, 500, Sha256Of("c")}};
    return index;
}

std::string Serialized(const std::function<void(ChunkIndex*)>& change) {
    ChunkIndex index = ThreeChunks();
    change(&index);
    return SerializeChunkIndex(index);
}

// Sets little-endian bytes at `at` and writes a fresh CRC, so only the changed field is wrong.
std::string Patched(std::size_t at, std::uint64_t value, std::size_t size) {
    std::string bytes = SerializeChunkIndex(ThreeChunks());
    for (std::size_t i = 0; i < size; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    const std::uint32_t crc = Crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
    for (std::size_t i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    return bytes;
}

}  // namespace

TEST(ChunkIndex, Crc32MatchesZlib) {
    struct Case { std::string_view bytes; std::uint32_t crc; };
    const Case cases[] = {
        {"", 0},
        {"a", 0xE8B7BE43u},
        {"123456789", 0xCBF43926u},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    };
    for (const Case& c : cases) EXPECT_EQ(Crc32(c.bytes), c.crc) << c.bytes;
    EXPECT_EQ(Crc32("6789", Crc32("12345")), 0xCBF43926u);
}

TEST(ChunkIndex, SerialisedIndexParsesBackUnchanged) {
    const std::string game = RandomBytes(3'000'000, 5);
    ChunkIndex large{{64, 1024, kMaxChunkSizeLimit}, 0, {}};
    for (int i = 0; i < 300; ++i) {
        large.chunks.push_back({large.fileSize, kMaxChunkSizeLimit - i, Sha256Of(std::to_string(i))});
        large.fileSize += large.chunks.back().length;
    }
    const ChunkIndex cases[] = {
        large,
        ChunkIndex{kDefaultChunkParams, 0, {}},
        IndexOf("tiny file", kDefaultChunkParams),
        ThreeChunks(),
        IndexOf(game, kDefaultChunkParams),
        IndexOf(game, kSmall),
    };
    for (const ChunkIndex& index : cases) {
        SCOPED_TRACE(index.chunks.size());
        const std::string bytes = SerializeChunkIndex(index);
        EXPECT_EQ(bytes.size(), 36 + 44 * index.chunks.size());
        EXPECT_EQ(bytes.substr(0, 8), std::string("KCIX\x01\0\0\0", 8));
        ChunkIndex back;
        std::string why;
        ASSERT_TRUE(ParseChunkIndex(bytes, &back, &why)) << why;
        EXPECT_EQ(back.chunks.size(), index.chunks.size());
        EXPECT_TRUE(SerializeChunkIndex(back) == bytes);  // every field is written, so equal bytes mean equal indexes
    }
}

TEST(ChunkIndex, FieldsSitWhereTheLayoutSays) {
    const std::string bytes = SerializeChunkIndex(ThreeChunks());
    auto le = [&](std::size_t at, std::size_t size) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < size; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes[at + i])} << (8 * i);
        return value;
    };
    struct Case { const char* field; std::size_t at; std::size_t size; std::uint64_t value; };
    const Case cases[] = {
        {"version", 4, 4, 1},       {"minSize", 8, 4, 256},         {"avgSize", 12, 4, 1024},
        {"maxSize", 16, 4, 4096},   {"fileSize", 20, 8, 4500},      {"chunkCount", 28, 4, 3},
        {"chunk 1 offset", 76, 8, 1000}, {"chunk 1 length", 84, 4, 3000}, {"chunk 2 offset", 120, 8, 4000},
        {"CRC", 164, 4, Crc32(std::string_view(bytes).substr(0, 164))},
    };
    ASSERT_EQ(bytes.size(), 168u);
    for (const Case& c : cases) EXPECT_EQ(le(c.at, c.size), c.value) << c.field;
    EXPECT_EQ(bytes.substr(88, 32), std::string(reinterpret_cast<const char*>(Sha256Of("b").data()), 32));
}

TEST(ChunkIndex, ParserRejectsMalformedIndexes) {
    const std::string good = SerializeChunkIndex(ThreeChunks());
    std::string flippedDigest = good;
    flippedDigest[32 + 12] ^= 1;
    std::string flippedCrc = good;
    flippedCrc.back() ^= 0x80;
    struct Case { const char* name; std::string bytes; const char* reason; };
    const Case cases[] = {
        {"empty", "", "truncated"},
        {"shorter than the magic", "KCI", "truncated"},
        {"bad magic", "KCIY" + good.substr(4), "magic"},
        {"header only", good.substr(0, 32), "truncated"},
        {"unknown version", Patched(4, 2, 4), "version"},
        {"last entry cut short", good.substr(0, good.size() - 14), "truncated"},
        {"trailing byte", good + '\0', "trailing"},
        {"wrong CRC", flippedCrc, "CRC"},
        {"a digest byte flipped", flippedDigest, "CRC"},
        {"hostile chunk count", Patched(28, 0xFFFFFFFFu, 4), "chunk count"},
        {"count one too many", Patched(28, 4, 4), "truncated"},
        {"count one too few", Patched(28, 2, 4), "trailing"},
        {"zero params", Serialized([](ChunkIndex* i) { i->params = {0, 0, 0}; }), "params"},
        {"min below the hash window", Serialized([](ChunkIndex* i) { i->params.minSize = 32; }), "params"},
        {"min above avg", Serialized([](ChunkIndex* i) { i->params.minSize = 2048; }), "params"},
        {"avg above max", Serialized([](ChunkIndex* i) { i->params.avgSize = 8192; }), "params"},
        {"absurd max", Serialized([](ChunkIndex* i) { i->params.maxSize = 0x80000000u; }), "params"},
        {"first chunk not at 0", Serialized([](ChunkIndex* i) { i->chunks[0].offset = 1; }), "contiguous"},
        {"gap", Serialized([](ChunkIndex* i) { i->chunks[2].offset = 4001; }), "contiguous"},
        {"overlap", Serialized([](ChunkIndex* i) { i->chunks[1].offset = 999; }), "contiguous"},
        {"zero-length chunk", Serialized([](ChunkIndex* i) { i->chunks.insert(i->chunks.begin() + 1, {1000, 0, {}}); }),
         "zero length"},
        {"chunk above max", Serialized([](ChunkIndex* i) { i->chunks[1].length = 4097; i->chunks[2].offset = 5097;
                                                           i->fileSize = 5597; }), "longer than maxSize"},
        {"file size above the chunks", Serialized([](ChunkIndex* i) { i->fileSize = 4501; }), "add up"},
        {"file size below the chunks", Serialized([](ChunkIndex* i) { i->fileSize = 4499; }), "add up"},
        {"chunks but an empty file", Serialized([](ChunkIndex* i) { i->fileSize = 0; }), "add up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ChunkIndex out{kSmall, 77, {}};
        std::string why;
        EXPECT_FALSE(ParseChunkIndex(c.bytes, &out, &why));
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        EXPECT_EQ(out.fileSize, 77u);
    }
    ChunkIndex out;
    EXPECT_TRUE(ParseChunkIndex(good, &out, nullptr));
}

TEST(ChunkIndex, ServedPathIsNamedAfterTheFileDigest) {
    const std::string digest(64, 'a');
    struct Case { std::string hex; std::string path; };
    const Case cases[] = {
        {"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
         "delta/0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef.kcix"},
        {digest.substr(1), ""},
        {digest + "a", ""},
        {std::string(64, 'A'), ""},
        {"../" + digest.substr(3), ""},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(ChunkIndexServedPath(c.hex), c.path) << c.hex;
}
