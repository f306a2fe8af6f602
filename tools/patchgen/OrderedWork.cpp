#include "OrderedWork.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

bool RunInOrder(std::size_t count, unsigned threads, std::size_t ahead,
                const std::function<void(std::size_t, unsigned)>& work, const std::function<bool(std::size_t)>& take) {
    if (threads == 0) threads = 1;
    if (ahead == 0) ahead = 1;
    std::mutex mutex;  // guards the four below
    std::condition_variable changed;
    std::size_t next = 0;
    std::size_t taken = 0;
    bool stopping = false;
    std::vector<char> done(count, 0);

    const auto run = [&](unsigned worker) {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return stopping || next >= count || next < taken + ahead; });
                if (stopping || next >= count) return;
                index = next++;
            }
            work(index, worker);
            {
                std::lock_guard<std::mutex> lock(mutex);
                done[index] = 1;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(run, t);

    bool ok = true;
    for (std::size_t i = 0; i < count && ok; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return done[i] != 0; });
        }
        ok = take(i);
        {
            std::lock_guard<std::mutex> lock(mutex);
            taken = i + 1;
            stopping = !ok;
        }
        changed.notify_all();
    }
    for (std::thread& t : pool) t.join();
    return ok;
}
