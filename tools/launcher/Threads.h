#pragma once
// The one way the launcher starts threads: CreateThread, whose failure is a result rather than an
// exception, and an owner that waits for what it started.

#include "Win32Handles.h"

#include <windows.h>

#include <functional>
#include <vector>

// Threads that run `routine(arg)`; the destructor waits for every one of them.
class ThreadGroup {
public:
    ThreadGroup() = default;
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    ~ThreadGroup() { WaitAll(); }

    // Starts one more; false when Windows could not.
    bool Start(LPTHREAD_START_ROUTINE routine, void* arg);
    std::size_t Count() const { return threads_.size(); }
    // Waits until every thread started so far has ended.
    void WaitAll();

private:
    std::vector<ScopedHandle> threads_;
};

// Runs `work` on `count` threads at once, this one among them, and returns when every run has ended. A helper
// that cannot be started leaves its share to the others; `work` takes its items from a shared counter.
void RunOnThreads(unsigned count, const std::function<void()>& work);

// Starts a thread that nobody waits for (its handle is closed at once); false when Windows could not.
bool StartDetachedThread(LPTHREAD_START_ROUTINE routine, void* arg);
