#include "common/ChunkFrames.h"

#include "common/PathRules.h"

#include <limits>

namespace {

constexpr char kMagic[4] = {'K', 'Z', 'I', 'X'};
constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kTrailerSize = 4;

void PutLe32(std::string* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint32_t GetLe32(std::string_view bytes, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i > 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i - 1]);
    return value;
}

bool Fail(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

bool IsLowerHexDigest(std::string_view digest) {
    if (digest.size() != 64) return false;
    for (char c : digest) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

std::uint64_t FrameLengthLimit(std::uint32_t chunkLength) {
    // zstd stores an incompressible block as it is, behind a 3-byte header per 128 KiB block; a frame adds at
    // most 18 bytes of header and checksum.
    return static_cast<std::uint64_t>(chunkLength) + 3 * (chunkLength / (128 * 1024) + 1) + 18 + 64;
}

std::string SerializeChunkFrames(const ChunkFrames& frames) {
    const std::string index = SerializeChunkIndex(frames.index);
    if (index.empty() || frames.frameLengths.size() != frames.index.chunks.size() ||
        index.size() > std::numeric_limits<std::uint32_t>::max()) {
        return {};
    }
    std::string out(kMagic, sizeof kMagic);
    PutLe32(&out, kChunkFramesVersion);
    PutLe32(&out, static_cast<std::uint32_t>(index.size()));
    out += index;
    for (std::uint32_t length : frames.frameLengths) PutLe32(&out, length);
    PutLe32(&out, Crc32(out));
    return out;
}

bool ParseChunkFrames(std::string_view bytes, ChunkFrames* out, std::string* why) {
    if (bytes.size() < kHeaderSize + kTrailerSize) return Fail(why, "shorter than a frame table");
    if (bytes.compare(0, sizeof kMagic, std::string_view(kMagic, sizeof kMagic)) != 0) return Fail(why, "not a frame table");
    if (GetLe32(bytes, 4) != kChunkFramesVersion) return Fail(why, "unknown frame table version");
    const std::uint64_t indexSize = GetLe32(bytes, 8);
    if (indexSize > bytes.size() - kHeaderSize - kTrailerSize) return Fail(why, "index runs past the table");
    ChunkFrames parsed;
    std::string indexWhy;
    if (!ParseChunkIndex(bytes.substr(kHeaderSize, indexSize), &parsed.index, &indexWhy)) {
        if (why) *why = "its chunk index: " + indexWhy;
        return false;
    }
    const std::uint64_t count = parsed.index.chunks.size();
    if (bytes.size() - kHeaderSize - kTrailerSize - indexSize != 4 * count) {
        return Fail(why, "frame lengths do not match the chunk count");
    }
    const std::size_t end = bytes.size() - kTrailerSize;
    if (GetLe32(bytes, end) != Crc32(bytes.substr(0, end))) return Fail(why, "CRC-32 mismatch");
    parsed.frameLengths.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t length = GetLe32(bytes, kHeaderSize + indexSize + 4 * i);
        if (length < kMinFrameBytes || length > FrameLengthLimit(parsed.index.chunks[i].length)) {
            return Fail(why, "a frame's length cannot be its chunk's");
        }
        parsed.frameLengths.push_back(length);
    }
    *out = std::move(parsed);
    return true;
}

std::uint64_t FrameOffset(const ChunkFrames& frames, std::size_t i) {
    std::uint64_t offset = 0;
    for (std::size_t k = 0; k < i && k < frames.frameLengths.size(); ++k) offset += frames.frameLengths[k];
    return offset;
}

std::string ChunkFramesServedPath(std::string_view sha256Hex) {
    if (!IsLowerHexDigest(sha256Hex)) return {};
    return std::string(path_rules::kCompressedDir) + "/" + std::string(sha256Hex) + ".kzix";
}

std::string ContainerServedPath(std::string_view sha256Hex) {
    if (!IsLowerHexDigest(sha256Hex)) return {};
    return std::string(path_rules::kCompressedDir) + "/" + std::string(sha256Hex) + ".zst";
}
