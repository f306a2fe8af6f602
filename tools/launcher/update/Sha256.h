#pragma once
// SHA-256 through CNG: of a local file, of bytes in memory, and of data that arrives in pieces.

#include "Win32Handles.h"

#include <array>
#include <cstddef>
#include <string>

// 64 lower-case hex digits, or an empty string when the file cannot be opened or read, or CNG fails
// (logged).
std::string FileSha256Hex(const std::wstring& path);

// The same of an open file, from its position to its end; empty when it cannot be read or CNG fails.
std::string OpenFileSha256Hex(HANDLE file);

// 64 lower-case hex digits of a raw digest.
std::string DigestHex(const unsigned char (&digest)[32]);

// The SHA-256 of bytes in memory into `digest`; false when CNG fails.
bool Sha256OfBytes(const void* data, std::size_t size, unsigned char (&digest)[32]);

// An incremental SHA-256 for data that arrives in pieces, over one CNG provider for as many digests as
// it is restarted for. Once a call has failed, ok() stays false and Finish fails until Restart succeeds.
class Sha256Stream {
public:
    Sha256Stream();
    bool ok() const { return ok_; }
    void Update(const void* data, std::size_t size);
    // The digest of everything fed since the start; the stream takes no more data until Restart.
    bool Finish(unsigned char (&digest)[32]);
    bool Finish(std::array<unsigned char, 32>& digest);
    // Starts a new digest; false when CNG fails.
    bool Restart();

private:
    ScopedBcryptAlgorithm algorithm_;  // declared first: released after the hash
    ScopedBcryptHash hash_;
    bool ok_ = false;
};
