#pragma once
// `patchgen build`: publishes a game directory and a launcher as a patch tree.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "CompressedFiles.h"
#include "ReleaseHistory.h"

struct BuildOptions {
    std::filesystem::path game;
    std::filesystem::path launcher;
    std::filesystem::path out;
    std::optional<std::string> version;  // UTF-8
    std::optional<std::string> status;
    std::optional<std::string> news;
    std::optional<std::filesystem::path> signKey;  // PEM private key: write SEQUENCE and the signature line
    std::optional<std::uint64_t> sequence;         // with signKey; default: seconds since 1970 at build time
    bool quickCheck = false;                       // CHECK=quick: launchers may skip hashing unchanged files
    std::optional<std::uint32_t> launcherShare;    // LAUNCHER_SHARE, in hundredths of a percent
    std::uint64_t packUnder = 256 * 1024;          // files of 1 byte up to below this go into packs; 0: none
    std::optional<std::filesystem::path> previous; // the release players have now; default: `out` as it is
    int level = kDefaultCompressionLevel;          // zstd level of the copies under z/; 0: no copies, no patches
    std::uint64_t patchReleases = kDefaultPatchReleases;  // earlier releases kept in history/ and patched from
    std::uint64_t patchLimit = kPatchBaseLimit;    // the largest earlier version a patch is made from
    bool quiet = false;
    bool forceProgress = false;
};

// Writes out/files/... and out/files/Launcher.exe, out/delta/, out/packs/ and out/z/, then out/manifest.txt last and
// atomically, then records the release in out/history/; refuses before writing anything when a path or value cannot
// be published. Returns an ExitCode; messages go
// to stderr, the summary to stdout.
int RunBuild(const BuildOptions& options);
