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

Applied Apply(const std::string& local, const std::string& wanted, const DeltaPlan& plan) {
    Applied applied;
    applied.bytes = ApplyDeltaPlan(local, plan, [&](std::uint64_t offset, std::uint64_t length) {
        ++applied.fetchCalls;
        return std::optional<std::string>(wanted.substr(offset, length));
    });
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

TEST(DeltaPlan, FetchRangesComeInBatchesInOrder) {
    DeltaPlan plan;
    plan.fileSize = 100;
    for (std::uint64_t at = 0; at < 100; at += 10) {
        const bool fetch = (at / 10) % 2 == 0;
        plan.ops.push_back({fetch ? DeltaOpKind::Fetch : DeltaOpKind::Copy, 0, at, 10});
    }
    struct Case { std::size_t perBatch; std::vector<std::size_t> sizes; };
    const Case cases[] = {{0, {}}, {1, {1, 1, 1, 1, 1}}, {2, {2, 2, 1}}, {5, {5}}, {100, {5}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.perBatch);
        const std::vector<std::vector<FetchRange>> batches = BatchFetchRanges(plan, c.perBatch);
        std::vector<std::size_t> sizes;
        std::uint64_t expectedOffset = 0;
        for (const std::vector<FetchRange>& batch : batches) {
            sizes.push_back(batch.size());
            for (const FetchRange& range : batch) {
                EXPECT_EQ(range.offset, expectedOffset);
                EXPECT_EQ(range.length, 10u);
                expectedOffset += 20;
            }
        }
        EXPECT_EQ(sizes, c.sizes);
    }
}

TEST(DeltaPlan, RefusesWhatDoesNotAddUp) {
    const std::string local = "0123456789";
    auto fetchX = [](std::uint64_t, std::uint64_t length) { return std::optional<std::string>(std::string(length, 'x')); };
    auto fetchShort = [](std::uint64_t, std::uint64_t) { return std::optional<std::string>("x"); };
    auto fetchFails = [](std::uint64_t, std::uint64_t) { return std::optional<std::string>(); };
    const DeltaOp copy4{DeltaOpKind::Copy, 6, 0, 4};
    struct Case { const char* name; std::uint64_t fileSize; std::vector<DeltaOp> ops; FetchNewBytes fetch;
                  std::optional<std::string> result; };
    const Case cases[] = {
        {"copy and fetch", 6, {copy4, {DeltaOpKind::Fetch, 0, 4, 2}}, fetchX, "6789xx"},
        {"copy past the local end", 5, {{DeltaOpKind::Copy, 7, 0, 5}}, fetchX, std::nullopt},
        {"copy from beyond the local end", 2, {{DeltaOpKind::Copy, 11, 0, 2}}, fetchX, std::nullopt},
        {"fetch returns too little", 6, {copy4, {DeltaOpKind::Fetch, 0, 4, 2}}, fetchShort, std::nullopt},
        {"fetch fails", 6, {copy4, {DeltaOpKind::Fetch, 0, 4, 2}}, fetchFails, std::nullopt},
        {"no fetch routine", 6, {copy4, {DeltaOpKind::Fetch, 0, 4, 2}}, nullptr, std::nullopt},
        {"gap between ops", 6, {copy4, {DeltaOpKind::Fetch, 0, 5, 1}}, fetchX, std::nullopt},
        {"ops short of the file", 6, {copy4}, fetchX, std::nullopt},
        {"ops past the file", 3, {copy4}, fetchX, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ApplyDeltaPlan(local, DeltaPlan{c.fileSize, c.ops, 0, 0, 0, false}, c.fetch), c.result);
    }

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
