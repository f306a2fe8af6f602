#pragma once
// The packs patchgen serves under packs/: small files' bytes one after another, each pack named after its own
// SHA-256 (see common/PackPlan.h), made from the served files once they are in place, and checked against the
// manifest's PACK and PACKED lines.

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "PatchManifest.h"

// Packs every file of `manifest` with 0 < size < memberLimit from the served copies under patchDir/files/,
// into packs of about kPackTargetBytes; sets their PACKED lines and the manifest's PACK lines. The packs of
// `previous` (the manifest of the release players have now, served from previousDir; empty for none) that
// are served intact and still mostly hold files of this build are kept, their members where they were, and
// put into patchDir when previousDir is another folder; the other files fill new packs, those whose bytes
// differ from `previous` first, each group in manifest order. A pack already there with the
// right name and size is kept (its name is its digest); one previousDir has under the same name is hard-linked
// from there where the file system allows (SharedObjects.h). A served file whose bytes are not its FILE line's is
// an error. Written packs are synced before this returns. `names` gets the file names below packs/. False with
// *error set when a file cannot be read or a pack written.
bool WritePacks(const std::filesystem::path& patchDir, std::uint64_t memberLimit,
                const std::filesystem::path& previousDir, const PatchManifest& previous, PatchManifest* manifest,
                std::set<std::string>* names, std::string* error);

// Checks every PACK line's pack (there, of its size and digest) and every PACKED file's bytes in it against
// the file's FILE line; one line per problem is appended to *problems.
void CheckPacks(const std::filesystem::path& patchDir, const PatchManifest& manifest, std::vector<std::string>* problems);
