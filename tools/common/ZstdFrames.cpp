#include "common/ZstdFrames.h"

#include <zstd.h>

namespace {

ZSTD_DCtx* Context(void* context) { return static_cast<ZSTD_DCtx*>(context); }

// zstd's smallest window, 1 KiB (ZSTD_WINDOWLOG_ABSOLUTEMIN, which only its static-linking API names).
constexpr unsigned kMinWindowLog = 10;

}  // namespace

unsigned WindowLogFor(std::uint64_t outputSize, std::uint64_t referenceSize) {
    const std::uint64_t reach = outputSize + referenceSize;
    unsigned log = kMinWindowLog;
    while (log < kMaxWindowLog && (std::uint64_t{1} << log) < reach) ++log;
    return log;
}

FrameDecoder::FrameDecoder(const FrameLimits& limits) : limits_(limits), context_(ZSTD_createDCtx()) {
    buffer_.resize(ZSTD_DStreamOutSize());
    if (!context_) {
        Fail("cannot make a zstd decoder");
        return;
    }
    const unsigned windowLog = limits.windowLogMax > kMaxWindowLog ? kMaxWindowLog : limits.windowLogMax;
    if (ZSTD_isError(ZSTD_DCtx_setParameter(Context(context_), ZSTD_d_windowLogMax, static_cast<int>(windowLog))) ||
        (!limits.reference.empty() &&
         ZSTD_isError(ZSTD_DCtx_refPrefix(Context(context_), limits.reference.data(), limits.reference.size())))) {
        Fail("cannot set the zstd decoder's limits");
    }
}

FrameDecoder::~FrameDecoder() {
    ZSTD_freeDCtx(Context(context_));
}

bool FrameDecoder::Fail(std::string reason) {
    if (error_.empty()) error_ = std::move(reason);
    return false;
}

bool FrameDecoder::Step(ZSTD_inBuffer* in, const Output& out, std::size_t* made) {
    ZSTD_outBuffer piece = {&buffer_[0], buffer_.size(), 0};
    const std::size_t before = in->pos;
    const std::size_t result = ZSTD_decompressStream(Context(context_), &piece, in);
    if (ZSTD_isError(result)) return Fail(std::string("zstd: ") + ZSTD_getErrorName(result));
    input_ += in->pos - before;
    if (piece.pos > limits_.outputSize - output_) return Fail("decodes past the file's size");
    output_ += piece.pos;
    if (piece.pos > 0 && !out(buffer_.data(), piece.pos)) return Fail("the decoded bytes were refused");
    atFrameEnd_ = result == 0;
    if (atFrameEnd_) {
        inputAtFrameEnd_ = input_;
        outputAtFrameEnd_ = output_;
    }
    *made = piece.pos;
    return true;
}

bool FrameDecoder::Feed(const void* data, std::size_t size, const Output& out) {
    if (!error_.empty()) return false;
    if (size > limits_.inputSize - input_) return Fail("more encoded bytes than listed");
    ZSTD_inBuffer in = {data, size, 0};
    while (in.pos < in.size) {
        const std::size_t before = in.pos;
        std::size_t made = 0;
        if (!Step(&in, out, &made)) return false;
        if (!atFrameEnd_ && in.pos == before && made == 0) {
            // Neither input taken nor output made: zstd wants room it cannot have, which never happens with
            // ZSTD_DStreamOutSize(); a safety net against a loop.
            return Fail("zstd made no progress");
        }
    }
    // The output that a frame still holds comes with later input, or is flushed here.
    while (!atFrameEnd_) {
        ZSTD_inBuffer none = {nullptr, 0, 0};
        std::size_t made = 0;
        if (!Step(&none, out, &made)) return false;
        if (made == 0) break;
    }
    return true;
}

bool FrameDecoder::Complete() const {
    return error_.empty() && atFrameEnd_ && input_ > 0 && output_ == limits_.outputSize;
}

bool FrameDecoder::ResumeAtFrameEnd() {
    if (!limits_.reference.empty() || !context_) return false;
    if (ZSTD_isError(ZSTD_DCtx_reset(Context(context_), ZSTD_reset_session_only))) return false;
    input_ = inputAtFrameEnd_;
    output_ = outputAtFrameEnd_;
    atFrameEnd_ = true;
    error_.clear();
    return true;
}

bool DecodeFrames(std::string_view encoded, const FrameLimits& limits, std::string* decoded, std::string* why) {
    FrameDecoder decoder(limits);
    std::string result;
    const bool fed = decoder.Feed(encoded.data(), encoded.size(), [&](const char* data, std::size_t size) {
        result.append(data, size);
        return true;
    });
    if (!fed || !decoder.Complete()) {
        if (why) *why = fed ? "the frames end early or decode to fewer bytes than listed" : decoder.Error();
        return false;
    }
    *decoded = std::move(result);
    return true;
}
