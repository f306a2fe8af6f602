#pragma once
// `patchgen verify`: checks a patch tree against its manifest with the launcher's reading rules.

#include <filesystem>

struct VerifyOptions {
    std::filesystem::path patchDir;
    bool quiet = false;
    bool forceProgress = false;
};

// Prints one line per problem to stdout (malformed or unsafe lines, missing LAUNCHER_SELF, missing files,
// size or digest differences). Returns kExitOk when all match, kExitRefused on any problem, kExitIo when
// manifest.txt cannot be read.
int RunVerify(const VerifyOptions& options);
