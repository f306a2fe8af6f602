#pragma once
// The fuzz targets' view of their input: fixed-size little-endian pieces taken in turn, zeros once it runs out.

#include <cstddef>
#include <cstdint>

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
