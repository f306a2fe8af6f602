// Manifest signing end to end through the real binary, with OpenSSL as the independent judge of the key
// files and the signatures patchgen writes.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <ctime>

#include "Pkcs8.h"
#include "Sha256Hasher.h"
#include "TestSupport.h"
#include "common/HexText.h"
#include "common/ManifestSignature.h"

namespace {

std::string Hex(const unsigned char* bytes, std::size_t size) {
    return hex_text::ToHex(bytes, size);
}

// OpenSSL's view of a PEM private key: its public point in hex, or "" when it does not load.
std::string OpenSslPublicHex(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    unsigned char point[65] = {};
    std::size_t length = 0;
    const bool ok = key && EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof(point), &length);
    EVP_PKEY_free(key);
    return ok && length == 65 ? Hex(point, 65) : "";
}

// A fresh key written by OpenSSL in the given PEM form ("pkcs8" or "sec1") on the given curve.
std::string OpenSslKeyPem(const char* curve, const char* form) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", curve);
    BIO* bio = BIO_new(BIO_s_mem());
    if (std::string(form) == "sec1") {
        PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    }
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    EVP_PKEY_free(key);
    return pem;
}

// The first `count` base64 characters of a PEM's body.
std::string BodyStart(const std::string& pem, std::size_t count) { return pem.substr(pem.find('\n') + 1, count); }

// True when OpenSSL accepts `signatureHex` (r || s) over `text` by the public point `publicHex`.
bool OpenSslVerifies(const std::string& publicHex, const std::string& text, const std::string& signatureHex) {
    unsigned char point[65], raw[64];
    if (!hex_text::FromHex(publicHex, point, 65) || !hex_text::FromHex(signatureHex, raw, 64)) {
        return false;
    }
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* key = nullptr;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("prime256v1"), 0),
                           OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, 65), OSSL_PARAM_construct_end()};
    EVP_PKEY_fromdata_init(ctx);
    EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(ctx);
    ECDSA_SIG* sig = ECDSA_SIG_new();
    ECDSA_SIG_set0(sig, BN_bin2bn(raw, 32, nullptr), BN_bin2bn(raw + 32, 32, nullptr));
    unsigned char* der = nullptr;
    const int derSize = i2d_ECDSA_SIG(sig, &der);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    const bool ok = key && EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(md, der, static_cast<std::size_t>(derSize),
                                     reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    EVP_MD_CTX_free(md);
    OPENSSL_free(der);
    ECDSA_SIG_free(sig);
    EVP_PKEY_free(key);
    return ok;
}

std::string Field(const std::string& text, const std::string& label) {
    const std::size_t at = text.find(label);
    if (at == std::string::npos) return "";
    const std::size_t end = text.find('\n', at);
    return text.substr(at + label.size(), end - at - label.size());
}

// The key file formats the Windows build reads and writes, judged by OpenSSL in both directions.
TEST(Pkcs8, ReadsWhatOpenSslWritesAndWritesWhatOpenSslReads) {
    struct PemCase {
        const char* name;
        std::string pem;
        std::string error;  // a fragment, or "" when the key must load
    };
    const PemCase cases[] = {
        {"PKCS#8", OpenSslKeyPem("P-256", "pkcs8"), ""},
        {"SEC1", OpenSslKeyPem("P-256", "sec1"), ""},
        {"another curve", OpenSslKeyPem("P-384", "pkcs8"), "P-256"},
        {"another curve, SEC1", OpenSslKeyPem("P-384", "sec1"), "32 bytes"},
        {"encrypted", ArmorPem("ENCRYPTED PRIVATE KEY", "MIIB"), "encrypted"},
        {"a certificate", ArmorPem("CERTIFICATE", "MIIB"), "not a private key"},
        {"not PEM", "hello", "not a PEM"},
        {"cut short", ArmorPem("PRIVATE KEY", BodyStart(OpenSslKeyPem("P-256", "pkcs8"), 32)), "PKCS#8"},
    };
    for (const PemCase& c : cases) {
        SCOPED_TRACE(c.name);
        EcKeyBytes key;
        std::string error;
        const bool loaded = DecodePrivateKeyPem(c.pem, &key, &error);
        EXPECT_EQ(loaded, c.error.empty()) << error;
        if (!loaded) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(Hex(key.publicPoint.data(), 65), OpenSslPublicHex(c.pem));
        EXPECT_EQ(OpenSslPublicHex(EncodePkcs8Pem(key)), OpenSslPublicHex(c.pem)) << EncodePkcs8Pem(key);
    }
}

TEST(PatchgenSigning, KeygenSignAndVerify) {
    TempDir dir;
    ASSERT_TRUE(WriteBytes(dir.path() / "game" / "data" / "a.txt", "abc"));
    ASSERT_TRUE(WriteBytes(dir.path() / "L.exe", "MZ launcher"));
    const std::string key = (dir.path() / "key.pem").string();
    const std::string other = (dir.path() / "other.pem").string();

    RunResult made = RunPatchgen({"keygen", "--out", key});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string publicHex = Field(made.out, "public key: ");
    ASSERT_EQ(publicHex.size(), 130u) << made.out;
    EXPECT_EQ(publicHex, OpenSslPublicHex(ReadBytes(key))) << "the printed key is the file's key";
    unsigned char point[65];
    ASSERT_TRUE(hex_text::FromHex(publicHex, point, 65));
    EXPECT_EQ(Field(made.out, "key id: "), Sha256Hex(std::string(reinterpret_cast<char*>(point), 65)).substr(0, 16));
    struct stat info = {};
    ASSERT_EQ(stat(key.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "readable by its owner only";
    const std::string keyBytes = ReadBytes(key);
    RunResult again = RunPatchgen({"keygen", "--out", key});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(ReadBytes(key), keyBytes) << "an existing key is never replaced";
    const std::string otherHex = Field(RunPatchgen({"keygen", "--out", other}).out, "public key: ");

    const std::string out = (dir.path() / "patch").string();
    const std::vector<std::string> build = {"build", "--game", (dir.path() / "game").string(), "--launcher",
                                            (dir.path() / "L.exe").string(), "--out", out, "--sign-key", key};
    const long long before = static_cast<long long>(std::time(nullptr));
    ASSERT_EQ(RunPatchgen(build).exitCode, 0);
    const long long after = static_cast<long long>(std::time(nullptr));
    std::string text = ReadBytes(dir.path() / "patch" / "manifest.txt");
    const long long sequence = std::stoll(Field(text, "SEQUENCE="));
    EXPECT_GE(sequence, before) << "by default the sequence is the build time";
    EXPECT_LE(sequence, after);
    const std::size_t line = text.find("SIGNATURE|");
    ASSERT_NE(line, std::string::npos);
    EXPECT_EQ(text.substr(line + 10, 17), Field(made.out, "key id: ") + "|");
    EXPECT_TRUE(OpenSslVerifies(publicHex, text.substr(0, line), text.substr(line + 27, 128)));

    struct VerifyCase {
        const char* name;
        std::vector<std::string> extra;
        int exitCode;
        std::string expected;
    };
    const VerifyCase cases[] = {
        {"without a key", {}, 0, "(not checked"},
        {"with its key", {"--public-key", publicHex}, 0, "(checked)"},
        {"with both keys", {"--public-key", otherHex, "--public-key", publicHex}, 0, "(checked)"},
        {"with another key", {"--public-key", otherHex}, 1, "none of the --public-key keys"},
        {"with a bad key", {"--public-key", "04abc"}, 2, ""},
    };
    for (const VerifyCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"verify", out};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << r.out;
    }

    std::vector<std::string> numbered = build;
    numbered.insert(numbered.end(), {"--sequence", "7"});
    ASSERT_EQ(RunPatchgen(numbered).exitCode, 0);
    text = ReadBytes(dir.path() / "patch" / "manifest.txt");
    EXPECT_EQ(Field(text, "SEQUENCE="), "7");
    const std::string tampered = text.substr(0, text.find("SEQUENCE=7")) + "SEQUENCE=8" +
                                 text.substr(text.find("SEQUENCE=7") + 10);
    ASSERT_TRUE(WriteBytes(dir.path() / "patch" / "manifest.txt", tampered));
    RunResult broken = RunPatchgen({"verify", out, "--public-key", publicHex});
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.out.find("does not verify"), std::string::npos) << broken.out;

    RunResult unsigned_ = RunPatchgen({"build", "--game", (dir.path() / "game").string(), "--launcher",
                                       (dir.path() / "L.exe").string(), "--out", out});
    ASSERT_EQ(unsigned_.exitCode, 0);
    RunResult notSigned = RunPatchgen({"verify", out, "--public-key", publicHex});
    EXPECT_EQ(notSigned.exitCode, 1);
    EXPECT_NE(notSigned.out.find("not signed"), std::string::npos) << notSigned.out;

    struct RefusalCase {
        const char* name;
        std::vector<std::string> extra;
        int exitCode;
        std::string message;
    };
    ASSERT_TRUE(WriteBytes(dir.path() / "junk.pem", "junk"));
    const RefusalCase refusals[] = {
        {"sequence without key", {"--sequence", "3"}, 2, "--sequence goes with --sign-key"},
        {"sequence not a number", {"--sign-key", key, "--sequence", "-1"}, 2, "decimal number"},
        {"missing key file", {"--sign-key", (dir.path() / "nope.pem").string()}, 3, "nope.pem"},
        {"not a key", {"--sign-key", (dir.path() / "junk.pem").string()}, 1, "junk.pem"},
    };
    for (const RefusalCase& c : refusals) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"build", "--game", (dir.path() / "game").string(), "--launcher",
                                         (dir.path() / "L.exe").string(), "--out", (dir.path() / "refused").string()};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult r = RunPatchgen(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(dir.path() / "refused" / "manifest.txt"));
    }
}

}  // namespace
