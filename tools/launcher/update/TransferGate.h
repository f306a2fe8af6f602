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
bool TransfersPaused();

// Counts `bytes` just read against the limit, and waits while the bucket is in debt or transfers are paused.
// Returns the milliseconds it waited: time the gate held the transfer, not the host (the stall rule leaves it
// out). Returns at once with no limit and no pause.
DWORD PassTransferGate(std::size_t bytes);

// True while a run downloads files: pause means something then.
void SetDownloadsUnderway(bool underway);
bool DownloadsUnderway();
