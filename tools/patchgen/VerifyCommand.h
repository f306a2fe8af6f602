#pragma once
// `patchgen verify`: checks a patch tree against its manifest with the launcher's reading rules.

#include <filesystem>
#include <string>
#include <vector>

struct VerifyOptions {
    std::filesystem::path patchDir;
    std::vector<std::string> publicKeys;  // 130 hex digits each: the manifest must be signed by one of them
    bool quiet = false;
    bool forceProgress = false;
};

// Prints one line per problem to stdout (a signature that is broken, missing while keys are given, or by
// another key; malformed or unsafe lines, missing LAUNCHER_SELF, missing files, size or digest
// differences; a chunk index missing, differing from its DELTA line, unreadable, for another size, with chunk
// digests that differ from the file or cut otherwise than the chunker cuts; packs; containers of compressed copies
// and patches, and copies or patches that do not decode to their file), and the signing key id and sequence; a
// patch whose earlier version is not in history/ is counted as not checked, not as a problem. With a NEXT line, the
// announced manifest must be there, signed (by one of the keys, or without keys by the current manifest's key),
// with a SEQUENCE above the current one, and its manifest.zst, if any, must decode to it. Returns kExitOk when
// all match, kExitRefused on any problem, kExitIo when manifest.txt cannot be read.
int RunVerify(const VerifyOptions& options);
