#include "FrameEncoder.h"

#include <zstd.h>

namespace {

// zstd's fastest regular level.
constexpr int kQuickLevel = 1;

ZSTD_CCtx* Context(void* context) { return static_cast<ZSTD_CCtx*>(context); }

bool Set(void* context, ZSTD_cParameter parameter, int value) {
    return !ZSTD_isError(ZSTD_CCtx_setParameter(Context(context), parameter, value));
}

}  // namespace

FrameEncoder::FrameEncoder(int level) : context_(ZSTD_createCCtx()), level_(level) {
    buffer_.resize(ZSTD_CStreamOutSize());
}

FrameEncoder::~FrameEncoder() { ZSTD_freeCCtx(Context(context_)); }

std::size_t FrameEncoder::Bound(std::size_t size) { return ZSTD_compressBound(size); }

bool FrameEncoder::SetUp(unsigned windowLog, int level) {
    return context_ && !ZSTD_isError(ZSTD_CCtx_reset(Context(context_), ZSTD_reset_session_and_parameters)) &&
           Set(context_, ZSTD_c_compressionLevel, level) && Set(context_, ZSTD_c_checksumFlag, 1) &&
           Set(context_, ZSTD_c_windowLog, static_cast<int>(windowLog));
}

bool FrameEncoder::Frame(std::string_view data, unsigned windowLog, std::string* out, bool quick) {
    if (!SetUp(windowLog, quick ? kQuickLevel : level_)) return false;
    const std::size_t before = out->size();
    out->resize(before + ZSTD_compressBound(data.size()));
    const std::size_t n =
        ZSTD_compress2(Context(context_), &(*out)[before], out->size() - before, data.data(), data.size());
    out->resize(ZSTD_isError(n) ? before : before + n);
    return !ZSTD_isError(n);
}

bool FrameEncoder::Begin(std::string_view reference, std::uint64_t size, unsigned windowLog, bool quick) {
    // Long-distance matching finds the base's long runs wherever they moved to, beyond what the match finder of
    // the level reaches: zstd's own patch mode turns it on for the same reason.
    return SetUp(windowLog, quick ? kQuickLevel : level_) && Set(context_, ZSTD_c_enableLongDistanceMatching, 1) &&
           !ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(Context(context_), size)) &&
           !ZSTD_isError(ZSTD_CCtx_refPrefix(Context(context_), reference.data(), reference.size()));
}

bool FrameEncoder::Feed(const void* data, std::size_t size, const Sink& out) {
    ZSTD_inBuffer in = {data, size, 0};
    while (in.pos < in.size) {
        ZSTD_outBuffer piece = {&buffer_[0], buffer_.size(), 0};
        const std::size_t result = ZSTD_compressStream2(Context(context_), &piece, &in, ZSTD_e_continue);
        if (ZSTD_isError(result) || (piece.pos > 0 && !out(buffer_.data(), piece.pos))) return false;
    }
    return true;
}

bool FrameEncoder::End(const Sink& out) {
    ZSTD_inBuffer none = {nullptr, 0, 0};
    for (;;) {
        ZSTD_outBuffer piece = {&buffer_[0], buffer_.size(), 0};
        const std::size_t left = ZSTD_compressStream2(Context(context_), &piece, &none, ZSTD_e_end);
        if (ZSTD_isError(left) || (piece.pos > 0 && !out(buffer_.data(), piece.pos))) return false;
        if (left == 0) return true;
    }
}
