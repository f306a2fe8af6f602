#include "update/Manifest.h"

#include "common/ManifestFormat.h"
#include "Utf8.h"
#include "common/PathRules.h"

#include <windows.h>

#include <map>
#include <string_view>

namespace {

void LogRefusedPath(std::wstring_view path, const char* reason) {
    std::wstring line = L"[Launcher][updater] refused unsafe manifest path \"";
    line.append(path);
    line += L"\" (";
    for (const char* r = reason; *r; ++r) line.push_back(static_cast<wchar_t>(*r));
    line += L")\n";
    OutputDebugStringW(line.c_str());
}

}  // namespace

bool ParseManifest(std::string_view bytes, Manifest& manifest) {
    if (bytes.empty()) return false;
    std::size_t skip = 0;
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
        static_cast<unsigned char>(bytes[1]) == 0xBB && static_cast<unsigned char>(bytes[2]) == 0xBF) {
        skip = 3;
    }
    const std::wstring text = FromUtf8(bytes.substr(skip));

    using manifest_format::LineKind;
    std::vector<std::pair<std::wstring, ManifestFile>> deltas;  // path, index; matched once all lines are read
    manifest_format::ForEachManifestLine(std::wstring_view(text), [&](const manifest_format::ParsedLine<wchar_t>& line) {
        if (line.kind != LineKind::Ignored) ++manifest.recognisedLines;
        switch (line.kind) {
            case LineKind::Version: manifest.version.assign(line.text); break;
            case LineKind::Status: manifest.status.assign(line.text); break;
            case LineKind::News: manifest.news.assign(line.text); break;
            case LineKind::LauncherSelf:
                manifest.launcherSelf.size = line.size;
                manifest.launcherSelf.sha256 = line.sha256;
                break;
            case LineKind::File:
                manifest.files.push_back(ManifestFile{std::wstring(line.text), line.size, line.sha256});
                break;
            case LineKind::Sequence: manifest.sequence = line.size; break;
            case LineKind::Delta: {
                ManifestFile index;
                index.deltaIndexSha256 = line.sha256;
                index.deltaIndexSize = line.size;
                deltas.emplace_back(std::wstring(line.text), std::move(index));
                break;
            }
            case LineKind::Check:
                manifest.quickCheck = line.text == std::wstring_view(L"quick");
                break;
            case LineKind::UnsafePath: LogRefusedPath(line.text, line.unsafeReason); break;
            case LineKind::Malformed:
                if (line.claimed == LineKind::Sequence) manifest.badSequence = true;
                break;
            case LineKind::Ignored: break;
        }
    });
    if (!deltas.empty()) {
        std::map<std::wstring, ManifestFile*> byKey;
        for (ManifestFile& f : manifest.files) byKey.emplace(path_rules::FileKey(std::wstring_view(f.path)), &f);
        for (const auto& d : deltas) {
            const auto file = byKey.find(path_rules::FileKey(std::wstring_view(d.first)));
            if (file == byKey.end() || file->second->deltaIndexSize != 0) continue;
            file->second->deltaIndexSha256 = d.second.deltaIndexSha256;
            file->second->deltaIndexSize = d.second.deltaIndexSize;
        }
    }
    return true;
}
