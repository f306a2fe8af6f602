#pragma once
// A whole manifest read by the rules of ManifestFormat.h, once for both programs: the values the launcher
// uses, each FILE line with its DELTA line, and every line the launcher would not use as written. The
// launcher reads UTF-16 text decoded from the body, the operators' publisher the UTF-8 bytes. Portable C++17.

#include "common/ManifestFormat.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace manifest_reader {

// A ZPATCH line: the file made from the file with the base's digest and size.
struct PatchRecord {
    std::string baseSha256;
    std::uint64_t baseSize = 0;
    manifest_format::EncodedAt at;
};

// A FILE line the launcher uses, and its chunk index when a DELTA line names its path.
template <typename CharT>
struct FileRecord {
    std::size_t line = 0;  // 1-based
    std::basic_string_view<CharT> path;
    std::uint64_t size = 0;
    std::string sha256;
    bool hasDelta = false;
    std::string deltaSha256;
    std::uint64_t deltaSize = 0;
    // Its place in a pack, when a PACKED line names its path and a PACK line names that pack.
    bool hasPack = false;
    std::string packSha256;
    std::uint64_t packOffset = 0;
    // Its compressed copies (ZFILE, ZCHUNKS) and patches (ZPATCH), each within a listed container.
    bool hasZFile = false;
    manifest_format::EncodedAt zfile;
    bool hasZChunks = false;
    std::string framesSha256;  // the frame table (ChunkFrames.h)
    std::uint64_t framesSize = 0;
    manifest_format::EncodedAt zchunks;
    std::vector<PatchRecord> patches;  // in line order, one per base digest
};

// A PACK line: a pack of small files, served at "packs/<sha256>.kpak".
struct PackRecord {
    std::size_t line = 0;  // 1-based
    std::string sha256;
    std::uint64_t size = 0;
};

// The NEXT line: the coming release's manifest below the base, and when it opens.
template <typename CharT>
struct NextRecord {
    std::basic_string_view<CharT> manifestPath;  // "<folder>/manifest.txt"
    std::uint64_t opensAt = 0;                   // seconds since 1970, UTC
};

struct LauncherRecord {
    std::uint64_t size = 0;
    std::string sha256;
};

enum class IssueKind {
    Malformed,         // a keyed record that fails its field rules; `text` is the trimmed line
    BadSequence,       // SEQUENCE that is not a plain decimal 64-bit number; `text` is the trimmed line
    UnsafePath,        // a FILE or DELTA path that would leave the launcher's directory; `text` is the path
    TopLevelLauncher,  // a FILE line for the launcher's own file, updated through LAUNCHER_SELF only
    DeltaWithoutFile,  // a DELTA line whose path no FILE line lists; `text` is the path
    SecondDelta,       // a DELTA line for a path that has one already; `text` is the path
    SecondPack,        // a PACK line for a pack listed already; `text` is the trimmed line
    PackedWithoutFile, // a PACKED line whose path no FILE line lists; `text` is the path
    SecondPacked,      // a PACKED line for a path that has one already; `text` is the path
    PackedWithoutPack, // a PACKED line naming a pack no PACK line lists; `text` is the path
    PackedOutsidePack, // a PACKED line whose file would reach past its pack's end; `text` is the path
    SecondContainer,   // a ZPACK line for a container listed already; `text` is the trimmed line
    EncodedWithoutFile,      // a ZFILE, ZCHUNKS or ZPATCH line whose path no FILE line lists; `text` is the path
    SecondEncoded,           // a second ZFILE or ZCHUNKS line for a path, or a second ZPATCH line for a path and
                             // base; `text` is the path
    EncodedWithoutContainer, // a ZFILE, ZCHUNKS or ZPATCH line naming a container no ZPACK line lists
    EncodedOutsideContainer, // one whose bytes would reach past its container's end; `text` is the path
};

template <typename CharT>
struct Issue {
    std::size_t line = 0;  // 1-based
    IssueKind kind = IssueKind::Malformed;
    std::basic_string_view<CharT> text;
    const char* unsafeReason = nullptr;  // for UnsafePath
};

// Views point into the text that was read. A value that no line set stays unset; a later line wins.
template <typename CharT>
struct ManifestLines {
    std::optional<std::basic_string_view<CharT>> version;
    std::optional<std::basic_string_view<CharT>> status;
    std::optional<std::basic_string_view<CharT>> news;
    std::optional<std::uint64_t> sequence;
    std::optional<bool> quickCheck;  // CHECK: true only for CHECK=quick
    std::optional<LauncherRecord> launcherSelf;
    std::optional<std::uint32_t> launcherShare;  // LAUNCHER_SHARE, 0..10000
    std::optional<NextRecord<CharT>> next;
    std::vector<FileRecord<CharT>> files;  // in line order
    std::vector<PackRecord> packs;         // in line order, each pack once
    std::vector<PackRecord> containers;    // ZPACK lines, in line order, each container once
    std::vector<Issue<CharT>> issues;      // in line order
    std::size_t recognisedLines = 0;       // lines that carried one of the keys, valid or not
};

// Reads every line of `text` (already without a byte order mark). A DELTA or PACKED line goes to the first FILE
// line with its path (file names compared as Windows compares ASCII); the first such line for a path wins. A
// PACKED line counts only when a PACK line (anywhere) lists its pack and the file lies within it; a ZFILE, ZCHUNKS
// or ZPATCH line in the same way with its ZPACK line.
// Never fails: a text without a single manifest line gives an empty result.
template <typename CharT>
ManifestLines<CharT> ReadManifestLines(std::basic_string_view<CharT> text);

extern template ManifestLines<char> ReadManifestLines(std::string_view text);
extern template ManifestLines<wchar_t> ReadManifestLines(std::wstring_view text);

// The body without its byte order mark, if it starts with one.
std::string_view WithoutByteOrderMark(std::string_view body);

}  // namespace manifest_reader
