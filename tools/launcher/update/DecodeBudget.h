#pragma once
// The memory that decodes of zstd frames hold at once, over every download thread of the process: a patch's
// base, read into memory whole, and each decoder's window. A decode reserves what it may come to hold before
// it reads a base or makes a decoder, and waits while the reservations of others leave no room for it.

#include "common/ZstdFrames.h"

#include <cstdint>

// What a decoder needs beside its window: zstd's state, two blocks of 128 KiB past the window and the output
// buffer, rounded up.
constexpr std::uint64_t kDecoderOverheadBytes = 512 * 1024;

// What a decoder whose frames may ask for a window of 2^windowLog bytes can allocate.
constexpr std::uint64_t DecoderBytes(unsigned windowLog) {
    return (std::uint64_t{1} << windowLog) + kDecoderOverheadBytes;
}

// 258 MiB in all: the four download threads each decoding at the largest window a frame may ask for
// (kMaxWindowLog, 64 MiB), or two of them each decoding a patch against the largest base (kPatchBaseLimit,
// 64 MiB) with its window. Without it four threads decoding such patches would hold 514 MiB.
constexpr std::uint64_t kDecodeMemoryBudget = 4 * DecoderBytes(kMaxWindowLog);

// `bytes` of the budget, held from the making to the end; the making waits until they fit. A reservation of
// more than the whole budget (none is, with the caps above) waits until it is alone.
class DecodeReservation {
public:
    explicit DecodeReservation(std::uint64_t bytes);
    ~DecodeReservation();
    DecodeReservation(const DecodeReservation&) = delete;
    DecodeReservation& operator=(const DecodeReservation&) = delete;

private:
    std::uint64_t bytes_;
};
