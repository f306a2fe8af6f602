#include "common/ManifestReader.h"

#include "common/PathRules.h"

#include <algorithm>
#include <map>

namespace manifest_reader {

namespace {

// ---- the records that later lines refer to

// The FILE records by their path's key (Windows' ASCII case fold), for the lines that name a file by its path.
template <typename CharT>
std::map<std::basic_string<CharT>, FileRecord<CharT>*> FilesByKey(std::vector<FileRecord<CharT>>& files) {
    std::map<std::basic_string<CharT>, FileRecord<CharT>*> byKey;
    for (FileRecord<CharT>& f : files) byKey.emplace(path_rules::FileKey(f.path), &f);
    return byKey;
}

// The sizes of the packs or containers by their digest, for the lines that place a file in one.
std::map<std::string, std::uint64_t> SizesByDigest(const std::vector<PackRecord>& records) {
    std::map<std::string, std::uint64_t> sizes;
    for (const PackRecord& r : records) sizes.emplace(r.sha256, r.size);
    return sizes;
}

// ---- the DELTA lines, matched to their FILE lines once every line is read

template <typename CharT>
struct DeltaLine {
    std::size_t line = 0;
    std::basic_string_view<CharT> path;
    std::string sha256;
    std::uint64_t size = 0;
};

template <typename CharT>
void MatchDeltaLines(const std::vector<DeltaLine<CharT>>& deltas, ManifestLines<CharT>& out) {
    if (deltas.empty()) return;
    const auto byKey = FilesByKey(out.files);
    for (const DeltaLine<CharT>& d : deltas) {
        const auto file = byKey.find(path_rules::FileKey(d.path));
        if (file == byKey.end()) {
            out.issues.push_back({d.line, IssueKind::DeltaWithoutFile, d.path, nullptr});
        } else if (file->second->hasDelta) {
            out.issues.push_back({d.line, IssueKind::SecondDelta, d.path, nullptr});
        } else {
            file->second->hasDelta = true;
            file->second->deltaSha256 = d.sha256;
            file->second->deltaSize = d.size;
        }
    }
    std::stable_sort(out.issues.begin(), out.issues.end(),
                     [](const Issue<CharT>& a, const Issue<CharT>& b) { return a.line < b.line; });
}

// ---- the PACKED lines, matched to their FILE and PACK lines once every line is read

template <typename CharT>
void MatchPackedLines(const std::vector<DeltaLine<CharT>>& packed, ManifestLines<CharT>& out) {
    if (packed.empty()) return;
    const auto byKey = FilesByKey(out.files);
    const std::map<std::string, std::uint64_t> packSizes = SizesByDigest(out.packs);
    for (const DeltaLine<CharT>& d : packed) {
        const auto file = byKey.find(path_rules::FileKey(d.path));
        const auto pack = packSizes.find(d.sha256);
        IssueKind problem = IssueKind::Malformed;
        bool fine = false;
        if (file == byKey.end()) {
            problem = IssueKind::PackedWithoutFile;
        } else if (file->second->hasPack) {
            problem = IssueKind::SecondPacked;
        } else if (pack == packSizes.end()) {
            problem = IssueKind::PackedWithoutPack;
        } else if (d.size > pack->second || file->second->size > pack->second - d.size) {
            problem = IssueKind::PackedOutsidePack;
        } else {
            fine = true;
        }
        if (!fine) {
            out.issues.push_back({d.line, problem, d.path, nullptr});
            continue;
        }
        file->second->hasPack = true;
        file->second->packSha256 = d.sha256;
        file->second->packOffset = d.size;
    }
}

// ---- the ZFILE, ZCHUNKS and ZPATCH lines, matched to their FILE and ZPACK lines once every line is read

template <typename CharT>
struct EncodedLine {
    std::size_t line = 0;
    manifest_format::LineKind kind = manifest_format::LineKind::ZFile;
    std::basic_string_view<CharT> path;
    std::string sha256;  // ZCHUNKS' frame table, ZPATCH's base
    std::uint64_t size = 0;
    manifest_format::EncodedAt at;
};

template <typename CharT>
void MatchEncodedLines(const std::vector<EncodedLine<CharT>>& encoded, ManifestLines<CharT>& out) {
    using manifest_format::LineKind;
    if (encoded.empty()) return;
    const auto byKey = FilesByKey(out.files);
    const std::map<std::string, std::uint64_t> containerSizes = SizesByDigest(out.containers);
    for (const EncodedLine<CharT>& e : encoded) {
        const auto file = byKey.find(path_rules::FileKey(e.path));
        const auto container = containerSizes.find(e.at.containerSha256);
        IssueKind problem = IssueKind::Malformed;
        if (file == byKey.end()) {
            problem = IssueKind::EncodedWithoutFile;
        } else if ((e.kind == LineKind::ZFile && file->second->hasZFile) ||
                   (e.kind == LineKind::ZChunks && file->second->hasZChunks) ||
                   (e.kind == LineKind::ZPatch &&
                    std::any_of(file->second->patches.begin(), file->second->patches.end(),
                                [&](const PatchRecord& p) { return p.baseSha256 == e.sha256; }))) {
            problem = IssueKind::SecondEncoded;
        } else if (container == containerSizes.end()) {
            problem = IssueKind::EncodedWithoutContainer;
        } else if (e.at.offset > container->second || e.at.length > container->second - e.at.offset) {
            problem = IssueKind::EncodedOutsideContainer;
        } else {
            FileRecord<CharT>& f = *file->second;
            if (e.kind == LineKind::ZFile) {
                f.hasZFile = true;
                f.zfile = e.at;
            } else if (e.kind == LineKind::ZChunks) {
                f.hasZChunks = true;
                f.framesSha256 = e.sha256;
                f.framesSize = e.size;
                f.zchunks = e.at;
            } else {
                f.patches.push_back({e.sha256, e.size, e.at});
            }
            continue;
        }
        out.issues.push_back({e.line, problem, e.path, nullptr});
    }
}

}  // namespace

template <typename CharT>
ManifestLines<CharT> ReadManifestLines(std::basic_string_view<CharT> text) {
    using manifest_format::LineKind;
    ManifestLines<CharT> out;
    std::vector<DeltaLine<CharT>> deltas;
    std::vector<DeltaLine<CharT>> packed;  // the pack's digest, and the offset as `size`
    std::vector<EncodedLine<CharT>> encoded;
    std::size_t lineNumber = 0;
    manifest_format::ForEachRawLine(text, [&](std::basic_string_view<CharT> raw) {
        ++lineNumber;
        const manifest_format::ParsedLine<CharT> line = manifest_format::ParseLine(raw);
        if (line.kind != LineKind::Ignored) ++out.recognisedLines;
        switch (line.kind) {
            case LineKind::Ignored: break;
            case LineKind::Version: out.version = line.text; break;
            case LineKind::Status: out.status = line.text; break;
            case LineKind::News: out.news = line.text; break;
            case LineKind::Sequence: out.sequence = line.size; break;
            case LineKind::LauncherShare: out.launcherShare = static_cast<std::uint32_t>(line.size); break;
            case LineKind::Next: out.next = NextRecord<CharT>{line.text, line.size}; break;
            case LineKind::Check:
                out.quickCheck = line.text == std::basic_string_view<CharT>(
                                                  path_rules::FromAscii<CharT>(manifest_format::kQuickCheck));
                break;
            case LineKind::LauncherSelf: out.launcherSelf = LauncherRecord{line.size, line.sha256}; break;
            case LineKind::File:
                if (path_rules::IsTopLevelLauncher(line.text)) {
                    out.issues.push_back({lineNumber, IssueKind::TopLevelLauncher, line.text, nullptr});
                } else {
                    FileRecord<CharT> file;
                    file.line = lineNumber;
                    file.path = line.text;
                    file.size = line.size;
                    file.sha256 = line.sha256;
                    out.files.push_back(std::move(file));
                }
                break;
            case LineKind::Delta: deltas.push_back({lineNumber, line.text, line.sha256, line.size}); break;
            case LineKind::Packed: packed.push_back({lineNumber, line.text, line.sha256, line.size}); break;
            case LineKind::Pack: {
                const bool listed = std::any_of(out.packs.begin(), out.packs.end(),
                                                [&](const PackRecord& p) { return p.sha256 == line.sha256; });
                if (listed) {
                    out.issues.push_back({lineNumber, IssueKind::SecondPack, manifest_format::TrimLineEnd(raw), nullptr});
                } else {
                    out.packs.push_back({lineNumber, line.sha256, line.size});
                }
                break;
            }
            case LineKind::ZPack: {
                const bool listed = std::any_of(out.containers.begin(), out.containers.end(),
                                                [&](const PackRecord& c) { return c.sha256 == line.sha256; });
                if (listed) {
                    out.issues.push_back(
                        {lineNumber, IssueKind::SecondContainer, manifest_format::TrimLineEnd(raw), nullptr});
                } else {
                    out.containers.push_back({lineNumber, line.sha256, line.size});
                }
                break;
            }
            case LineKind::ZFile:
            case LineKind::ZChunks:
            case LineKind::ZPatch:
                encoded.push_back({lineNumber, line.kind, line.text, line.sha256, line.size, line.encoded});
                break;
            case LineKind::Malformed:
                out.issues.push_back({lineNumber,
                                      line.claimed == LineKind::Sequence ? IssueKind::BadSequence : IssueKind::Malformed,
                                      manifest_format::TrimLineEnd(raw), nullptr});
                break;
            case LineKind::UnsafePath:
                out.issues.push_back({lineNumber, IssueKind::UnsafePath, line.text, line.unsafeReason});
                break;
        }
    });
    MatchDeltaLines(deltas, out);
    MatchPackedLines(packed, out);
    MatchEncodedLines(encoded, out);
    std::stable_sort(out.issues.begin(), out.issues.end(),
                     [](const Issue<CharT>& a, const Issue<CharT>& b) { return a.line < b.line; });
    return out;
}

template ManifestLines<char> ReadManifestLines(std::string_view text);
template ManifestLines<wchar_t> ReadManifestLines(std::wstring_view text);

std::string_view WithoutByteOrderMark(std::string_view body) {
    return body.substr(manifest_format::ByteOrderMarkLength(body));
}

}  // namespace manifest_reader
