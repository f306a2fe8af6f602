#include "update/Manifest.h"

#include "update/DebugLog.h"

#include "Utf8.h"
#include "common/ManifestReader.h"

#include <windows.h>

#include <map>
#include <string_view>

namespace {

// The reader keeps only lines whose container is listed: every place finds its container's size.
EncodedPlace PlaceOf(const manifest_format::EncodedAt& at, const std::map<std::string, std::uint64_t>& containerSizes) {
    const auto container = containerSizes.find(at.containerSha256);
    if (container == containerSizes.end()) return EncodedPlace();
    return EncodedPlace{at.containerSha256, container->second, at.offset, at.length};
}

void LogRefusedPath(std::wstring_view path, const char* reason) {
    std::wstring line = L"[Launcher][updater] refused unsafe manifest path \"";
    line.append(path);
    line += L"\" (";
    for (const char* r = reason; *r; ++r) line.push_back(static_cast<wchar_t>(*r));
    line += L")\n";
    LogLineW(L"%ls", line.c_str());
}

}  // namespace

bool ParseManifest(std::string_view bytes, Manifest& manifest) {
    if (bytes.empty()) return false;
    const std::wstring text = FromUtf8(manifest_reader::WithoutByteOrderMark(bytes));
    const manifest_reader::ManifestLines<wchar_t> lines = manifest_reader::ReadManifestLines(std::wstring_view(text));

    if (lines.version) manifest.version.assign(*lines.version);
    if (lines.status) manifest.status.assign(*lines.status);
    if (lines.news) manifest.news.assign(*lines.news);
    if (lines.sequence) manifest.sequence = *lines.sequence;
    if (lines.quickCheck) manifest.quickCheck = *lines.quickCheck;
    if (lines.launcherShare) manifest.launcherSelf.share = *lines.launcherShare;
    if (lines.next) manifest.next = NextRelease{std::wstring(lines.next->manifestPath), lines.next->opensAt};
    if (lines.launcherSelf) {
        manifest.launcherSelf.size = lines.launcherSelf->size;
        manifest.launcherSelf.sha256 = lines.launcherSelf->sha256;
    }
    std::map<std::string, std::uint64_t> containerSizes;
    for (const manifest_reader::PackRecord& c : lines.containers) {
        containerSizes.emplace(c.sha256, c.size);
        manifest.containers.push_back(ManifestPack{c.sha256, c.size});
    }
    for (const manifest_reader::FileRecord<wchar_t>& f : lines.files) {
        ManifestFile file;
        file.path.assign(f.path);
        file.size = f.size;
        file.sha256 = f.sha256;
        file.offers.deltaIndexSha256 = f.deltaSha256;
        file.offers.deltaIndexSize = f.deltaSize;
        file.packSha256 = f.packSha256;
        file.packOffset = f.packOffset;
        if (f.hasZFile) file.offers.compressed = PlaceOf(f.zfile, containerSizes);
        if (f.hasZChunks) {
            file.offers.framesSha256 = f.framesSha256;
            file.offers.framesSize = f.framesSize;
            file.offers.chunkFrames = PlaceOf(f.zchunks, containerSizes);
        }
        for (const manifest_reader::PatchRecord& p : f.patches) {
            file.offers.patches.push_back(PatchOffer{p.baseSha256, p.baseSize, PlaceOf(p.at, containerSizes)});
        }
        manifest.files.push_back(std::move(file));
    }

    for (const manifest_reader::PackRecord& p : lines.packs) manifest.packs.push_back(ManifestPack{p.sha256, p.size});
    bool droppedOwnExecutable = false;
    for (const manifest_reader::Issue<wchar_t>& issue : lines.issues) {
        switch (issue.kind) {
            case manifest_reader::IssueKind::UnsafePath: LogRefusedPath(issue.text, issue.unsafeReason); break;
            case manifest_reader::IssueKind::BadSequence: manifest.badSequence = true; break;
            case manifest_reader::IssueKind::TopLevelLauncher: droppedOwnExecutable = true; break;
            default: break;
        }
    }
    if (droppedOwnExecutable) {
        LogLineW(
            L"[Launcher][updater] dropped Launcher.exe from FILE list -- launcher self-update goes through "
            L"LAUNCHER_SELF only\n");
    }
    manifest.recognisedLines += lines.recognisedLines;
    return true;
}
