// The decoder against frames made with zstd itself: what a hostile or broken host can send leaves a clear
// failure and never more than the listed bytes.
#include <gtest/gtest.h>

#include <zstd.h>

#include "TestBytes.h"
#include "common/ZstdFrames.h"

namespace {

std::string Compress(const std::string& data, int level, const std::string& reference = std::string(),
                     unsigned windowLog = 0) {
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);  // as patchgen makes them
    if (windowLog) ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, static_cast<int>(windowLog));
    if (!reference.empty()) ZSTD_CCtx_refPrefix(context, reference.data(), reference.size());
    std::string out(ZSTD_compressBound(data.size()), '\0');
    const std::size_t n = ZSTD_compress2(context, &out[0], out.size(), data.data(), data.size());
    ZSTD_freeCCtx(context);
    out.resize(ZSTD_isError(n) ? 0 : n);
    return out;
}

// Feeds `encoded` in pieces of `piece` bytes; the decoded bytes, or "<failed: reason>".
std::string Decode(const std::string& encoded, FrameLimits limits, std::size_t piece = 1000) {
    FrameDecoder decoder(limits);
    std::string decoded;
    for (std::size_t at = 0; at < encoded.size(); at += piece) {
        const bool fed = decoder.Feed(encoded.data() + at, std::min(piece, encoded.size() - at), [&](const char* d, std::size_t n) {
            decoded.append(d, n);
            return true;
        });
        if (!fed) return "<failed: " + decoder.Error() + ">";
    }
    return decoder.Complete() ? decoded : "<incomplete>";
}

}  // namespace

TEST(ZstdFrames, DecodesWithinTheListedLimitsOrFailsClearly) {
    const std::string base = RandomBytes(200000, 1);
    std::string next = base;
    next.replace(5000, 300, RandomBytes(300, 2));
    const std::string text(3000000, 'k');
    const std::string plain = Compress(next, 3);
    const std::string patch = Compress(next, 19, base, WindowLogFor(next.size(), base.size()));
    const std::string twoFrames = Compress(next.substr(0, 100000), 3) + Compress(next.substr(100000), 3);
    std::string flipped = plain;
    flipped[flipped.size() / 2] ^= 0x55;
    ASSERT_LT(patch.size(), 2000u);  // the reference does the work

    const auto limits = [](std::uint64_t output, std::uint64_t input, unsigned window, const std::string& ref = std::string()) {
        FrameLimits l;
        l.outputSize = output;
        l.inputSize = input;
        l.windowLogMax = window;
        l.reference = ref;
        return l;
    };
    struct Case {
        const char* name;
        std::string encoded;
        FrameLimits limits;
        std::string expected;
    };
    const Case cases[] = {
        {"one frame", plain, limits(next.size(), plain.size(), 20), next},
        {"two frames, fed a byte at a time", twoFrames, limits(next.size(), twoFrames.size(), 20), next},
        {"a patch with its reference", patch, limits(next.size(), patch.size(), 26, base), next},
        {"a patch against another base", patch, limits(next.size(), patch.size(), 26, RandomBytes(200000, 3)),
         "<failed: zstd: "},
        {"a patch without a reference", patch, limits(next.size(), patch.size(), 26), "<failed: zstd: "},
        {"cut off inside the frame", plain.substr(0, plain.size() - 10), limits(next.size(), plain.size(), 20),
         "<incomplete>"},
        {"a byte changed", flipped, limits(next.size(), flipped.size(), 20), "<failed: zstd: "},
        {"a bomb: 3 MB from a few bytes, 200 kB listed", Compress(text, 19), limits(200000, 1000, 22),
         "<failed: decodes past the file's size>"},
        {"a window above the cap", Compress(text, 19, std::string(), 22), limits(text.size(), 1000, 20),
         "<failed: zstd: Frame requires too much memory for decoding>"},
        {"more bytes than listed", plain, limits(next.size(), plain.size() - 1, 20),
         "<failed: more encoded bytes than listed>"},
        {"fewer bytes decoded than listed", plain, limits(next.size() + 1, plain.size(), 20), "<incomplete>"},
    };
    for (const Case& c : cases) {
        const std::string got = Decode(c.encoded, c.limits, std::string(c.name).find("byte at a time") != std::string::npos ? 1 : 1000);
        if (c.expected.rfind("<failed: ", 0) == 0) {
            EXPECT_EQ(got.compare(0, c.expected.size(), c.expected), 0) << c.name << ": " << got.substr(0, 120);
        } else {
            EXPECT_TRUE(got == c.expected) << c.name << ": " << got.substr(0, 80);
        }
    }
}

TEST(ZstdFrames, ABrokenStreamResumesAtTheLastFrameEnd) {
    const std::string data = RandomBytes(300000, 4);
    const std::string first = Compress(data.substr(0, 120000), 3);
    const std::string second = Compress(data.substr(120000), 3);
    FrameLimits limits;
    limits.outputSize = data.size();
    limits.inputSize = first.size() + second.size();
    limits.windowLogMax = 20;
    FrameDecoder decoder(limits);
    std::string decoded;
    const auto keep = [&](const char* d, std::size_t n) {
        decoded.append(d, n);
        return true;
    };
    ASSERT_TRUE(decoder.Feed(first.data(), first.size(), keep));
    ASSERT_TRUE(decoder.Feed(second.data(), second.size() / 2, keep));  // the transfer breaks off here
    EXPECT_EQ(decoder.OutputAtFrameEnd(), 120000u);
    ASSERT_TRUE(decoder.ResumeAtFrameEnd());
    EXPECT_EQ(decoder.InputBytes(), first.size());  // where the transfer resumes
    decoded.resize(decoder.OutputBytes());
    ASSERT_TRUE(decoder.Feed(second.data(), second.size(), keep));
    EXPECT_TRUE(decoder.Complete());
    EXPECT_TRUE(decoded == data);
    EXPECT_EQ(WindowLogFor(1000, 0), 10u);
    EXPECT_EQ(WindowLogFor(3000000, 1000000), 22u);
    EXPECT_EQ(WindowLogFor(1ull << 40, 0), kMaxWindowLog);
}
