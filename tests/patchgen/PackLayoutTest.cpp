// Which packs a rebuild keeps and where it puts the files that changed: the real patchgen binary, run again
// over one game, into the folder of the release before or into a new one that names it with --previous.

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

std::string Name(std::size_t i) {
    const std::string n = std::to_string(i);
    return "data/f" + std::string(3 - n.size(), '0') + n + ".bin";  // manifest order is file order
}

using Packs = std::vector<std::vector<std::size_t>>;  // each pack's members (file numbers) in offset order

std::vector<std::size_t> Range(std::size_t from, std::size_t to, std::set<std::size_t> without = {}) {
    std::vector<std::size_t> out;
    for (std::size_t i = from; i < to; ++i) {
        if (!without.count(i)) out.push_back(i);
    }
    return out;
}

struct Game {
    TempDir dir;
    std::map<std::size_t, char> versions;

    fs::path Patch(const char* name = "patch") const { return dir.path() / name; }
    bool Change(std::size_t i) {
        const char version = ++versions[i];
        std::string bytes(kFileBytes, version);
        for (std::size_t k = 0; k < bytes.size(); k += 997) bytes[k] = static_cast<char>(i);
        return WriteBytes(dir.path() / "game" / Name(i), bytes);
    }
    RunResult Build(const fs::path& out, std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"build", "-q", "--game", (dir.path() / "game").string(), "--launcher",
                                         (dir.path() / "Launcher-build.exe").string(), "--out", out.string()};
        args.insert(args.end(), more.begin(), more.end());
        return RunPatchgen(args);
    }
    // Pack digest -> members.
    std::map<std::string, std::vector<std::size_t>> PacksOf(const fs::path& out) const {
        const PatchManifest m = ReadPatchManifest(ReadBytes(out / "manifest.txt"), nullptr);
        std::map<std::string, std::vector<std::pair<std::uint64_t, std::size_t>>> at;
        for (const PatchFileEntry& f : m.files) {
            if (f.packed) at[f.packed->packSha256].push_back({f.packed->offset, std::stoul(f.path.substr(6, 3))});
        }
        std::map<std::string, std::vector<std::size_t>> packs;
        for (auto& [pack, list] : at) {
            std::sort(list.begin(), list.end());
            for (const auto& member : list) packs[pack].push_back(member.second);
        }
        return packs;
    }
};

struct LayoutCase {
    const char* name;
    std::vector<std::function<void(Game&)>> releases;  // what changes before each release after the first
    Packs kept;  // packs of the first release still served: their members now
    Packs made;  // packs the later releases made
    bool newFolder = false;  // the last release goes into a new folder, naming the one before with --previous
};

std::function<void(Game&)> Changed(std::vector<std::size_t> files) {
    return [files](Game& g) {
        for (std::size_t i : files) ASSERT_TRUE(g.Change(i));
    };
}

}  // namespace

TEST(PatchgenPacks, ARebuildKeepsPacksStillMostlyWantedAndGathersTheChangedFiles) {
    // The first release: 87 files in two full packs (0-41, 42-83) and a small one (84-86).
    const LayoutCase cases[] = {
        {"nothing changed: the same packs", {Changed({})}, {Range(0, 42), Range(42, 84), Range(84, 87)}, {}},
        {"a few files changed: every pack stays, the changed files side by side in a new one", {Changed({3, 17, 50})},
         {Range(0, 42, {3, 17}), Range(42, 84, {50}), Range(84, 87)}, {{3, 17, 50}}},
        {"a new file and a removed one",
         {[](Game& g) {
             ASSERT_TRUE(g.Change(90));
             ASSERT_TRUE(fs::remove(g.dir.path() / "game" / Name(10)));
         }},
         {Range(0, 42, {10}), Range(42, 84), Range(84, 87)}, {{90}}},
        // 31 of 42 files left is under three quarters: the pack goes, its files follow the changed ones.
        {"a pack mostly changed is laid anew", {Changed(Range(0, 11))}, {Range(42, 84), Range(84, 87)}, {Range(0, 42)}},
        // Laid anew from the same files it comes out as the same pack, and verify below finds it right again.
        {"a pack damaged on the host is written again",
         {[](Game& g) {
             for (const auto& [pack, members] : g.PacksOf(g.Patch())) {
                 if (members.front() == 42) ASSERT_TRUE(WriteBytes(g.Patch() / PackServedPath(pack), "x"));
             }
         }},
         {Range(0, 42), Range(42, 84), Range(84, 87)}, {}},
        // A patch a week would leave fresh installs a request more a week.
        {"two small packs are merged, the changed file first", {Changed({5}), Changed({9})},
         {Range(0, 42, {5, 9}), Range(42, 84)}, {{9, 5, 84, 85, 86}}},
        {"into a new folder with --previous: its packs are copied over", {Changed({7})},
         {Range(0, 42, {7}), Range(42, 84), Range(84, 87)}, {{7}}, true},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        Game g;
        ASSERT_TRUE(WriteBytes(g.dir.path() / "Launcher-build.exe", "MZ launcher"));
        for (std::size_t i = 0; i < 87; ++i) ASSERT_TRUE(g.Change(i));
        ASSERT_EQ(g.Build(g.Patch()).exitCode, 0);
        const auto first = g.PacksOf(g.Patch());
        ASSERT_EQ(first.size(), 3u);

        fs::path out = g.Patch();
        for (const auto& change : c.releases) {
            change(g);
            std::vector<std::string> more;
            if (c.newFolder) {
                const RunResult missing = g.Build(g.Patch("next"), {"--previous", g.Patch("nowhere").string()});
                EXPECT_NE(missing.err.find("--previous"), std::string::npos) << missing.err;
                EXPECT_FALSE(fs::exists(g.Patch("next"))) << "refused before anything is written";
                out = g.Patch("next");
                more = {"--previous", g.Patch().string()};
            }
            const RunResult r = g.Build(out, more);
            ASSERT_EQ(r.exitCode, 0) << r.err;
        }
        Packs kept, made;
        for (const auto& [pack, members] : g.PacksOf(out)) (first.count(pack) ? kept : made).push_back(members);
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(made, c.made);
        std::size_t served = 0;
        for (const auto& e : fs::directory_iterator(out / "packs")) served += e.is_regular_file() ? 1 : 0;
        EXPECT_EQ(served, kept.size() + made.size()) << "packs no longer named are not served";
        const RunResult v = RunPatchgen({"verify", out.string()});
        EXPECT_EQ(v.exitCode, 0) << v.out << v.err;
    }
}
