#pragma once
// Temporary directories, file helpers and running the patchgen binary, for the patchgen tests.

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

// A fresh directory under the system temp directory, removed with its content on destruction.
class TempDir {
public:
    // Creates the directory; path() is empty when that failed.
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // The directory's path.
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Creates `path` (and its parent directories) holding exactly `bytes`; false on failure.
bool WriteBytes(const fs::path& path, const std::string& bytes);

// The whole content of `path`, or an empty string when it cannot be read.
std::string ReadBytes(const fs::path& path);

// Every path below `root` (files and directories), relative, sorted.
std::vector<std::string> ListTree(const fs::path& root);

struct RunResult {
    int exitCode = -1;  // -1 when the process could not be run, was killed or timed out
    std::string out;
    std::string err;
};

// Runs the patchgen binary with `args`, waiting (by polling) up to 60 seconds before killing it.
RunResult RunPatchgen(const std::vector<std::string>& args);
