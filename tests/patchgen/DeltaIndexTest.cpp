// Chunk indices through the real patchgen binary: which files get one, what they hold, rebuilds, and verify.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "Sha256Hasher.h"
#include "TestSupport.h"
#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"

namespace {

constexpr std::size_t kMiB = 1024 * 1024;

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::string Hex(const std::array<unsigned char, 32>& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char b : digest) hex += {kDigits[b >> 4], kDigits[b & 15]};
    return hex;
}

std::string IndexPath(const std::string& bytes) { return ChunkIndexServedPath(Sha256Hex(bytes)); }

struct Patch {
    TempDir dir;
    fs::path gameRoot;  // when set, the game lives there instead of beside the patch
    fs::path game() const { return gameRoot.empty() ? dir.path() / "game" : gameRoot; }
    fs::path launcher() const { return dir.path() / "Launcher-build.exe"; }
    fs::path out() const { return dir.path() / "patch"; }
    RunResult Build() const {
        return RunPatchgen({"build", "--quiet", "--game", game().string(), "--launcher", launcher().string(), "--out",
                            out().string()});
    }
    RunResult Verify() const { return RunPatchgen({"verify", "--quiet", out().string()}); }
};

// path -> "index sha256|index size", from the DELTA lines, each checked to follow its own FILE line.
std::map<std::string, std::string> DeltaLines(const fs::path& manifest) {
    std::map<std::string, std::string> deltas;
    std::string text = ReadBytes(manifest), previousFile;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (line.rfind("FILE|", 0) == 0) previousFile = line.substr(5, line.find('|', 5) - 5);
        if (line.rfind("DELTA|", 0) != 0) continue;
        std::size_t bar = line.find('|', 6);
        std::string path = line.substr(6, bar - 6);
        EXPECT_EQ(path, previousFile) << "DELTA line not right after its FILE line: " << line;
        deltas[path] = line.substr(bar + 1);
    }
    return deltas;
}

std::vector<std::string> DeltaDir(const Patch& p) {
    std::vector<std::string> names;
    for (const std::string& entry : ListTree(p.out() / "delta")) names.push_back("delta/" + entry);
    return names;
}

// A directory on another file system than the temporary one (so patchgen copies instead of linking), removed
// afterwards; empty when there is none.
struct OtherFileSystemDir {
    fs::path path;
    OtherFileSystemDir() {
        struct stat shm {}, tmp {};
        if (stat("/dev/shm", &shm) != 0 || stat(fs::temp_directory_path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev)
            return;
        path = fs::path("/dev/shm") / ("korvane-delta-test-" + std::to_string(getpid()));
        fs::remove_all(path);
    }
    ~OtherFileSystemDir() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

TEST(PatchgenDeltaIndex, BuildIndexesExactlyTheFilesOfOneMebibyteOrMore) {
    const std::map<std::string, std::string> game = {
        {"empty.bin", ""},
        {"data/just-under.bin", RandomBytes(kMiB - 1, 1)},
        {"data/exactly.bin", RandomBytes(kMiB, 2)},
        {"data/big.pak", RandomBytes(3 * kMiB + 12345, 3)},
        {"copy-of-big.pak", RandomBytes(3 * kMiB + 12345, 3)},
        {"zeros.bin", std::string(2 * kMiB, '\0')},  // all cuts at maxSize
    };
    OtherFileSystemDir elsewhere;
    for (const char* how : {"hard-linked", "copied"}) {
        SCOPED_TRACE(how);
        Patch p;
        if (how == std::string("copied")) {
            if (elsewhere.path.empty()) {
                ADD_FAILURE() << "no file system other than the temporary directory's at /dev/shm";
                continue;
            }
            p.gameRoot = elsewhere.path;
        }
        for (const auto& [path, bytes] : game) ASSERT_TRUE(WriteBytes(p.game() / path, bytes));
        ASSERT_TRUE(WriteBytes(p.launcher(), RandomBytes(2 * kMiB, 4)));  // LAUNCHER_SELF never gets one
        ASSERT_TRUE(WriteBytes(p.game() / "Launcher.exe", RandomBytes(2 * kMiB, 5)));  // skipped, so none either

        RunResult r = p.Build();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(fs::hard_link_count(p.out() / "files" / "data" / "big.pak"), p.gameRoot.empty() ? 2u : 1u);
        std::map<std::string, std::string> deltas = DeltaLines(p.out() / "manifest.txt");
        std::set<std::string> expectedIndices;
        for (const auto& [path, bytes] : game) {
            SCOPED_TRACE(path);
            if (bytes.size() < kMiB) {
                EXPECT_EQ(deltas.count(path), 0u);
                continue;
            }
            ASSERT_EQ(deltas.count(path), 1u);
            expectedIndices.insert(IndexPath(bytes));
            std::string index = ReadBytes(p.out() / IndexPath(bytes));
            EXPECT_EQ(deltas[path], Sha256Hex(index) + "|" + std::to_string(index.size()));

            ChunkIndex parsed;
            std::string why;
            ASSERT_TRUE(ParseChunkIndex(index, &parsed, &why)) << why;
            EXPECT_EQ(parsed.fileSize, bytes.size());
            EXPECT_EQ(parsed.params.minSize, kDefaultChunkParams.minSize);
            EXPECT_EQ(parsed.params.avgSize, kDefaultChunkParams.avgSize);
            EXPECT_EQ(parsed.params.maxSize, kDefaultChunkParams.maxSize);
            std::vector<ChunkSpan> spans = ChunkBuffer(bytes, kDefaultChunkParams);
            ASSERT_EQ(parsed.chunks.size(), spans.size());
            for (std::size_t i = 0; i < spans.size(); ++i) {
                EXPECT_EQ(parsed.chunks[i].offset, spans[i].offset);
                EXPECT_EQ(parsed.chunks[i].length, spans[i].length);
                EXPECT_EQ(Hex(parsed.chunks[i].sha256), Sha256Hex(bytes.substr(spans[i].offset, spans[i].length)));
            }
        }
        EXPECT_EQ(DeltaDir(p), std::vector<std::string>(expectedIndices.begin(), expectedIndices.end()));
        EXPECT_EQ(p.Verify().exitCode, 0);
    }
}

ino_t Inode(const fs::path& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

TEST(PatchgenDeltaIndex, RebuildKeepsReplacesAndRemovesIndices) {
    Patch p;
    const std::string kept = RandomBytes(2 * kMiB, 10), changedBefore = RandomBytes(2 * kMiB, 11),
                      changedAfter = RandomBytes(2 * kMiB, 12), dropped = RandomBytes(2 * kMiB, 13),
                      damaged = RandomBytes(2 * kMiB, 14);
    ASSERT_TRUE(WriteBytes(p.game() / "kept.pak", kept));
    ASSERT_TRUE(WriteBytes(p.game() / "changed.pak", changedBefore));
    ASSERT_TRUE(WriteBytes(p.game() / "dropped.pak", dropped));
    ASSERT_TRUE(WriteBytes(p.game() / "damaged.pak", damaged));
    ASSERT_TRUE(WriteBytes(p.launcher(), "MZ"));
    ASSERT_EQ(p.Build().exitCode, 0);
    const ino_t keptInode = Inode(p.out() / IndexPath(kept));
    const std::string damagedIndex = ReadBytes(p.out() / IndexPath(damaged));
    ASSERT_NE(keptInode, 0u);

    // A changed file, a removed one, an index damaged on the host, a leftover of an interrupted run and a
    // stray file.
    fs::remove(p.game() / "changed.pak");
    ASSERT_TRUE(WriteBytes(p.game() / "changed.pak", changedAfter));
    fs::remove(p.game() / "dropped.pak");
    ASSERT_TRUE(WriteBytes(p.out() / IndexPath(damaged), damagedIndex.substr(0, 100)));
    ASSERT_TRUE(WriteBytes(p.out() / (IndexPath(kept) + ".patchgen-tmp"), "half"));
    ASSERT_TRUE(WriteBytes(p.out() / "delta" / "old" / "stray.kcix", "x"));
    ASSERT_EQ(p.Build().exitCode, 0);

    std::set<std::string> expected = {IndexPath(kept), IndexPath(changedAfter), IndexPath(damaged)};
    EXPECT_EQ(DeltaDir(p), std::vector<std::string>(expected.begin(), expected.end()));
    EXPECT_EQ(Inode(p.out() / IndexPath(kept)), keptInode) << "an index with the right bytes is kept";
    EXPECT_EQ(ReadBytes(p.out() / IndexPath(damaged)), damagedIndex);
    EXPECT_EQ(p.Verify().exitCode, 0);

    // Nothing left to index: delta/ goes.
    for (const char* name : {"kept.pak", "changed.pak", "damaged.pak"}) fs::remove(p.game() / name);
    ASSERT_TRUE(WriteBytes(p.game() / "small.txt", "abc"));
    ASSERT_EQ(p.Build().exitCode, 0);
    EXPECT_FALSE(fs::exists(p.out() / "delta"));
}

// Replaces text in manifest.txt (unsigned, so the edit stands).
void EditManifest(const Patch& p, const std::string& from, const std::string& to) {
    std::string text = ReadBytes(p.out() / "manifest.txt");
    std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    text.replace(at, from.size(), to);
    ASSERT_TRUE(WriteBytes(p.out() / "manifest.txt", text));
}

// Serves `index` for the file and points its DELTA line at it, as a peer's tool or a hand edit might.
void ServeIndex(const Patch& p, const std::string& file, const std::string& index) {
    const std::string path = p.out() / IndexPath(file);
    const std::string line = DeltaLines(p.out() / "manifest.txt")["a.pak"];
    fs::remove(path);
    ASSERT_TRUE(WriteBytes(path, index));
    EditManifest(p, line, Sha256Hex(index) + "|" + std::to_string(index.size()));
}

// An index of `bytes` with its chunks' digests right but cut every `length` bytes.
std::string FixedCutIndex(const std::string& bytes, std::uint32_t length) {
    ChunkIndex index;
    index.params = kDefaultChunkParams;
    index.fileSize = bytes.size();
    for (std::uint64_t at = 0; at < bytes.size(); at += length) {
        ChunkEntry chunk;
        chunk.offset = at;
        chunk.length = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, bytes.size() - at));
        Sha256Hasher hasher;
        unsigned char digest[32];
        hasher.Update(bytes.data() + at, chunk.length);
        hasher.Finish(digest);
        std::copy(std::begin(digest), std::end(digest), chunk.sha256.begin());
        index.chunks.push_back(chunk);
    }
    return SerializeChunkIndex(index);
}

struct IndexFault {
    const char* name;
    std::function<void(const Patch&, const std::string& a, const std::string& b)> make;
    std::vector<std::string> expected;  // in the problem line about a.pak's index
};

TEST(PatchgenDeltaIndex, VerifyCatchesIndicesThatDoNotServeTheirFile) {
    const IndexFault faults[] = {
        {"missing", [](const Patch& p, auto& a, auto&) { fs::remove(p.out() / IndexPath(a)); }, {"missing"}},
        {"a byte changed",
         [](const Patch& p, auto& a, auto&) {
             std::string index = ReadBytes(p.out() / IndexPath(a));
             index[40] ^= 1;
             fs::remove(p.out() / IndexPath(a));
             WriteBytes(p.out() / IndexPath(a), index);
         },
         {"digest differs", "DELTA line says"}},
        {"cut short", [](const Patch& p, auto& a, auto&) { fs::resize_file(p.out() / IndexPath(a), 100); },
         {"size differs"}},
        {"damaged, DELTA line to match",
         [](const Patch& p, auto& a, auto&) {
             std::string index = ReadBytes(p.out() / IndexPath(a));
             index[40] ^= 1;
             ServeIndex(p, a, index);
         },
         {"not a chunk index", "CRC"}},
        {"the index of another file of the same size",
         [](const Patch& p, auto& a, auto& b) { ServeIndex(p, a, ReadBytes(p.out() / IndexPath(b))); },
         {"chunk digests differ", "not cut where the chunker cuts"}},
        {"the index of a file of another size",
         [](const Patch& p, auto& a, auto&) { ServeIndex(p, a, ReadBytes(p.out() / IndexPath(std::string(a) + "x"))); },
         {"covers " + std::to_string(3 * kMiB + 1) + " bytes, the file has " + std::to_string(3 * kMiB)}},
        {"right digests, cut every 16 KiB", [](const Patch& p, auto& a, auto&) { ServeIndex(p, a, FixedCutIndex(a, 16384)); },
         {"not cut where the chunker cuts", "chunk 0 at offset 0"}},
    };
    for (const IndexFault& fault : faults) {
        SCOPED_TRACE(fault.name);
        Patch p;
        const std::string a = RandomBytes(3 * kMiB, 20), b = RandomBytes(3 * kMiB, 21);
        ASSERT_TRUE(WriteBytes(p.game() / "a.pak", a));
        ASSERT_TRUE(WriteBytes(p.game() / "b.pak", b));
        ASSERT_TRUE(WriteBytes(p.game() / "c.pak", a + "x"));
        ASSERT_TRUE(WriteBytes(p.launcher(), "MZ"));
        ASSERT_EQ(p.Build().exitCode, 0);
        ASSERT_EQ(p.Verify().exitCode, 0);

        fault.make(p, a, b);
        RunResult v = p.Verify();
        EXPECT_EQ(v.exitCode, 1) << v.out << v.err;
        const std::string prefix = IndexPath(a) + " (index of files/a.pak): ";
        for (const std::string& part : fault.expected) {
            std::size_t at = v.out.find(part);
            EXPECT_NE(at, std::string::npos) << "missing '" << part << "' in: " << v.out;
            if (at != std::string::npos) EXPECT_EQ(v.out.rfind(prefix, at), v.out.rfind('\n', at) + 1) << v.out;
        }
        EXPECT_EQ(v.out.find("b.pak"), std::string::npos) << "only a.pak's index is wrong: " << v.out;
    }
}

}  // namespace
