// Which packs a rebuild into the same folder keeps, and where it puts the files that changed: the real
// patchgen binary, run again and again over one game and one served folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "PatchManifest.h"
#include "TestSupport.h"
#include "common/PackPlan.h"

namespace {

constexpr std::size_t kFileBytes = 200000;  // 42 of them close a pack of kPackTargetBytes

// The bytes of game file `i` in its version `version`.
std::string Content(std::size_t i, int version) {
    std::string bytes(kFileBytes, '\0');
    std::uint32_t x = static_cast<std::uint32_t>(i * 7919 + static_cast<std::size_t>(version) * 104729 + 1);
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string Name(std::size_t i) {
    std::string n = std::to_string(i);
    return "data/f" + std::string(3 - n.size(), '0') + n + ".bin";  // manifest order is file order
}

struct Game {
    TempDir dir;
    std::map<std::size_t, int> versions;  // file -> version of its bytes

    fs::path out() const { return dir.path() / "patch"; }
    bool Write(std::size_t i, int version) {
        versions[i] = version;
        return WriteBytes(dir.path() / "game" / Name(i), Content(i, version));
    }
    RunResult Build() const {
        return RunPatchgen({"build", "-q", "--game", (dir.path() / "game").string(), "--launcher",
                            (dir.path() / "Launcher-build.exe").string(), "--out", out().string()});
    }
    PatchManifest Manifest() const { return ReadPatchManifest(ReadBytes(out() / "manifest.txt"), nullptr); }
};

// Pack digest -> its members' file numbers in offset order.
std::map<std::string, std::vector<std::size_t>> MembersByPack(const PatchManifest& m) {
    std::map<std::string, std::vector<std::pair<std::uint64_t, std::size_t>>> at;
    for (const PatchFileEntry& f : m.files) {
        if (f.packed) at[f.packed->packSha256].push_back({f.packed->offset, std::stoul(f.path.substr(6, 3))});
    }
    std::map<std::string, std::vector<std::size_t>> out;
    for (auto& [pack, list] : at) {
        std::sort(list.begin(), list.end());
        for (const auto& member : list) out[pack].push_back(member.second);
    }
    return out;
}

std::vector<std::size_t> Range(std::size_t from, std::size_t to, std::set<std::size_t> without = {}) {
    std::vector<std::size_t> out;
    for (std::size_t i = from; i < to; ++i) {
        if (!without.count(i)) out.push_back(i);
    }
    return out;
}

struct LayoutCase {
    const char* name;
    std::function<void(Game&)> change;  // what the operator does to the game before the rebuild
    std::vector<std::vector<std::size_t>> keptPacks;  // packs of the first build still served: their members now
    std::vector<std::vector<std::size_t>> newPacks;   // packs this build made: their members in offset order
};

}  // namespace

TEST(PatchgenPacks, ARebuildKeepsPacksThatStillHoldItsFilesAndGathersTheChangedOnes) {
    // The first build: 87 files in two full packs (0-41, 42-83) and a small one (84-86).
    const auto changeFiles = [](std::vector<std::size_t> files) {
        return [files](Game& g) {
            for (std::size_t i : files) ASSERT_TRUE(g.Write(i, g.versions[i] + 1));
        };
    };
    const LayoutCase cases[] = {
        {"nothing changed: the same packs", [](Game&) {}, {Range(0, 42), Range(42, 84), Range(84, 87)}, {}},
        {"a few files changed: every pack stays, the changed files side by side in a new one",
         changeFiles({3, 17, 50}), {Range(0, 42, {3, 17}), Range(42, 84, {50}), Range(84, 87)}, {{3, 17, 50}}},
        {"a new file and a removed one",
         [](Game& g) {
             ASSERT_TRUE(g.Write(90, 1));
             ASSERT_TRUE(fs::remove(g.dir.path() / "game" / Name(10)));
         },
         {Range(0, 42, {10}), Range(42, 84), Range(84, 87)}, {{90}}},
        // 31 of its 42 files left is under three quarters: the pack goes, its files follow the changed ones.
        {"a pack mostly changed is laid anew", changeFiles(Range(0, 11)), {Range(42, 84), Range(84, 87)},
         {Range(0, 42)}},
        // Not kept as it is: laid anew from the same files, it comes out as the same pack, written again.
        {"a pack damaged on the host is written again",
         [](Game& g) {
             const PatchManifest m = g.Manifest();
             const std::string pack = m.files[50].packed->packSha256;
             ASSERT_TRUE(WriteBytes(g.out() / PackServedPath(pack), std::string(kFileBytes, 'x')));
         },
         {Range(0, 42), Range(42, 84), Range(84, 87)}, {}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        Game g;
        ASSERT_TRUE(WriteBytes(g.dir.path() / "Launcher-build.exe", "MZ launcher"));
        for (std::size_t i = 0; i < 87; ++i) ASSERT_TRUE(g.Write(i, 1));
        ASSERT_EQ(g.Build().exitCode, 0);
        const auto first = MembersByPack(g.Manifest());
        ASSERT_EQ(first.size(), 3u);

        c.change(g);
        const RunResult r = g.Build();
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const PatchManifest m = g.Manifest();
        std::vector<std::vector<std::size_t>> kept, made;
        for (const auto& [pack, members] : MembersByPack(m)) (first.count(pack) ? kept : made).push_back(members);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.keptPacks);
        EXPECT_EQ(made, c.newPacks);
        EXPECT_EQ(m.packs.size(), kept.size() + made.size());
        const RunResult v = RunPatchgen({"verify", g.out().string()});
        EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    }
}

// A patch a week would leave a small pack a week: two small packs are merged by the next build.
TEST(PatchgenPacks, SmallPacksOfEarlierPatchesAreMerged) {
    Game g;
    ASSERT_TRUE(WriteBytes(g.dir.path() / "Launcher-build.exe", "MZ launcher"));
    for (std::size_t i = 0; i < 45; ++i) ASSERT_TRUE(g.Write(i, 1));
    ASSERT_EQ(g.Build().exitCode, 0);  // packs: 0-41 and the small 42-44
    ASSERT_TRUE(g.Write(5, 2));
    ASSERT_EQ(g.Build().exitCode, 0);  // the small pack is the only one: kept; 5 in a small pack of its own
    EXPECT_EQ(MembersByPack(g.Manifest()).size(), 3u);

    ASSERT_TRUE(g.Write(9, 2));
    ASSERT_EQ(g.Build().exitCode, 0);
    std::vector<std::vector<std::size_t>> packs;
    for (const auto& [pack, members] : MembersByPack(g.Manifest())) packs.push_back(members);
    std::sort(packs.begin(), packs.end());
    // 0-41 less 5 and 9 stays; 9, the changed one, comes first in the pack that merged 5 and 42-44.
    EXPECT_EQ(packs, (std::vector<std::vector<std::size_t>>{Range(0, 42, {5, 9}), {9, 5, 42, 43, 44}}));
    std::size_t served = 0;
    for (const auto& e : fs::directory_iterator(g.out() / "packs")) served += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(served, 2u) << "the merged packs are no longer served";
    EXPECT_EQ(RunPatchgen({"verify", g.out().string()}).exitCode, 0);
}

// Built into a new folder, the release players have now named with --previous: its packs still worth
// keeping are copied over, and a --previous without a manifest stops the build before anything is written.
TEST(PatchgenPacks, APreviousReleaseInAnotherFolderLendsItsPacks) {
    Game g;
    ASSERT_TRUE(WriteBytes(g.dir.path() / "Launcher-build.exe", "MZ launcher"));
    for (std::size_t i = 0; i < 50; ++i) ASSERT_TRUE(g.Write(i, 1));
    ASSERT_EQ(g.Build().exitCode, 0);
    const auto first = MembersByPack(g.Manifest());
    ASSERT_TRUE(g.Write(7, 2));

    const fs::path next = g.dir.path() / "patch-2";
    const auto build = [&](const fs::path& previous) {
        return RunPatchgen({"build", "-q", "--game", (g.dir.path() / "game").string(), "--launcher",
                            (g.dir.path() / "Launcher-build.exe").string(), "--out", next.string(), "--previous",
                            previous.string()});
    };
    const RunResult missing = build(g.dir.path() / "nowhere");
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_NE(missing.err.find("--previous"), std::string::npos) << missing.err;
    EXPECT_FALSE(fs::exists(next / "manifest.txt"));

    const RunResult r = build(g.out());
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::vector<std::size_t>> kept, made;
    for (const auto& [pack, members] : MembersByPack(ReadPatchManifest(ReadBytes(next / "manifest.txt"), nullptr))) {
        (first.count(pack) ? kept : made).push_back(members);
    }
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::vector<std::size_t>>{Range(0, 42, {7}), Range(42, 50)}));
    EXPECT_EQ(made, (std::vector<std::vector<std::size_t>>{{7}}));
    const RunResult v = RunPatchgen({"verify", next.string()});
    EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
}
