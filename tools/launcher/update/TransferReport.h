#pragma once
// What the player sees of a download: the percent on the bar and a transfer line with its speed, made
// from a transfer's byte counts at the rate a person reads.

#include "update/ProgressSink.h"
#include "update/StatusChannel.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

// "%llu B" below 1 KiB, "%.1f KB" below 1 MiB, "%.1f MB" from there on; at most 31 characters.
std::wstring FormatByteSize(std::uint64_t bytes);

// Posts to `window` (null: nothing posted) the percent whenever it changes, and "<label>  <done> / <total>
// (<speed>/s)" at most every 250 ms. With `sharedDone` the percent is sharedDone / sharedTotal (every file
// of the run, each reporter adding what its own file gained or lost), otherwise the file's own done /
// total. Bytes taken from the disk or out of a decoder count towards the file, not towards the speed: the
// speed is that of the bytes on the wire (as they arrive, or as OnWireBytes tells of them). One reporter per
// file transfer, used by one thread.
class TransferReporter : public ProgressSink {
public:
    TransferReporter(HWND window, std::wstring label, std::atomic<std::uint64_t>* sharedDone = nullptr,
                     std::uint64_t sharedTotal = 0);
    void OnBytes(std::uint64_t done, std::uint64_t total, bool received) override;
    void OnWireBytes(std::uint64_t bytes) override { windowBytes_ += bytes; }

private:
    HWND window_;
    std::wstring label_;  // empty: "下載中"
    std::atomic<std::uint64_t>* sharedDone_;
    std::uint64_t sharedTotal_;
    std::uint64_t done_ = 0;
    std::uint64_t windowBytes_ = 0;
    DWORD lastSpeedTick_;
    double speed_ = 0.0;
    DWORD lastTextTick_ = 0;
    ProgressPoster percent_;
};

// The one line of a background fetch: posts `format` (with one %d) and the percent of sharedDone / sharedTotal
// to `window` whenever that percent rises above `*postedPercent`, which every reporter of the fetch shares.
// Nothing else: no bar, no speed, no file names. One reporter per file transfer, used by one thread.
class PercentLineReporter : public ProgressSink {
public:
    PercentLineReporter(HWND window, const wchar_t* format, std::atomic<std::uint64_t>* sharedDone,
                        std::uint64_t sharedTotal, std::atomic<int>* postedPercent);
    void OnBytes(std::uint64_t done, std::uint64_t total, bool received) override;
    void OnWireBytes(std::uint64_t) override {}

private:
    HWND window_;
    const wchar_t* format_;
    std::atomic<std::uint64_t>* sharedDone_;
    std::uint64_t sharedTotal_;
    std::atomic<int>* postedPercent_;
    std::uint64_t done_ = 0;
};
