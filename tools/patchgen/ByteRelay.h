#pragma once
// Hands the bytes a file pass reads to a second thread, buffer by buffer, so that work on the same bytes (a
// chunk index beside the whole-file digest) runs beside the reading instead of after it. One reader thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What the relay's thread does with one file: `feed` takes its bytes in order; `finish` runs after the last,
// with the file's SHA-256 as the reader found it, or an empty string when the read failed.
struct RelayJob {
    std::function<void(const unsigned char* data, std::size_t size)> feed;
    std::function<void(const std::string& fileSha256)> finish;
};

class ByteRelay {
public:
    static constexpr std::size_t kBufferSize = 1024 * 1024;

    // Starts the thread.
    ByteRelay();
    // Lets the thread finish every job handed over, then joins it.
    ~ByteRelay();
    ByteRelay(const ByteRelay&) = delete;
    ByteRelay& operator=(const ByteRelay&) = delete;

    // Starts a file's job; its bytes follow through Buffer and Pass, then End.
    void Begin(RelayJob job);
    // A free buffer of kBufferSize bytes to read into; waits while the thread still holds every one.
    unsigned char* Buffer();
    // Hands over the first `size` bytes of a buffer from Buffer; size 0 just gives the buffer back.
    void Pass(unsigned char* buffer, std::size_t size);
    // Ends the file begun last (see RelayJob::finish); returns at once.
    void End(const std::string& fileSha256);
    // Returns when every job begun so far has finished.
    void Wait();

private:
    struct Step {
        RelayJob job;                      // set for a Begin
        unsigned char* buffer = nullptr;   // set for a Pass
        std::size_t size = 0;
        bool end = false;
        std::string fileSha256;
    };

    // Hands a step to the thread.
    void Queue(Step step);
    void Run();

    std::vector<std::unique_ptr<unsigned char[]>> buffers_;
    std::mutex mutex_;  // guards the members below it
    std::condition_variable changed_;
    std::vector<unsigned char*> free_;
    std::deque<Step> steps_;
    bool busy_ = false;  // the thread is working on a step taken from steps_
    bool stopping_ = false;
    std::thread thread_;  // last, so it starts after everything it uses is set up
};
