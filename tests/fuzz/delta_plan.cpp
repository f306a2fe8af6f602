// Delta plans from hostile chunk lists: the served index's chunks against the local file's, both taken from
// the input as they are. A plan must cover the new file exactly, and following it must give a file of that size.
#include "FuzzInput.h"
#include "common/DeltaPlan.h"

#include <cstdlib>
#include <cstring>

namespace {


// Offsets and lengths below 64 KiB and few digests, so that copies, gaps and overlaps all turn up.
ChunkEntry TakeChunk(FuzzInput& in) {
    ChunkEntry chunk;
    chunk.offset = in.Take(2);
    chunk.length = static_cast<std::uint32_t>(in.Take(2));
    chunk.sha256[0] = static_cast<unsigned char>(in.Take(1) & 7);
    return chunk;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    FuzzInput in(data, size);
    ChunkIndex target;
    target.params = ChunkParams{64, 256, 1024};
    target.fileSize = in.Take(2);
    const std::size_t targetCount = static_cast<std::size_t>(in.Take(1));
    for (std::size_t i = 0; i < targetCount && !in.Empty(); ++i) target.chunks.push_back(TakeChunk(in));
    std::vector<ChunkEntry> local;
    while (!in.Empty()) local.push_back(TakeChunk(in));
    DeltaPolicy policy;
    policy.maxFetchPercent = size ? static_cast<std::uint32_t>(data[0] % 101) : 90;

    const std::optional<DeltaPlan> plan = PlanDelta(target, local, policy);
    if (!plan) return 0;
    std::uint64_t next = 0;
    for (const DeltaOp& op : plan->ops) {
        if (op.newOffset != next || op.length == 0) std::abort();
        next += op.length;
    }
    if (next != plan->fileSize || plan->fileSize != target.fileSize) std::abort();
    if (plan->copyBytes + plan->fetchBytes != plan->fileSize) std::abort();
    for (const DeltaOp& op : plan->ops) {
        if (op.kind == DeltaOpKind::Copy && local.empty()) std::abort();
    }
    return 0;
}
