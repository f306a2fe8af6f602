#pragma once
// One file of the manifest to bring into place, and whom its fetch tells.

#include "update/Manifest.h"
#include "update/ProgressSink.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// What to fetch: where the file is served, where it goes, and what it must be.
struct FetchTarget {
    std::wstring relativeUrl;  // below the base: "files/" + path
    std::wstring targetPath;
    // The file as it is installed, the base of its patches and its delta; empty: the target itself. A file
    // pre-loaded for the coming release goes elsewhere than its installed copy.
    std::wstring localCopyPath;
    const std::wstring& LocalCopy() const { return localCopyPath.empty() ? targetPath : localCopyPath; }
    std::uint64_t size = 0;
    std::string sha256;
    std::wstring name;  // what the status line and the log call the file
    FetchOffers offers;
};

// Whom to tell: the window gets the retry lines, the sink the bytes (either may be null).
struct FetchListener {
    HWND window = nullptr;
    ProgressSink* sink = nullptr;
};
