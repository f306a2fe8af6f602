#pragma once
// The patch host's manifest.txt, parsed.

#include "common/ManifestFormat.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Zstd frames of a file: bytes [offset, offset + length) of the container served at "z/<containerSha256>.zst"
// (a ZPACK line), which is containerSize bytes long. Not listed while containerSha256 is empty.
struct EncodedPlace {
    std::string containerSha256;
    std::uint64_t containerSize = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    bool Listed() const { return !containerSha256.empty(); }
    // The frames are the whole container, asked for without a range.
    bool FillsContainer() const { return offset == 0 && length == containerSize; }
};

// A ZPATCH line: one frame that decodes to the file with the base (the previous version of the file, of that
// digest and size) as its reference.
struct PatchOffer {
    std::string baseSha256;
    std::uint64_t baseSize = 0;
    EncodedPlace frames;
};

// What the manifest offers of a file besides its whole bytes under files/; none for a file without them.
struct FetchOffers {
    // Its chunk index (the DELTA line for its path): the index's SHA-256 and size; empty when it has none.
    std::string deltaIndexSha256;
    std::uint64_t deltaIndexSize = 0;
    // Its compressed copy (ZFILE), its chunks as frames (ZCHUNKS, with the frame table's digest and size)
    // and its patches (ZPATCH, one per base), each within a container the manifest lists.
    EncodedPlace compressed;
    std::string framesSha256;
    std::uint64_t framesSize = 0;
    EncodedPlace chunkFrames;
    std::vector<PatchOffer> patches;
};

// One FILE line: a game file below the launcher's directory.
struct ManifestFile {
    std::wstring path;    // as written, either separator; never empty, never leaves the launcher's directory
    std::uint64_t size = 0;
    std::string sha256;   // 64 lower-case hex digits
    // Its place in a pack (the PACKED line for this path), when it has one: the pack's SHA-256 and where the
    // file's bytes start in it.
    std::string packSha256;
    std::uint64_t packOffset = 0;
    FetchOffers offers;
};

// A PACK line: small files' bytes one after another, served at "packs/<sha256>.kpak".
using ManifestPack = manifest_format::PackLine;

// The LAUNCHER_SELF line; absent while sha256 is empty or size is 0. `share`: the LAUNCHER_SHARE line, the
// hundredths of a percent of installations that may take it (10,000, all, without the line).
struct LauncherSelfEntry {
    std::uint64_t size = 0;
    std::string sha256;
    std::uint32_t share = 10000;
};

// The NEXT line: the coming release's manifest, below the base ("<folder>/manifest.txt"), and when it opens;
// absent while manifestPath is empty.
struct NextRelease {
    std::wstring manifestPath;
    std::uint64_t opensAt = 0;  // seconds since 1970, UTC
};

struct Manifest {
    std::wstring version;
    std::wstring status;
    std::wstring news;
    std::vector<ManifestFile> files;
    std::vector<ManifestPack> packs;
    std::vector<ManifestPack> containers;  // ZPACK lines: containers of zstd frames, "z/<sha256>.zst"
    LauncherSelfEntry launcherSelf;
    NextRelease next;
    // SEQUENCE: how new a signed manifest is; 0 without the line. A line that is not a plain decimal
    // 64-bit number sets badSequence.
    std::uint64_t sequence = 0;
    bool badSequence = false;
    // CHECK=quick: the file check may trust its records of files it hashed or downloaded before.
    bool quickCheck = false;
    // Lines that carried one of the keys, valid or not; 0 for a body that is no manifest at all.
    std::size_t recognisedLines = 0;
};

// Parses the whole body (or the signed part of it) into `manifest` (not cleared first). False only for an
// empty body.
// Unknown lines and malformed records are skipped; FILE paths that would write outside the launcher's
// directory are skipped with one "[Launcher][updater] " debug line each, and so is, with one line for all, the
// top-level Launcher.exe (updated through LAUNCHER_SELF only). A DELTA line goes to the first FILE
// entry with its path (file names compared as Windows does for ASCII); the first DELTA line for a path wins.
// PACKED, ZFILE, ZCHUNKS and ZPATCH lines count only within a pack or container that a line lists.
bool ParseManifest(std::string_view bytes, Manifest& manifest);
