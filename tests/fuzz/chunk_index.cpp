// Chunk index bytes as served: parsed as they come and with a CRC-32 that matches appended, so that the
// fuzzer reaches past the check; an accepted index must write back to the same bytes.
#include "common/ChunkIndex.h"

#include "FuzzInput.h"

#include <cstdlib>

namespace {

void Check(std::string_view bytes) {
    ChunkIndex index;
    std::string why;
    if (ParseChunkIndex(bytes, &index, &why) && SerializeChunkIndex(index) != bytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    CheckPlainAndSealed(data, size, Check);
    return 0;
}
