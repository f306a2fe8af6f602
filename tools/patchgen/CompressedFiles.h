#pragma once
// The compressed copies and patches patchgen serves under z/ (the ZPACK, ZFILE, ZCHUNKS and ZPATCH lines of
// ManifestFormat.h): made from the served files on a pool of threads, reused from the release players have now
// for files that did not change, laid out in containers named after their own SHA-256, and checked by verify.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "PatchManifest.h"
#include "ReleaseHistory.h"
#include "common/PackPlan.h"
#include "common/ZstdFrames.h"

// zstd's level unless told otherwise, and the highest patchgen takes.
inline constexpr int kDefaultCompressionLevel = 19;
inline constexpr int kMaxCompressionLevel = 22;
// A compressed copy is published only when it takes at most this share of its file, in percent: below that
// saving, the request and the decoding cost a player more than the bytes saved.
inline constexpr std::uint64_t kCompressedKeepPercent = 95;

struct CompressionSettings {
    int level = kDefaultCompressionLevel;
    std::uint64_t packUnder = kDefaultPackMemberLimit;  // copies of files under this share containers; 0: none do
    std::uint64_t patchLimit = kPatchBaseLimit;         // the largest base a patch is made from
    unsigned threads = 1;
    bool progress = false;
};

// What the earlier builds left to go on: the release players have now (served from previousDir), the earlier
// releases patches are made from (newest first; their files' bytes in the patch tree's history/), and what was
// found not worth publishing.
struct CompressionSources {
    std::filesystem::path previousDir;
    const PatchManifest* previous = nullptr;
    const std::vector<EarlierRelease>* earlier = nullptr;
    const std::set<std::string>* declined = nullptr;
};

struct CompressionReport {
    std::size_t made = 0;      // compressed copies and patches made by this build and published
    std::size_t reused = 0;    // taken over from the release before
    std::size_t declined = 0;  // made, but saving too little to publish
    std::size_t skipped = 0;   // not made: found not worth publishing at this level before
    std::size_t jobs = 0;
    unsigned threads = 0;
    double seconds = 0;  // wall time of the pool
    std::vector<std::string> notes;
    std::set<std::string> declinedNow;  // what history/declined.txt should say after this build
};

// Makes or reuses the compressed copies of every file of `manifest` (served under patchDir/files/, its indices
// under delta/) and patches from the files of the earlier releases, puts containers and frame tables under
// patchDir/z/ (synced) and sets the manifest's ZPACK, ZFILE, ZCHUNKS and ZPATCH lines; `names` gets the file
// names below z/. False with *error set when a file cannot be read or written, zstd fails, or a served file
// changed while the build ran.
bool WriteCompressedCopies(const std::filesystem::path& patchDir, const CompressionSettings& settings,
                           const CompressionSources& sources, PatchManifest* manifest, std::set<std::string>* names,
                           CompressionReport* report, std::string* error);

// Checks every ZPACK line's container (there, of its size and digest) and decodes every ZFILE, ZCHUNKS (frame by
// frame against its chunk's digest, and whole) and ZPATCH line against the FILE line, within the limits a launcher
// sets. A patch whose base is not in patchDir's history/ is not checked and counted in *unchecked. One line per
// problem is appended to *problems.
void CheckCompressedCopies(const std::filesystem::path& patchDir, const PatchManifest& manifest,
                           std::vector<std::string>* problems, std::size_t* unchecked);
