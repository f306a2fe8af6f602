#pragma once
// Size and SHA-256 of a file, read once in 1 MiB pieces (in the relay's buffers when work rides along).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "ByteRelay.h"

struct FileDigest {
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

// Called with the number of bytes just read, for progress display.
using BytesDone = std::function<void(std::uint64_t)>;

// Work on the same bytes on the relay's thread: once reading starts, the job is begun, fed every byte read
// and ended with the digest, or with an empty string when reading or hashing failed.
struct ReadAlong {
    ByteRelay* relay = nullptr;
    RelayJob job;
};

// Hashes the file at `path`; false with *error set when it cannot be opened or read, or hashing fails.
bool HashFile(const std::filesystem::path& path, FileDigest* out, std::string* error, const BytesDone& onBytes = {},
              ReadAlong along = {});

// Copies `from` to `to` (created or truncated, then synced) hashing the bytes on the way, so the source
// is read once; false with *error set on any failure, and `to` may then hold a part.
bool CopyAndHashFile(const std::filesystem::path& from, const std::filesystem::path& to, FileDigest* out,
                     std::string* error, const BytesDone& onBytes = {}, ReadAlong along = {});

// How LinkOrCheckedCopy ended: `target` has the bytes, or kept what it had because the copy failed or had other
// bytes (Unusable) or the rename failed (NotMoved).
enum class CheckedPlacement { Placed, Unusable, NotMoved };

// Gives `target` the bytes of `source` by way of a temporary name beside it: a hard link where the file system
// allows, else a copy whose SHA-256 must be `sha256`. *error is set for NotMoved only; no temporary file is left.
CheckedPlacement LinkOrCheckedCopy(const std::filesystem::path& source, const std::filesystem::path& target,
                                   const std::string& sha256, std::string* error);
