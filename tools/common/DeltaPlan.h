#pragma once
// How to build a new version of a file from the chunks the local copy already has and ranges fetched from the
// patch host.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChunkIndex.h"

enum class DeltaOpKind { Copy, Fetch };

struct DeltaOp {
    DeltaOpKind kind = DeltaOpKind::Fetch;
    std::uint64_t localOffset = 0;  // Copy only: where the bytes are in the local file
    std::uint64_t newOffset = 0;
    std::uint64_t length = 0;
};

struct DeltaPlan {
    std::uint64_t fileSize = 0;
    std::vector<DeltaOp> ops;  // in new-file order, covering [0, fileSize) exactly
    std::uint64_t copyBytes = 0;
    std::uint64_t fetchBytes = 0;
    std::size_t fetchRanges = 0;
    bool fetchWhole = false;  // delta was not worth it: ops is then one Fetch of the whole file
};

// When to give up on delta: the bytes to fetch, plus rangeCostBytes for each fetch range (a request's or a
// range's share of a multi-range response, overhead and latency counted as bytes), above maxFetchPercent
// of the file.
struct DeltaPolicy {
    std::uint32_t maxFetchPercent = 90;
    std::uint64_t rangeCostBytes = 32 * 1024;
};

inline constexpr DeltaPolicy kDefaultDeltaPolicy{};

// The plan to build target's file from a local file whose chunks (cut with the same params, hashed by the
// caller) are given. Copies need a local chunk of equal digest and length; neighbouring fetches are merged,
// and so are copies from contiguous local bytes. nullopt when target's chunks do not cover its file exactly.
std::optional<DeltaPlan> PlanDelta(const ChunkIndex& target, const std::vector<ChunkEntry>& local,
                                   const DeltaPolicy& policy = kDefaultDeltaPolicy);

