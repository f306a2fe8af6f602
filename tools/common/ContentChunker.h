#pragma once
// Content-defined chunking: a gear hash with normalised cut masks, so an insertion or a deletion moves only
// the boundaries near it. The launcher and patchgen must cut identically; any change to the gear table, the
// masks or the skip rule changes every published chunk index and needs a new index version.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

struct ChunkParams {
    std::uint32_t minSize = 0;  // no cut before this many bytes (the last chunk of a file may be shorter)
    std::uint32_t avgSize = 0;  // the stricter mask applies below this length, the looser one above
    std::uint32_t maxSize = 0;  // a chunk is cut here whatever its content
};

// What patchgen cuts with (the index names its params, so launchers follow whatever it says). Small chunks keep
// scattered small edits cheap: with an 8 KiB average, 64 edits of 4 KiB across a 256 MiB file fetch about
// 1.1 MiB (64 KiB chunks: 5.4 MiB), for an index of 0.47 % of the file.
inline constexpr ChunkParams kDefaultChunkParams{2 * 1024, 8 * 1024, 32 * 1024};
inline constexpr std::uint32_t kMinChunkSizeLimit = 64;                 // the gear hash's window
inline constexpr std::uint32_t kMaxChunkSizeLimit = 16 * 1024 * 1024;

struct ChunkSpan {
    std::uint64_t offset = 0;
    std::uint32_t length = 0;
};

// What one Feed took: `used` bytes from the front of the piece; `chunkLength` is non-zero when those bytes
// closed a chunk, and is then that chunk's whole length.
struct ChunkFeed {
    std::size_t used = 0;
    std::uint32_t chunkLength = 0;
};

// True when kMinChunkSizeLimit <= minSize <= avgSize <= maxSize <= kMaxChunkSizeLimit.
bool ChunkParamsValid(const ChunkParams& params);

// A stream cut into chunks; feed it pieces of any size in order, then call Finish. Make one with StartChunker.
class ContentChunker {
public:
    // Takes bytes of the current chunk from the front of data, stopping right after a boundary; call again
    // with the rest. Takes everything when no boundary falls in the piece; size 0 takes nothing.
    ChunkFeed Feed(const unsigned char* data, std::size_t size);
    // Ends the stream: the length of the last chunk (0 when no bytes are pending); the chunker starts afresh.
    std::uint32_t Finish();

private:
    friend std::optional<ContentChunker> StartChunker(const ChunkParams& params);
    explicit ContentChunker(const ChunkParams& params);

    ChunkParams params_;
    std::uint64_t strictMask_;
    std::uint64_t looseMask_;
    std::uint64_t hash_ = 0;
    std::uint32_t pending_ = 0;
};

// A chunker at the start of a stream; nullopt when the params are not valid.
std::optional<ContentChunker> StartChunker(const ChunkParams& params);

// The chunks of a whole buffer, in order and covering it; empty for empty bytes or invalid params.
std::vector<ChunkSpan> ChunkBuffer(std::string_view bytes, const ChunkParams& params);
