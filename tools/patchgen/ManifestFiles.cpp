#include "ManifestFiles.h"

#include <system_error>

#include "FileIo.h"
#include "FrameEncoder.h"
#include "common/ManifestSignature.h"
#include "common/PathRules.h"
#include "common/ZstdFrames.h"

namespace {

// The manifest is small and read at every start of every launcher: always the strongest level.
constexpr int kManifestCompressionLevel = 19;

}  // namespace

bool AppendSignature(const SigningKey& key, std::string* body, std::string* error) {
    manifest_signature::Signature signature{};
    if (!key.Sign(*body, &signature, error)) return false;
    *body += manifest_signature::FormatSignatureLine(key.KeyId(), signature);
    return true;
}

bool WriteManifestFiles(const fs::path& dir, const std::string& text, bool compressed, std::string* error) {
    const fs::path zst = dir / path_rules::kCompressedManifestName;
    if (!compressed) {
        std::error_code ec;
        fs::remove(zst, ec);
        if (ec) {
            *error = "cannot remove " + DisplayPath(zst) + ": " + ec.message();
            return false;
        }
    } else {
        FrameEncoder encoder(kManifestCompressionLevel);
        std::string frame;
        if (!encoder.ok() || !encoder.Frame(text, WindowLogFor(text.size(), 0), &frame)) {
            *error = "cannot compress the manifest (zstd failed)";
            return false;
        }
        if (!WriteFileAtomically(zst, frame, error)) return false;
    }
    return WriteFileAtomically(dir / path_rules::kManifestName, text, error);
}
