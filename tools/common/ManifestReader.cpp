#include "common/ManifestReader.h"

#include "common/PathRules.h"

#include <algorithm>
#include <map>

namespace manifest_reader {

namespace {

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
    std::map<std::basic_string<CharT>, FileRecord<CharT>*> byKey;
    for (FileRecord<CharT>& f : out.files) byKey.emplace(path_rules::FileKey(f.path), &f);
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
    std::map<std::basic_string<CharT>, FileRecord<CharT>*> byKey;
    for (FileRecord<CharT>& f : out.files) byKey.emplace(path_rules::FileKey(f.path), &f);
    std::map<std::string, std::uint64_t> packSizes;
    for (const PackRecord& p : out.packs) packSizes.emplace(p.sha256, p.size);
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

}  // namespace

template <typename CharT>
ManifestLines<CharT> ReadManifestLines(std::basic_string_view<CharT> text) {
    using manifest_format::LineKind;
    ManifestLines<CharT> out;
    std::vector<DeltaLine<CharT>> deltas;
    std::vector<DeltaLine<CharT>> packed;  // the pack's digest, and the offset as `size`
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
            case LineKind::Check:
                out.quickCheck = line.text == std::basic_string_view<CharT>(
                                                  path_rules::FromAscii<CharT>(manifest_format::kQuickCheck));
                break;
            case LineKind::LauncherSelf: out.launcherSelf = LauncherRecord{line.size, line.sha256}; break;
            case LineKind::File:
                if (path_rules::IsTopLevelLauncher(line.text)) {
                    out.issues.push_back({lineNumber, IssueKind::TopLevelLauncher, line.text, nullptr});
                } else {
                    out.files.push_back({lineNumber, line.text, line.size, line.sha256, false, std::string(), 0,
                                          false, std::string(), 0});
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
