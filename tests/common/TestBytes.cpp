#include "TestBytes.h"

#include <openssl/evp.h>

#include <random>

std::string RandomBytes(std::size_t size, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t word = random();
        for (std::size_t b = i; b < size && b < i + 8; ++b, word >>= 8) bytes[b] = static_cast<char>(word & 0xFF);
    }
    return bytes;
}

std::array<unsigned char, 32> Sha256Of(std::string_view bytes) {
    std::array<unsigned char, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

ChunkIndex IndexOf(std::string_view bytes, const ChunkParams& params) {
    ChunkIndex index{params, bytes.size(), {}};
    for (const ChunkSpan& span : ChunkBuffer(bytes, params)) {
        index.chunks.push_back({span.offset, span.length, Sha256Of(bytes.substr(span.offset, span.length))});
    }
    return index;
}
