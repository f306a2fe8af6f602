#pragma once
// The chunk indices patchgen serves under delta/: which files get one, making one while its file is read for
// its digest, writing it, and checking a served one against its file. The jobs run on a ByteRelay's thread.

#include <atomic>
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

// One file's index as its job leaves it. `ready` turns true when the job is done with it, so that the reading
// thread can write it while later files are read; everything else is the job's until then.
struct MadeIndex {
    std::atomic<bool> ready{false};
    std::string fileSha256;  // names the index
    std::string bytes;       // empty when the file gets no index (under kChunkIndexMinFileSize, or not read)
    PatchDeltaIndex delta;   // the DELTA line's values for bytes
    std::string error;
};

// A job that cuts and hashes the file's bytes with kDefaultChunkParams and, when they are at least
// kChunkIndexMinFileSize long, leaves the serialized index in *made.
RelayJob MakeIndexJob(MadeIndex* made);

// Puts made.bytes at patchDir / ChunkIndexServedPath(made.fileSha256) by way of a temporary name, without a
// sync (see SyncWrittenFiles), or keeps an index already there with the same bytes; *wrote says which. An index
// of the same bytes under that name in shareFrom (ShareSource) is hard-linked instead of written where the file
// system allows. False with *error set when it cannot be written.
bool PlaceIndex(const std::filesystem::path& patchDir, const std::filesystem::path& shareFrom, const MadeIndex& made,
                bool* wrote, std::string* error);

// Reads the index a DELTA line names for a file (size and digest as the line gives them); false with one
// problem line in *problem when it is missing, differs from the line, does not parse or covers another size.
bool LoadServedIndex(const std::filesystem::path& patchDir, const PatchFileEntry& file, ChunkIndex* index,
                     std::string* problem);

// A job that checks the served file's bytes against `index`: each chunk's SHA-256, and that the chunks end where
// the content chunker cuts with the index's params. Skipped when the file's digest is not `fileSha256` (that
// problem is the file's). One line per problem is appended to *problems; read it after the relay's Wait.
RelayJob CheckIndexJob(const ChunkIndex& index, const std::string& fileSha256, std::vector<std::string>* problems);
