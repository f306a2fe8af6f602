#pragma once
// The chunk indices patchgen serves under delta/: which files get one, writing one while its file is read for
// its digest, and checking a served one against its file. Both jobs run on a ByteRelay's thread.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ByteRelay.h"
#include "PatchManifest.h"
#include "common/ChunkIndex.h"

// Files of this many bytes or more get an index; below it a whole download costs little more than the index.
inline constexpr std::uint64_t kChunkIndexMinFileSize = 1024 * 1024;

// Where a served index lives below the patch root's directory (see ChunkIndexServedPath).
inline constexpr char kDeltaDir[] = "delta";

// What the job of one file left: the DELTA line's values when the file got an index, the path of the index
// when this build wrote it (not when it kept an identical one), or an error.
struct PublishedIndex {
    std::optional<PatchDeltaIndex> delta;
    std::filesystem::path written;
    std::string error;
};

// A job that cuts and hashes the file's bytes with kDefaultChunkParams and, when they are at least
// kChunkIndexMinFileSize long, writes the index to patchDir / ChunkIndexServedPath(file digest) by way of a
// temporary name, or keeps an index already there with the same bytes. Read *result after the relay's Wait.
RelayJob PublishIndexJob(const std::filesystem::path& patchDir, PublishedIndex* result);

// Reads the index a DELTA line names for a file (size and digest as the line gives them); false with one
// problem line in *problem when it is missing, differs from the line, does not parse or covers another size.
bool LoadServedIndex(const std::filesystem::path& patchDir, const PatchFileEntry& file, ChunkIndex* index,
                     std::string* problem);

// A job that checks the served file's bytes against `index`: each chunk's SHA-256, and that the chunks end where
// the content chunker cuts with the index's params. Skipped when the file's digest is not `fileSha256` (that
// problem is the file's). One line per problem is appended to *problems; read it after the relay's Wait.
RelayJob CheckIndexJob(const ChunkIndex& index, const std::string& fileSha256, std::vector<std::string>* problems);
