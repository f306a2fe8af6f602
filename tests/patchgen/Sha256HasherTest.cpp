#include <gtest/gtest.h>

#include "FileDigest.h"
#include "Sha256Hasher.h"
#include "TestSupport.h"

namespace {

struct Vector {
    const char* name;
    std::string message;
    const char* sha256;
};

// Published SHA-256 test vectors.
std::vector<Vector> KnownVectors() {
    return {
        {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"896 bits",
         "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {"million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
}

TEST(Sha256Hasher, KnownVectorsInMemoryAndFromFiles) {
    TempDir dir;
    for (const Vector& v : KnownVectors()) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(Sha256Hex(v.message), v.sha256);

        fs::path file = dir.path() / "vector.bin";
        ASSERT_TRUE(WriteBytes(file, v.message));
        FileDigest digest;
        std::string error;
        ASSERT_TRUE(HashFile(file, &digest, &error)) << error;
        EXPECT_EQ(digest.sha256, v.sha256);
        EXPECT_EQ(digest.size, v.message.size());
    }
}

TEST(Sha256Hasher, PiecewiseUpdatesMatchOneShot) {
    std::string data;
    for (int i = 0; i < 300000; ++i) data.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    for (std::size_t piece : {1u, 63u, 64u, 65u, 4096u, 299999u}) {
        SCOPED_TRACE(piece);
        Sha256Hasher hasher;
        ASSERT_TRUE(hasher.ok());
        for (std::size_t at = 0; at < data.size(); at += piece) {
            ASSERT_TRUE(hasher.Update(data.data() + at, std::min(piece, data.size() - at)));
        }
        EXPECT_EQ(hasher.FinishHex(), Sha256Hex(data));
        EXPECT_FALSE(hasher.ok());
        EXPECT_EQ(hasher.FinishHex(), "");
    }
}

// Files longer than the 1 MiB read buffer, ending on and off a buffer boundary.
TEST(FileDigest, LargeFilesAcrossBufferBoundaries) {
    TempDir dir;
    for (std::size_t size : {std::size_t(1) << 20, (std::size_t(3) << 20) + 5}) {
        SCOPED_TRACE(size);
        std::string data(size, '\0');
        for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
        fs::path source = dir.path() / "big.bin";
        fs::path copy = dir.path() / "copy.bin";
        ASSERT_TRUE(WriteBytes(source, data));

        std::uint64_t reported = 0;
        FileDigest hashed;
        std::string error;
        ASSERT_TRUE(HashFile(source, &hashed, &error, [&](std::uint64_t n) { reported += n; })) << error;
        EXPECT_EQ(hashed.sha256, Sha256Hex(data));
        EXPECT_EQ(hashed.size, size);
        EXPECT_EQ(reported, size);

        FileDigest copied;
        ASSERT_TRUE(CopyAndHashFile(source, copy, &copied, &error)) << error;
        EXPECT_EQ(copied.sha256, hashed.sha256);
        EXPECT_EQ(ReadBytes(copy), data);
    }
}

TEST(FileDigest, MissingFileFailsNamingIt) {
    TempDir dir;
    FileDigest digest;
    std::string error;
    EXPECT_FALSE(HashFile(dir.path() / "nope.bin", &digest, &error));
    EXPECT_NE(error.find("nope.bin"), std::string::npos) << error;
    EXPECT_FALSE(CopyAndHashFile(dir.path() / "nope.bin", dir.path() / "to.bin", &digest, &error));
    EXPECT_FALSE(fs::exists(dir.path() / "to.bin"));
}

}  // namespace
