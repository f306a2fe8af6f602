#pragma once
// Byte strings and chunk digests for the delta tests.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChunkIndex.h"

// size pseudo-random bytes from mt19937_64's raw output, the same on every platform for a seed.
std::string RandomBytes(std::size_t size, std::uint64_t seed);

// SHA-256 of bytes through OpenSSL.
std::array<unsigned char, 32> Sha256Of(std::string_view bytes);

// The index of bytes cut with params, each chunk hashed.
ChunkIndex IndexOf(std::string_view bytes, const ChunkParams& params);
