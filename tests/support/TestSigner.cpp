#include "TestSigner.h"

#include "TestFiles.h"

#include <vector>

namespace testsupport {

namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[bytes[i] >> 4]);
        out.push_back(kDigits[bytes[i] & 15]);
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TestSigner::TestSigner() {
    if (BCryptOpenAlgorithmProvider(&algorithm_, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return;
    BCRYPT_KEY_HANDLE key = nullptr;
    if (BCryptGenerateKeyPair(algorithm_, &key, 256, 0) != 0 || BCryptFinalizeKeyPair(key, 0) != 0) {
        if (key) BCryptDestroyKey(key);
        return;
    }
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
    ULONG size = 0;
    if (BCryptExportKey(key, nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &size, 0) != 0) {
        BCryptDestroyKey(key);
        return;
    }
    key_ = key;
    publicHex_ = "04" + Hex(blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    keyId_ = Sha256Hex(Unhex(publicHex_)).substr(0, 16);
}

TestSigner::~TestSigner() {
    if (key_) BCryptDestroyKey(key_);
    if (algorithm_) BCryptCloseAlgorithmProvider(algorithm_, 0);
}

std::string TestSigner::SignatureHex(const std::string& text) const {
    const std::string digest = Unhex(Sha256Hex(text));
    unsigned char signature[64] = {};
    ULONG size = 0;
    BCryptSignHash(key_, nullptr, reinterpret_cast<PUCHAR>(const_cast<char*>(digest.data())), 32, signature,
                   sizeof(signature), &size, 0);
    return Hex(signature, sizeof(signature));
}

std::string TestSigner::Sign(const std::string& text) const {
    return text + "SIGNATURE|" + keyId_ + "|" + SignatureHex(text) + "\n";
}

}  // namespace testsupport
