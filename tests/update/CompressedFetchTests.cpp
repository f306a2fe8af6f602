// Files that come as zstd frames (a patch against the local copy, compressed chunks, a compressed copy), made
// here with zstd itself and served by the loopback host: each way taken when it is offered, every failure
// falling through to the right file, bad frames leaving the old file as it was, and broken transfers resumed.
#include "update/DecodeBudget.h"
#include "update/FileFetch.h"
#include "update/PatchHost.h"

#include "common/ChunkFrames.h"
#include "common/ZstdFrames.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <zstd.h>

#include <atomic>
#include <map>
#include <random>
#include <thread>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

// Frames as patchgen makes them (checksums on). Without `sized` the header names the window, not the size.
std::string Frames(const std::string& data, const std::string& base = {}, unsigned windowLog = 0, bool sized = true) {
    ZSTD_CCtx* c = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
    if (windowLog) ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog, static_cast<int>(windowLog));
    if (!base.empty()) ZSTD_CCtx_refPrefix(c, base.data(), base.size());
    std::string out(ZSTD_compressBound(data.size()) + 4096, '\0');
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    ZSTD_outBuffer o{&out[0], out.size(), 0};
    while (!sized && in.pos < in.size) ZSTD_compressStream2(c, &o, &in, ZSTD_e_continue);
    for (std::size_t left = 1; left != 0 && !ZSTD_isError(left);) left = ZSTD_compressStream2(c, &o, &in, ZSTD_e_end);
    ZSTD_freeCCtx(c);
    out.resize(o.pos);
    return out;
}

// Text that compresses about as game data does.
std::string Text(std::size_t size, std::uint32_t seed) {
    static const char* const kWords[] = {"dragon ", "sword ", "quest ", "gold ", "map ", "guild ", "fire ", "stone "};
    std::mt19937 random(seed);
    std::string out;
    while (out.size() < size) out += kWords[random() % 8] + std::to_string(random() % 1000) + "\n";
    out.resize(size);
    return out;
}

std::string Z(const std::string& container) { return "z/" + testsupport::Sha256Hex(container) + ".zst"; }
EncodedPlace Place(const std::string& container, std::size_t offset, std::size_t length) {
    return EncodedPlace{testsupport::Sha256Hex(container), container.size(), offset, length};
}

// The frame table and the frames, one per chunk, of `bytes`, cut as patchgen cuts it.
std::string FrameTable(const std::string& bytes, std::string* frames) {
    ChunkFrames table;
    table.index.params = kDefaultChunkParams;
    table.index.fileSize = bytes.size();
    for (const ChunkSpan& span : ChunkBuffer(bytes, kDefaultChunkParams)) {
        const std::string chunk = bytes.substr(static_cast<std::size_t>(span.offset), span.length);
        const std::string hex = testsupport::Sha256Hex(chunk);
        ChunkEntry entry{span.offset, span.length, {}};
        for (std::size_t i = 0; i < 32; ++i) {
            entry.sha256[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        }
        table.index.chunks.push_back(entry);
        const std::string frame = Frames(chunk);
        table.frameLengths.push_back(static_cast<std::uint32_t>(frame.size()));
        *frames += frame;
    }
    return SerializeChunkFrames(table);
}

struct MostDone : ProgressSink {
    std::uint64_t most = 0;
    void OnBytes(std::uint64_t done, std::uint64_t, bool) override { most = std::max(most, done); }
    void OnWireBytes(std::uint64_t) override {}
};

FetchTarget BigPak(const TempDir& dir, const std::string& next) {
    FetchTarget target;
    target.relativeUrl = L"files/big.pak";
    target.targetPath = dir / L"big.pak";
    target.size = next.size();
    target.sha256 = testsupport::Sha256Hex(next);
    target.name = L"big.pak";
    return target;
}

// One file in every way: the previous version `old`, the new one `next` changed inside and at its end.
struct Offered {
    std::string old = Text(400000, 1);
    std::string other = Text(400000, 2);  // a version of the same size the patch does not start from
    std::string next = old.substr(0, 200000) + Text(20000, 3) + old.substr(220000) + Text(10000, 4);
    std::string patch = std::string(1000, 'j') + Frames(next, old, WindowLogFor(next.size(), old.size()));
    std::string chunks;
    std::string table = FrameTable(next, &chunks);
    std::string compressed = Frames(next.substr(0, 200000)) + Frames(next.substr(200000));
};

struct Offer {
    bool listed = true;
    bool served = true;
    bool corrupt = false;
};
const Offer kRight{}, kMissing{true, false}, kCorrupt{true, true, true}, kNone{false};

void Serve(LoopbackHttpServer& server, const std::string& path, std::string body, const Offer& offer) {
    if (offer.corrupt) body[body.size() - 20] ^= 0x5A;
    if (offer.served) server.RouteBody("/patch/" + path, body);
}

}  // namespace

TEST(CompressedFetchTest, EachWayIsTakenWhenOfferedAndEveryFailureFallsThrough) {
    const Offered o;
    enum Local { None, Previous, Other };
    struct Case {
        const char* name;
        Local local;
        Offer patch, chunks, compressed;
        int way;  // the way that brought the file: 0 patch, 1 compressed chunks, 2 compressed copy, 3 the file
    };
    const Case cases[] = {
        {"everything offered: the patch", Previous, kRight, kRight, kRight, 0},
        {"a corrupt patch: compressed chunks", Previous, kCorrupt, kRight, kRight, 1},
        {"no patch, no frame table: the compressed copy", Previous, kMissing, kMissing, kRight, 2},
        {"corrupt chunk frames: the compressed copy", Previous, kNone, kCorrupt, kRight, 2},
        {"no local copy: the compressed copy", None, kRight, kRight, kRight, 2},
        {"a local copy the patch does not start from", Other, kRight, kNone, kRight, 2},
        {"a corrupt compressed copy: the file", None, kNone, kNone, kCorrupt, 3},
        {"no compressed copy: the file", None, kNone, kNone, kMissing, 3},
        {"everything corrupt: the file", Previous, kCorrupt, kCorrupt, kCorrupt, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        if (c.local != None) {
            ASSERT_TRUE(testsupport::WriteBytes(dir / L"big.pak", c.local == Previous ? o.old : o.other));
        }
        Serve(server, Z(o.patch), o.patch, c.patch);
        Serve(server, Z(o.chunks), o.chunks, c.chunks);
        Serve(server, "z/" + testsupport::Sha256Hex(o.table) + ".kzix", o.table, Offer{true, c.chunks.served});
        Serve(server, Z(o.compressed), o.compressed, c.compressed);
        server.RouteBody("/patch/files/big.pak", o.next);
        FetchTarget target = BigPak(dir, o.next);
        const EncodedPlace patch = Place(o.patch, 1000, o.patch.size() - 1000);
        if (c.patch.listed) target.offers.patches = {PatchOffer{testsupport::Sha256Hex(o.old), o.old.size(), patch}};
        if (c.chunks.listed) {
            target.offers.framesSha256 = testsupport::Sha256Hex(o.table);
            target.offers.framesSize = o.table.size();
            target.offers.chunkFrames = Place(o.chunks, 0, o.chunks.size());
        }
        if (c.compressed.listed) target.offers.compressed = Place(o.compressed, 0, o.compressed.size());

        EXPECT_EQ(FetchVerifiedFile({PatchBaseUrl}, target, FetchListener{}).outcome, FetchOutcome::Verified);
        EXPECT_TRUE(testsupport::ReadBytes(dir / L"big.pak") == o.next);
        EXPECT_FALSE(testsupport::FileExists(dir / L"big.pak.part"));
        const std::string paths[] = {Z(o.patch), Z(o.chunks), Z(o.compressed), "files/big.pak"};
        EXPECT_GT(server.CountRequests("/patch/" + paths[c.way]), 0);
        for (int later = c.way + 1; later < 4; ++later) EXPECT_EQ(server.CountRequests("/patch/" + paths[later]), 0) << later;
        if (c.local == Other) { EXPECT_EQ(server.CountRequests("/patch/" + Z(o.patch)), 0); }
        if (c.way < 3) { EXPECT_LT(server.BodyBytesSent(), o.next.size() / 2); }
    }
}

// Nothing the host sends in frames moves the file the player has, and no decoder writes past the listed size.
TEST(CompressedFetchTest, BadFramesLeaveTheOldFileByteForByte) {
    const Offered o;
    const std::string good = Frames(o.next);
    const std::string junk(1000, 'j');
    struct Case {
        const char* name;
        std::string container;
        std::size_t offset, length;
        std::string served;  // what the host sends for the container; empty: the container
        bool patch = false;
        const std::string* local = nullptr;  // the player's copy; null: the previous version
    };
    const Case cases[] = {
        {"truncated frames", good.substr(0, good.size() - 30), 0, good.size() - 30},
        {"a frame that decodes to other bytes", Frames(o.other + Text(30000, 5)), 0, 0},
        {"a bomb: 20 MB from a small frame",
         Frames(o.next + std::string(20 << 20, '\0'), {}, WindowLogFor(o.next.size(), 0), false), 0, 0},
        {"a window above the cap", Frames(o.next, {}, 23, false), 0, 0},
        {"a member at a wrong offset", junk + good, 1003, good.size() - 3},
        {"a body longer than listed", good, 0, good.size(), good + junk},
        {"a patch against a base the player no longer has", o.patch, 1000, o.patch.size() - 1000, "", true, &o.other},
        {"a patch made against another base", junk + Frames(o.next, o.other, 20), 1000, 0, "", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        const std::string& local = c.local ? *c.local : o.old;
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"big.pak", local));
        server.RouteBody("/patch/" + Z(c.container), c.served.empty() ? c.container : c.served);
        FetchTarget target = BigPak(dir, o.next);
        const EncodedPlace place = Place(c.container, c.offset, c.length ? c.length : c.container.size() - c.offset);
        if (c.patch) {
            target.offers.patches = {PatchOffer{testsupport::Sha256Hex(o.old), o.old.size(), place}};
        } else {
            target.offers.compressed = place;
        }
        MostDone sink;
        const FetchOutcome outcome = FetchVerifiedFile({PatchBaseUrl}, target, FetchListener{nullptr, &sink}).outcome;
        EXPECT_EQ(outcome, FetchOutcome::DownloadFailed);
        EXPECT_TRUE(testsupport::ReadBytes(dir / L"big.pak") == local);
        EXPECT_FALSE(testsupport::FileExists(dir / L"big.pak.part"));
        EXPECT_LE(sink.most, o.next.size());
        if (c.local) { EXPECT_EQ(server.CountRequests("/patch/" + Z(c.container)), 0); }
    }
}

// A broken transfer of frames goes on at the last frame that arrived whole; a ".part" an earlier run left is
// finished the cheaper way: the file from the .part's size, or the compressed copy from its start.
TEST(CompressedFetchTest, BrokenTransfersResumeTheCheaperWay) {
    const Offered o;
    const std::string first = Frames(o.next.substr(0, 150000)), second = Frames(o.next.substr(150000, 150000));
    const std::string frames = first + second + Frames(o.next.substr(300000));
    ASSERT_LT(frames.size(), o.next.size() / 3);
    struct Case {
        const char* name;
        std::size_t part;          // the earlier run's .part: the file's first bytes
        long long cutAfter;        // the container's first answer breaks off here; -1: it does not
        std::string resumed;       // the path asked for with a range
        std::uint64_t resumedAt;
    };
    const std::size_t most = o.next.size() * 9 / 10;
    const Case cases[] = {
        {"cut inside the second frame: again from its start", 0, static_cast<long long>(first.size() + second.size() / 2),
         Z(frames), first.size()},
        {"a .part of 90 %: the file from its size", most, -1, "files/big.pak", most},
        {"a .part of 10 %: the compressed copy from its start", o.next.size() / 10, -1, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"big.pak", o.old));
        if (c.part) { ASSERT_TRUE(testsupport::WriteBytes(dir / L"big.pak.part", o.next.substr(0, c.part))); }
        HttpResponse container{200, frames};
        container.delivery = testsupport::Delivery::CutOrderly;
        container.cutAfter = c.cutAfter;
        container.deliveryTimes = c.cutAfter < 0 ? 0 : 1;
        server.Route("/patch/" + Z(frames), container);
        server.RouteBody("/patch/files/big.pak", o.next);
        FetchTarget target = BigPak(dir, o.next);
        target.offers.compressed = Place(frames, 0, frames.size());

        EXPECT_EQ(FetchVerifiedFile({PatchBaseUrl}, target, FetchListener{}).outcome, FetchOutcome::Verified);
        EXPECT_TRUE(testsupport::ReadBytes(dir / L"big.pak") == o.next);
        std::vector<std::string> ranged;
        for (const std::string& head : server.RequestLines()) {
            const std::size_t at = head.find("\r\nRange: bytes=");
            if (at == std::string::npos) continue;
            const std::string range = head.substr(at + 15, head.find("\r\n", at + 2) - at - 15);
            ranged.push_back(head.substr(4, head.find(' ', 4) - 4) + " " + range);
        }
        const std::vector<std::string> expected = {"/patch/" + c.resumed + " " + std::to_string(c.resumedAt) + "-" +
                                                   (c.resumed == "files/big.pak" ? "" : std::to_string(frames.size() - 1))};
        EXPECT_EQ(ranged, c.resumed.empty() ? std::vector<std::string>() : expected);
        EXPECT_EQ(server.CountRequests("/patch/files/big.pak"), c.resumed == "files/big.pak" ? 1 : 0);
    }
}

// Guards against four threads decoding patches against the largest bases holding all four bases at once.
TEST(CompressedFetchTest, DecodesHoldNoMoreThanTheBudget) {
    constexpr std::uint64_t kEach = kPatchBaseLimit + DecoderBytes(kMaxWindowLog);
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&inside, &mostInside] {
            const DecodeReservation hold(kEach);
            const int now = ++inside;
            int most = mostInside.load();
            while (now > most && !mostInside.compare_exchange_weak(most, now)) {
            }
            testsupport::WaitUntil([&] { return inside.load() == 4; }, 500);  // all four, were they let in
            --inside;  // before `hold` lets the next one in
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_LE(static_cast<std::uint64_t>(mostInside.load()) * kEach, kDecodeMemoryBudget);
}

// A real run: small files as members of container ranges (patches against their local copies, compressed
// copies), a member that does not arrive right fetched on its own without that way, one log line per file.
TEST(CompressedFetchTest, SmallFilesComeAsMembersOfContainerRanges) {
    struct Case {
        const char* name;
        int shifted;  // this file's compressed copy is listed one byte off; -1: none
        int corrupt;  // this file's patch is corrupt on the host; -1: none
        int fileRequests;
        int containerRequests;
    };
    const Case cases[] = {
        {"every member right: one range of each container", -1, -1, 0, 2},
        {"a compressed copy at a wrong offset: that file by itself", 5, -1, 1, 2},
        {"a corrupt patch: that file's compressed copy", -1, 1, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        ASSERT_TRUE(CreateDirectoryW((dir / L"s").c_str(), nullptr));
        std::map<std::string, std::string> files;
        std::string copies, patches, copyLines, patchLines;
        std::vector<std::string> frames;
        for (int i = 0; i < 8; ++i) {
            const std::string path = "s/f" + std::to_string(i) + ".txt";
            const std::string old = Text(20000, 10 + i);
            const std::string next = files[path] = old.substr(0, 15000) + Text(5000, 20 + i);
            frames.push_back(Frames(next));
            const int shift = i == c.shifted ? 1 : 0;
            copyLines += "ZFILE|" + path + "|A|" + std::to_string(copies.size() + shift) + "|" +
                         std::to_string(frames.back().size() - shift) + "\n";
            copies += frames.back();
            if (i >= 4) continue;
            ASSERT_TRUE(testsupport::WriteBytes(dir / testsupport::Wide(path), old));
            std::string patch = Frames(next, old, WindowLogFor(next.size(), old.size()));
            if (i == c.corrupt) patch[patch.size() / 2] ^= 0x5A;
            patchLines += "ZPATCH|" + path + "|" + testsupport::Sha256Hex(old) + "|" + std::to_string(old.size()) + "|B|" +
                          std::to_string(patches.size()) + "|" + std::to_string(patch.size()) + "\n";
            patches += patch;
        }
        std::string lines = "ZPACK|A|" + std::to_string(copies.size()) + "\nZPACK|B|" + std::to_string(patches.size()) +
                            "\n" + copyLines + patchLines;
        for (const auto& [name, container] : {std::make_pair('A', copies), std::make_pair('B', patches)}) {
            for (std::size_t at; (at = lines.find(std::string("|") + name + "|")) != std::string::npos;) {
                lines.replace(at + 1, 1, testsupport::Sha256Hex(container));
            }
            server.RouteBody("/patch/" + Z(container), container);
        }
        updatetest::Publish(server, files, lines);

        const updatetest::RunResult run = updatetest::RunUpdate(dir);
        for (const auto& [path, bytes] : files) {
            EXPECT_TRUE(testsupport::ReadBytes(dir / testsupport::Wide(path)) == bytes) << path;
        }
        int fileRequests = 0, containerRequests = 0, raw = 0;
        for (const std::string& path : server.RequestedPaths()) {
            fileRequests += path.rfind("/patch/files/", 0) == 0;
            containerRequests += path.rfind("/patch/z/", 0) == 0;
        }
        for (const auto& file : files) raw += static_cast<int>(file.second.size());
        EXPECT_EQ(fileRequests, c.fileRequests);
        EXPECT_EQ(containerRequests, c.containerRequests);
        EXPECT_LT(server.BodyBytesSent(), static_cast<std::uint64_t>(raw / 2));
        const std::string base0 = testsupport::Sha256Hex(Text(20000, 10)).substr(0, 16);
        EXPECT_TRUE(run.Logged("[Launcher][updater] s/f0.txt: patch from " + base0 + "..., "));
        EXPECT_TRUE(run.Logged("[Launcher][updater] s/f6.txt: compressed file, " + std::to_string(frames[6].size()) +
                               " bytes on the wire, " + std::to_string(files["s/f6.txt"].size()) + " decoded"));
        if (c.shifted >= 0) { EXPECT_TRUE(run.Logged("s/f5.txt does not decode")); }
        if (c.corrupt >= 0) { EXPECT_TRUE(run.Logged("[Launcher][updater] s/f1.txt: compressed file, ")); }
    }
}

// A small file whose raw bytes lie between two members asked of its pack crosses the line inside that range
// anyway: it is taken from there, and its compressed copy is not asked for. One past the range comes compressed.
TEST(CompressedFetchTest, APackRangeCarriesTheCopiesBetweenItsMembers) {
    LoopbackHttpServer server;
    TempDir dir;
    std::map<std::string, std::string> files;
    std::string pack, container, lines;
    for (int i = 0; i < 4; ++i) {
        const std::string path = "p" + std::to_string(i) + ".txt";
        files[path] = Text(16000, 40 + i);
        lines += "PACKED|" + path + "|P|" + std::to_string(pack.size()) + "\n";
        pack += files[path];
        if (i % 2 == 0) continue;  // p1 and p3 have compressed copies
        const std::string frames = Frames(files[path]);
        lines += "ZFILE|" + path + "|A|" + std::to_string(container.size()) + "|" + std::to_string(frames.size()) + "\n";
        container += frames;
    }
    lines = "PACK|P|" + std::to_string(pack.size()) + "\nZPACK|A|" + std::to_string(container.size()) + "\n" + lines;
    for (std::size_t at; (at = lines.find("|P|")) != std::string::npos;) lines.replace(at + 1, 1, testsupport::Sha256Hex(pack));
    for (std::size_t at; (at = lines.find("|A|")) != std::string::npos;) lines.replace(at + 1, 1, testsupport::Sha256Hex(container));
    server.RouteBody("/patch/packs/" + testsupport::Sha256Hex(pack) + ".kpak", pack);
    server.RouteBody("/patch/" + Z(container), container);
    updatetest::Publish(server, files, lines);

    const updatetest::RunResult run = updatetest::RunUpdate(dir);
    for (const auto& [path, bytes] : files) EXPECT_TRUE(testsupport::ReadBytes(dir / testsupport::Wide(path)) == bytes) << path;
    int packRequests = 0, containerRequests = 0, fileRequests = 0;
    for (const std::string& path : server.RequestedPaths()) {
        packRequests += path.rfind("/patch/packs/", 0) == 0;
        containerRequests += path.rfind("/patch/z/", 0) == 0;
        fileRequests += path.rfind("/patch/files/", 0) == 0;
    }
    EXPECT_EQ(packRequests, 1);  // p0 to p2, p1 among them
    EXPECT_EQ(containerRequests, 1);  // p3's frames
    EXPECT_EQ(fileRequests, 0);
    EXPECT_FALSE(run.Logged("[Launcher][updater] p1.txt: compressed file"));
    EXPECT_TRUE(run.Logged("[Launcher][updater] p3.txt: compressed file, "));
}
