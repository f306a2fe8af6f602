#pragma once
// A patch tree's manifest.txt and manifest.zst: signing the text and writing the two in the order launchers need.

#include <filesystem>
#include <string>

#include "SigningKey.h"

// `body` with the SIGNATURE line by `key` appended; false with *error set when signing fails.
bool AppendSignature(const SigningKey& key, std::string* body, std::string* error);

// Writes dir/manifest.zst (the text as one zstd frame) when `compressed`, else removes one left there (it would name
// another release), and then dir/manifest.txt, each to a temporary file that is synced and renamed into place. False
// with *error set when either cannot be written.
bool WriteManifestFiles(const std::filesystem::path& dir, const std::string& text, bool compressed, std::string* error);
