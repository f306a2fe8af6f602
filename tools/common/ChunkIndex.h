#pragma once
// The chunk index of one file, as patchgen publishes it beside files/ and the launcher reads it.
//
// Byte layout, version 1; every integer is little-endian:
//   offset   size  field
//        0      4  magic "KCIX" (4B 43 49 58)
//        4      4  u32 format version, 1
//        8      4  u32 minSize   (the ChunkParams the file was cut with;
//       12      4  u32 avgSize    64 <= minSize <= avgSize <= maxSize <= 16 MiB)
//       16      4  u32 maxSize
//       20      8  u64 fileSize
//       28      4  u32 chunkCount, n
//       32    44n  the chunks in file order, each: u64 offset, u32 length, 32 raw bytes of the chunk's SHA-256
//   32+44n      4  u32 CRC-32 of bytes [0, 32+44n): IEEE polynomial, reflected, initial value and final xor
//                  0xFFFFFFFF (zlib's crc32)
// Total 36 + 44n bytes. The chunks start at 0, follow each other without gaps, are 1..maxSize bytes long and
// add up to fileSize; an empty file has no chunks. Version 1 also fixes the cutting rule of ContentChunker.h,
// so a peer that cuts differently must not claim version 1.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ContentChunker.h"

struct ChunkEntry {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
    std::array<unsigned char, 32> sha256{};
};

struct ChunkIndex {
    ChunkParams params;
    std::uint64_t fileSize = 0;
    std::vector<ChunkEntry> chunks;
};

inline constexpr std::uint32_t kChunkIndexVersion = 1;
inline constexpr std::size_t kChunkIndexHeaderSize = 32;
inline constexpr std::size_t kChunkIndexEntrySize = 44;
inline constexpr std::size_t kChunkIndexTrailerSize = 4;

// zlib's CRC-32 of bytes, continuing from crc (0 to start).
std::uint32_t Crc32(std::string_view bytes, std::uint32_t crc = 0);

// The index's bytes as laid out above, written as given (nothing is checked); empty when it has more than
// 2^32 - 1 chunks.
std::string SerializeChunkIndex(const ChunkIndex& index);

// Reads index bytes; false with a reason in *why (when given) for anything not exactly as laid out above,
// leaving *out unchanged.
bool ParseChunkIndex(std::string_view bytes, ChunkIndex* out, std::string* why);

// Where a file's index is served, relative to the patch root: "delta/<digest>.kcix", named after the whole
// file's SHA-256 so it never changes once written; empty unless the digest is 64 lower-case hex digits.
std::string ChunkIndexServedPath(std::string_view fileSha256Hex);
