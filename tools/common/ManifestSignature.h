#pragma once
// The signature line of a signed manifest, written once for both programs. A signed manifest ends with
//     SIGNATURE|<key id>|<signature>
// where the key id is the first 16 lower-case hex digits of the SHA-256 of the signing key's 65-byte
// uncompressed public point (04 || X || Y), and the signature is 128 hex digits: the ECDSA P-256
// signature r || s (32 bytes each, big-endian) over the SHA-256 of every byte before the signature line,
// from the first byte (a byte order mark included) up to and including the line end just before it.
// Only line-end characters may follow the signature line. Portable C++17; the hashing and the
// cryptography are each program's own.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace manifest_signature {

inline constexpr char kSignatureKey[] = "SIGNATURE|";
inline constexpr std::size_t kKeyIdHexLength = 16;
inline constexpr std::size_t kSignatureBytes = 64;
inline constexpr std::size_t kPublicPointBytes = 65;

using Signature = std::array<unsigned char, kSignatureBytes>;
using PublicPoint = std::array<unsigned char, kPublicPointBytes>;

enum class SplitStatus {
    Signed,         // one well-formed signature line, nothing but line ends after it
    Unsigned,       // no signature line
    Malformed,      // the signature line is not SIGNATURE|<16 lower-case hex>|<128 hex>
    TrailingData,   // something other than line ends follows the signature line
    TwoSignatures,  // more than one line starts with SIGNATURE|
};

struct SignedManifest {
    std::string_view signedPart;  // every byte before the signature line
    std::string keyId;
    Signature signature{};
};

// Finds the signature line of a manifest body (a line is one that starts at the first byte, after a byte
// order mark, or after a line feed) and splits the body at it. `out` is filled only for Signed.
SplitStatus SplitSignedManifest(std::string_view body, SignedManifest* out);

// What a status means, for log lines and reports ("no SIGNATURE line", ...).
const char* DescribeSplitStatus(SplitStatus status);

// "SIGNATURE|<key id>|<signature in lower-case hex>\n".
std::string FormatSignatureLine(std::string_view keyId, const Signature& signature);

// A public key as the build and the operators' tools write it: 130 hex digits of 04 || X || Y, either
// case. False for anything else.
bool ParsePublicKeyHex(std::string_view hex, PublicPoint* point);

// The key id from the SHA-256 of the public point (32 raw bytes): its first 16 hex digits.
std::string KeyIdFromPointDigest(const unsigned char* sha256Of65Bytes);

// Follows a manifest body while it arrives and says which of its bytes lie before any signature line, so
// that a receiver can hash them on the way in: every complete line up to the first line that starts with
// SIGNATURE|. The caller checks the final split and hashes again when the two disagree.
class SignedPartScanner {
public:
    // With `body` holding everything received so far: the end of the bytes known to lie before a signature
    // line (it only grows).
    std::size_t Advance(std::string_view body);

private:
    std::size_t lineStart_ = 0;
    std::size_t searched_ = 0;  // no line feed lies in [lineStart_, searched_): a long line is read once
    bool stopped_ = false;
};

}  // namespace manifest_signature
