#pragma once
// SHA-256 through the platform's crypto library: OpenSSL libcrypto (EVP) on POSIX, CNG on Windows.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class Sha256Hasher {
public:
    // Starts a digest; ok() is false when the crypto library could not set one up.
    Sha256Hasher();
    // Releases the library's digest state.
    ~Sha256Hasher();
    Sha256Hasher(const Sha256Hasher&) = delete;
    Sha256Hasher& operator=(const Sha256Hasher&) = delete;

    // True while the digest can still take bytes (set up, not finished, no library error seen).
    bool ok() const;
    // Feeds bytes; false (and ok() turns false) when the library reports an error.
    bool Update(const void* data, std::size_t size);
    // Ends the digest and returns 64 lower-case hex digits; empty when it was not ok().
    std::string FinishHex();
    // Ends the digest into 32 raw bytes; false when it was not ok() or the library failed.
    bool Finish(unsigned char (&digest)[32]);
    // Starts a fresh digest on the same library state, finished or not; false (and not ok()) on failure.
    bool Restart();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// SHA-256 of a byte string as 64 lower-case hex digits; empty on a crypto library failure.
std::string Sha256Hex(std::string_view data);
