#pragma once
// Downloads one file from the patch host through a ".part" file beside the target, resuming a ".part" an
// earlier attempt left, hashing every byte on its way to the disk and checking the digest before the
// file takes the target's name.

#include "update/Http.h"
#include "update/ProgressSink.h"

#include <windows.h>

#include <cstdint>
#include <string>

enum class DownloadOutcome {
    Done,          // the complete file, its digest checked, stands at the target
    Broken,        // network error, time-out, stall, cut-off body or 5xx answer: the ".part" is kept to resume;
                   // a body that ran past the file's size is broken too, and its ".part" is gone
    Refused,       // another status (404, 403, a redirect, ...): the host will not serve the file
    RangeRefused,  // 416: the ".part" did not fit the served file and was thrown away
    WrongDigest,   // the whole file arrived with another digest: the ".part" is gone, the target untouched
    LocalError,    // the ".part" could not be made, written, flushed or moved (logged with the error code)
};

struct DownloadResult {
    DownloadOutcome outcome = DownloadOutcome::Broken;
    DWORD status = 0;       // the answer's status code; 0 when none arrived
    bool resumed = false;   // the file was finished from a ".part" an earlier attempt left
    std::string sha256;     // of the whole file that arrived (Done or WrongDigest), empty if CNG failed
    explicit operator bool() const { return outcome == DownloadOutcome::Done; }
};

// GET baseUrl + relativeUrl into targetPath, which only a file of `size` bytes with the digest `sha256`
// replaces: missing directories created, body written to targetPath + ".part" (never more than `size`
// bytes in all), flushed, checked, then moved over the target (its read-only attribute cleared first).
// A ".part" that exists continues with "Range: bytes=<its size>-" (206 appends, 200 starts over, 416
// throws it away); one longer than `size` is thrown away, one of exactly `size` is checked as it is.
// Progress goes to `sink` (may be null). Long paths are fine. The request goes over the session and
// connection `http` keeps for baseUrl (opened on first use, kept open after).
DownloadResult HttpDownloadToFile(HttpRequest& http, const std::wstring& baseUrl, const wchar_t* relativeUrl,
                                  const std::wstring& targetPath, std::uint64_t size, const std::string& sha256,
                                  ProgressSink* sink);
