#include "Threads.h"

bool ThreadGroup::Start(LPTHREAD_START_ROUTINE routine, void* arg) {
    ScopedHandle thread(CreateThread(nullptr, 0, routine, arg, 0, nullptr));
    if (!thread.Valid()) return false;
    threads_.push_back(std::move(thread));
    return true;
}

void ThreadGroup::WaitAll() {
    for (const ScopedHandle& thread : threads_) WaitForSingleObject(thread.Get(), INFINITE);
    threads_.clear();
}

bool StartDetachedThread(LPTHREAD_START_ROUTINE routine, void* arg) {
    ScopedHandle thread(CreateThread(nullptr, 0, routine, arg, 0, nullptr));
    return thread.Valid();
}

namespace {

DWORD WINAPI RunWork(void* work) {
    (*static_cast<const std::function<void()>*>(work))();
    return 0;
}

}  // namespace

void RunOnThreads(unsigned count, const std::function<void()>& work) {
    ThreadGroup helpers;
    for (unsigned t = 1; t < count; ++t) helpers.Start(RunWork, const_cast<std::function<void()>*>(&work));
    work();
}
