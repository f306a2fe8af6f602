#pragma once
// Patch day: `patchgen announce`, `withdraw` and `open`. The coming release is built beside the current one, as a
// whole patch tree in a folder below PATCHDIR (`build --out PATCHDIR/next --previous PATCHDIR`) with a manifest of
// its own; announce re-signs the current manifest with a NEXT line that names it and its opening time, so that
// launchers pre-load it; withdraw takes the line back; open makes the announced release the current one.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

struct PatchDayOptions {
    std::filesystem::path patchDir;
    std::filesystem::path signKey;          // PEM private key: every manifest read must be signed by it
    std::optional<std::uint64_t> sequence;  // SEQUENCE of the manifest written; default: one above the floor
    std::string next;                       // announce: the folder below patchDir, '/' between its names
    std::string opens;                      // announce: UTC, YYYY-MM-DDTHH:MM:SSZ or YYYY-MM-DDTHH:MMZ
    bool quiet = false;
};

// Re-signs patchDir/manifest.txt (and manifest.zst, when there is one: written first) with a NEXT line for
// options.next and options.opens in place of an earlier one, and SEQUENCE one above its own (or options.sequence);
// its other bytes stay as they are. Refuses, writing nothing, when the time is malformed or not in the future, the
// folder is not one a NEXT line can name or is one of the tree's own, the current manifest or the folder's is not
// signed by the key, or the folder's SEQUENCE is not above the new one. Returns an ExitCode; messages go to stderr,
// the summary to stdout.
int RunAnnounce(const PatchDayOptions& options);

// Re-signs patchDir/manifest.txt (and manifest.zst) without its NEXT line, SEQUENCE one above its own (or
// options.sequence). Refuses, writing nothing, when it has no NEXT line or is not signed by the key.
int RunWithdraw(const PatchDayOptions& options);

// Makes the release the NEXT line announces the current one, in an order that never lets a launcher read a
// manifest whose files are not there: its objects (delta/, packs/, z/) into patchDir where missing, then its
// files into files/ (each replaced in one rename; files only the closed release used stay and are listed), its
// history/ into patchDir's, then its manifest re-signed with SEQUENCE one above both (or options.sequence) and
// without a NEXT line, manifest.zst first. Hard links where the file system allows, copies otherwise. Refuses,
// writing nothing, when there is no NEXT line, a manifest is not signed by the key, or a file or object of the
// announced release is missing. Returns an ExitCode; each changed and each left file is printed on stdout.
int RunOpen(const PatchDayOptions& options);
