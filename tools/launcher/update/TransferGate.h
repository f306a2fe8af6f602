#pragma once
// What the player's menu decides for every transfer of the process at once: a download speed limit (one token
// bucket shared by every worker, range, cache and host) and a pause. Every body read passes the gate after
// each read; a transfer waiting at it keeps its connection and its ".part".

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The choices the menu offers, in KiB/s; 0 is no limit.
constexpr std::uint32_t kSpeedLimitChoices[] = {0, 1024, 2048, 5120, 10240, 20480};
// The most a limited transfer reads at once: a read larger than the bucket would make the rate lumpy.
constexpr std::size_t kLimitedReadBytes = 16 * 1024;
// How often a waiting reader looks again, so that a new limit or a continue takes effect within a second.
constexpr DWORD kGateStepMs = 50;

// Sets the limit in KiB/s (0: none).
void SetSpeedLimit(std::uint32_t kibPerSecond);
std::uint32_t SpeedLimit();

// Pauses or continues every transfer.
void SetTransfersPaused(bool paused);

// Counts `bytes` just read against the limit, and waits while the bucket is in debt or transfers are paused.
// Returns the milliseconds it waited, measured on GetTickCount: time the gate held the transfer, not the host
// (the stall rule leaves it out). Returns at once with no limit and no pause.
DWORD PassTransferGate(std::size_t bytes);

// Transfers of the pre-load (the coming release's files, fetched beside the installed game) end where they are
// once the player starts the game: the thread that runs them marks itself, and StopPreloadTransfers ends
// them at their next read and keeps new ones from starting, for the rest of the process.
void MarkPreloadThread();
void StopPreloadTransfers();
// True on a marked thread once the pre-load was stopped.
bool TransferStopped();

// True while a run downloads files: pause means something then.
void SetDownloadsUnderway(bool underway);
bool DownloadsUnderway();
