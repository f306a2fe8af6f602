#include "update/DecodeBudget.h"

#include <condition_variable>
#include <mutex>

namespace {

std::mutex budgetLock;  // guards the two below
std::uint64_t held = 0;
std::uint64_t peak = 0;
std::condition_variable released;

}  // namespace

DecodeReservation::DecodeReservation(std::uint64_t bytes) : bytes_(bytes) {
    std::unique_lock<std::mutex> hold(budgetLock);
    released.wait(hold, [this] {
        return held == 0 || (held <= kDecodeMemoryBudget && bytes_ <= kDecodeMemoryBudget - held);
    });
    held += bytes_;
    if (held > peak) peak = held;
}

DecodeReservation::~DecodeReservation() {
    {
        std::lock_guard<std::mutex> hold(budgetLock);
        held -= bytes_;
    }
    released.notify_all();
}

std::uint64_t DecodeMemoryPeak() {
    std::lock_guard<std::mutex> hold(budgetLock);
    return peak;
}
