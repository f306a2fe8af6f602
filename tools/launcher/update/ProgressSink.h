#pragma once
// What a transfer tells about its progress, and nothing else: how many bytes of the file stand in place
// and how many it has in all. The transfer knows no window and formats no text; whoever listens decides
// what a person sees, and how often.

#include <cstdint>

class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // `done` of `total` bytes of the file are in its ".part" now (`total` 0 when unknown). `done` falls
    // when an attempt starts over or is given up. `received` tells whether the bytes added since the last
    // call came over the network as they are, or from the disk (a resumed ".part", a local copy) or a decoder.
    virtual void OnBytes(std::uint64_t done, std::uint64_t total, bool received) = 0;
    // `bytes` more came over the network for a transfer whose ".part" gets what they decode to.
    virtual void OnWireBytes(std::uint64_t bytes) = 0;
};
