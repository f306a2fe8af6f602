#pragma once
// Work spread over a pool of threads whose results are taken one by one in the order of the work, on the calling
// thread: what the work makes is written out in a fixed order while later work goes on.

#include <cstddef>
#include <functional>

// Runs work(i, worker) for every i in [0, count) on `threads` threads (worker is 0 .. threads - 1, for state kept
// per thread) and take(i) on the calling thread in the order of i, each as soon as its work is done. Work i starts
// only while i < (results taken) + ahead, so at most `ahead` results exist at once. Once take returns false, no
// more work starts; RunInOrder then returns false when the work under way has ended.
bool RunInOrder(std::size_t count, unsigned threads, std::size_t ahead,
                const std::function<void(std::size_t index, unsigned worker)>& work,
                const std::function<bool(std::size_t index)>& take);
