#include <gtest/gtest.h>

#include <random>

#include "TestBytes.h"
#include "common/DeltaPlan.h"

namespace {

constexpr ChunkParams kSmall{256, 1024, 4096};
constexpr DeltaPolicy kAlwaysDelta{100, 0};

struct Applied {
    std::optional<std::string> bytes;
    std::size_t fetchCalls = 0;
};

// The new file built by following the plan in memory, as the launcher does on the disk: copies from the
// local bytes, fetches from the wanted ones; nullopt when the ops do not tile the file or a copy reaches
// past the local bytes.
Applied Apply(const std::string& local, const std::string& wanted, const DeltaPlan& plan) {
    Applied applied;
    std::string out;
    for (const DeltaOp& op : plan.ops) {
        if (op.newOffset != out.size() || op.length > plan.fileSize - out.size()) return applied;
        const std::string& from = op.kind == DeltaOpKind::Copy ? local : wanted;
        const std::uint64_t at = op.kind == DeltaOpKind::Copy ? op.localOffset : op.newOffset;
        if (op.length > from.size() || at > from.size() - op.length) return applied;
        if (op.kind == DeltaOpKind::Fetch) ++applied.fetchCalls;
        out.append(from, static_cast<std::size_t>(at), static_cast<std::size_t>(op.length));
    }
    if (out.size() == plan.fileSize) applied.bytes = out;
    return applied;
}

std::string Edited(std::string bytes, std::size_t at, std::size_t removed, const std::string& inserted) {
    return bytes.replace(at, removed, inserted);
}

}  // namespace

TEST(DeltaPlan, BuildsTheNewFileAndFetchesOnlyWhatChanged) {
    const std::string base = RandomBytes(256 * 1024, 1);
    const std::string zeros(200'000, '\0');
    const std::uint64_t near = 3 * kSmall.maxSize;  // the chunks around an edit
    const std::vector<ChunkSpan> spans = ChunkBuffer(base, kSmall);
    const std::size_t cut1 = spans[10].offset, cut2 = spans[13].offset, cut3 = spans[20].offset;
    const std::string chunksDropped = base.substr(0, cut1) + base.substr(cut2);
    const std::string chunksSwapped =
        base.substr(0, cut1) + base.substr(cut2, cut3 - cut2) + base.substr(cut1, cut2 - cut1) + base.substr(cut3);
    struct Case {
        const char* name;
        std::string local;
        std::string wanted;
        bool whole;
        std::uint64_t maxFetch;  // when not whole
        std::size_t ops;         // 0: not checked
    };
    const Case cases[] = {
        {"identical", base, base, false, 0, 1},
        {"runs of zeros", zeros, zeros, false, 0, 1},
        {"change in place", base, Edited(base, 100'000, 2048, RandomBytes(2048, 2)), false, 2048 + near, 3},
        {"insertion", base, Edited(base, 50'000, 0, RandomBytes(3000, 3)), false, 3000 + near, 3},
        {"deletion", base, Edited(base, 50'000, 3000, ""), false, near, 0},
        {"whole chunks deleted", base, chunksDropped, false, 0, 2},
        {"whole chunks moved", base, chunksSwapped, false, 0, 4},
        {"append", base, base + RandomBytes(10'000, 4), false, 10'000 + kSmall.maxSize, 2},
        {"truncation", base, base.substr(0, 200'000), false, kSmall.maxSize, 0},
        {"local longer than new", base + RandomBytes(50'000, 5), base, false, kSmall.maxSize, 0},
        {"nothing in common", base, RandomBytes(base.size(), 6), true, 0, 1},
        {"empty local file", "", base, true, 0, 1},
        {"empty new file", base, "", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<DeltaPlan> plan =
            PlanDelta(IndexOf(c.wanted, kSmall), IndexOf(c.local, kSmall).chunks);
        ASSERT_TRUE(plan);
        const Applied applied = Apply(c.local, c.wanted, *plan);
        ASSERT_TRUE(applied.bytes);
        EXPECT_TRUE(*applied.bytes == c.wanted);
        EXPECT_EQ(plan->fetchWhole, c.whole);
        EXPECT_EQ(plan->copyBytes + plan->fetchBytes, c.wanted.size());
        EXPECT_EQ(applied.fetchCalls, plan->fetchRanges);
        if (c.whole) EXPECT_EQ(plan->fetchBytes, c.wanted.size());
        if (!c.whole) EXPECT_LE(plan->fetchBytes, c.maxFetch);
        if (c.ops != 0) EXPECT_EQ(plan->ops.size(), c.ops);
        for (std::size_t i = 1; i < plan->ops.size(); ++i) {
            const DeltaOp& a = plan->ops[i - 1];
            const DeltaOp& b = plan->ops[i];
            EXPECT_FALSE(a.kind == DeltaOpKind::Fetch && b.kind == DeltaOpKind::Fetch) << "unmerged fetch " << i;
            EXPECT_FALSE(a.kind == DeltaOpKind::Copy && b.kind == DeltaOpKind::Copy &&
                         a.localOffset + a.length == b.localOffset)
                << "unmerged copy " << i;
        }
    }
}

TEST(DeltaPlan, RandomEditsRoundTripAndFetchLittle) {
    std::mt19937_64 random(2024);
    for (int iteration = 0; iteration < 300; ++iteration) {
        SCOPED_TRACE(iteration);
        const std::string local = RandomBytes(64 * 1024 + random() % (320 * 1024), random());
        std::string wanted = local;
        std::uint64_t allowance = 0;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % (wanted.size() + 1);
            const std::size_t length = 1 + random() % 2048;
            switch (random() % 3) {
                case 0: wanted.insert(at, RandomBytes(length, random())); break;
                case 1: wanted.erase(at, length); break;
                default: wanted.replace(at, length, RandomBytes(length, random())); break;
            }
            allowance += length + 3 * kSmall.maxSize;
        }
        const std::optional<DeltaPlan> plan =
            PlanDelta(IndexOf(wanted, kSmall), IndexOf(local, kSmall).chunks, kAlwaysDelta);
        ASSERT_TRUE(plan);
        const Applied applied = Apply(local, wanted, *plan);
        ASSERT_TRUE(applied.bytes);
        ASSERT_TRUE(*applied.bytes == wanted);
        EXPECT_LE(plan->fetchBytes, allowance);
        EXPECT_LE(plan->fetchRanges, static_cast<std::size_t>(edits));
    }
}

TEST(DeltaPlan, RefusesWhatDoesNotAddUp) {
    const ChunkIndex untiled[] = {{kSmall, 20, {{0, 10, {}}, {11, 9, {}}}},
                                  {kSmall, 20, {{0, 10, {}}}},
                                  {kSmall, 10, {{0, 10, {}}, {10, 0, {}}}}};
    for (const ChunkIndex& target : untiled) EXPECT_FALSE(PlanDelta(target, {}));

    // A digest alone does not make a copy: the local chunk must have the same length too.
    const ChunkIndex target{kSmall, 10, {{0, 10, Sha256Of("d")}}};
    const std::optional<DeltaPlan> plan = PlanDelta(target, {{0, 5, Sha256Of("d")}, {5, 5, Sha256Of("e")}}, kAlwaysDelta);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->fetchBytes, 10u);
}
