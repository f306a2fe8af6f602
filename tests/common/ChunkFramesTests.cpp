#include <gtest/gtest.h>

#include "TestBytes.h"
#include "common/ChunkFrames.h"

namespace {

ChunkFrames TwoFrames() {
    ChunkFrames frames;
    frames.index = ChunkIndex{ChunkParams{256, 1024, 4096}, 4000, {}};
    frames.index.chunks = {{0, 1000, Sha256Of("a")}, {1000, 3000, Sha256Of("b")}};
    frames.frameLengths = {200, 1500};
    return frames;
}

// The table's bytes with frame `frame`'s length set to `value` (or one more length, with `frame` 2) and a
// fresh CRC.
std::string Patched(std::size_t frame, std::uint32_t value) {
    std::string bytes = SerializeChunkFrames(TwoFrames());
    if (frame == 2) bytes.insert(bytes.size() - 4, 4, '\0');
    const std::size_t at = bytes.size() - 4 - 4 * (2 - frame) - (frame == 2 ? 4 : 0);
    for (std::size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    const std::uint32_t crc = Crc32(std::string_view(bytes).substr(0, bytes.size() - 4));
    for (std::size_t i = 0; i < 4; ++i) bytes[bytes.size() - 4 + i] = static_cast<char>((crc >> (8 * i)) & 0xFF);
    return bytes;
}

}  // namespace

TEST(ChunkFrames, ReadsBackWhatItWritesAndRefusesWhatCannotBeFrames) {
    const std::string good = SerializeChunkFrames(TwoFrames());
    ChunkFrames read;
    ASSERT_TRUE(ParseChunkFrames(good, &read, nullptr));
    EXPECT_EQ(read.frameLengths, TwoFrames().frameLengths);
    EXPECT_EQ(SerializeChunkIndex(read.index), SerializeChunkIndex(TwoFrames().index));
    EXPECT_EQ(FrameOffset(read, 1), 200u);
    EXPECT_EQ(FrameOffset(read, 2), 1700u);

    std::string flipped = good;
    flipped[20] ^= 1;
    struct Case {
        const char* name;
        std::string bytes;
        const char* why;
    };
    const Case cases[] = {
        {"too short", good.substr(0, 10), "shorter than a frame table"},
        {"a chunk index on its own", SerializeChunkIndex(TwoFrames().index), "not a frame table"},
        {"a byte changed", flipped, "its chunk index"},
        {"a frame shorter than any zstd frame", Patched(0, 8), "a frame's length cannot be its chunk's"},
        {"a frame longer than its chunk can take", Patched(1, 3200), "a frame's length cannot be its chunk's"},
        {"one length too many", Patched(2, 100), "frame lengths do not match the chunk count"},
    };
    for (const Case& c : cases) {
        ChunkFrames untouched = TwoFrames();
        std::string why;
        EXPECT_FALSE(ParseChunkFrames(c.bytes, &untouched, &why)) << c.name;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.name << ": " << why;
        EXPECT_EQ(untouched.frameLengths, TwoFrames().frameLengths) << c.name;
    }
    EXPECT_EQ(ChunkFramesServedPath(std::string(64, 'a')), "z/" + std::string(64, 'a') + ".kzix");
    EXPECT_EQ(ContainerServedPath(std::string(64, 'a')), "z/" + std::string(64, 'a') + ".zst");
    EXPECT_EQ(ContainerServedPath(std::string(64, 'A')), "");
}
