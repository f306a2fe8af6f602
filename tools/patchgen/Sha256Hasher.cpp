#include "Sha256Hasher.h"

#include "common/HexText.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>

#include <cstring>
#endif

using hex_text::ToHex;

#ifdef _WIN32

struct Sha256Hasher::State {
    BCRYPT_ALG_HANDLE provider = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = false;
    ~State() {
        if (hash) BCryptDestroyHash(hash);
        if (provider) BCryptCloseAlgorithmProvider(provider, 0);
    }
};

Sha256Hasher::Sha256Hasher() : state_(new State) {
    // A null hash-object buffer lets CNG allocate it (Windows 7 and later).
    state_->ok = BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&state_->provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
                 BCRYPT_SUCCESS(BCryptCreateHash(state_->provider, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256Hasher::~Sha256Hasher() = default;

bool Sha256Hasher::ok() const { return state_->ok; }

bool Sha256Hasher::Update(const void* data, std::size_t size) {
    if (!state_->ok) return false;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ULONG chunk = size > 0x40000000u ? 0x40000000u : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, const_cast<PUCHAR>(p), chunk, 0))) {
            state_->ok = false;
            return false;
        }
        p += chunk;
        size -= chunk;
    }
    return true;
}

bool Sha256Hasher::Finish(unsigned char (&digest)[32]) {
    if (!state_->ok) return false;
    state_->ok = false;
    return BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, digest, sizeof(digest), 0));
}

// The provider stays open: opening it is the costly part, and a chunk index needs one digest per chunk.
bool Sha256Hasher::Restart() {
    if (state_->hash) BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
    state_->ok = state_->provider &&
                 BCRYPT_SUCCESS(BCryptCreateHash(state_->provider, &state_->hash, nullptr, 0, nullptr, 0, 0));
    return state_->ok;
}

#else

struct Sha256Hasher::State {
    EVP_MD_CTX* ctx = nullptr;
    bool ok = false;
    ~State() {
        if (ctx) EVP_MD_CTX_free(ctx);
    }
};

Sha256Hasher::Sha256Hasher() : state_(new State) {
    state_->ctx = EVP_MD_CTX_new();
    state_->ok = state_->ctx && EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) == 1;
}

Sha256Hasher::~Sha256Hasher() = default;

bool Sha256Hasher::ok() const { return state_->ok; }

bool Sha256Hasher::Update(const void* data, std::size_t size) {
    if (!state_->ok) return false;
    if (size > 0 && EVP_DigestUpdate(state_->ctx, data, size) != 1) {
        state_->ok = false;
        return false;
    }
    return true;
}

bool Sha256Hasher::Finish(unsigned char (&digest)[32]) {
    if (!state_->ok) return false;
    state_->ok = false;
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->ctx, full, &length) != 1 || length != 32) return false;
    std::memcpy(digest, full, sizeof(digest));
    return true;
}

bool Sha256Hasher::Restart() {
    state_->ok = state_->ctx && EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) == 1;
    return state_->ok;
}

#endif

std::string Sha256Hasher::FinishHex() {
    unsigned char digest[32];
    if (!Finish(digest)) return {};
    return ToHex(digest, sizeof(digest));
}

std::string Sha256Hex(std::string_view data) {
    Sha256Hasher hasher;
    if (!hasher.Update(data.data(), data.size())) return {};
    return hasher.FinishHex();
}
