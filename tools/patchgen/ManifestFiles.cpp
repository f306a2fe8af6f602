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

bool HasCompressedManifest(const fs::path& dir) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(dir / path_rules::kCompressedManifestName, ec));
}

bool ReadSignedBy(const SigningKey& key, std::string text, SignedManifestText* out, std::string* error) {
    namespace sig = manifest_signature;
    sig::SignedManifest split;
    const sig::SplitStatus status = sig::SplitSignedManifest(text, &split);
    if (status == sig::SplitStatus::Unsigned) {
        *error = "is not signed";
        return false;
    }
    if (status != sig::SplitStatus::Signed) {
        *error = std::string("cannot be taken as signed: ") + sig::DescribeSplitStatus(status);
        return false;
    }
    if (split.keyId != key.KeyId()) {
        *error = "is signed by key " + split.keyId + ", not by the given key " + key.KeyId();
        return false;
    }
    if (!VerifySignature(key.PublicPoint(), split.signedPart, split.signature)) {
        *error = "has a signature by key " + split.keyId + " that does not verify";
        return false;
    }
    out->signedLength = split.signedPart.size();
    out->text = std::move(text);
    out->manifest = ReadPatchManifest(std::string_view(out->text).substr(0, out->signedLength), nullptr);
    return true;
}
