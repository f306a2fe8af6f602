#pragma once
// File helpers and running the patchgen binary, for the patchgen tests.

#include "TempDir.h"

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using testsupport::TempDir;

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
