#pragma once
// The fuzz targets' view of their input: fixed-size little-endian pieces taken in turn, zeros once it runs out.

#include "common/ChunkIndex.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class FuzzInput {
public:
    FuzzInput(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    std::uint64_t Take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes && at_ < size_; ++i) value |= static_cast<std::uint64_t>(data_[at_++]) << (8 * i);
        return value;
    }
    bool Empty() const { return at_ >= size_; }

private:
    const unsigned char* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// Hands `check` the input as it came and again sealed with its CRC-32 (ChunkIndex.h's, little-endian), so that a
// parser of bytes that end in such a seal is reached past it.
template <typename Check>
void CheckPlainAndSealed(const unsigned char* data, std::size_t size, Check&& check) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    check(bytes);
    std::string sealed(bytes);
    const std::uint32_t crc = Crc32(bytes);
    for (int i = 0; i < 4; ++i) sealed.push_back(static_cast<char>(crc >> (8 * i)));
    check(std::string_view(sealed));
}
