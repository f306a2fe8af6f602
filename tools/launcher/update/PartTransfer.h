#pragma once
// What every transfer into a ".part" file shares: its progress on the window, receiving a response body into
// the file, and moving the finished file over its target.

#include "update/Sha256.h"

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "update/StatusChannel.h"

// The per-call progress clock: the percent whenever it changes, speed and the transfer line every 250 ms.
// With sharedDone the percent is sharedDone / sharedTotal (every file of the run), otherwise bytesDone /
// expectedSize.
struct TransferProgress {
    HWND window = nullptr;  // null: nothing posted
    std::uint64_t expectedSize = 0;
    const wchar_t* label = nullptr;  // null: "下載中"
    std::atomic<std::uint64_t>* sharedDone = nullptr;
    std::uint64_t sharedTotal = 0;
    std::uint64_t bytesDone = 0;
    std::uint64_t windowBytes = 0;
    DWORD lastSpeedTick = 0;
    double speed = 0.0;
    DWORD lastTextTick = 0;
    ProgressPoster percentPoster;

    // Counts bytes that arrived; `received` false for bytes taken from the disk, which count towards the
    // file but not towards the speed.
    void OnChunk(DWORD bytes, bool received = true);
};

// "[Launcher][http] HTTP <status> for <name> -- ..." for an answer the transfer cannot use.
void LogHttpStatus(DWORD status, const wchar_t* name);

// The start of the range a 206 answer carries ("bytes <start>-<end>/<total>"); false when unreadable.
bool QueryRangeStart(HINTERNET request, std::uint64_t* start);

enum class BodyOutcome { Done, Broken, LocalError };

// Writes the response body to the open file at its position, into the digest and the progress. Broken when
// the transfer failed or ended before its announced length, LocalError when the disk refused a write
// (each logged with `name`).
BodyOutcome ReceiveBody(HINTERNET request, HANDLE file, TransferProgress& progress, Sha256Stream* digest,
                        const wchar_t* name);

// Moves the finished ".part" over the target; a read-only target (a copy from a disc) is made writable
// first. On failure the ".part" is deleted and the step logged.
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& targetPath, const wchar_t* name);
