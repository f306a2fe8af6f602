#pragma once
// manifest.txt as patchgen writes it and reads it back, with the launcher's line rules.

#include "common/ManifestFormat.h"
#include "common/ManifestReader.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A file's chunk index: the DELTA line after its FILE line.
struct PatchDeltaIndex {
    std::string sha256;  // of the index bytes, 64 lower-case hex digits
    std::uint64_t size = 0;
};

// A small file's place in a pack: the PACKED line after its FILE line.
struct PatchPackedAt {
    std::string packSha256;
    std::uint64_t offset = 0;
};

// Where a compressed copy or a patch is: bytes [offset, offset + length) of a container (a ZPACK line).
using PatchEncodedAt = manifest_format::EncodedAt;

// A file as one zstd frame per chunk of its index: the ZCHUNKS line, with its frame table (ChunkFrames.h).
struct PatchChunkFrames {
    std::string tableSha256;
    std::uint64_t tableSize = 0;
    PatchEncodedAt at;
};

// A file as one zstd frame made with an earlier version of it (the base) as its reference: a ZPATCH line.
using PatchFromBase = manifest_reader::PatchRecord;

// One published game file: a FILE line, its DELTA line when it has an index, its PACKED line when it is in a pack,
// and its compressed copies (ZFILE, ZCHUNKS) and patches (ZPATCH).
struct PatchFileEntry {
    std::string path;  // as written in the FILE line, relative to the game directory
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    std::optional<PatchDeltaIndex> delta;
    std::optional<PatchPackedAt> packed;
    std::optional<PatchEncodedAt> zfile;
    std::optional<PatchChunkFrames> zchunks;
    std::vector<PatchFromBase> patches;  // one per base digest
};

// A pack of small files: a PACK line.
using PatchPack = manifest_format::PackLine;

// The served launcher: the LAUNCHER_SELF line.
struct PatchLauncherEntry {
    std::uint64_t size = 0;
    std::string sha256;
};

// The coming release a manifest announces: the NEXT line.
struct PatchNext {
    std::string manifestPath;  // "<folder>/manifest.txt", below the patch base
    std::uint64_t opensAt = 0;  // seconds since 1970, UTC
};

// What patchgen publishes or reads back; unset texts and a missing launcher entry write no line.
struct PatchManifest {
    std::optional<std::string> version;
    std::optional<std::string> status;
    std::optional<std::string> news;
    std::optional<std::uint64_t> sequence;  // SEQUENCE, written when signing
    bool quickCheck = false;                // CHECK=quick
    std::optional<std::uint32_t> launcherShare;  // LAUNCHER_SHARE, 0..10000
    std::optional<PatchNext> next;               // read back only: `patchgen announce` edits a signed text
    std::optional<PatchLauncherEntry> launcherSelf;
    std::vector<PatchPack> packs;
    std::vector<PatchPack> containers;  // ZPACK lines: containers of zstd frames, served at "z/<sha256>.zst"
    std::vector<PatchFileEntry> files;
};

// One line the launcher would not use as written, with its 1-based line number.
struct ManifestIssue {
    std::size_t line = 0;
    std::string message;
};

// The manifest text: a comment, VERSION/STATUS/NEWS/SEQUENCE/CHECK when set, LAUNCHER_SELF when set, the PACK
// and ZPACK lines, then the FILE lines in the given order, each followed by its DELTA, PACKED, ZFILE, ZCHUNKS and
// ZPATCH lines when it has them;
// UTF-8 without BOM, LF line ends. Values are written as given (check them first). A signature line, when wanted, is appended to exactly this text.
std::string FormatPatchManifest(const PatchManifest& manifest);

// Reads manifest bytes the way the launcher does (BOM skipped, later VERSION/STATUS/NEWS/LAUNCHER_SELF win).
// Malformed records, unsafe FILE paths and FILE lines the launcher drops are reported in *issues and left
// out of the result, and so are DELTA, PACKED, ZFILE, ZCHUNKS and ZPATCH lines the launcher would not use (no
// FILE line for the path, a second one, no PACK or ZPACK line for the pack or container, bytes past its end;
// paths compared as the launcher does); never fails.
PatchManifest ReadPatchManifest(std::string_view text, std::vector<ManifestIssue>* issues);

// "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970 (UTC), as the NEXT line writes it.
std::string UtcTimeText(std::uint64_t seconds);

// "NEXT|<manifestPath>|<opening time>\n".
std::string FormatNextLine(const std::string& manifestPath, std::uint64_t opensAt);

// The signed part of a manifest (`body`, everything before its SIGNATURE line) with one SEQUENCE line of `sequence`
// where its first SEQUENCE line was (at the end when it has none) and `nextLine` (a whole NEXT line, or nothing when
// empty) right after it. Its other SEQUENCE and NEXT lines are dropped; every other byte stays as it was.
std::string WithSequenceAndNext(std::string_view body, std::uint64_t sequence, const std::string& nextLine);
