#include "common/ManifestSignature.h"

#include "common/HexText.h"
#include "common/ManifestFormat.h"

#include <algorithm>
#include <vector>

namespace manifest_signature {

namespace {

bool IsLowerHex(std::string_view text) {
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool StartsWithSignatureKey(std::string_view body, std::size_t at) {
    return body.compare(at, sizeof(kSignatureKey) - 1, kSignatureKey) == 0;
}

// Reads "SIGNATURE|<key id>|<signature>" followed by nothing but an optional carriage return.
bool ParseSignatureLine(std::string_view line, SignedManifest* out) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line.remove_prefix(sizeof(kSignatureKey) - 1);
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos) return false;
    const std::string_view keyId = line.substr(0, bar);
    const std::string_view signature = line.substr(bar + 1);
    if (keyId.size() != kKeyIdHexLength || !IsLowerHex(keyId)) return false;
    if (signature.size() != 2 * kSignatureBytes) return false;
    if (!hex_text::FromHex(signature, out->signature.data(), out->signature.size())) return false;
    out->keyId.assign(keyId);
    return true;
}

}  // namespace

SplitStatus SplitSignedManifest(std::string_view body, SignedManifest* out) {
    std::vector<std::size_t> found;
    const std::size_t bom = manifest_format::ByteOrderMarkLength(body);
    if (StartsWithSignatureKey(body, 0)) found.push_back(0);
    if (bom != 0 && StartsWithSignatureKey(body, bom)) found.push_back(bom);
    for (std::size_t i = body.find('\n'); i != std::string_view::npos; i = body.find('\n', i + 1)) {
        if (StartsWithSignatureKey(body, i + 1)) found.push_back(i + 1);
    }
    if (found.empty()) return SplitStatus::Unsigned;
    if (found.size() > 1) return SplitStatus::TwoSignatures;

    const std::size_t start = found.front();
    const std::size_t end = body.find('\n', start);
    const std::string_view line = body.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    SignedManifest parsed;
    if (!ParseSignatureLine(line, &parsed)) return SplitStatus::Malformed;
    if (end != std::string_view::npos && body.find_first_not_of("\r\n", end) != std::string_view::npos) {
        return SplitStatus::TrailingData;
    }
    parsed.signedPart = body.substr(0, start);
    *out = parsed;
    return SplitStatus::Signed;
}

const char* DescribeSplitStatus(SplitStatus status) {
    switch (status) {
        case SplitStatus::Signed: return "signed";
        case SplitStatus::Unsigned: return "no SIGNATURE line";
        case SplitStatus::Malformed: return "malformed SIGNATURE line";
        case SplitStatus::TrailingData: return "data after the SIGNATURE line";
        case SplitStatus::TwoSignatures: return "more than one SIGNATURE line";
    }
    return "?";
}

std::size_t SignedPartScanner::Advance(std::string_view body) {
    while (!stopped_) {
        const std::size_t bom = lineStart_ == 0 ? manifest_format::ByteOrderMarkLength(body) : 0;
        const std::size_t end = body.find('\n', std::max(searched_, lineStart_));
        if (end == std::string_view::npos) {
            searched_ = body.size();
            // A line that is still coming is judged once it is long enough to show its key, or complete.
            if (body.size() < lineStart_ + bom + sizeof(kSignatureKey) - 1) break;
            if (StartsWithSignatureKey(body, lineStart_ + bom)) stopped_ = true;
            break;
        }
        if (StartsWithSignatureKey(body, lineStart_ + bom)) {
            stopped_ = true;
            break;
        }
        lineStart_ = end + 1;
        searched_ = lineStart_;
    }
    return lineStart_;
}

std::string FormatSignatureLine(std::string_view keyId, const Signature& signature) {
    return std::string(kSignatureKey) + std::string(keyId) + "|" + hex_text::ToHex(signature.data(), signature.size()) + "\n";
}

bool ParsePublicKeyHex(std::string_view hex, PublicPoint* point) {
    if (hex.size() != 2 * kPublicPointBytes) return false;
    PublicPoint parsed{};
    if (!hex_text::FromHex(hex, parsed.data(), parsed.size()) || parsed[0] != 0x04) return false;
    *point = parsed;
    return true;
}

std::string KeyIdFromPointDigest(const unsigned char* sha256Of65Bytes) {
    return hex_text::ToHex(sha256Of65Bytes, kKeyIdHexLength / 2);
}

}  // namespace manifest_signature
