#include "common/HexText.h"

namespace hex_text {

namespace {

constexpr char kLowerDigits[] = "0123456789abcdef";
constexpr char kUpperDigits[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string ToHex(const unsigned char* bytes, std::size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kLowerDigits[bytes[i] >> 4]);
        out.push_back(kLowerDigits[bytes[i] & 15]);
    }
    return out;
}

std::string UpperHexByte(unsigned char byte) {
    return {kUpperDigits[byte >> 4], kUpperDigits[byte & 15]};
}

bool FromHex(std::string_view hex, unsigned char* bytes, std::size_t size) {
    if (hex.size() != 2 * size) return false;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return true;
}

}  // namespace hex_text
