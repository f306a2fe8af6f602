// Frame table bytes as served: parsed as they come and with a CRC-32 that matches appended, so that the fuzzer
// reaches past the check; an accepted table must write back to the same bytes, and its frames must add up.
#include "common/ChunkFrames.h"

#include "FuzzInput.h"

#include <cstdlib>

namespace {

void Check(std::string_view bytes) {
    ChunkFrames frames;
    std::string why;
    if (!ParseChunkFrames(bytes, &frames, &why)) return;
    if (SerializeChunkFrames(frames) != bytes || frames.frameLengths.size() != frames.index.chunks.size()) std::abort();
    std::uint64_t total = 0;
    for (std::uint32_t length : frames.frameLengths) total += length;
    if (FrameOffset(frames, frames.frameLengths.size()) != total) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    CheckPlainAndSealed(data, size, Check);
    return 0;
}
