#pragma once
// A patch tree's manifest.txt and manifest.zst: signing the text, writing the two in the order launchers need, and
// reading a signed one back against the operator's key.

#include <filesystem>
#include <string>

#include "PatchManifest.h"
#include "SigningKey.h"

// `body` with the SIGNATURE line by `key` appended; false with *error set when signing fails.
bool AppendSignature(const SigningKey& key, std::string* body, std::string* error);

// Writes dir/manifest.zst (the text as one zstd frame) when `compressed`, else removes one left there (it would name
// another release), and then dir/manifest.txt, each to a temporary file that is synced and renamed into place. False
// with *error set when either cannot be written.
bool WriteManifestFiles(const std::filesystem::path& dir, const std::string& text, bool compressed, std::string* error);

// True when dir holds a manifest.zst.
bool HasCompressedManifest(const std::filesystem::path& dir);

// A manifest signed by the operator's key, as read back.
struct SignedManifestText {
    std::string text;
    std::size_t signedLength = 0;  // the bytes before the SIGNATURE line
    PatchManifest manifest;        // read from those bytes; its sequence unset means 0, as launchers count it
    std::string SignedPart() const { return text.substr(0, signedLength); }
    std::uint64_t Sequence() const { return manifest.sequence.value_or(0); }
};

// Takes `text` as a manifest that `key` signed; false with *error set ("is not signed", "is signed by key ..., not by
// ...", "has a signature that does not verify") otherwise.
bool ReadSignedBy(const SigningKey& key, std::string text, SignedManifestText* out, std::string* error);
