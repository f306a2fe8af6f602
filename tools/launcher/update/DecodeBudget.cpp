#include "update/DecodeBudget.h"

#include <condition_variable>
#include <mutex>

namespace {

std::mutex budgetLock;  // guards `held`
std::uint64_t held = 0;
std::condition_variable released;

}  // namespace

DecodeReservation::DecodeReservation(std::uint64_t bytes) : bytes_(bytes) {
    std::unique_lock<std::mutex> hold(budgetLock);
    released.wait(hold, [this] {
        return held == 0 || (held <= kDecodeMemoryBudget && bytes_ <= kDecodeMemoryBudget - held);
    });
    held += bytes_;
}

DecodeReservation::~DecodeReservation() {
    {
        std::lock_guard<std::mutex> hold(budgetLock);
        held -= bytes_;
    }
    released.notify_all();
}
