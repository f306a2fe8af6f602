#pragma once
// Which manifest an update run may use: fetched from the patch hosts in order, parsed, and, when the
// launcher is built with public keys, signed by one of them and not older than one accepted before.

#include "update/Manifest.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct SignatureVerdict {
    bool valid = false;
    std::size_t signedBytes = 0;  // the body's first bytes that the signature covers: the manifest to read
    std::string keyId;            // the signing key's id, when the line named one of the keys
    std::string reason;           // why it is not valid, for the log line
};

// Checks `body` against the keys (130 hex digits each). Valid only when the body ends with one
// well-formed signature line by one of the keys that verifies over everything before it. A digest of the
// body's first `digestedBytes` bytes, when given, is used if those are exactly the signed ones.
SignatureVerdict VerifyManifestSignature(std::string_view body, const std::vector<std::string>& publicKeys,
                                         std::size_t digestedBytes = 0, const unsigned char* digest = nullptr);

// Why no manifest could be used; a run that tried several hosts reports the weightiest reason it met.
enum class ManifestRefusal { None, Unreachable, ProxyAuthentication, Unparsed, Older, BadSignature };

// Fetches manifest.txt from each host in turn and keeps the first one accepted: reachable, parsed, and,
// with keys, validly signed with a SEQUENCE no lower than LastManifestSequence (which it then raises).
// Every refusal is logged with its reason. Returns None with `manifest` filled and `hostIndex` set.
ManifestRefusal FetchAcceptedManifest(const std::vector<std::wstring>& hosts, const std::vector<std::string>& keys,
                                      Manifest* manifest, std::size_t* hostIndex);

// The coming release's manifest, announced by the current one: fetched from each of `hosts` (the folder it
// was announced in, below each patch host) in turn, and, with keys, taken only when validly signed with a
// SEQUENCE above `currentSequence`. LastManifestSequence is neither read nor raised: the release is not open.
ManifestRefusal FetchAnnouncedManifest(const std::vector<std::wstring>& hosts, const std::vector<std::string>& keys,
                                       std::uint64_t currentSequence, Manifest* manifest);
