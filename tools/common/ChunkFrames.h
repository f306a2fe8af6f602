#pragma once
// The frame table of a file compressed one zstd frame per chunk of its chunk index: a range of chunks is then a
// range of frames, and a delta update fetches compressed chunks. Published beside the frames and named after
// its own SHA-256 ("z/<sha256>.kzix"); a ZCHUNKS line names it. It carries the chunk index itself, so that one
// request gives the launcher both.
//
// Byte layout, version 1; every integer is little-endian:
//   offset   size  field
//        0      4  magic "KZIX" (4B 5A 49 58)
//        4      4  u32 format version, 1
//        8      4  u32 n, the length of the chunk index that follows
//       12      n  the chunk index, exactly as ChunkIndex.h lays it out (its own CRC included)
//     12+n     4c  u32 the compressed length of each chunk's frame, in chunk order; c is the index's chunk count
//  12+n+4c      4  u32 CRC-32 (ChunkIndex.h's Crc32) of bytes [0, 12+n+4c)
// Each frame decodes to exactly its chunk; frame i starts where the lengths of the frames before it end. A
// frame's length is at least kMinFrameBytes and at most FrameLengthLimit of its chunk's length.

#include "common/ChunkIndex.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ChunkFrames {
    ChunkIndex index;
    std::vector<std::uint32_t> frameLengths;  // one per chunk of `index`
};

inline constexpr std::uint32_t kChunkFramesVersion = 1;
// The smallest zstd frame: a 4-byte magic, a 2-byte header and one 3-byte empty block.
inline constexpr std::uint32_t kMinFrameBytes = 9;

// The longest frame a chunk of `chunkLength` bytes may take: zstd's bound for stored blocks, and a margin.
std::uint64_t FrameLengthLimit(std::uint32_t chunkLength);

// The table's bytes as laid out above; empty when the index cannot be serialized or the counts differ.
std::string SerializeChunkFrames(const ChunkFrames& frames);

// Reads table bytes; false with a reason in *why (when given) for anything not exactly as laid out above,
// leaving *out unchanged.
bool ParseChunkFrames(std::string_view bytes, ChunkFrames* out, std::string* why);

// Where frame `i` starts, from the first frame's start: the sum of the lengths before it (i may be the count,
// giving the total).
std::uint64_t FrameOffset(const ChunkFrames& frames, std::size_t i);

// "z/<digest>.kzix"; empty unless the digest is 64 lower-case hex digits.
std::string ChunkFramesServedPath(std::string_view sha256Hex);

// "z/<digest>.zst": a container of zstd frames (ZPACK lines); empty unless the digest is 64 lower-case hex digits.
std::string ContainerServedPath(std::string_view sha256Hex);
