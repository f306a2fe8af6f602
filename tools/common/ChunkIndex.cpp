#include "ChunkIndex.h"

#include "PathRules.h"

#include <limits>
#include <utility>

namespace {

constexpr char kMagic[4] = {'K', 'C', 'I', 'X'};

constexpr std::array<std::uint32_t, 256> MakeCrcTable() {
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kCrcTable = MakeCrcTable();

void PutLe(std::string* out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t GetLe(std::string_view bytes, std::size_t at, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i > 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
    return value;
}

bool Fail(std::string* why, std::string reason) {
    if (why) *why = std::move(reason);
    return false;
}

}  // namespace

std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc) {
    crc = ~crc;
    for (char byte : bytes) crc = kCrcTable[(crc ^ static_cast<unsigned char>(byte)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string SerializeChunkIndex(const ChunkIndex& index) {
    if (index.chunks.size() > std::numeric_limits<std::uint32_t>::max()) return {};
    std::string out;
    out.reserve(kChunkIndexHeaderSize + kChunkIndexEntrySize * index.chunks.size() + kChunkIndexTrailerSize);
    out.append(kMagic, sizeof kMagic);
    PutLe(&out, kChunkIndexVersion, 4);
    PutLe(&out, index.params.minSize, 4);
    PutLe(&out, index.params.avgSize, 4);
    PutLe(&out, index.params.maxSize, 4);
    PutLe(&out, index.fileSize, 8);
    PutLe(&out, index.chunks.size(), 4);
    for (const ChunkEntry& chunk : index.chunks) {
        PutLe(&out, chunk.offset, 8);
        PutLe(&out, chunk.length, 4);
        out.append(reinterpret_cast<const char*>(chunk.sha256.data()), chunk.sha256.size());
    }
    PutLe(&out, Crc32(out), 4);
    return out;
}

bool ParseChunkIndex(std::string_view bytes, ChunkIndex* out, std::string* why) {
    if (bytes.size() < sizeof kMagic) return Fail(why, "truncated: shorter than the magic");
    if (bytes.substr(0, sizeof kMagic) != std::string_view(kMagic, sizeof kMagic)) return Fail(why, "bad magic");
    if (bytes.size() < kChunkIndexHeaderSize + kChunkIndexTrailerSize) {
        return Fail(why, "truncated: " + std::to_string(bytes.size()) + " bytes, shorter than header and trailer");
    }
    const std::uint64_t version = GetLe(bytes, 4, 4);
    if (version != kChunkIndexVersion) return Fail(why, "unknown version " + std::to_string(version));

    // The count is checked against the byte length before anything is allocated for it.
    const std::uint64_t count = GetLe(bytes, 28, 4);
    const std::uint64_t expected = kChunkIndexHeaderSize + kChunkIndexEntrySize * count + kChunkIndexTrailerSize;
    if (bytes.size() < expected) {
        return Fail(why, "truncated: chunk count " + std::to_string(count) + " needs " + std::to_string(expected) +
                             " bytes, the index has " + std::to_string(bytes.size()));
    }
    if (bytes.size() > expected) {
        return Fail(why, "trailing data: " + std::to_string(bytes.size() - expected) + " bytes after the CRC");
    }
    const std::size_t body = bytes.size() - kChunkIndexTrailerSize;
    if (Crc32(bytes.substr(0, body)) != GetLe(bytes, body, 4)) return Fail(why, "CRC mismatch");

    ChunkIndex index;
    index.params.minSize = static_cast<std::uint32_t>(GetLe(bytes, 8, 4));
    index.params.avgSize = static_cast<std::uint32_t>(GetLe(bytes, 12, 4));
    index.params.maxSize = static_cast<std::uint32_t>(GetLe(bytes, 16, 4));
    index.fileSize = GetLe(bytes, 20, 8);
    if (!ChunkParamsValid(index.params)) {
        return Fail(why, "chunk params not accepted: min " + std::to_string(index.params.minSize) + ", avg " +
                             std::to_string(index.params.avgSize) + ", max " +
                             std::to_string(index.params.maxSize));
    }

    index.chunks.resize(static_cast<std::size_t>(count));
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < index.chunks.size(); ++i) {
        ChunkEntry& chunk = index.chunks[i];
        const std::size_t at = kChunkIndexHeaderSize + kChunkIndexEntrySize * i;
        chunk.offset = GetLe(bytes, at, 8);
        chunk.length = static_cast<std::uint32_t>(GetLe(bytes, at + 8, 4));
        for (std::size_t b = 0; b < chunk.sha256.size(); ++b) {
            chunk.sha256[b] = static_cast<unsigned char>(bytes[at + 12 + b]);
        }
        auto which = [i] { return "chunk " + std::to_string(i); };
        if (chunk.offset != next) {
            return Fail(why, which() + " at offset " + std::to_string(chunk.offset) + ", expected " +
                                 std::to_string(next) + " (chunks must be contiguous from 0)");
        }
        if (chunk.length == 0) return Fail(why, which() + " has zero length");
        if (chunk.length > index.params.maxSize) {
            return Fail(why, which() + " is " + std::to_string(chunk.length) + " bytes, longer than maxSize");
        }
        next += chunk.length;
    }
    if (next != index.fileSize) {
        return Fail(why, "chunk lengths add up to " + std::to_string(next) + ", file size is " +
                             std::to_string(index.fileSize));
    }
    *out = std::move(index);
    return true;
}

std::string ChunkIndexServedPath(std::string_view fileSha256Hex) {
    if (fileSha256Hex.size() != 64) return {};
    for (char c : fileSha256Hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    }
    return std::string(path_rules::kDeltaDir) + "/" + std::string(fileSha256Hex) + ".kcix";
}
