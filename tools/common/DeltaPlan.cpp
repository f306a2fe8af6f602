#include "DeltaPlan.h"

#include <unordered_map>

namespace {

struct ChunkKey {
    std::array<unsigned char, 32> sha256;
    std::uint32_t length;
    bool operator==(const ChunkKey& other) const { return length == other.length && sha256 == other.sha256; }
};

struct ChunkKeyHash {
    std::size_t operator()(const ChunkKey& key) const {
        std::uint64_t h = key.length;
        for (std::size_t i = 0; i < 8; ++i) h = (h << 8) ^ key.sha256[i] ^ (h >> 56);
        return static_cast<std::size_t>(h);
    }
};

bool Tiles(const ChunkIndex& index) {
    std::uint64_t next = 0;
    for (const ChunkEntry& chunk : index.chunks) {
        if (chunk.offset != next || chunk.length == 0) return false;
        next += chunk.length;
    }
    return next == index.fileSize;
}

void Append(DeltaPlan* plan, const DeltaOp& op) {
    if (!plan->ops.empty()) {
        DeltaOp& last = plan->ops.back();
        const bool extendsFetch = op.kind == DeltaOpKind::Fetch && last.kind == DeltaOpKind::Fetch;
        const bool extendsCopy = op.kind == DeltaOpKind::Copy && last.kind == DeltaOpKind::Copy &&
                                 last.localOffset + last.length == op.localOffset;
        if (extendsFetch || extendsCopy) {
            last.length += op.length;
            return;
        }
    }
    plan->ops.push_back(op);
}

}  // namespace

std::optional<DeltaPlan> PlanDelta(const ChunkIndex& target, const std::vector<ChunkEntry>& local,
                                   const DeltaPolicy& policy) {
    if (!Tiles(target)) return std::nullopt;

    std::unordered_map<ChunkKey, std::uint64_t, ChunkKeyHash> firstByKey;
    std::unordered_map<std::uint64_t, const ChunkEntry*> byOffset;
    firstByKey.reserve(local.size());
    byOffset.reserve(local.size());
    for (const ChunkEntry& chunk : local) {
        firstByKey.emplace(ChunkKey{chunk.sha256, chunk.length}, chunk.offset);
        byOffset.emplace(chunk.offset, &chunk);
    }

    DeltaPlan plan;
    plan.fileSize = target.fileSize;
    for (const ChunkEntry& chunk : target.chunks) {
        DeltaOp op{DeltaOpKind::Fetch, 0, chunk.offset, chunk.length};
        const ChunkKey key{chunk.sha256, chunk.length};
        // A chunk that appears more than once locally (runs of zeros, say) is taken from where the previous
        // copy ended when it can be, so the copies merge.
        bool continues = false;
        if (!plan.ops.empty() && plan.ops.back().kind == DeltaOpKind::Copy) {
            const DeltaOp& last = plan.ops.back();
            auto next = byOffset.find(last.localOffset + last.length);
            if (next != byOffset.end() && ChunkKey{next->second->sha256, next->second->length} == key) {
                op.kind = DeltaOpKind::Copy;
                op.localOffset = next->first;
                continues = true;
            }
        }
        if (!continues) {
            auto found = firstByKey.find(key);
            if (found != firstByKey.end()) {
                op.kind = DeltaOpKind::Copy;
                op.localOffset = found->second;
            }
        }
        if (op.kind == DeltaOpKind::Copy) {
            plan.copyBytes += op.length;
        } else {
            plan.fetchBytes += op.length;
        }
        Append(&plan, op);
    }
    for (const DeltaOp& op : plan.ops) {
        if (op.kind == DeltaOpKind::Fetch) ++plan.fetchRanges;
    }

    const double cost = static_cast<double>(plan.fetchBytes) +
                        static_cast<double>(plan.fetchRanges) * static_cast<double>(policy.rangeCostBytes);
    const double allowed = static_cast<double>(plan.fileSize) * policy.maxFetchPercent / 100.0;
    if (plan.fileSize > 0 && cost > allowed) {
        plan.ops.assign(1, DeltaOp{DeltaOpKind::Fetch, 0, 0, plan.fileSize});
        plan.copyBytes = 0;
        plan.fetchBytes = plan.fileSize;
        plan.fetchRanges = 1;
        plan.fetchWhole = true;
    }
    return plan;
}
