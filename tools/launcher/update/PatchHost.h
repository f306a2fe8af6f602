#pragma once
// What each executable is built with: the patch hosts (KORVANE_PATCH_BASE_URL) and the public keys the
// manifest must be signed with (KORVANE_MANIFEST_PUBLIC_KEYS). Both are fixed at build time.

#include <string>
#include <vector>

// The base URLs as configured: http(s) URLs whose paths end in "/patch/", ';' between mirrors.
extern const wchar_t PatchBaseUrl[];
// The public keys as configured: 130 hex digits each, ';' between keys; empty when none is built in.
extern const char ManifestPublicKeys[];

// PatchBaseUrl split at ';', blanks around each trimmed, empty entries dropped, in the configured order.
std::vector<std::wstring> PatchHostList();

// ManifestPublicKeys split the same way; empty when signatures are not checked.
std::vector<std::string> ManifestKeyList();
