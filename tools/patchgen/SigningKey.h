#pragma once
// The operator's manifest signing key: ECDSA P-256 through the platform's crypto library (OpenSSL
// libcrypto on POSIX, CNG on Windows), kept in a PEM file readable by its owner only.

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "common/ManifestSignature.h"

class SigningKey {
public:
    SigningKey();
    ~SigningKey();
    SigningKey(const SigningKey&) = delete;
    SigningKey& operator=(const SigningKey&) = delete;

    // A new random key; false with *error set when the library cannot make one.
    bool Generate(std::string* error);
    // Reads a PEM private key (PKCS#8 or SEC1, P-256, unencrypted); false with *error set otherwise.
    bool Load(const std::filesystem::path& pem, std::string* error);
    // Writes the key as PKCS#8 PEM to a new file only its owner can read; refuses to replace a file.
    bool Save(const std::filesystem::path& pem, std::string* error) const;

    const manifest_signature::PublicPoint& PublicPoint() const;
    // The public key as the launcher's build takes it: 130 lower-case hex digits.
    std::string PublicKeyHex() const;
    // The first 16 hex digits of the SHA-256 of the public point.
    std::string KeyId() const;
    // ECDSA over the SHA-256 of `data`, as r || s; false with *error set on a library failure.
    bool Sign(std::string_view data, manifest_signature::Signature* signature, std::string* error) const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// True when `signature` (r || s) is a valid ECDSA P-256 signature of SHA-256(`data`) by `point`.
bool VerifySignature(const manifest_signature::PublicPoint& point, std::string_view data,
                     const manifest_signature::Signature& signature);

// The key id of a public point.
std::string KeyIdOf(const manifest_signature::PublicPoint& point);
