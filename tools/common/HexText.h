#pragma once
// Hexadecimal text of raw bytes, for digests, keys, run tokens and escaped bytes. Portable C++17.

#include <cstddef>
#include <string>
#include <string_view>

namespace hex_text {

// Lower-case hex of raw bytes: two digits per byte.
std::string ToHex(const unsigned char* bytes, std::size_t size);

// The two upper-case hex digits of one byte ("2F"), as URL escapes write them.
std::string UpperHexByte(unsigned char byte);

// Raw bytes from exactly 2 * size hex digits of either case; false (bytes partly written) for anything else.
bool FromHex(std::string_view hex, unsigned char* bytes, std::size_t size);

}  // namespace hex_text
