#pragma once
// The memory that decodes of zstd frames hold at once, over every download thread of the process: a patch's
// base, read into memory whole, and each decoder's window. A decode reserves what it may come to hold before
// it reads a base or makes a decoder, and waits while the reservations of others leave no room for it.

#include <cstdint>

// 256 MiB in all: four decoders at the largest window a frame may ask for (kMaxWindowLog, 64 MiB), or two
// patches against the largest base (kPatchBaseLimit, 64 MiB) with their windows. Without it four threads
// decoding such patches would hold 512 MiB.
constexpr std::uint64_t kDecodeMemoryBudget = 256ull * 1024 * 1024;

// What a decoder whose frames may ask for a window of 2^windowLog bytes can allocate: the window, and its
// blocks, state and output buffer.
std::uint64_t DecoderBytes(unsigned windowLog);

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

// The most the reservations of this process have held at once so far.
std::uint64_t DecodeMemoryPeak();
