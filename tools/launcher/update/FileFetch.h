#pragma once
// Brings one file of the manifest into place from the patch hosts: each host in turn, each with up to
// three attempts that resume what the last one received, the result checked against its digest.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct FileFetch {
    const std::vector<std::wstring>* hosts = nullptr;  // the manifest's host first, then those after it
    std::wstring relativeUrl;                          // below the base: "files/" + path
    std::wstring targetPath;
    std::uint64_t size = 0;
    std::string sha256;
    std::wstring name;  // what the status line and the log call the file
    HWND window = nullptr;
    std::wstring label;
    std::atomic<std::uint64_t>* sharedDone = nullptr;
    std::uint64_t sharedTotal = 0;
    std::string deltaIndexSha256;  // the file's chunk index (DELTA line); empty when it has none
    std::uint64_t deltaIndexSize = 0;
};

enum class FetchOutcome { Verified, DownloadFailed, VerifyFailed };

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::DownloadFailed;
    std::string lastDigest;  // of the last file that arrived whole, empty when none did
};

// With a chunk index and a local copy, the file is first built from what the local copy shares with it and
// ranges of the served file (from the first host); when that does not work out, it is downloaded whole.
// Network errors, time-outs, cut-off bodies and 5xx answers are tried again on the same host, up to three
// attempts 1 s and then 3 s apart, each resuming; a retry shows briefly on the status line. Another status,
// such as 404, or a wrong digest after a whole transfer moves on to the next host; a resumed file with a
// wrong digest is fetched once more, whole, first. A disk that refuses the ".part" ends the fetch at once.
// A file that arrived but failed its digest stays where it is.
FetchResult FetchVerifiedFile(const FileFetch& fetch);
