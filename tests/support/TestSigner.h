#pragma once
// A manifest signing key made for one test with CNG, independently of the product code: the public key
// in the form the launcher's build takes, and signed manifest texts.

#include <windows.h>
#include <bcrypt.h>

#include <string>

namespace testsupport {

class TestSigner {
public:
    // A new random P-256 key; Valid() is false when CNG could not make one.
    TestSigner();
    ~TestSigner();
    TestSigner(const TestSigner&) = delete;
    TestSigner& operator=(const TestSigner&) = delete;

    bool Valid() const { return key_ != nullptr; }
    // 04 || X || Y as 130 lower-case hex digits.
    const std::string& PublicKeyHex() const { return publicHex_; }
    // The first 16 hex digits of the SHA-256 of the public point.
    const std::string& KeyId() const { return keyId_; }
    // 128 hex digits: r || s over the SHA-256 of `text`.
    std::string SignatureHex(const std::string& text) const;
    // `text` followed by its SIGNATURE line (and a line feed).
    std::string Sign(const std::string& text) const;

private:
    BCRYPT_ALG_HANDLE algorithm_ = nullptr;
    BCRYPT_KEY_HANDLE key_ = nullptr;
    std::string publicHex_;
    std::string keyId_;
};

}  // namespace testsupport
