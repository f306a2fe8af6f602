#include "ChunkIndexBuilder.h"

#include <algorithm>
#include <iterator>
#include <utility>

ChunkIndexBuilder::ChunkIndexBuilder(const ChunkParams& params)
    : params_(params), hasher_(std::make_unique<Sha256Hasher>()) {
    ok_ = hasher_->ok();
}

ChunkIndexBuilder ChunkIndexBuilder::ByContent(const ChunkParams& params) {
    ChunkIndexBuilder builder(params);
    builder.chunker_ = StartChunker(params);
    builder.ok_ = builder.ok_ && builder.chunker_.has_value();
    return builder;
}

ChunkIndexBuilder ChunkIndexBuilder::AlongIndex(const ChunkIndex& index) {
    ChunkIndexBuilder builder(index.params);
    builder.lengths_.reserve(index.chunks.size());
    for (const ChunkEntry& chunk : index.chunks) builder.lengths_.push_back(chunk.length);
    return builder;
}

bool ChunkIndexBuilder::Feed(const unsigned char* data, std::size_t size) {
    while (ok_ && size > 0) {
        std::size_t used = 0;
        bool cut = false;
        if (chunker_) {
            const ChunkFeed feed = chunker_->Feed(data, size);
            used = feed.used;
            cut = feed.chunkLength != 0;
        } else if (chunks_.size() < lengths_.size()) {
            const std::size_t room = lengths_[chunks_.size()] - pending_;
            used = room < size ? room : size;
            cut = used == room;
        } else {
            ok_ = false;  // the file goes on past the index's last chunk
            break;
        }
        if (used > 0 && !hasher_->Update(data, used)) ok_ = false;
        pending_ += static_cast<std::uint32_t>(used);
        data += used;
        size -= used;
        if (cut) CloseChunk();
    }
    return ok_;
}

void ChunkIndexBuilder::CloseChunk() {
    ChunkEntry chunk;
    chunk.offset = offset_;
    chunk.length = pending_;
    unsigned char digest[32];
    ok_ = ok_ && hasher_->Finish(digest) && hasher_->Restart();
    std::copy(std::begin(digest), std::end(digest), chunk.sha256.begin());
    chunks_.push_back(chunk);
    offset_ += pending_;
    pending_ = 0;
}

bool ChunkIndexBuilder::Finish(ChunkIndex* out) {
    if (chunker_) {
        chunker_->Finish();
        if (pending_ > 0) CloseChunk();
    } else if (pending_ > 0 || chunks_.size() != lengths_.size()) {
        ok_ = false;
    }
    if (!ok_) return false;
    out->params = params_;
    out->fileSize = offset_;
    out->chunks = std::move(chunks_);
    ok_ = false;
    return true;
}
