#pragma once
// A file's chunk index made from the file's bytes as they stream past, for `patchgen build` and `verify`.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Sha256Hasher.h"
#include "common/ChunkIndex.h"
#include "common/ContentChunker.h"

class ChunkIndexBuilder {
public:
    // Cuts where the content chunker cuts with `params`; not ok() when they are not valid or SHA-256 cannot start.
    static ChunkIndexBuilder ByContent(const ChunkParams& params);
    // Cuts where the chunks of `index` end, so their digests can be checked; not ok() when SHA-256 cannot start.
    static ChunkIndexBuilder AlongIndex(const ChunkIndex& index);

    ChunkIndexBuilder(ChunkIndexBuilder&&) = default;
    ChunkIndexBuilder& operator=(ChunkIndexBuilder&&) = default;

    // True while every byte so far was taken.
    bool ok() const { return ok_; }
    // Takes the next bytes of the file; false (and not ok()) on a digest failure, or for bytes past the last
    // chunk of the index it was made along.
    bool Feed(const unsigned char* data, std::size_t size);
    // The index of every byte fed: params, file size and each chunk with its SHA-256; false when not ok() or,
    // along an index, when the bytes ended before its last chunk did.
    bool Finish(ChunkIndex* out);

private:
    explicit ChunkIndexBuilder(const ChunkParams& params);
    void CloseChunk();

    ChunkParams params_;
    std::optional<ContentChunker> chunker_;
    std::vector<std::uint32_t> lengths_;  // along an index: where its chunks end
    std::unique_ptr<Sha256Hasher> hasher_;
    std::vector<ChunkEntry> chunks_;
    std::uint64_t offset_ = 0;  // where the open chunk starts
    std::uint32_t pending_ = 0;  // bytes of the open chunk so far
    bool ok_ = false;
};
