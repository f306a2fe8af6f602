#include "DeltaIndexFiles.h"

#include <memory>
#include <system_error>
#include <utility>

#include "ChunkIndexBuilder.h"
#include "FileIo.h"
#include "Sha256Hasher.h"
#include "SharedObjects.h"
#include "common/ContentChunker.h"

namespace {

// ---- making an index ----

void MakeIndex(ChunkIndexBuilder* builder, const std::string& fileSha256, MadeIndex* made) {
    ChunkIndex index;
    made->fileSha256 = fileSha256;
    if (!builder->Finish(&index)) {
        made->error = "cannot make the chunk index of the file with sha256 " + fileSha256 + " (SHA-256 failed)";
        return;
    }
    if (index.fileSize < kChunkIndexMinFileSize) return;
    std::string bytes = SerializeChunkIndex(index);
    const std::string digest = Sha256Hex(bytes);
    if (bytes.empty() || digest.empty()) {
        made->error = "cannot make the chunk index of the file with sha256 " + fileSha256;
        return;
    }
    made->delta = PatchDeltaIndex{digest, bytes.size()};
    made->bytes = std::move(bytes);
}

// ---- checking an index ----

// Where the content chunker cuts bytes fed to it: the end offset of every chunk.
struct CutRecorder {
    std::optional<ContentChunker> chunker;
    std::uint64_t position = 0;
    std::vector<std::uint64_t> ends;

    void Feed(const unsigned char* data, std::size_t size) {
        while (size > 0) {
            const ChunkFeed feed = chunker->Feed(data, size);
            data += feed.used;
            size -= feed.used;
            position += feed.used;
            if (feed.chunkLength != 0) ends.push_back(position);
        }
    }
    void Finish() {
        if (chunker->Finish() != 0) ends.push_back(position);
    }
};

void CompareWithIndex(const ChunkIndex& index, const ChunkIndex& rebuilt, const CutRecorder& cuts,
                      std::vector<std::string>* problems) {
    std::size_t wrong = 0, first = 0;
    for (std::size_t i = 0; i < index.chunks.size(); ++i) {
        if (index.chunks[i].sha256 != rebuilt.chunks[i].sha256 && wrong++ == 0) first = i;
    }
    if (wrong > 0) {
        problems->push_back(std::to_string(wrong) + " of " + std::to_string(index.chunks.size()) +
                            " chunk digests differ from the file (first: chunk " + std::to_string(first) +
                            " at offset " + std::to_string(index.chunks[first].offset) + ")");
    }
    std::size_t i = 0;
    while (i < index.chunks.size() && i < cuts.ends.size() &&
           index.chunks[i].offset + index.chunks[i].length == cuts.ends[i]) {
        ++i;
    }
    if (i < index.chunks.size() || i < cuts.ends.size()) {
        const std::uint64_t at = i < index.chunks.size() ? index.chunks[i].offset : index.fileSize;
        problems->push_back("not cut where the chunker cuts the file with min " + std::to_string(index.params.minSize) +
                            ", avg " + std::to_string(index.params.avgSize) + ", max " +
                            std::to_string(index.params.maxSize) + " (chunk " + std::to_string(i) + " at offset " +
                            std::to_string(at) +
                            " differs); launchers cut their copies that way, so it saves them nothing");
    }
}

}  // namespace

RelayJob MakeIndexJob(MadeIndex* made) {
    auto builder = std::make_shared<ChunkIndexBuilder>(ChunkIndexBuilder::ByContent(kDefaultChunkParams));
    RelayJob job;
    job.feed = [builder](const unsigned char* data, std::size_t size) { builder->Feed(data, size); };
    job.finish = [builder, made](const std::string& fileSha256) {
        if (!fileSha256.empty()) MakeIndex(builder.get(), fileSha256, made);
        made->ready.store(true, std::memory_order_release);
    };
    return job;
}

bool PlaceIndex(const fs::path& patchDir, const fs::path& shareFrom, const MadeIndex& made, bool* wrote,
                std::string* error) {
    *wrote = false;
    const std::string served = ChunkIndexServedPath(made.fileSha256);
    const fs::path target = patchDir / PathFromUtf8(served);
    std::error_code ec;
    fs::file_status st = fs::symlink_status(target, ec);
    if (fs::is_regular_file(st) && fs::file_size(target, ec) == made.bytes.size() && !ec) {
        std::string existing;
        if (ReadWholeFile(target, &existing, nullptr) && existing == made.bytes) return true;
    }
    if (!PrepareParentDirectories(patchDir, target, error)) return false;
    if (fs::is_directory(st)) fs::remove_all(target, ec);
    // Named after its file, not its own bytes: shared only when the bytes are the same.
    // Synced with the others in one go before the manifest names it.
    *wrote = ShareObject(shareFrom, patchDir, served, made.bytes.size(), &made.bytes) ||
             WriteFileAtomically(target, made.bytes, error, false);
    return *wrote;
}

bool LoadServedIndex(const fs::path& patchDir, const PatchFileEntry& file, ChunkIndex* index, std::string* problem) {
    const fs::path path = patchDir / PathFromUtf8(ChunkIndexServedPath(file.sha256));
    std::error_code ec;
    if (!fs::is_regular_file(fs::status(path, ec))) {
        *problem = fs::exists(fs::status(path, ec)) ? "not a regular file" : "missing";
        return false;
    }
    std::string bytes, why;
    if (!ReadWholeFile(path, &bytes, &why)) {
        *problem = why;
        return false;
    }
    if (bytes.size() != file.delta->size) {
        *problem = "size differs: served " + std::to_string(bytes.size()) + " bytes, DELTA line says " +
                   std::to_string(file.delta->size);
        return false;
    }
    const std::string digest = Sha256Hex(bytes);
    if (digest != file.delta->sha256) {
        *problem = "digest differs: served " + digest + ", DELTA line says " + file.delta->sha256;
        return false;
    }
    if (!ParseChunkIndex(bytes, index, &why)) {
        *problem = "not a chunk index: " + why;
        return false;
    }
    if (index->fileSize != file.size) {
        *problem = "covers " + std::to_string(index->fileSize) + " bytes, the file has " + std::to_string(file.size);
        return false;
    }
    return true;
}

RelayJob CheckIndexJob(const ChunkIndex& index, const std::string& fileSha256, std::vector<std::string>* problems) {
    struct Check {
        ChunkIndex index;
        ChunkIndexBuilder along;
        CutRecorder cuts;
    };
    auto check = std::make_shared<Check>(Check{index, ChunkIndexBuilder::AlongIndex(index), {}});
    check->cuts.chunker = StartChunker(index.params);
    RelayJob job;
    job.feed = [check](const unsigned char* data, std::size_t size) {
        check->along.Feed(data, size);
        check->cuts.Feed(data, size);
    };
    job.finish = [check, fileSha256, problems](const std::string& servedSha256) {
        if (servedSha256 != fileSha256) return;
        check->cuts.Finish();
        ChunkIndex rebuilt;
        if (!check->along.Finish(&rebuilt)) {
            problems->push_back("its chunks do not cover the file as read (or SHA-256 failed)");
            return;
        }
        CompareWithIndex(check->index, rebuilt, check->cuts, problems);
    };
    return job;
}
