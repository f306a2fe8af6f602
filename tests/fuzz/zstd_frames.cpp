// Encoded bytes from a hostile host through the decoder, in pieces, under limits taken from the input's first
// bytes (as the manifest would set them): it must never hand out more than the decoded size, nor take more than
// the encoded length, and a complete stream must have decoded to exactly that size. A reference (as for a patch)
// is made from the input too.
#include "common/ZstdFrames.h"

#include "FuzzInput.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    FuzzInput input(data, size);
    FrameLimits limits;
    limits.outputSize = input.Take(3) % (1 << 20);
    limits.windowLogMax = 10 + static_cast<unsigned>(input.Take(1) % 17);
    const std::size_t referenceSize = static_cast<std::size_t>(input.Take(2) % 4096);
    const std::size_t piece = 1 + static_cast<std::size_t>(input.Take(2) % 4096);
    const std::size_t header = 9;
    if (size < header) return 0;
    const std::string reference(referenceSize, static_cast<char>(data[0]));
    if (input.Take(1) & 1) limits.reference = reference;
    const unsigned char* encoded = data + header;
    const std::size_t encodedSize = size - header;
    limits.inputSize = encodedSize;

    FrameDecoder decoder(limits);
    std::uint64_t handed = 0;
    bool fed = true;
    for (std::size_t at = 0; at < encodedSize && fed; at += piece) {
        const std::size_t n = encodedSize - at < piece ? encodedSize - at : piece;
        fed = decoder.Feed(encoded + at, n, [&](const char*, std::size_t got) {
            handed += got;
            return true;
        });
    }
    if (handed > limits.outputSize || decoder.InputBytes() > limits.inputSize) std::abort();
    if (decoder.Complete() && (handed != limits.outputSize || !fed)) std::abort();
    if (!fed && decoder.Error().empty()) std::abort();
    return 0;
}
