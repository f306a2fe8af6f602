// Compressed copies and patches through the real patchgen binary over several releases, each decoded with zstd
// itself, and what verify makes of copies that do not decode to their file.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zstd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "PatchManifest.h"
#include "ReleaseHistory.h"
#include "Sha256Hasher.h"
#include "TestSupport.h"
#include "common/ChunkFrames.h"
#include "common/ZstdFrames.h"

namespace {

std::string Words(std::size_t size, std::uint32_t seed) {
    static const char* const kWords[] = {"sword ",  "shield ", "dragon ", "castle ",
                                         "potion ", "quest ",  "gold ",   "map "};
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) text += kWords[random() % 8];
    return text.substr(0, size);
}

std::string Noise(std::size_t size, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

// What zstd makes of `frames` (with `reference` as the prefix of the first), or "<zstd: error>".
std::string ZstdDecode(std::string_view frames, std::string_view reference = {}) {
    ZSTD_DCtx* context = ZSTD_createDCtx();
    if (!reference.empty()) ZSTD_DCtx_refPrefix(context, reference.data(), reference.size());
    std::string out, buffer(ZSTD_DStreamOutSize(), '\0');
    ZSTD_inBuffer in = {frames.data(), frames.size(), 0};
    std::size_t left = 1;
    while (in.pos < in.size || left != 0) {
        ZSTD_outBuffer piece = {&buffer[0], buffer.size(), 0};
        left = ZSTD_decompressStream(context, &piece, &in);
        if (ZSTD_isError(left) || (piece.pos == 0 && in.pos == in.size && left != 0)) {
            out = "<zstd: error>";
            break;
        }
        out.append(buffer, 0, piece.pos);
    }
    ZSTD_freeDCtx(context);
    return out;
}

bool HasChecksum(std::string_view frame) { return frame.size() > 4 && (frame[4] & 0x04) != 0; }

struct Tree {
    fs::path dir;
    PatchManifest manifest;
    std::string Bytes(const PatchEncodedAt& at) const {
        return ReadBytes(dir / ContainerServedPath(at.containerSha256)).substr(at.offset, at.length);
    }
};

Tree Load(const fs::path& dir) { return {dir, ReadPatchManifest(ReadBytes(dir / "manifest.txt"), nullptr)}; }

const PatchFileEntry* Find(const PatchManifest& m, const std::string& path) {
    for (const PatchFileEntry& f : m.files) {
        if (f.path == path) return &f;
    }
    return nullptr;
}

struct Game {
    TempDir dir;
    std::vector<std::map<std::string, std::string>> releases;  // each release's files

    fs::path Out(const std::string& name) const { return dir.path() / name; }
    // Publishes `files` as the next release at level 3 (quick enough for tests); big files from 64 KiB on.
    RunResult Publish(const std::map<std::string, std::string>& files, const fs::path& out,
                      std::vector<std::string> more = {}) {
        fs::remove_all(dir.path() / "game");
        for (const auto& [path, bytes] : files) WriteBytes(dir.path() / "game" / path, bytes);
        WriteBytes(dir.path() / "Launcher.exe", "MZ launcher");
        std::vector<std::string> args = {"build",
                                         "--game",
                                         (dir.path() / "game").string(),
                                         "--launcher",
                                         (dir.path() / "Launcher.exe").string(),
                                         "--out",
                                         out.string(),
                                         "--level",
                                         "3",
                                         "--pack-under",
                                         "65536"};
        args.insert(args.end(), more.begin(), more.end());
        releases.push_back(files);
        return RunPatchgen(args);
    }
    // The release (1-based) whose version of `path` has the digest, or 0.
    std::size_t ReleaseOf(const std::string& path, const std::string& sha256) const {
        for (std::size_t r = 0; r < releases.size(); ++r) {
            const auto f = releases[r].find(path);
            if (f != releases[r].end() && Sha256Hex(f->second) == sha256) return r + 1;
        }
        return 0;
    }
};

// The number before " <what>" in patchgen's summary.
std::size_t Counter(const std::string& out, const std::string& what) {
    const std::size_t at = out.find(" " + what);
    if (at == std::string::npos || at == 0) return SIZE_MAX;
    const std::size_t start = out.rfind(' ', at - 1);
    return std::stoul(out.substr(start + 1, at - start - 1));
}

}  // namespace

TEST(PatchgenCompressed, ReleasesPublishCopiesAndPatchesThatDecodeToTheirFiles) {
    std::map<std::string, std::string> files = {
        {"data/world.pak", Words(1200000, 1)},  // a chunk index, so ZCHUNKS too
        {"data/same.pak", Words(300000, 2)},    // never changes: its copy is taken over
        {"data/noise.bin", Noise(1100000, 3)},  // saves nothing: no copy of it
        {"text/readme.txt", Words(30000, 4)},   // small: shares a container
        {"text/notes.txt", Words(20000, 5)},
    };
    const auto edit = [&](const std::string& path, std::size_t at, const char* text) {
        files[path].replace(at, 6, text);
    };
    struct Release {
        const char* name;
        std::function<void()> change;
        std::map<std::string, std::set<std::size_t>> patchedFrom;  // path -> the releases its patches start from
        std::size_t made;  // copies and patches made anew: the others are taken over from the release before
        bool newFolder;
    };
    const Release releases[] = {
        {"1: the first release", [] {}, {}, 5, false},
        {"2: two files changed",
         [&] {
             edit("data/world.pak", 5000, "WYVERN");
             edit("text/readme.txt", 100, "GOBLIN");
         },
         {{"data/world.pak", {1}}, {"text/readme.txt", {1}}},
         5,
         false},
        {"3: world.pak again: patches from both earlier releases",
         [&] { edit("data/world.pak", 900000, "KRAKEN"); },
         {{"data/world.pak", {1, 2}}, {"text/readme.txt", {1}}},
         4,
         false},
        {"4: into a new folder: patches from the two releases before, not three",
         [&] { edit("data/world.pak", 7, "TROLLS"); },
         {{"data/world.pak", {2, 3}}},
         4,
         true},
    };
    Game g;
    for (const Release& release : releases) {
        SCOPED_TRACE(release.name);
        release.change();
        const fs::path out = g.Out(release.newFolder ? "patch4" : "patch");
        const RunResult r =
            g.Publish(files, out,
                      release.newFolder ? std::vector<std::string>{"--previous", g.Out("patch").string()}
                                        : std::vector<std::string>{});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(Counter(r.out, "made"), release.made) << r.out;
        const Tree tree = Load(out);
        std::set<std::string> named;
        for (const PatchPack& c : tree.manifest.containers) {
            const std::string bytes = ReadBytes(out / ContainerServedPath(c.sha256));
            EXPECT_EQ(Sha256Hex(bytes), c.sha256);
            EXPECT_EQ(bytes.size(), c.size);
            named.insert(ContainerServedPath(c.sha256));
        }
        for (const auto& [path, bytes] : files) {
            SCOPED_TRACE(path);
            const PatchFileEntry* f = Find(tree.manifest, path);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(f->zfile.has_value(), path != "data/noise.bin");
            EXPECT_EQ(f->zchunks.has_value(), path == "data/world.pak");
            if (f->zfile) {
                EXPECT_TRUE(HasChecksum(tree.Bytes(*f->zfile)));
                EXPECT_TRUE(ZstdDecode(tree.Bytes(*f->zfile)) == bytes);
                EXPECT_LE(f->zfile->length * 100, bytes.size() * 95);
            }
            if (f->zchunks) {
                ChunkFrames table;
                named.insert(ChunkFramesServedPath(f->zchunks->tableSha256));
                ASSERT_TRUE(
                    ParseChunkFrames(ReadBytes(out / ChunkFramesServedPath(f->zchunks->tableSha256)), &table, nullptr));
                EXPECT_EQ(Sha256Hex(SerializeChunkIndex(table.index)), f->delta->sha256);
                const std::string frames = tree.Bytes(f->zchunks->at);
                std::string whole;
                for (std::size_t i = 0; i < table.frameLengths.size(); ++i) {
                    whole += ZstdDecode(std::string_view(frames).substr(FrameOffset(table, i), table.frameLengths[i]));
                    ASSERT_EQ(whole.size(), table.index.chunks[i].offset + table.index.chunks[i].length)
                        << "frame " << i;
                }
                EXPECT_TRUE(whole == bytes);
            }
            std::set<std::size_t> from;
            for (const PatchFromBase& p : f->patches) {
                const std::size_t base = g.ReleaseOf(path, p.baseSha256);
                from.insert(base);
                ASSERT_NE(base, 0u);
                const std::string& reference = g.releases[base - 1].at(path);
                EXPECT_EQ(p.baseSize, reference.size());
                EXPECT_TRUE(HasChecksum(tree.Bytes(p.at)));
                EXPECT_TRUE(ZstdDecode(tree.Bytes(p.at), reference) == bytes);
                EXPECT_LT(p.at.length, f->zfile ? f->zfile->length : f->size);
            }
            const auto expected = release.patchedFrom.find(path);
            EXPECT_EQ(from, expected == release.patchedFrom.end() ? std::set<std::size_t>() : expected->second);
        }
        std::set<std::string> served;
        for (const std::string& name : ListTree(out / "z")) served.insert("z/" + name);
        EXPECT_EQ(served, named) << "z/ holds exactly what the manifest names";
        const RunResult v = RunPatchgen({"verify", out.string()});
        EXPECT_EQ(v.exitCode, 0) << v.out;
    }
    // Taken over, not made again: the unchanged file's container is the very file of the release before.
    const Tree last = Load(g.Out("patch4"));
    const PatchFileEntry* same = Find(last.manifest, "data/same.pak");
    ASSERT_TRUE(same && same->zfile);
    struct stat was {
    }, now{};
    ASSERT_EQ(stat((g.Out("patch") / ContainerServedPath(same->zfile->containerSha256)).c_str(), &was), 0);
    ASSERT_EQ(stat((g.Out("patch4") / ContainerServedPath(same->zfile->containerSha256)).c_str(), &now), 0);
    EXPECT_EQ(was.st_ino, now.st_ino);
}

TEST(PatchgenCompressed, VerifyDecodesEveryCopyAndPatchAgainstItsFile) {
    Game g;
    std::map<std::string, std::string> files = {{"data/world.pak", Words(1200000, 1)},
                                                {"text/readme.txt", Words(30000, 4)}};
    ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);
    files["data/world.pak"].replace(5000, 6, "WYVERN");
    ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);
    const std::string base = g.releases[0].at("data/world.pak");

    const auto editManifest = [](const fs::path& out, const std::string& from, const std::string& to) {
        std::string text = ReadBytes(out / "manifest.txt");
        const std::size_t at = text.find(from);
        if (at != std::string::npos) text.replace(at, from.size(), to);
        WriteBytes(out / "manifest.txt", text);
    };
    // Serves `bytes` as a container of their own and points the line with `old` region fields at it.
    const auto serveInstead = [&](const fs::path& out, const PatchEncodedAt& old, const std::string& bytes) {
        const std::string sha = Sha256Hex(bytes);
        WriteBytes(out / ContainerServedPath(sha), bytes);
        editManifest(out, old.containerSha256 + "|" + std::to_string(old.offset) + "|" + std::to_string(old.length),
                     sha + "|0|" + std::to_string(bytes.size()));
        editManifest(out, "FILE|", "ZPACK|" + sha + "|" + std::to_string(bytes.size()) + "\nFILE|");
    };
    struct Case {
        const char* name;
        std::function<void(const fs::path&, const PatchFileEntry&)> tamper;
        int exitCode;
        std::string expected;
    };
    const Case cases[] = {
        {"a byte of a container changed",
         [](const fs::path& out, const PatchFileEntry& f) {
             std::string bytes = ReadBytes(out / ContainerServedPath(f.zfile->containerSha256));
             bytes[bytes.size() / 2] ^= 1;
             WriteBytes(out / ContainerServedPath(f.zfile->containerSha256), bytes);
         },
         1, "digest differs from its name and ZPACK line"},
        {"a container missing",
         [](const fs::path& out, const PatchFileEntry& f) {
             fs::remove(out / ContainerServedPath(f.zchunks->at.containerSha256));
         },
         1, "missing or unreadable"},
        {"a frame table whose lengths are not the frames'",
         [&](const fs::path& out, const PatchFileEntry& f) {
             ChunkFrames table;
             ParseChunkFrames(ReadBytes(out / ChunkFramesServedPath(f.zchunks->tableSha256)), &table, nullptr);
             std::swap(table.frameLengths[0], table.frameLengths[1]);
             const std::string bytes = SerializeChunkFrames(table);
             WriteBytes(out / ChunkFramesServedPath(Sha256Hex(bytes)), bytes);
             editManifest(out, f.zchunks->tableSha256, Sha256Hex(bytes));
         },
         1, "frame 0 does not decode to chunk 0"},
        {"a patch that decodes to other bytes",
         [&](const fs::path& out, const PatchFileEntry& f) {
             std::string other = files.at("data/world.pak");
             other[10] ^= 1;
             ZSTD_CCtx* context = ZSTD_createCCtx();
             ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
             ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog,
                                    static_cast<int>(WindowLogFor(other.size(), base.size())));
             ZSTD_CCtx_refPrefix(context, base.data(), base.size());
             std::string frame(ZSTD_compressBound(other.size()), '\0');
             frame.resize(ZSTD_compress2(context, &frame[0], frame.size(), other.data(), other.size()));
             ZSTD_freeCCtx(context);
             serveInstead(out, f.patches.at(0).at, frame);
         },
         1, "(ZPATCH from " + Sha256Hex(base).substr(0, 12) + "... of files/data/world.pak): decodes to other bytes"},
        {"manifest.zst of an earlier build",
         [](const fs::path& out, const PatchFileEntry&) {
             const std::string text = "VERSION=earlier\n";
             std::string frame(ZSTD_compressBound(text.size()), '\0');
             frame.resize(ZSTD_compress(&frame[0], frame.size(), text.data(), text.size(), 3));
             WriteBytes(out / "manifest.zst", frame);
         },
         1, "manifest.zst: is not manifest.txt compressed"},
        {"history/ not at hand: the patch is not checked, and that is no failure",
         [](const fs::path& out, const PatchFileEntry&) { fs::remove_all(out / "history"); }, 0,
         "note: 1 patch(es) not checked"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = g.Out(std::string("copy-") + std::to_string(&c - cases));
        fs::copy(g.Out("patch"), out, fs::copy_options::recursive);
        const PatchFileEntry world = *Find(Load(out).manifest, "data/world.pak");
        ASSERT_TRUE(world.zfile && world.zchunks && world.patches.size() == 1u);
        c.tamper(out, world);
        const RunResult v = RunPatchgen({"verify", out.string()});
        EXPECT_EQ(v.exitCode, c.exitCode) << v.out;
        EXPECT_NE(v.out.find(c.expected), std::string::npos) << v.out;
    }
}

TEST(PatchgenCompressed, HistoryKeepsTheReleasesPatchesStartFrom) {
    struct Case {
        const char* name;
        std::function<void(Game&)> between;  // after the first release
        std::vector<std::string> options;    // of the second
        const char* out;
        bool patched;          // world.pak gets a patch from the first release
        std::size_t releases;  // manifests history/ keeps after the second
        std::size_t files;     // and files
        std::string note;
    };
    const Case cases[] = {
        {"the default: two earlier releases kept", [](Game&) {}, {}, "patch", true, 2, 3, ""},
        {"a tree built before history/: its own release is the earlier one",
         [](Game& g) { fs::remove_all(g.Out("patch") / "history"); },
         {},
         "patch",
         true,
         2,
         3,
         ""},
        {"into a new folder: --previous gives its history", [](Game&) {}, {"--previous"}, "next", true, 2, 3, ""},
        {"--patch-releases 0: no patches, only this release kept",
         [](Game&) {},
         {"--patch-releases", "0"},
         "patch",
         false,
         1,
         2,
         ""},
        {"--level 0: nothing under z/, history/ kept all the same",
         [](Game&) {},
         {"--level", "0"},
         "patch",
         false,
         2,
         3,
         ""},
        {"an earlier version edited in place gives no patch",
         [](Game& g) {
             std::ofstream(HistoryFilePath(g.Out("patch"), Sha256Hex(g.releases[0].at("data/world.pak"))),
                           std::ios::in | std::ios::out | std::ios::binary)
                 .write("XX", 2);
         },
         {},
         "patch",
         false,
         2,
         3,
         "history/ holds other bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Game g;
        std::map<std::string, std::string> files = {{"data/world.pak", Words(200000, 1)},
                                                    {"text/readme.txt", Words(9000, 2)}};
        ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);
        c.between(g);
        files["data/world.pak"].replace(100, 6, "KRAKEN");
        std::vector<std::string> options = c.options;
        if (options.size() == 1) options.push_back(g.Out("patch").string());  // --previous
        const RunResult r = g.Publish(files, g.Out(c.out), options);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const PatchManifest m = Load(g.Out(c.out)).manifest;
        EXPECT_EQ(Find(m, "data/world.pak")->patches.size(), c.patched ? 1u : 0u);
        const bool compressed = c.options.size() != 2 || c.options[0] != "--level";
        EXPECT_EQ(fs::exists(g.Out(c.out) / "z"), compressed);
        // manifest.zst is the manifest itself, or gone with the copies: an old one would name old files.
        EXPECT_EQ(ZstdDecode(ReadBytes(g.Out(c.out) / "manifest.zst")) == ReadBytes(g.Out(c.out) / "manifest.txt"),
                  compressed);
        EXPECT_EQ(ListTree(HistoryDir(g.Out(c.out)) / "manifests").size(), c.releases);
        EXPECT_EQ(ListTree(HistoryDir(g.Out(c.out)) / "files").size(), c.files);
        EXPECT_NE(r.err.find(c.note), std::string::npos) << r.err;
        EXPECT_EQ(RunPatchgen({"verify", "-q", g.Out(c.out).string()}).exitCode, 0);
    }
}

TEST(PatchgenCompressed, SmallFilesCopiesAreKeptOrGatheredLikePacks) {
    const auto name = [](std::size_t i) { return "f" + std::to_string(100 + i) + ".txt"; };  // manifest order
    struct Case {
        const char* name;
        std::vector<std::size_t> changed;            // of 30 small files, in the second release
        bool firstContainerKept;                     // the first release's container is still listed
        std::vector<std::size_t> newContainerOrder;  // the files in the second release's new container, in order
    };
    const Case cases[] = {
        {"three changed: the old container stays, the changed ones side by side in a new one",
         {4, 17, 9},
         true,
         {4, 9, 17}},
        {"ten changed: under three quarters left, laid anew with the changed ones first",
         {0, 3, 6, 9, 12, 15, 18, 21, 24, 27},
         false,
         {0, 3,  6,  9,  12, 15, 18, 21, 24, 27, 1,  2,  4,  5,  7,
          8, 10, 11, 13, 14, 16, 17, 19, 20, 22, 23, 25, 26, 28, 29}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Game g;
        std::map<std::string, std::string> files;
        for (std::size_t i = 0; i < 30; ++i) files[name(i)] = Words(20000, static_cast<std::uint32_t>(i));
        ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);
        const std::string first = Find(Load(g.Out("patch")).manifest, name(0))->zfile->containerSha256;
        for (std::size_t i : c.changed) files[name(i)].replace(50, 6, "CHANGE");
        ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);
        files[name(c.changed[0])].replace(500, 6, "AGAIN!");
        ASSERT_EQ(g.Publish(files, g.Out("patch")).exitCode, 0);

        const Tree tree = Load(g.Out("patch"));
        bool kept = false;
        std::map<std::string, std::vector<std::pair<std::uint64_t, std::size_t>>>
            copies;                                                  // container -> (offset, file)
        std::map<std::string, std::set<std::size_t>> patchReleases;  // container -> the releases its patches start from
        for (std::size_t i = 0; i < 30; ++i) {
            const PatchFileEntry& f = *Find(tree.manifest, name(i));
            if (i == c.changed[0]) continue;  // changed again in the third release
            kept = kept || f.zfile->containerSha256 == first;
            if (f.zfile->containerSha256 != first) copies[f.zfile->containerSha256].push_back({f.zfile->offset, i});
        }
        for (const PatchFromBase& p : Find(tree.manifest, name(c.changed[0]))->patches) {
            patchReleases[p.at.containerSha256].insert(g.ReleaseOf(name(c.changed[0]), p.baseSha256));
        }
        EXPECT_EQ(kept, c.firstContainerKept);
        ASSERT_EQ(copies.size(), 1u) << "one container of the second release's copies";
        std::sort(copies.begin()->second.begin(), copies.begin()->second.end());
        std::vector<std::size_t> order;
        for (const auto& at : copies.begin()->second) order.push_back(at.second);
        std::vector<std::size_t> expected = c.newContainerOrder;
        expected.erase(std::remove(expected.begin(), expected.end(), c.changed[0]), expected.end());
        EXPECT_EQ(order, expected);
        // Patches from each earlier release side by side, in containers of their own.
        EXPECT_EQ(patchReleases.size(), 2u);
        for (const auto& [container, releases] : patchReleases) EXPECT_EQ(releases.size(), 1u) << container;
    }
}
