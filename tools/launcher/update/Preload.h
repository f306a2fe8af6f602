#pragma once
// The coming release, fetched before it opens. When the current manifest announces one (its NEXT line), the
// files it changes are fetched, once the game may start, into a staging folder inside the game folder, each
// named after its SHA-256; the installed game stays untouched and may be started at any moment. On the day,
// the update run takes each changed file whose staged copy still has its digest, by a move on the same volume.

#include "update/CheckCache.h"
#include "update/Manifest.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

// The staging folder, directly below the game folder. A manifest that lists a file in it gets no pre-load.
constexpr wchar_t kStagingFolderName[] = L"korvane-preload";
// Free space the pre-load leaves on the game's disk beyond what it still has to fetch.
constexpr std::uint64_t kPreloadSpareBytes = 1ull << 30;

// What a pre-load needs of the run before it: the accepted manifest and where it came from.
struct PreloadSource {
    std::vector<std::wstring> manifestHosts;   // patch hosts, the one that served the manifest first
    std::vector<std::wstring> downloadHosts;   // local mirrors, then the manifest hosts
    std::vector<std::string> keys;             // public keys the manifests must be signed with; empty: not checked
};

// Runs after an update run that left every listed file as listed and let the game start. Without an
// announcement it empties the staging folder. With one whose opening time lies ahead, it reads the announced
// manifest (signed, with a SEQUENCE above the current one), removes every staged file that manifest does
// not need, checks by digest the ones it needs (a changed one is deleted), and fetches the rest with every
// way a run has, under the player's speed limit and pause, while the free space stays above what is left
// plus kPreloadSpareBytes. Posts "預先下載下個版本 %d%%" as the bytes arrive and "下個版本已就緒" when
// every file is staged. Returns when done, refused or stopped (StopPreloadTransfers); each case is logged.
// An announcement that cannot be used (unreachable, unsigned, not newer, broken, opening in the past) fetches
// nothing and leaves what is staged.
void RunPreload(HWND window, const Manifest& current, const std::wstring& launcherDir, const PreloadSource& source);

// The listed digests whose staged copy is in the staging folder with the listed size (unread); none when the
// folder is missing, a link, or listed by the manifest.
std::set<std::string> StagedDigests(const Manifest& manifest, const std::wstring& launcherDir);

// Before a run downloads: each job whose staged copy has the listed size and digest is moved into place
// (held open from the hash to the move), recorded in `cache` when given, and taken out of `jobs`. A staged
// copy with other bytes is deleted. Nothing is taken from a staging folder that is a link. Returns the
// number of files taken.
std::size_t TakeStagedFiles(const Manifest& manifest, const std::wstring& launcherDir, CheckCache* cache,
                            std::vector<std::size_t>* jobs);
