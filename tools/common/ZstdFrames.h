#pragma once
// Decoding zstd frames as their bytes arrive, within limits that come from the manifest and never from the
// frames: the decoded size the file must have, the encoded length listed for it, the largest window, and, for
// a patch, the reference (the previous version of the file, zstd's "patch-from" prefix). Shared by the launcher
// (every compressed copy, compressed chunk and patch on its way to the disk) and patchgen (verify).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

struct ZSTD_inBuffer_s;  // zstd.h's ZSTD_inBuffer

// The largest window a frame may ask for, 64 MiB: what one decoder may allocate for it.
inline constexpr unsigned kMaxWindowLog = 26;
// The largest previous version a patch may refer to: the launcher holds it in memory while it decodes.
inline constexpr std::uint64_t kPatchBaseLimit = 64ull * 1024 * 1024;
// A compressed copy of a large file is cut into frames of this many decoded bytes, so that a transfer broken
// off resumes at the last frame it finished.
inline constexpr std::uint64_t kFrameInputBytes = 16ull * 1024 * 1024;

// The window for frames that decode to `outputSize` bytes with a reference of `referenceSize` bytes before them:
// enough to reach back over both, at least zstd's smallest (1 KiB), never above kMaxWindowLog. patchgen makes
// patches with it, and the launcher accepts no frame asking for more.
unsigned WindowLogFor(std::uint64_t outputSize, std::uint64_t referenceSize);

struct FrameLimits {
    std::uint64_t outputSize = 0;  // exactly this many decoded bytes; a frame that decodes past it fails
    std::uint64_t inputSize = 0;   // at most this many encoded bytes
    unsigned windowLogMax = kMaxWindowLog;
    std::string_view reference;    // a patch's reference, kept alive by the caller while the decoder lives
};

// One stream of zstd frames, one frame after the other; not copyable, used by one thread.
class FrameDecoder {
public:
    using Output = std::function<bool(const char* data, std::size_t size)>;

    explicit FrameDecoder(const FrameLimits& limits);
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // Decodes the next encoded bytes, handing the decoded ones to `out` in order. False once anything is wrong
    // (damaged frames, a larger window, more output or input than the limits allow, `out` refusing), with the
    // reason in Error(); after that it takes nothing more.
    bool Feed(const void* data, std::size_t size, const Output& out);

    // True when every byte fed so far ended a frame and exactly outputSize bytes came out.
    bool Complete() const;
    // True when every byte fed so far ended a frame, whatever came out (outputSize is then a limit only).
    bool AtFrameEnd() const { return error_.empty() && atFrameEnd_ && input_ > 0; }

    // The decoded bytes up to the end of the last frame that ended wholly: a transfer broken off resumes there,
    // the decoded bytes cut back to it.
    std::uint64_t OutputAtFrameEnd() const { return outputAtFrameEnd_; }
    std::uint64_t InputBytes() const { return input_; }
    std::uint64_t OutputBytes() const { return output_; }

    // Starts again at the last frame end, for the rest of the stream: InputBytes and OutputBytes go back to
    // where that frame ended. False when the decoder has a reference (it applies to the first frame only) or
    // cannot be reset.
    bool ResumeAtFrameEnd();

    const std::string& Error() const { return error_; }

private:
    bool Fail(std::string reason);
    // One call of the stream decoder on `in`, its output counted, checked and handed to `out`; *made is the
    // count of bytes it decoded. False once anything is wrong.
    bool Step(ZSTD_inBuffer_s* in, const Output& out, std::size_t* made);

    FrameLimits limits_;
    void* context_ = nullptr;  // ZSTD_DCtx
    std::string buffer_;
    std::uint64_t input_ = 0;
    std::uint64_t output_ = 0;
    std::uint64_t inputAtFrameEnd_ = 0;
    std::uint64_t outputAtFrameEnd_ = 0;
    bool atFrameEnd_ = true;
    std::string error_;
};

// Decodes whole frames held in memory: true with *decoded set when they decode, within `limits`, to exactly
// limits.outputSize bytes.
bool DecodeFrames(std::string_view encoded, const FrameLimits& limits, std::string* decoded, std::string* why = nullptr);
