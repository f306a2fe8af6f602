#include "ByteRelay.h"

#include <utility>

namespace {

// Lets the thread fall 16 MiB behind the reader before the reader waits: a little steadier than 4 on a busy
// machine, where either thread may lose its core for a moment.
constexpr std::size_t kBufferCount = 16;

}  // namespace

ByteRelay::ByteRelay() {
    for (std::size_t i = 0; i < kBufferCount; ++i) {
        buffers_.emplace_back(new unsigned char[kBufferSize]);
        free_.push_back(buffers_.back().get());
    }
    thread_ = std::thread([this] { Run(); });
}

ByteRelay::~ByteRelay() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ByteRelay::Queue(Step step) {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(std::move(step));
    changed_.notify_all();
}

void ByteRelay::Begin(RelayJob job) {
    Step step;
    step.job = std::move(job);
    Queue(std::move(step));
}

unsigned char* ByteRelay::Buffer() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    unsigned char* buffer = free_.back();
    free_.pop_back();
    return buffer;
}

void ByteRelay::Pass(unsigned char* buffer, std::size_t size) {
    if (size == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(buffer);
        changed_.notify_all();
        return;
    }
    Step step;
    step.buffer = buffer;
    step.size = size;
    Queue(std::move(step));
}

void ByteRelay::End(const std::string& fileSha256) {
    Step step;
    step.end = true;
    step.fileSha256 = fileSha256;
    Queue(std::move(step));
}

void ByteRelay::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return steps_.empty() && !busy_; });
}

void ByteRelay::Run() {
    RelayJob job;
    for (;;) {
        Step step;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return !steps_.empty() || stopping_; });
            if (steps_.empty()) return;
            step = std::move(steps_.front());
            steps_.pop_front();
            busy_ = true;
        }
        if (step.buffer) {
            if (job.feed) job.feed(step.buffer, step.size);
        } else if (step.end) {
            if (job.finish) job.finish(step.fileSha256);
            job = RelayJob{};
        } else {
            job = std::move(step.job);
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (step.buffer) free_.push_back(step.buffer);
            busy_ = false;
        }
        changed_.notify_all();
    }
}
