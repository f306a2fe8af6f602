// Manifest bodies: the reader over the UTF-8 bytes (as patchgen reads them) and over UTF-16 units (as the
// launcher reads the decoded text), each record checked against the rules it was accepted by.
#include "common/ManifestReader.h"

#include <cstdlib>
#include <string>

namespace {

template <typename CharT>
void Check(std::basic_string_view<CharT> text) {
    const manifest_reader::ManifestLines<CharT> lines = manifest_reader::ReadManifestLines(text);
    for (const manifest_reader::FileRecord<CharT>& f : lines.files) {
        if (f.path.empty() || f.sha256.size() != manifest_format::kDigestHexLength) std::abort();
        if (path_rules::UnsafePathReason(f.path) || path_rules::IsTopLevelLauncher(f.path)) std::abort();
        if (f.hasDelta && (f.deltaSize == 0 || f.deltaSha256.size() != manifest_format::kDigestHexLength)) std::abort();
    }
    if (lines.launcherSelf && lines.launcherSelf->size == 0) std::abort();
    if (lines.issues.size() > lines.recognisedLines) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Check(manifest_reader::WithoutByteOrderMark(bytes));
    std::wstring units;
    for (std::size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
    Check(std::wstring_view(units));
    return 0;
}
