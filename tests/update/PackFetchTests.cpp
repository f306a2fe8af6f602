// Small files fetched through packs by the download workers, against the loopback host: what is asked for
// (the request log), what ends up on disk, and how many WinHTTP sessions a run opens.
#include "update/DownloadWorkers.h"
#include "update/Http.h"
#include "update/Manifest.h"
#include "update/PatchHost.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <map>
#include <random>
#include <set>
#include <thread>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

struct Member {
    std::string path;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Files as patchgen publishes them with packs: FILE lines, and (with packLines) PACK and PACKED lines for
// packs closed once they hold packBytes.
struct Publication {
    std::string manifest;
    std::map<std::string, std::string> packs;                // served path -> bytes
    std::map<std::string, std::vector<Member>> members;      // served path -> its members in order
};

Publication Publish(const std::vector<std::pair<std::string, std::string>>& files, std::size_t packBytes, bool packLines) {
    Publication out;
    std::string packLinesText, fileLines, bytes;
    std::vector<std::size_t> pending;
    std::vector<std::string> packOf(files.size());
    std::vector<std::uint64_t> offsetOf(files.size());
    const auto close = [&]() {
        if (pending.empty()) return;
        const std::string sha = testsupport::Sha256Hex(bytes);
        const std::string served = "packs/" + sha + ".kpak";
        packLinesText += "PACK|" + sha + "|" + std::to_string(bytes.size()) + "\n";
        std::uint64_t at = 0;
        for (std::size_t i : pending) {
            packOf[i] = sha;
            offsetOf[i] = at;
            out.members[served].push_back({files[i].first, at, files[i].second.size()});
            at += files[i].second.size();
        }
        out.packs[served] = bytes;
        bytes.clear();
        pending.clear();
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        bytes += files[i].second;
        pending.push_back(i);
        if (bytes.size() >= packBytes) close();
    }
    close();
    for (std::size_t i = 0; i < files.size(); ++i) {
        fileLines += "FILE|" + files[i].first + "|" + std::to_string(files[i].second.size()) + "|" +
                     testsupport::Sha256Hex(files[i].second) + "\n";
        if (packLines) fileLines += "PACKED|" + files[i].first + "|" + packOf[i] + "|" + std::to_string(offsetOf[i]) + "\n";
    }
    out.manifest = (packLines ? packLinesText : std::string()) + fileLines;
    if (!packLines) out.packs.clear();
    return out;
}

// One request of the log: its path and, for a range request, the bytes asked for.
struct Asked {
    std::string path;
    bool ranged = false;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
};

std::vector<Asked> RequestsOf(const LoopbackHttpServer& server) {
    std::vector<Asked> out;
    const std::vector<std::string> paths = server.RequestedPaths();
    const std::vector<std::string> heads = server.RequestLines();
    for (std::size_t i = 0; i < paths.size() && i < heads.size(); ++i) {
        Asked a;
        a.path = paths[i];
        const std::size_t at = heads[i].find("\r\nRange: bytes=");
        if (at != std::string::npos) {
            a.ranged = true;
            const char* p = heads[i].c_str() + at + 15;
            char* end = nullptr;
            a.first = std::strtoull(p, &end, 10);
            a.last = std::strtoull(end + 1, nullptr, 10);
        }
        out.push_back(a);
    }
    return out;
}

struct Case {
    const char* name;
    std::size_t files;
    bool packLines;
    bool honourRange;
    bool update;        // the player has every file, 10 % of them (scattered) changed since
    int corruptMember;  // this file's bytes in its pack are wrong; -1: none
    int cutMember;      // the first pack's first transfer breaks off inside this member of it; -1: none
    // What the log must show: the requests for packs, and how many for single files.
    enum { OnePerWholePack, MergedRanges, AtMostOnePerWorker, OnePerSlot, None } packRequests;
    std::size_t fileRequests;
    // An earlier run left a ".part" of other bytes beside every third changed file, and one changed file
    // is read-only (copied from a disc).
    bool leftovers = false;
    std::size_t packBytes = 0;  // packs close at this size; 0: a size that gives several packs
};

}  // namespace

TEST(PackFetchTest, SmallFilesComeThroughPacksAndFallBackFileByFile) {
    const Case cases[] = {
        {"fresh install of 2,000 files: one request per pack", 2000, true, true, false, -1, -1, Case::OnePerWholePack, 0},
        {"update of 10 %, scattered: only ranges holding changed files", 2000, true, true, true, -1, -1,
         Case::MergedRanges, 0},
        {"a host that ignores ranges: the whole packs of a fresh install", 400, true, false, false, -1, -1,
         Case::OnePerWholePack, 0},
        {"a host that ignores ranges: an update goes file by file", 400, true, false, true, -1, -1,
         Case::AtMostOnePerWorker, 40},
        {"a pack wrong in one member: only that file again, whole", 300, true, true, false, 123, -1,
         Case::OnePerWholePack, 1},
        {"a manifest without PACK lines: file by file", 300, false, true, false, -1, -1, Case::None, 300},
        // Guards against a broken range being asked again from its start, or its placed members fetched again.
        {"a pack range cut after five members: asked again from the sixth on", 300, true, true, false, -1, 5,
         Case::OnePerWholePack, 0},
        {"an update over read-only files and the .part files an earlier run left", 300, true, true, true, -1, -1,
         Case::MergedRanges, 0, true},
        // Guards against three of four transfer slots staying idle while one writes every file.
        {"one pack of 5 MB: a piece of it for each transfer slot", 2000, true, true, false, -1, -1, Case::OnePerSlot, 0,
         false, 64 * 1024 * 1024},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 random(11);
        std::vector<std::pair<std::string, std::string>> files;
        for (std::size_t i = 0; i < c.files; ++i) {
            files.push_back({"data/f" + std::to_string(i) + ".bin",
                             testsupport::PatternBytes(1000 + random() % 3000, static_cast<std::uint32_t>(i))});
        }
        const std::size_t packBytes = c.packBytes ? c.packBytes : c.files >= 2000 ? 1500 * 1024 : 400 * 1024;
        TempDir dir;
        std::set<std::size_t> changed;
        if (c.update) {
            ASSERT_TRUE(CreateDirectoryW((dir / L"data").c_str(), nullptr));
            for (const auto& f : files) ASSERT_TRUE(testsupport::WriteBytes(dir / testsupport::Wide(f.first), f.second));
            while (changed.size() < c.files / 10) changed.insert(random() % c.files);
            for (std::size_t i : changed) files[i].second = testsupport::PatternBytes(files[i].second.size(), 100000 + i);
            if (c.leftovers) {
                for (std::size_t i : changed) {
                    const std::wstring target = dir / testsupport::Wide(files[i].first);
                    if (i % 3 == 0) {
                        ASSERT_TRUE(testsupport::WriteBytes(target + L".part", "left by a broken run"));
                    }
                    if (i == *changed.begin()) {
                        ASSERT_TRUE(SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY));
                    }
                }
            }
        }
        const Publication published = Publish(files, packBytes, c.packLines);

        LoopbackHttpServer server;
        ASSERT_TRUE(server.Started());
        for (const auto& f : files) server.RouteBody("/patch/files/" + f.first, f.second);
        std::string corruptPack;
        const std::string cutPack = c.cutMember >= 0 ? published.packs.begin()->first : std::string();
        for (const auto& [served, bytes] : published.packs) {
            HttpResponse response{200, bytes};
            response.honourRange = c.honourRange;
            if (served == cutPack) {
                const Member& m = published.members.at(served).at(static_cast<std::size_t>(c.cutMember));
                response.delivery = testsupport::Delivery::CutOrderly;
                response.cutAfter = static_cast<long long>(m.offset + m.length / 2);  // the range starts at 0
                response.deliveryTimes = 1;
            }
            for (const Member& m : published.members.at(served)) {
                if (c.corruptMember >= 0 && m.path == files[static_cast<std::size_t>(c.corruptMember)].first) {
                    response.body[static_cast<std::size_t>(m.offset + m.length / 2)] ^= 0x33;
                    corruptPack = served;
                }
            }
            server.Route("/patch/" + served, response);
        }

        Manifest manifest;
        ASSERT_TRUE(ParseManifest(published.manifest, manifest));
        ASSERT_EQ(manifest.files.size(), c.files);
        std::vector<std::size_t> jobs;
        DownloadBatch batch;
        for (std::size_t i = 0; i < c.files; ++i) {
            if (c.update && changed.count(i) == 0) continue;
            jobs.push_back(i);
            batch.totalBytes += manifest.files[i].size;
        }
        batch.manifest = &manifest;
        batch.jobs = &jobs;
        batch.launcherDir = dir.Path();
        batch.hosts = {PatchBaseUrl};
        batch.jobCount = static_cast<long>(jobs.size());
        PlanPackJobs(batch);
        const long sessionsBefore = WinHttpSessionsOpened();
        std::vector<std::thread> workers;
        for (int w = 0; w < kMaxDownloadWorkers; ++w) workers.emplace_back([&batch] { RunDownloadWorker(&batch); });
        for (std::thread& t : workers) t.join();

        EXPECT_EQ(batch.failed.load(), 0);
        EXPECT_EQ(batch.completed.load(), static_cast<long>(jobs.size()));
        EXPECT_EQ(batch.bytesDone.load(), batch.totalBytes);
        // One session per worker for the whole run, however many files it fetched.
        EXPECT_LE(WinHttpSessionsOpened() - sessionsBefore, kMaxDownloadWorkers);
        for (const auto& f : files) {
            ASSERT_EQ(testsupport::ReadBytes(dir / testsupport::Wide(f.first)), f.second) << f.first;
            ASSERT_FALSE(testsupport::FileExists(dir / testsupport::Wide(f.first + ".part"))) << f.first;
        }

        std::set<std::string> changedPaths;
        for (std::size_t i : changed) changedPaths.insert(files[i].first);
        std::size_t packRequests = 0, fileRequests = 0;
        std::map<std::string, std::size_t> carried;  // member path -> requests that carried it
        std::vector<Asked> cutPackAsked;
        for (const Asked& a : RequestsOf(server)) {
            if (!cutPack.empty() && a.path == "/patch/" + cutPack) {
                cutPackAsked.push_back(a);
                continue;
            }
            if (a.path.rfind("/patch/files/", 0) == 0) {
                ++fileRequests;
                if (c.corruptMember >= 0) {
                    EXPECT_EQ(a.path, "/patch/files/" + files[static_cast<std::size_t>(c.corruptMember)].first);
                }
                continue;
            }
            ASSERT_EQ(a.path.rfind("/patch/packs/", 0), 0u) << a.path;
            ASSERT_TRUE(a.ranged) << a.path;
            ++packRequests;
            const auto& members = published.members.at(a.path.substr(7));
            std::size_t inRange = 0;
            bool startsAtNeeded = false, endsAtNeeded = false;
            for (const Member& m : members) {
                const bool needed = changedPaths.count(m.path) != 0;
                startsAtNeeded = startsAtNeeded || (needed && m.offset == a.first);
                endsAtNeeded = endsAtNeeded || (needed && m.offset + m.length - 1 == a.last);
                if (m.offset >= a.first && m.offset + m.length - 1 <= a.last) {
                    ++inRange;
                    ++carried[m.path];
                }
            }
            if (c.packRequests == Case::MergedRanges) {
                EXPECT_TRUE(startsAtNeeded && endsAtNeeded) << a.path << " " << a.first << "-" << a.last;
            }
            if (c.packRequests == Case::OnePerWholePack) {
                EXPECT_EQ(inRange, members.size()) << a.path;
            }
        }
        if (!cutPack.empty()) {
            // The whole pack first; after the cut only from the member it broke in to the pack's end.
            const std::vector<Member>& members = published.members.at(cutPack);
            ASSERT_EQ(cutPackAsked.size(), 2u);
            EXPECT_TRUE(cutPackAsked[0].ranged);
            EXPECT_EQ(cutPackAsked[0].first, 0u);
            EXPECT_EQ(cutPackAsked[0].last, published.packs.at(cutPack).size() - 1);
            EXPECT_TRUE(cutPackAsked[1].ranged);
            EXPECT_EQ(cutPackAsked[1].first, members.at(static_cast<std::size_t>(c.cutMember)).offset);
            EXPECT_EQ(cutPackAsked[1].last, published.packs.at(cutPack).size() - 1);
            ++packRequests;  // counted as the one request of its pack below
        }
        EXPECT_EQ(fileRequests, c.fileRequests);
        switch (c.packRequests) {
            case Case::OnePerWholePack: EXPECT_EQ(packRequests, published.packs.size()); break;
            case Case::MergedRanges: EXPECT_GE(packRequests, 1u); break;
            case Case::AtMostOnePerWorker:
                EXPECT_GE(packRequests, 1u);
                EXPECT_LE(packRequests, static_cast<std::size_t>(kMaxDownloadWorkers));
                break;
            case Case::OnePerSlot:
                ASSERT_EQ(published.packs.size(), 1u);
                EXPECT_EQ(packRequests, static_cast<std::size_t>(kMaxDownloadWorkers));
                for (const auto& f : files) EXPECT_EQ(carried[f.first], 1u) << f.first;
                break;
            case Case::None: EXPECT_EQ(packRequests, 0u); break;
        }
        if (c.update && c.honourRange) {
            // Every changed file came in exactly one range, and ranges merged neighbours.
            for (std::size_t i : changed) EXPECT_EQ(carried[files[i].first], 1u) << files[i].first;
            EXPECT_LT(packRequests, changed.size());
        }
    }
}
