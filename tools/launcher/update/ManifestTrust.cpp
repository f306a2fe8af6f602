#include "update/ManifestTrust.h"

#include "Settings.h"
#include "Win32Handles.h"
#include "common/ManifestSignature.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/Sha256.h"

#include <cstring>

namespace {

namespace sig = manifest_signature;

// One trusted key, imported into CNG.
struct TrustedKey {
    std::string keyId;
    sig::PublicPoint point{};
};

bool ImportPublicKey(BCRYPT_ALG_HANDLE algorithm, const sig::PublicPoint& point, ScopedBcryptKey* key) {
    // An ECC public blob is its header followed by X and Y, without the 04 that leads the point.
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64] = {};
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), point.data() + 1, 64);
    return BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, key->Receive(), blob, sizeof(blob), 0) == 0;
}

bool FindKey(const std::vector<std::string>& publicKeys, const std::string& keyId, TrustedKey* found) {
    for (const std::string& hex : publicKeys) {
        TrustedKey candidate;
        unsigned char digest[32] = {};
        if (!sig::ParsePublicKeyHex(hex, &candidate.point)) continue;
        if (!Sha256OfBytes(candidate.point.data(), candidate.point.size(), digest)) continue;
        if (sig::KeyIdFromPointDigest(digest) != keyId) continue;
        *found = candidate;
        return true;
    }
    return false;
}

bool SignatureVerifies(const TrustedKey& key, const unsigned char (&digest)[32], const sig::Signature& signature) {
    ScopedBcryptAlgorithm algorithm;
    if (BCryptOpenAlgorithmProvider(algorithm.Receive(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
    ScopedBcryptKey imported;
    if (!ImportPublicKey(algorithm.Get(), key.point, &imported)) return false;
    return BCryptVerifySignature(imported.Get(), nullptr, const_cast<unsigned char*>(digest), sizeof(digest),
                                 const_cast<unsigned char*>(signature.data()),
                                 static_cast<ULONG>(signature.size()), 0) == 0;
}

constexpr std::size_t kTrustHostBytes = 512;

// One "[Launcher][updater] manifest signature: ..." line, 8-bit like the other engine lines, naming the host.
void LogTrustLine(const std::string& text, const std::wstring& host) {
    LogLine("[Launcher][updater] manifest signature: %s (%s)\n", text.c_str(),
             ToAnsiForLog(host.c_str(), kTrustHostBytes).c_str());
}

// One host's manifest, accepted or refused; `manifest` holds what was parsed. With keys, it must be newer than
// `above` when given, or else no older than LastManifestSequence.
ManifestRefusal ReadManifestFrom(const std::wstring& host, const std::vector<std::string>& keys, Manifest* manifest,
                                 const std::uint64_t* above = nullptr) {
    const FetchedManifest fetched = FetchManifest(host);
    if (fetched.proxyRefused) return ManifestRefusal::ProxyAuthentication;
    if (fetched.body.empty()) return ManifestRefusal::Unreachable;
    std::string_view text = fetched.body;
    SignatureVerdict verdict;
    if (!keys.empty()) {
        verdict = VerifyManifestSignature(fetched.body, keys, fetched.digestedBytes,
                                          fetched.digested ? fetched.digest : nullptr);
        if (!verdict.valid) {
            LogTrustLine(verdict.reason, host);
            return ManifestRefusal::BadSignature;
        }
        text = text.substr(0, verdict.signedBytes);
    }
    // A body without a single manifest line (an error page, say) must not pass for an empty file list.
    if (!ParseManifest(text, *manifest) || manifest->recognisedLines == 0) return ManifestRefusal::Unparsed;
    if (keys.empty()) return ManifestRefusal::None;

    if (manifest->badSequence) {
        LogTrustLine("SEQUENCE is not a decimal 64-bit number", host);
        return ManifestRefusal::BadSignature;
    }
    if (above && manifest->sequence <= *above) {
        LogTrustLine("sequence " + std::to_string(manifest->sequence) + " is not above " + std::to_string(*above) +
                         ", the current release's",
                     host);
        return ManifestRefusal::Older;
    }
    const std::uint64_t accepted = above ? 0 : ReadLastManifestSequence(manifest->sequence);
    if (manifest->sequence < accepted) {
        LogTrustLine("sequence " + std::to_string(manifest->sequence) + " is lower than " + std::to_string(accepted) +
                         ", the highest accepted before",
                     host);
        return ManifestRefusal::Older;
    }
    LogTrustLine("valid, key " + verdict.keyId + ", sequence " + std::to_string(manifest->sequence), host);
    return ManifestRefusal::None;
}

}  // namespace

ManifestRefusal FetchAcceptedManifest(const std::vector<std::wstring>& hosts, const std::vector<std::string>& keys,
                                      Manifest* manifest, std::size_t* hostIndex) {
    if (keys.empty()) {
        LogLine("[Launcher][updater] manifest signature: not checked (no public key is built into this launcher)\n");
    }
    ManifestRefusal weightiest = ManifestRefusal::Unreachable;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        Manifest candidate;
        const ManifestRefusal refusal = ReadManifestFrom(hosts[i], keys, &candidate);
        if (refusal == ManifestRefusal::None) {
            // Raised only now: a manifest that is refused for any reason must not move it.
            if (!keys.empty()) WriteLastManifestSequence(candidate.sequence);
            *manifest = std::move(candidate);
            *hostIndex = i;
            return ManifestRefusal::None;
        }
        if (refusal > weightiest) weightiest = refusal;
    }
    return weightiest;
}

ManifestRefusal FetchAnnouncedManifest(const std::vector<std::wstring>& hosts, const std::vector<std::string>& keys,
                                       std::uint64_t currentSequence, Manifest* manifest) {
    ManifestRefusal weightiest = ManifestRefusal::Unreachable;
    for (const std::wstring& host : hosts) {
        Manifest candidate;
        const ManifestRefusal refusal = ReadManifestFrom(host, keys, &candidate, &currentSequence);
        if (refusal == ManifestRefusal::None) {
            *manifest = std::move(candidate);
            return ManifestRefusal::None;
        }
        if (refusal > weightiest) weightiest = refusal;
    }
    return weightiest;
}

SignatureVerdict VerifyManifestSignature(std::string_view body, const std::vector<std::string>& publicKeys,
                                         std::size_t digestedBytes, const unsigned char* digest) {
    SignatureVerdict verdict;
    sig::SignedManifest signedManifest;
    const sig::SplitStatus split = sig::SplitSignedManifest(body, &signedManifest);
    if (split != sig::SplitStatus::Signed) {
        verdict.reason = sig::DescribeSplitStatus(split);
        return verdict;
    }
    TrustedKey key;
    if (!FindKey(publicKeys, signedManifest.keyId, &key)) {
        verdict.reason = "unknown key id " + signedManifest.keyId;
        return verdict;
    }
    verdict.keyId = signedManifest.keyId;
    unsigned char signedDigest[32] = {};
    if (digest && digestedBytes == signedManifest.signedPart.size()) {
        std::memcpy(signedDigest, digest, sizeof(signedDigest));
    } else if (!Sha256OfBytes(signedManifest.signedPart.data(), signedManifest.signedPart.size(), signedDigest)) {
        verdict.reason = "cannot hash the manifest";
        return verdict;
    }
    if (!SignatureVerifies(key, signedDigest, signedManifest.signature)) {
        verdict.reason = "signature by key " + signedManifest.keyId + " does not verify";
        return verdict;
    }
    verdict.valid = true;
    verdict.signedBytes = signedManifest.signedPart.size();
    return verdict;
}
