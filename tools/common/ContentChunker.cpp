#include "ContentChunker.h"

#include <array>

namespace {

constexpr std::uint64_t kGearSeed = 0x4b43495847454152ull;

constexpr std::uint64_t SplitMix64(std::uint64_t* state) {
    std::uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

constexpr std::array<std::uint64_t, 256> MakeGearTable() {
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = kGearSeed;
    for (std::uint64_t& entry : table) entry = SplitMix64(&state);
    return table;
}

constexpr std::array<std::uint64_t, 256> kGear = MakeGearTable();

unsigned FloorLog2(std::uint32_t value) {
    unsigned bits = 0;
    while (value >>= 1) ++bits;
    return bits;
}

// The top bits of a shift-left gear hash depend on the last 64 bytes, the low bits only on the last few,
// so the masks take the top bits.
std::uint64_t TopBits(unsigned count) {
    return ~std::uint64_t{0} << (64 - count);
}

}  // namespace

bool ChunkParamsValid(const ChunkParams& params) {
    return kMinChunkSizeLimit <= params.minSize && params.minSize <= params.avgSize &&
           params.avgSize <= params.maxSize && params.maxSize <= kMaxChunkSizeLimit;
}

ContentChunker::ContentChunker(const ChunkParams& params)
    : params_(params),
      strictMask_(TopBits(FloorLog2(params.avgSize) + 2)),
      looseMask_(TopBits(FloorLog2(params.avgSize) - 2)) {}

std::optional<ContentChunker> StartChunker(const ChunkParams& params) {
    if (!ChunkParamsValid(params)) return std::nullopt;
    return ContentChunker(params);
}

ChunkFeed ContentChunker::Feed(const unsigned char* data, std::size_t size) {
    // Byte i of this piece sits at position pending + i of the chunk; positions below minSize are not hashed,
    // so every chunk's hash starts from zero at minSize whatever the split.
    const std::uint32_t pending = pending_;
    const std::uint64_t strictMask = strictMask_;
    const std::uint64_t looseMask = looseMask_;
    std::uint64_t hash = hash_;
    auto limit = [&](std::uint32_t position) -> std::size_t {
        if (position <= pending) return 0;
        std::size_t room = position - pending;
        return room < size ? room : size;
    };
    auto cut = [&](std::size_t used) -> ChunkFeed {
        pending_ = 0;
        hash_ = 0;
        return {used, static_cast<std::uint32_t>(pending + used)};
    };

    std::size_t i = limit(params_.minSize);
    const std::size_t strictEnd = limit(params_.avgSize);
    for (; i < strictEnd; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        if ((hash & strictMask) == 0) return cut(i + 1);
    }
    const std::size_t looseEnd = limit(params_.maxSize);
    for (; i < looseEnd; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        if ((hash & looseMask) == 0) return cut(i + 1);
    }
    if (pending + i == params_.maxSize) return cut(i);
    pending_ = static_cast<std::uint32_t>(pending + i);
    hash_ = hash;
    return {i, 0};
}

std::uint32_t ContentChunker::Finish() {
    const std::uint32_t last = pending_;
    pending_ = 0;
    hash_ = 0;
    return last;
}

std::vector<ChunkSpan> ChunkBuffer(std::string_view bytes, const ChunkParams& params) {
    std::vector<ChunkSpan> spans;
    std::optional<ContentChunker> chunker = StartChunker(params);
    if (!chunker) return spans;
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    std::uint64_t offset = 0;
    std::size_t left = bytes.size();
    while (left > 0) {
        const ChunkFeed feed = chunker->Feed(data, left);
        data += feed.used;
        left -= feed.used;
        if (feed.chunkLength != 0) {
            spans.push_back({offset, feed.chunkLength});
            offset += feed.chunkLength;
        }
    }
    if (const std::uint32_t last = chunker->Finish()) spans.push_back({offset, last});
    return spans;
}
