#pragma once
// ECDSA P-256 private keys in the file formats OpenSSL and most tools use: PEM around a PKCS#8
// PrivateKeyInfo ("PRIVATE KEY"), and, for reading, SEC1 ECPrivateKey ("EC PRIVATE KEY"). Portable C++;
// the Windows build reads and writes its key files with this, the Linux build through OpenSSL.

#include <array>
#include <string>
#include <string_view>

struct EcKeyBytes {
    std::array<unsigned char, 32> privateScalar{};
    std::array<unsigned char, 65> publicPoint{};  // 04 || X || Y
};

// PEM armour: the BEGIN line naming `label`, the base64 body in lines of 64, the END line; LF line ends.
std::string ArmorPem(std::string_view label, std::string_view base64);

// The PEM text of a PKCS#8 PrivateKeyInfo holding the key (with its public point), LF line ends.
std::string EncodePkcs8Pem(const EcKeyBytes& key);

// Reads a PEM private key: PKCS#8 or SEC1, P-256, with its public point. False with *error set for
// anything else (another curve, an encrypted key, a key without its public point, broken data).
bool DecodePrivateKeyPem(std::string_view pem, EcKeyBytes* key, std::string* error);
