#include "update/TransferGate.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace {

// A quarter of a second's worth may pass at once: no second then carries more than 1.25 times the limit
// plus one read.
constexpr double kBurstSeconds = 0.25;

std::atomic<std::uint32_t> limitKiB{0};
std::atomic<bool> paused{false};
std::atomic<bool> underway{false};
std::atomic<bool> preloadStopped{false};
thread_local bool preloadThread = false;

std::mutex bucketLock;  // guards the two below
double tokens = 0;      // bytes that may pass now; negative: what has passed ahead of the limit
ULONGLONG lastRefill = 0;

double RateOf(std::uint32_t kib) {
    return static_cast<double>(kib) * 1024.0;
}

// Adds what the time since the last call earned, up to the burst; the milliseconds until the debt is paid.
DWORD SpendTokens(double rate, double spend) {
    std::lock_guard<std::mutex> hold(bucketLock);
    const ULONGLONG now = GetTickCount64();
    if (lastRefill != 0) tokens += rate * static_cast<double>(now - lastRefill) / 1000.0;
    lastRefill = now;
    tokens = std::min(tokens, rate * kBurstSeconds);
    tokens -= spend;
    if (tokens >= 0) return 0;
    return static_cast<DWORD>(-tokens * 1000.0 / rate) + 1;
}

}  // namespace

void SetSpeedLimit(std::uint32_t kibPerSecond) {
    limitKiB.store(kibPerSecond);
    std::lock_guard<std::mutex> hold(bucketLock);
    // The new limit starts from an empty bucket: a lowered one takes hold at once.
    tokens = 0;
    lastRefill = GetTickCount64();
}

std::uint32_t SpeedLimit() {
    return limitKiB.load();
}

void SetTransfersPaused(bool pause) {
    paused.store(pause);
}

DWORD PassTransferGate(std::size_t bytes) {
    const DWORD start = GetTickCount();
    double spend = static_cast<double>(bytes);
    for (;;) {
        if (TransferStopped()) break;
        if (paused.load()) {
            Sleep(kGateStepMs);
            continue;
        }
        const std::uint32_t kib = limitKiB.load();
        if (kib == 0) break;
        const DWORD debt = SpendTokens(RateOf(kib), spend);
        spend = 0;
        if (debt == 0) break;
        Sleep(std::min(debt, kGateStepMs));
    }
    return GetTickCount() - start;
}

void MarkPreloadThread() {
    preloadThread = true;
}

void StopPreloadTransfers() {
    preloadStopped.store(true);
}

bool TransferStopped() {
    return preloadThread && preloadStopped.load();
}

void SetDownloadsUnderway(bool value) {
    underway.store(value);
}

bool DownloadsUnderway() {
    return underway.load();
}
