#include <gtest/gtest.h>

#include "TestBytes.h"
#include "common/PackPlan.h"

#include <random>
#include <string>
#include <vector>

namespace {

// A range as "offset+length:id,id", ranges joined by " ".
std::string Describe(const PackRequestPlan& plan) {
    std::string out;
    for (const PackRange& r : plan.ranges) {
        if (!out.empty()) out += " ";
        out += std::to_string(r.offset) + "+" + std::to_string(r.length) + ":";
        for (std::size_t i = 0; i < r.members.size(); ++i) out += (i ? "," : "") + std::to_string(r.members[i].id);
    }
    out += " |";
    for (const PackMember& m : plan.unplanned) out += " " + std::to_string(m.id);
    return out;
}

// Every member's bytes as the splitter hands them out, the body fed in pieces of `piece` bytes.
std::vector<std::string> Split(const PackRange& range, const std::string& body, std::uint64_t bodyOffset,
                               std::size_t piece, std::size_t* endings) {
    std::vector<std::string> members(range.members.size());
    PackSplitter splitter(range, bodyOffset);
    for (std::size_t at = 0; at < body.size(); at += piece) {
        const std::size_t n = std::min(piece, body.size() - at);
        splitter.Feed(body.data() + at, n, [&](const MemberPiece& p) {
            members[p.member].append(p.data, p.size);
            if (p.ends) ++*endings;
            return true;
        });
    }
    return members;
}

}  // namespace

TEST(PackPlan, NeighboursShareARangeAndGapsUpTo64KiBAreFetchedThrough) {
    constexpr std::uint64_t K = 1024;
    struct Case {
        const char* name;
        std::vector<PackMember> needed;
        std::uint64_t packSize;
        std::string expected;
    };
    const Case cases[] = {
        {"a fresh install: one range for the whole pack", {{0, 10, 0}, {10, 20, 1}, {30, 5, 2}}, 35, "0+35:0,1,2 |"},
        {"given out of order", {{30, 5, 2}, {0, 10, 0}}, 35, "0+35:0,2 |"},
        {"a gap of exactly 64 KiB is fetched through", {{0, K, 0}, {65 * K, K, 1}}, 66 * K, "0+67584:0,1 |"},
        {"a gap one byte longer starts a range", {{0, K, 0}, {65 * K + 1, K, 1}}, 67 * K, "0+1024:0 66561+1024:1 |"},
        {"empty, overlapping and outside members are left to the caller",
         {{0, 0, 0}, {5, 10, 1}, {10, 10, 2}, {90, 20, 3}, {200, 1, 4}, {15, 5, 5}}, 100, "5+15:1,5 | 0 2 3 4"},
        {"nothing needed", {}, 100, " |"},
    };
    for (const Case& c : cases) EXPECT_EQ(Describe(PlanPackRanges(c.needed, c.packSize)), c.expected) << c.name;

    const PackRange range{10, 90, {{10, 10, 0}, {40, 20, 1}, {80, 20, 2}}};
    const PackRange rest = RemainingRange(range, 1);
    EXPECT_EQ(rest.offset, 40u);
    EXPECT_EQ(rest.length, 60u);
    ASSERT_EQ(rest.members.size(), 2u);
    EXPECT_EQ(rest.members[0].id, 1u);
    EXPECT_TRUE(RemainingRange(range, 3).members.empty());
    EXPECT_TRUE(WorthTheWholePack(range, 100));
    EXPECT_FALSE(WorthTheWholePack(range, 101));
}

TEST(PackPlan, ARangeSplitsAtTheMemberBoundaryNearestItsMiddle) {
    struct Case {
        const char* name;
        PackRange range;
        std::string expected;  // the two pieces as Describe writes them, or "" when it cannot be split
    };
    const Case cases[] = {
        {"two members", {0, 30, {{0, 10, 0}, {10, 20, 1}}}, "0+10:0 10+20:1 |"},
        {"the boundary before the middle is nearer", {0, 100, {{0, 48, 0}, {48, 10, 1}, {58, 42, 2}}},
         "0+48:0 48+52:1,2 |"},
        {"the boundary after the middle is nearer", {0, 100, {{0, 40, 0}, {40, 12, 1}, {52, 48, 2}}},
         "0+52:0,1 52+48:2 |"},
        {"equal members: half each", {0, 40, {{0, 10, 0}, {10, 10, 1}, {20, 10, 2}, {30, 10, 3}}},
         "0+20:0,1 20+20:2,3 |"},
        {"a gap at the cut is left out", {100, 100, {{100, 40, 0}, {170, 30, 1}}}, "100+40:0 170+30:1 |"},
        {"one member cannot be split", {0, 10, {{0, 10, 0}}}, ""},
    };
    for (const Case& c : cases) {
        PackRequestPlan pieces;
        PackRange first, second;
        if (SplitRange(c.range, &first, &second)) pieces.ranges = {first, second};
        EXPECT_EQ(pieces.ranges.empty() ? "" : Describe(pieces), c.expected) << c.name;
    }
}

// Random packs, random members needed, bodies fed in random pieces, as a range (206) or as the whole pack
// (200): every member comes out with its own bytes, once, and no range carries a member twice.
TEST(PackPlan, RandomPacksSplitIntoTheirMembers) {
    std::mt19937_64 random(7);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint64_t> sizes(1 + random() % 40);
        std::uint64_t packSize = 0;
        for (auto& s : sizes) packSize += (s = 1 + random() % 70000);
        const std::string pack = RandomBytes(static_cast<std::size_t>(packSize), round);
        std::vector<PackMember> needed;
        std::uint64_t at = 0;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (random() % 3 != 0) needed.push_back({at, sizes[i], i});
            at += sizes[i];
        }
        const PackRequestPlan plan = PlanPackRanges(needed, packSize);
        ASSERT_TRUE(plan.unplanned.empty());
        std::size_t carried = 0;
        for (std::size_t r = 0; r < plan.ranges.size(); ++r) {
            const PackRange& range = plan.ranges[r];
            if (r > 0) EXPECT_GT(range.offset, plan.ranges[r - 1].offset + plan.ranges[r - 1].length + kPackGapBytes);
            const bool whole = random() % 2 == 0;
            const std::string body = whole ? pack : pack.substr(range.offset, range.length);
            std::size_t endings = 0;
            const auto members = Split(range, body, whole ? 0 : range.offset, 1 + random() % 100000, &endings);
            EXPECT_EQ(endings, range.members.size());
            for (std::size_t m = 0; m < members.size(); ++m) {
                EXPECT_EQ(members[m], pack.substr(range.members[m].offset, range.members[m].length)) << round;
            }
            carried += range.members.size();
        }
        EXPECT_EQ(carried, needed.size());
    }
}
