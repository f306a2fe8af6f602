#pragma once
// zstd frames as patchgen publishes them: zstd's content checksum on, and a window no larger than the caller
// gives (WindowLogFor in common/ZstdFrames.h), which is what launchers hold a frame to. One context, reused frame
// after frame by one thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class FrameEncoder {
public:
    using Sink = std::function<bool(const char* data, std::size_t size)>;

    // A context for zstd level `level`; ok() is false when zstd cannot make one.
    explicit FrameEncoder(int level);
    ~FrameEncoder();
    FrameEncoder(const FrameEncoder&) = delete;
    FrameEncoder& operator=(const FrameEncoder&) = delete;

    bool ok() const { return context_ != nullptr; }

    // The most bytes a frame of `size` bytes may take.
    static std::size_t Bound(std::size_t size);

    // Appends one frame that decodes to `data` to *out, made at the context's level or, when `quick`, at zstd's
    // fastest level; false when zstd fails.
    bool Frame(std::string_view data, unsigned windowLog, std::string* out, bool quick = false);

    // One frame made as its bytes arrive, with `reference` (alive until End) as zstd's prefix: Begin with the
    // decoded size (and `quick` for zstd's fastest level), Feed every byte, End. The encoded bytes go to `out` in
    // order; false when zstd or `out` fails.
    bool Begin(std::string_view reference, std::uint64_t size, unsigned windowLog, bool quick = false);
    bool Feed(const void* data, std::size_t size, const Sink& out);
    bool End(const Sink& out);

private:
    bool SetUp(unsigned windowLog, int level);

    void* context_ = nullptr;  // ZSTD_CCtx
    int level_ = 0;
    std::string buffer_;
};
