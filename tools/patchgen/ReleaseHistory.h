#pragma once
// The earlier releases patchgen makes patches from, kept in the patch tree's history/ folder, which is never
// served or uploaded:
//   history/releases.txt           the releases kept, newest first: one manifest SHA-256 per line
//   history/manifests/<sha256>.txt each of their manifest.txt files, byte for byte
//   history/files/<sha256>         the bytes of each of their files of 1 byte up to the patch limit (hard links
//                                  to the served files where the file system allows, copies otherwise)
//   history/declined.txt           compressed copies and patches found not worth publishing (CompressedFiles.h)

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "PatchManifest.h"

// The history folder's name below the patch tree.
inline constexpr char kHistoryDirName[] = "history";

// How many releases before the current one history/ keeps and patches start from, unless told otherwise.
inline constexpr std::uint64_t kDefaultPatchReleases = 2;

struct EarlierRelease {
    std::string manifestSha256;
    std::string manifestText;
    PatchManifest manifest;
    std::filesystem::path bytesRoot;  // where its files' bytes are: by digest, or by served path when byPath
    bool byPath = false;
};

// The newest `count` releases recorded in dir/history, newest first; a release whose manifest is missing or
// damaged is passed over. A tree built before history/ existed gives its manifest and files/ as the one release;
// a folder without either gives none.
std::vector<EarlierRelease> ReadReleases(const std::filesystem::path& dir, std::size_t count);

// patchDir's history/ folder.
std::filesystem::path HistoryDir(const std::filesystem::path& patchDir);

// Where patchDir's history keeps the bytes of the file with that digest.
std::filesystem::path HistoryFilePath(const std::filesystem::path& patchDir, std::string_view sha256);

// Puts the manifests of `releases` and their files of 1 to `limit` bytes into patchDir's history, as hard links
// where possible, unless already there; read before files/ is rewritten, as a tree without history/ keeps an
// earlier release only there. A file that cannot be found is passed over (no patch is made from it); a copy whose
// digest is not its name is dropped. False with *error set when history/ cannot be written.
bool BringIntoHistory(const std::filesystem::path& patchDir, const std::vector<EarlierRelease>& releases,
                      std::uint64_t limit, std::string* error);

// Records the release just written (its manifest text and its served files of 1 to `limit` bytes) as the newest,
// keeps `earlier` after it and removes every other manifest and every file that no release kept lists. False with
// *error set when history/ cannot be written.
bool RecordRelease(const std::filesystem::path& patchDir, std::string_view manifestText, const PatchManifest& manifest,
                   const std::vector<EarlierRelease>& earlier, std::uint64_t limit, std::string* error);

// Takes the history of the release built in `from` with patchDir as the release before it (the release that
// `patchgen open` makes current) into patchDir's: the manifests and files patchDir's history lacks (hard links
// where possible), `from`'s releases first in releases.txt and then patchDir's own it does not list, and `from`'s
// declined.txt. Nothing when `from` has no history. False with *error set when history/ cannot be written.
bool TakeOverHistory(const std::filesystem::path& patchDir, const std::filesystem::path& from, std::string* error);

// The lines of dir/history/declined.txt; none when it cannot be read.
std::set<std::string> ReadDeclined(const std::filesystem::path& dir);

// Replaces patchDir/history/declined.txt with `declined`, one per line.
bool WriteDeclined(const std::filesystem::path& patchDir, const std::set<std::string>& declined, std::string* error);
