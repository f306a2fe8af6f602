#include "Pkcs8.h"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kPkcs8Label = "PRIVATE KEY";

// DER object identifiers, content bytes only.
const unsigned char kEcPublicKeyOid[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};        // 1.2.840.10045.2.1
const unsigned char kPrime256v1Oid[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07};  // 1.2.840.10045.3.1.7
const unsigned char kVersionOne[] = {0x01};

using Bytes = std::vector<unsigned char>;

// ---- DER writing ----

void AppendTlv(Bytes* out, unsigned char tag, const Bytes& content) {
    out->push_back(tag);
    if (content.size() < 0x80) {
        out->push_back(static_cast<unsigned char>(content.size()));
    } else {
        out->push_back(0x81);
        out->push_back(static_cast<unsigned char>(content.size()));
    }
    out->insert(out->end(), content.begin(), content.end());
}

Bytes Tlv(unsigned char tag, const Bytes& content) {
    Bytes out;
    AppendTlv(&out, tag, content);
    return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// ---- DER reading: one element at a time from a bounded range ----

struct DerReader {
    const unsigned char* p;
    const unsigned char* end;

    bool Next(unsigned char* tag, DerReader* content) {
        if (end - p < 2) return false;
        *tag = *p++;
        std::size_t length = *p++;
        if (length & 0x80) {
            const std::size_t count = length & 0x7f;
            if (count == 0 || count > 2 || static_cast<std::size_t>(end - p) < count) return false;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | *p++;
        }
        if (static_cast<std::size_t>(end - p) < length) return false;
        *content = DerReader{p, p + length};
        p += length;
        return true;
    }
    bool Expect(unsigned char wanted, DerReader* content) {
        unsigned char tag = 0;
        return Next(&tag, content) && tag == wanted;
    }
    bool Equals(const unsigned char* bytes, std::size_t size) const {
        return static_cast<std::size_t>(end - p) == size && std::equal(bytes, bytes + size, p);
    }
    bool AtEnd() const { return p == end; }
};

// ECPrivateKey ::= SEQUENCE { version 1, privateKey OCTET STRING, [0] parameters OPTIONAL,
//                             [1] publicKey BIT STRING OPTIONAL }
bool ReadEcPrivateKey(DerReader der, bool curveKnown, EcKeyBytes* key, std::string* error) {
    DerReader seq, version, scalar, element;
    unsigned char tag = 0;
    if (!der.Expect(0x30, &seq) || !seq.Expect(0x02, &version) || !version.Equals(kVersionOne, sizeof(kVersionOne)) ||
        !seq.Expect(0x04, &scalar) || scalar.end - scalar.p != 32) {
        *error = "not an EC private key of 32 bytes";
        return false;
    }
    std::copy(scalar.p, scalar.end, key->privateScalar.begin());
    bool havePoint = false;
    while (!seq.AtEnd() && seq.Next(&tag, &element)) {
        DerReader inner;
        if (tag == 0xa0) {
            if (!element.Expect(0x06, &inner) || !inner.Equals(kPrime256v1Oid, sizeof(kPrime256v1Oid))) {
                *error = "the key is not on the P-256 curve";
                return false;
            }
            curveKnown = true;
        } else if (tag == 0xa1) {
            if (!element.Expect(0x03, &inner) || inner.end - inner.p != 66 || inner.p[0] != 0 || inner.p[1] != 0x04) {
                *error = "the key's public point is not an uncompressed P-256 point";
                return false;
            }
            std::copy(inner.p + 1, inner.end, key->publicPoint.begin());
            havePoint = true;
        }
    }
    if (!curveKnown) {
        *error = "the key does not name its curve";
        return false;
    }
    if (!havePoint) {
        *error = "the key file holds no public point (write keys with patchgen keygen)";
        return false;
    }
    return true;
}

// PrivateKeyInfo ::= SEQUENCE { version 0, AlgorithmIdentifier { ecPublicKey, prime256v1 }, OCTET STRING }
bool ReadPkcs8(DerReader der, EcKeyBytes* key, std::string* error) {
    DerReader seq, version, algorithm, oid, curve, wrapped;
    if (!der.Expect(0x30, &seq) || !seq.Expect(0x02, &version) || !seq.Expect(0x30, &algorithm) ||
        !algorithm.Expect(0x06, &oid) || !seq.Expect(0x04, &wrapped)) {
        *error = "not a PKCS#8 private key";
        return false;
    }
    if (!oid.Equals(kEcPublicKeyOid, sizeof(kEcPublicKeyOid))) {
        *error = "not an elliptic-curve key";
        return false;
    }
    if (!algorithm.Expect(0x06, &curve) || !curve.Equals(kPrime256v1Oid, sizeof(kPrime256v1Oid))) {
        *error = "the key is not on the P-256 curve";
        return false;
    }
    return ReadEcPrivateKey(wrapped, true, key, error);
}

// ---- PEM ----

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(const Bytes& data) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); i += 3) {
        std::uint32_t v = static_cast<std::uint32_t>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<std::uint32_t>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= data[i + 2];
        out.push_back(kBase64[(v >> 18) & 63]);
        out.push_back(kBase64[(v >> 12) & 63]);
        out.push_back(i + 1 < data.size() ? kBase64[(v >> 6) & 63] : '=');
        out.push_back(i + 2 < data.size() ? kBase64[v & 63] : '=');
    }
    return out;
}

bool Unbase64(std::string_view text, Bytes* out) {
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=' || c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
        const char* at = std::char_traits<char>::find(kBase64, 64, c);
        if (!at) return false;
        bits = (bits << 6) | static_cast<std::uint32_t>(at - kBase64);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out->push_back(static_cast<unsigned char>((bits >> count) & 0xFF));
        }
    }
    return true;
}

// The base64 body between "-----BEGIN <label>-----" and "-----END <label>-----", and the label.
bool Unarmor(std::string_view pem, std::string* label, Bytes* der) {
    const std::size_t begin = pem.find("-----BEGIN ");
    if (begin == std::string_view::npos) return false;
    const std::size_t labelEnd = pem.find("-----", begin + 11);
    if (labelEnd == std::string_view::npos) return false;
    *label = std::string(pem.substr(begin + 11, labelEnd - begin - 11));
    const std::string endLine = "-----END " + *label + "-----";
    const std::size_t end = pem.find(endLine, labelEnd);
    if (end == std::string_view::npos) return false;
    return Unbase64(pem.substr(labelEnd + 5, end - labelEnd - 5), der);
}

}  // namespace

std::string ArmorPem(std::string_view label, std::string_view base64) {
    const std::string name(label);
    std::string pem = "-----BEGIN " + name + "-----\n";
    for (std::size_t i = 0; i < base64.size(); i += 64) pem += std::string(base64.substr(i, 64)) + "\n";
    pem += "-----END " + name + "-----\n";
    return pem;
}

std::string EncodePkcs8Pem(const EcKeyBytes& key) {
    const Bytes scalar(key.privateScalar.begin(), key.privateScalar.end());
    Bytes bitString = {0x00};
    bitString.insert(bitString.end(), key.publicPoint.begin(), key.publicPoint.end());
    const Bytes ecPrivateKey = Tlv(0x30, Concat({Tlv(0x02, {0x01}), Tlv(0x04, scalar), Tlv(0xa1, Tlv(0x03, bitString))}));
    const Bytes algorithm = Tlv(0x30, Concat({Tlv(0x06, Bytes(kEcPublicKeyOid, kEcPublicKeyOid + sizeof(kEcPublicKeyOid))),
                                              Tlv(0x06, Bytes(kPrime256v1Oid, kPrime256v1Oid + sizeof(kPrime256v1Oid)))}));
    const Bytes info = Tlv(0x30, Concat({Tlv(0x02, {0x00}), algorithm, Tlv(0x04, ecPrivateKey)}));

    return ArmorPem(kPkcs8Label, Base64(info));
}

bool DecodePrivateKeyPem(std::string_view pem, EcKeyBytes* key, std::string* error) {
    std::string label;
    Bytes der;
    if (!Unarmor(pem, &label, &der)) {
        *error = "not a PEM file";
        return false;
    }
    const DerReader reader{der.data(), der.data() + der.size()};
    if (label == kPkcs8Label) return ReadPkcs8(reader, key, error);
    if (label == "EC PRIVATE KEY") return ReadEcPrivateKey(reader, false, key, error);
    if (label == "ENCRYPTED PRIVATE KEY") {
        *error = "the key is encrypted; patchgen reads unencrypted keys (keep the file offline instead)";
    } else {
        *error = "a PEM '" + label + "', not a private key";
    }
    return false;
}
