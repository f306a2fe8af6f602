// Signed manifest bodies: the split at the signature line, the scanner that follows a body while it arrives
// (fed in two steps) and the public key text.
#include "common/ManifestSignature.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    manifest_signature::SignedManifest split;
    const manifest_signature::SplitStatus status = manifest_signature::SplitSignedManifest(body, &split);
    manifest_signature::DescribeSplitStatus(status);

    manifest_signature::SignedPartScanner scanner;
    const std::size_t early = scanner.Advance(body.substr(0, size / 2));
    const std::size_t known = scanner.Advance(body);
    if (early > known || known > size) std::abort();
    // Bytes the scanner hashed on the way in lie before the signature line the split finds.
    if (status == manifest_signature::SplitStatus::Signed && known > split.signedPart.size()) std::abort();

    manifest_signature::PublicPoint point;
    if (manifest_signature::ParsePublicKeyHex(body, &point) && point[0] != 0x04) std::abort();
    return 0;
}
