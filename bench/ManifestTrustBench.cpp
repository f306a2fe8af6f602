// The cost of checking a manifest's signature beside the cost of parsing it: a generated manifest of
// N FILE lines (default 200,000), signed with a key made here, checked with VerifyManifestSignature and
// parsed with ParseManifest, each timed over several rounds in turn. The check is timed as an update run
// makes it (the digest of the signed bytes taken while they arrived) and from scratch; the hashing on the
// way in is timed on its own, over the body in WinHTTP's 8 KiB pieces.
//
// Usage: bench_manifest_trust [--rounds N] [--lines N]
#include "common/HexText.h"
#include "common/ManifestSignature.h"
#include "update/Manifest.h"
#include "update/ManifestTrust.h"
#include "update/Sha256.h"

#include "BenchClock.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using hex_text::ToHex;

// A manifest like a big game's: nested paths, sizes and digests.
std::string GeneratedManifest(int lines) {
    std::string text = "VERSION=bench\nSEQUENCE=1\n";
    text.reserve(static_cast<std::size_t>(lines) * 110);
    char line[256];
    for (int i = 0; i < lines; ++i) {
        unsigned char seed[4] = {static_cast<unsigned char>(i), static_cast<unsigned char>(i >> 8),
                                 static_cast<unsigned char>(i >> 16), 7};
        std::string digest = ToHex(seed, 4);
        while (digest.size() < 64) digest += digest;
        std::snprintf(line, sizeof(line), "FILE|data/region%03d/chunk_%06d.pak|%d|%s\n", i % 500, i, 1000 + i * 7,
                      digest.substr(0, 64).c_str());
        text += line;
    }
    return text;
}

// The manifest with its signature line, by a key made now; `publicKey` gets the key as the build takes it.
bool SignManifest(std::string* text, std::string* publicKey) {
    ScopedBcryptAlgorithm algorithm;  // declared first: released after the key
    ScopedBcryptKey key;
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
    unsigned char digest[32] = {}, point[65] = {0x04}, pointDigest[32] = {};
    manifest_signature::Signature signature{};
    ULONG size = 0;
    if (BCryptOpenAlgorithmProvider(algorithm.Receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0 ||
        BCryptGenerateKeyPair(algorithm.Get(), key.Receive(), 256, 0) != 0 || BCryptFinalizeKeyPair(key.Get(), 0) != 0 ||
        BCryptExportKey(key.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, blob, sizeof(blob), &size, 0) != 0) {
        return false;
    }
    std::memcpy(point + 1, blob + sizeof(BCRYPT_ECCKEY_BLOB), 64);
    if (!Sha256OfBytes(text->data(), text->size(), digest) || !Sha256OfBytes(point, sizeof(point), pointDigest) ||
        BCryptSignHash(key.Get(), nullptr, digest, sizeof(digest), signature.data(), static_cast<ULONG>(signature.size()),
                       &size, 0) != 0) {
        return false;
    }
    *publicKey = ToHex(point, sizeof(point));
    *text += manifest_signature::FormatSignatureLine(manifest_signature::KeyIdFromPointDigest(pointDigest), signature);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int rounds = 7;
    int lines = 200000;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::wcscmp(argv[i], L"--rounds") == 0) rounds = _wtoi(argv[i + 1]);
        if (std::wcscmp(argv[i], L"--lines") == 0) lines = _wtoi(argv[i + 1]);
    }
    std::string body = GeneratedManifest(lines);
    std::string publicKey;
    if (!SignManifest(&body, &publicKey)) {
        std::fprintf(stderr, "cannot sign the generated manifest\n");
        return 2;
    }
    const std::vector<std::string> keys = {publicKey};

    std::vector<double> inFetch, check, fromScratch, parse;
    for (int round = 0; round < rounds; ++round) {
        // What the manifest fetch does per received piece.
        double start = NowSeconds();
        Sha256Stream stream;
        manifest_signature::SignedPartScanner scanner;
        std::string received;
        std::size_t digested = 0;
        for (std::size_t at = 0; at < body.size(); at += 8192) {
            received.append(body, at, 8192);
            const std::size_t signedSoFar = scanner.Advance(received);
            stream.Update(received.data() + digested, signedSoFar - digested);
            digested = signedSoFar;
        }
        unsigned char digest[32] = {};
        stream.Finish(digest);
        inFetch.push_back(NowSeconds() - start);

        start = NowSeconds();
        const SignatureVerdict verdict = VerifyManifestSignature(body, keys, digested, digest);
        check.push_back(NowSeconds() - start);
        start = NowSeconds();
        const SignatureVerdict again = VerifyManifestSignature(body, keys);
        fromScratch.push_back(NowSeconds() - start);
        if (!verdict.valid || !again.valid) {
            std::fprintf(stderr, "the signature did not verify: %s\n", verdict.reason.c_str());
            return 2;
        }
        start = NowSeconds();
        Manifest manifest;
        ParseManifest(std::string_view(body).substr(0, verdict.signedBytes), manifest);
        parse.push_back(NowSeconds() - start);
        if (manifest.files.size() != static_cast<std::size_t>(lines)) return 2;
    }
    const double checkMedian = Median(check), scratchMedian = Median(fromScratch), parseMedian = Median(parse);
    const double ratio = parseMedian > 0 ? 100.0 / parseMedian : 0.0;
    std::printf("manifest                 %d FILE lines, %.1f MiB\n", lines, body.size() / 1048576.0);
    std::printf("parse                    %.1f ms median\n", parseMedian * 1000.0);
    std::printf("signature check          %.2f ms median, %.2f %% of the parse (split + one ECDSA verify; digest taken "
                "on the way in)\n", checkMedian * 1000.0, checkMedian * ratio);
    std::printf("hashing on the way in    %.1f ms median of CPU, spread over the transfer (%.1f %% of the parse)\n",
                Median(inFetch) * 1000.0, Median(inFetch) * ratio);
    std::printf("check from scratch       %.1f ms median, %.1f %% of the parse (SHA-256 of the signed part too)\n",
                scratchMedian * 1000.0, scratchMedian * ratio);
    return 0;
}
