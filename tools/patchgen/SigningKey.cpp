#include "SigningKey.h"

#include <cstring>
#include <fstream>
#include <sstream>

#include "FileIo.h"
#include "Pkcs8.h"
#include "Sha256Hasher.h"
#include "common/HexText.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <unistd.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#endif

namespace sig = manifest_signature;

namespace {

bool Sha256Bytes(std::string_view data, unsigned char (&digest)[32]) {
    Sha256Hasher hasher;
    if (!hasher.Update(data.data(), data.size())) return false;
    const std::string hex = hasher.FinishHex();
    return hex_text::FromHex(hex, digest, sizeof(digest));
}

bool ReadText(const fs::path& path, std::string* text, std::string* error) {
    return ReadWholeFile(path, text, error);
}

}  // namespace

std::string KeyIdOf(const sig::PublicPoint& point) {
    unsigned char digest[32] = {};
    if (!Sha256Bytes(std::string_view(reinterpret_cast<const char*>(point.data()), point.size()), digest)) return {};
    return sig::KeyIdFromPointDigest(digest);
}

#ifdef _WIN32

namespace {

struct KeyHandles {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_KEY_HANDLE key = nullptr;
    ~KeyHandles() {
        if (key) BCryptDestroyKey(key);
        if (algorithm) BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

bool OpenEcdsa(KeyHandles* handles) {
    return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handles->algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0));
}

// An ECC blob: the header, X, Y and, for a private blob, d.
std::string EccBlob(ULONG magic, const EcKeyBytes& key, bool withPrivate) {
    BCRYPT_ECCKEY_BLOB header = {magic, 32};
    std::string blob(reinterpret_cast<const char*>(&header), sizeof(header));
    blob.append(reinterpret_cast<const char*>(key.publicPoint.data()) + 1, 64);
    if (withPrivate) blob.append(reinterpret_cast<const char*>(key.privateScalar.data()), 32);
    return blob;
}

bool ImportBlob(KeyHandles* handles, const wchar_t* type, std::string blob) {
    return OpenEcdsa(handles) &&
           BCRYPT_SUCCESS(BCryptImportKeyPair(handles->algorithm, nullptr, type, &handles->key,
                                              reinterpret_cast<PUCHAR>(blob.data()), static_cast<ULONG>(blob.size()), 0));
}

// A DACL that lets only the current user at the file.
bool OwnerOnlySecurity(SECURITY_ATTRIBUTES* attributes, std::string* error) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        *error = "cannot read the current user: " + LastSystemError();
        return false;
    }
    char buffer[256] = {};
    DWORD size = 0;
    const bool got = GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) != FALSE;
    CloseHandle(token);
    wchar_t* sidText = nullptr;
    if (!got || !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sidText)) {
        *error = "cannot read the current user: " + LastSystemError();
        return false;
    }
    const std::wstring sddl = std::wstring(L"D:P(A;;FA;;;") + sidText + L")";
    LocalFree(sidText);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        *error = "cannot make an owner-only file: " + LastSystemError();
        return false;
    }
    attributes->nLength = sizeof(*attributes);
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = FALSE;
    return true;
}

bool WriteNewPrivateFile(const fs::path& path, const std::string& text, std::string* error) {
    SECURITY_ATTRIBUTES attributes = {};
    if (!OwnerOnlySecurity(&attributes, error)) return false;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    LocalFree(attributes.lpSecurityDescriptor);
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot create " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                    written == text.size() && FlushFileBuffers(file);
    if (!ok) *error = "cannot write " + DisplayPath(path) + ": " + LastSystemError();
    CloseHandle(file);
    return ok;
}

}  // namespace

struct SigningKey::State {
    EcKeyBytes bytes;
    bool loaded = false;
};

SigningKey::SigningKey() : state_(new State) {}
SigningKey::~SigningKey() = default;

bool SigningKey::Generate(std::string* error) {
    KeyHandles handles;
    ULONG size = 0;
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96] = {};
    if (!OpenEcdsa(&handles) || !BCRYPT_SUCCESS(BCryptGenerateKeyPair(handles.algorithm, &handles.key, 256, 0)) ||
        !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(handles.key, 0)) ||
        !BCRYPT_SUCCESS(BCryptExportKey(handles.key, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob, sizeof(blob), &size, 0)) ||
        size != sizeof(blob)) {
        *error = "cannot generate a P-256 key (CNG failure)";
        return false;
    }
    state_->bytes.publicPoint[0] = 0x04;
    std::memcpy(state_->bytes.publicPoint.data() + 1, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    std::memcpy(state_->bytes.privateScalar.data(), blob + sizeof(BCRYPT_ECCKEY_BLOB) + 64, 32);
    SecureZeroMemory(blob, sizeof(blob));
    state_->loaded = true;
    return true;
}

bool SigningKey::Load(const fs::path& pem, std::string* error) {
    std::string text;
    if (!ReadText(pem, &text, error)) return false;
    EcKeyBytes bytes;
    std::string why;
    if (!DecodePrivateKeyPem(text, &bytes, &why)) {
        *error = DisplayPath(pem) + ": " + why;
        return false;
    }
    KeyHandles handles;  // the library must accept it as a key pair
    if (!ImportBlob(&handles, BCRYPT_ECCPRIVATE_BLOB, EccBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, bytes, true))) {
        *error = DisplayPath(pem) + ": not a valid P-256 key pair";
        return false;
    }
    state_->bytes = bytes;
    state_->loaded = true;
    return true;
}

bool SigningKey::Save(const fs::path& pem, std::string* error) const {
    return WriteNewPrivateFile(pem, EncodePkcs8Pem(state_->bytes), error);
}

const sig::PublicPoint& SigningKey::PublicPoint() const { return state_->bytes.publicPoint; }

bool SigningKey::Sign(std::string_view data, sig::Signature* signature, std::string* error) const {
    unsigned char digest[32] = {};
    KeyHandles handles;
    ULONG size = 0;
    if (!Sha256Bytes(data, digest) ||
        !ImportBlob(&handles, BCRYPT_ECCPRIVATE_BLOB, EccBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, state_->bytes, true)) ||
        !BCRYPT_SUCCESS(BCryptSignHash(handles.key, nullptr, digest, sizeof(digest), signature->data(),
                                       static_cast<ULONG>(signature->size()), &size, 0)) ||
        size != signature->size()) {
        *error = "cannot sign the manifest (CNG failure)";
        return false;
    }
    return true;
}

bool VerifySignature(const sig::PublicPoint& point, std::string_view data, const sig::Signature& signature) {
    EcKeyBytes bytes;
    bytes.publicPoint = point;
    unsigned char digest[32] = {};
    KeyHandles handles;
    return Sha256Bytes(data, digest) &&
           ImportBlob(&handles, BCRYPT_ECCPUBLIC_BLOB, EccBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, bytes, false)) &&
           BCRYPT_SUCCESS(BCryptVerifySignature(handles.key, nullptr, digest, sizeof(digest),
                                                const_cast<PUCHAR>(signature.data()),
                                                static_cast<ULONG>(signature.size()), 0));
}

#else

namespace {

struct PkeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

// Never asks for a passphrase: an encrypted key file fails to load instead of waiting on the terminal.
int NoPassphrase(char*, int, int, void*) { return 0; }

bool IsP256(EVP_PKEY* key) {
    char group[64] = {};
    std::size_t length = 0;
    return EVP_PKEY_is_a(key, "EC") &&
           EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof(group), &length) == 1 &&
           std::strcmp(group, "prime256v1") == 0;
}

bool PointOf(EVP_PKEY* key, sig::PublicPoint* point) {
    std::size_t length = 0;
    return EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point->data(), point->size(), &length) == 1 &&
           length == point->size() && (*point)[0] == 0x04;
}

Pkey PublicKeyFrom(const sig::PublicPoint& point) {
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"), 0),
        OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<unsigned char*>(point.data()),
                                          point.size()),
        OSSL_PARAM_construct_end()};
    if (ctx && EVP_PKEY_fromdata_init(ctx) == 1) EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    return Pkey(key);
}

bool WriteNewPrivateFile(const fs::path& path, const std::string& text, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = "cannot create " + DisplayPath(path) + ": " + LastSystemError();
        return false;
    }
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    if (!ok) *error = "cannot write " + DisplayPath(path) + ": " + LastSystemError();
    ok = ::close(fd) == 0 && ok;
    return ok;
}

}  // namespace

struct SigningKey::State {
    Pkey key;
    sig::PublicPoint point{};
};

SigningKey::SigningKey() : state_(new State) {}
SigningKey::~SigningKey() = default;

bool SigningKey::Generate(std::string* error) {
    state_->key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    if (!state_->key || !PointOf(state_->key.get(), &state_->point)) {
        *error = "cannot generate a P-256 key (OpenSSL failure)";
        return false;
    }
    return true;
}

bool SigningKey::Load(const fs::path& pem, std::string* error) {
    std::string text;
    if (!ReadText(pem, &text, error)) return false;
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    Pkey key(bio ? PEM_read_bio_PrivateKey(bio, nullptr, NoPassphrase, nullptr) : nullptr);
    BIO_free(bio);
    if (!key) {
        *error = DisplayPath(pem) + ": not an unencrypted PEM private key";
        return false;
    }
    if (!IsP256(key.get()) || !PointOf(key.get(), &state_->point)) {
        *error = DisplayPath(pem) + ": the key is not a P-256 key";
        return false;
    }
    state_->key = std::move(key);
    return true;
}

bool SigningKey::Save(const fs::path& pem, std::string* error) const {
    BIO* bio = BIO_new(BIO_s_mem());
    std::string text;
    if (bio && PEM_write_bio_PrivateKey(bio, state_->key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1) {
        char* data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        text.assign(data, static_cast<std::size_t>(size));
    }
    BIO_free(bio);
    if (text.empty()) {
        *error = "cannot encode the key (OpenSSL failure)";
        return false;
    }
    return WriteNewPrivateFile(pem, text, error);
}

const sig::PublicPoint& SigningKey::PublicPoint() const { return state_->point; }

bool SigningKey::Sign(std::string_view data, sig::Signature* signature, std::string* error) const {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char der[80] = {};
    std::size_t derSize = sizeof(der);
    bool ok = ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, state_->key.get()) == 1 &&
              EVP_DigestSign(ctx, der, &derSize, reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    const unsigned char* p = der;
    ECDSA_SIG* parsed = ok ? d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(derSize)) : nullptr;
    ok = parsed && BN_bn2binpad(ECDSA_SIG_get0_r(parsed), signature->data(), 32) == 32 &&
         BN_bn2binpad(ECDSA_SIG_get0_s(parsed), signature->data() + 32, 32) == 32;
    ECDSA_SIG_free(parsed);
    if (!ok) *error = "cannot sign the manifest (OpenSSL failure)";
    return ok;
}

bool VerifySignature(const sig::PublicPoint& point, std::string_view data, const sig::Signature& signature) {
    Pkey key = PublicKeyFrom(point);
    if (!key) return false;
    ECDSA_SIG* parsed = ECDSA_SIG_new();
    BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!parsed || !r || !s || ECDSA_SIG_set0(parsed, r, s) != 1) {
        BN_free(r);
        BN_free(s);
        ECDSA_SIG_free(parsed);
        return false;
    }
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(parsed, &der);
    ECDSA_SIG_free(parsed);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = derSize > 0 && ctx && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                    EVP_DigestVerify(ctx, der, static_cast<std::size_t>(derSize),
                                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    OPENSSL_free(der);
    return ok;
}

#endif

std::string SigningKey::PublicKeyHex() const {
    return hex_text::ToHex(PublicPoint().data(), PublicPoint().size());
}

std::string SigningKey::KeyId() const {
    return KeyIdOf(PublicPoint());
}
