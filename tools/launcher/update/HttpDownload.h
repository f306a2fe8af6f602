#pragma once
// Downloads one file from the patch host through a ".part" file beside the target, resuming a ".part" an
// earlier attempt left and hashing every byte on its way to the disk.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

enum class DownloadOutcome {
    Done,          // the complete file stands at the target
    Broken,        // network error, time-out, cut-off body or 5xx answer: the ".part" is kept to resume
    Refused,       // another status (404, 403, ...): the host will not serve the file
    RangeRefused,  // 416: the ".part" did not fit the served file and was thrown away
    LocalError,    // the ".part" could not be made, written, flushed or moved (logged with the error code)
};

struct DownloadResult {
    DownloadOutcome outcome = DownloadOutcome::Broken;
    DWORD status = 0;       // the answer's status code; 0 when none arrived
    bool resumed = false;   // the file was finished from a ".part" an earlier attempt left
    std::string sha256;     // of the whole file, 64 lower-case hex digits, when Done (empty if CNG failed)
    explicit operator bool() const { return outcome == DownloadOutcome::Done; }
};

// GET baseUrl + relativeUrl into targetPath: missing directories created, body written to
// targetPath + ".part", flushed, then moved over the target (its read-only attribute cleared first).
// A ".part" that exists continues with "Range: bytes=<its size>-" (206 appends, 200 starts over, 416 throws
// it away); one longer than expectedSize is thrown away, one of exactly expectedSize is taken as it is.
// Posts WM_UPDATE_PROGRESS when the percent changes and a transfer line at most every 250 ms to
// progressWindow (null: nothing posted). With sharedDone the percent is sharedDone / sharedTotal,
// otherwise bytes / expectedSize. Long paths are fine.
DownloadResult HttpDownloadToFile(const std::wstring& baseUrl, const wchar_t* relativeUrl,
                                  const std::wstring& targetPath, HWND progressWindow, std::uint64_t expectedSize,
                                  const wchar_t* label, std::atomic<std::uint64_t>* sharedDone,
                                  std::uint64_t sharedTotal);

// "%llu B" below 1 KiB, "%.1f KB" below 1 MiB, "%.1f MB" from there on; at most 31 characters.
std::wstring FormatByteSize(std::uint64_t bytes);

// The size of a file, or 0 when it does not exist.
std::uint64_t FileSizeOrZero(const std::wstring& path);
