#pragma once
// Size and SHA-256 of a file, read once with a 1 MiB buffer.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

struct FileDigest {
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

// Called with the number of bytes just read, for progress display.
using BytesDone = std::function<void(std::uint64_t)>;

// Hashes the file at `path`; false with *error set when it cannot be opened or read, or hashing fails.
bool HashFile(const std::filesystem::path& path, FileDigest* out, std::string* error, const BytesDone& onBytes = {});

// Copies `from` to `to` (created or truncated, then synced) hashing the bytes on the way, so the source
// is read once; false with *error set on any failure, and `to` may then hold a part.
bool CopyAndHashFile(const std::filesystem::path& from, const std::filesystem::path& to, FileDigest* out,
                     std::string* error, const BytesDone& onBytes = {});
