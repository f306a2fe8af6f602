#pragma once
// The file check of an update run: which listed files must be downloaded.

#include "update/CheckCache.h"
#include "update/Manifest.h"

#include <windows.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

// Examines every listed file on up to four threads (no more than the machine's logical processors), taken
// in manifest order, and posts the percent of files examined whenever it changes. A file is intact when its
// size matches and its SHA-256 equals the manifest's; with `trustCache` a file whose stamp matches its
// record in `cache` is taken as intact unhashed. Records of files found intact are refreshed, those of the
// others dropped (cache may be null). The ".part" of an intact file goes. A file whose listed digest is in
// `staged` (pre-loaded copies, checked when they are taken) is queued unread. Returns the indices to download,
// in manifest order, a path listed twice once.
std::vector<std::size_t> CheckFiles(HWND window, const Manifest& manifest, const std::wstring& launcherDir,
                                    CheckCache* cache, bool trustCache, const std::set<std::string>* staged = nullptr);

// How many threads the check uses for `files` files.
unsigned CheckThreadCount(std::size_t files);
