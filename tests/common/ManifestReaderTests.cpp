#include <gtest/gtest.h>

#include "common/ManifestReader.h"

#include <string>
#include <vector>

namespace {

const std::string kA(64, 'a');
const std::string kB(64, 'b');

std::string At(const manifest_format::EncodedAt& at) {
    return at.containerSha256.substr(0, 1) + "@" + std::to_string(at.offset) + "+" + std::to_string(at.length);
}

// What a reading gives, as one line per file and per issue, so that both programs' readings compare.
template <typename CharT>
std::vector<std::string> Summary(const manifest_reader::ManifestLines<CharT>& lines) {
    auto narrow = [](std::basic_string_view<CharT> text) { return std::string(text.begin(), text.end()); };
    std::vector<std::string> out;
    for (const auto& f : lines.files) {
        out.push_back(std::to_string(f.line) + " FILE " + narrow(f.path) + " " + std::to_string(f.size) +
                      (f.hasDelta ? " delta " + f.deltaSha256.substr(0, 1) + " " + std::to_string(f.deltaSize) : "") +
                      (f.hasPack ? " pack " + f.packSha256.substr(0, 1) + " @" + std::to_string(f.packOffset) : "") +
                      (f.hasZFile ? " z " + At(f.zfile) : "") +
                      (f.hasZChunks ? " chunks " + f.framesSha256.substr(0, 1) + " " + At(f.zchunks) : ""));
        for (const auto& p : f.patches) out.back() += " patch " + p.baseSha256.substr(0, 1) + " " + At(p.at);
    }
    for (const auto& c : lines.containers) out.push_back(std::to_string(c.line) + " ZPACK " + c.sha256.substr(0, 1));
    for (const auto& p : lines.packs) out.push_back(std::to_string(p.line) + " PACK " + p.sha256.substr(0, 1) + " " + std::to_string(p.size));
    for (const auto& i : lines.issues) {
        out.push_back(std::to_string(i.line) + " issue " + std::to_string(static_cast<int>(i.kind)) + " " + narrow(i.text));
    }
    if (lines.launcherShare) out.push_back("share " + std::to_string(*lines.launcherShare));
    if (lines.next) out.push_back("next " + narrow(lines.next->manifestPath) + " " + std::to_string(lines.next->opensAt));
    out.push_back("quick " + std::string(!lines.quickCheck ? "unset" : *lines.quickCheck ? "yes" : "no"));
    out.push_back("recognised " + std::to_string(lines.recognisedLines));
    return out;
}

TEST(ManifestReader, BytesAndWideTextReadAlikeWithDeltasAndIssuesInLineOrder) {
    using K = manifest_reader::IssueKind;
    auto issue = [](int line, K kind, const std::string& text) {
        return std::to_string(line) + " issue " + std::to_string(static_cast<int>(kind)) + " " + text;
    };
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"a DELTA line before its FILE line, names compared as Windows does",
         "DELTA|DATA\\A.pak|" + kB + "|44\nFILE|data/a.pak|10|" + kA + "\n",
         {"2 FILE data/a.pak 10 delta b 44", "quick unset", "recognised 2"}},
        {"the first FILE line with the path takes the first DELTA line",
         "FILE|a|1|" + kA + "\nFILE|A|2|" + kA + "\nDELTA|a|" + kB + "|5\nDELTA|a|" + kA + "|6\n",
         {"1 FILE a 1 delta b 5", "2 FILE A 2", issue(4, K::SecondDelta, "a"), "quick unset", "recognised 4"}},
        {"the top-level launcher is left out, also for its DELTA line; one below a folder stays",
         "FILE|launcher.EXE|1|" + kA + "\nDELTA|Launcher.exe|" + kB + "|5\nFILE|sub\\Launcher.exe|1|" + kA,
         {"3 FILE sub\\Launcher.exe 1", issue(1, K::TopLevelLauncher, "launcher.EXE"),
          issue(2, K::DeltaWithoutFile, "Launcher.exe"), "quick unset", "recognised 3"}},
        {"malformed records, a bad SEQUENCE and unsafe paths, trimmed lines named",
         "# note\nFILE|a|1|abc \r\nSEQUENCE=1x\nFILE|../up|1|" + kA + "\nDELTA|b|" + kB + "|0\nCHECK=quick\nCHECK=full",
         {issue(2, K::Malformed, "FILE|a|1|abc"), issue(3, K::BadSequence, "SEQUENCE=1x"),
          issue(4, K::UnsafePath, "../up"), issue(5, K::Malformed, "DELTA|b|" + kB + "|0"), "quick no",
          "recognised 6"}},
        {"PACKED lines count only for a listed file inside a listed pack",
         "PACK|" + kA + "|100\nFILE|a|10|" + kB + "\nPACKED|a|" + kA + "|0\nFILE|b|10|" + kB + "\nPACKED|b|" + kA +
             "|95\nPACKED|c|" + kA + "|0\nPACKED|A|" + kA + "|5\nFILE|d|1|" + kA + "\nPACKED|d|" + kB + "|0\nPACK|" + kA +
             "|100\nPACK|x|1",
         {"2 FILE a 10 pack a @0", "4 FILE b 10", "8 FILE d 1", "1 PACK a 100", issue(5, K::PackedOutsidePack, "b"),
          issue(6, K::PackedWithoutFile, "c"), issue(7, K::SecondPacked, "A"), issue(9, K::PackedWithoutPack, "d"),
          issue(10, K::SecondPack, "PACK|" + kA + "|100"), issue(11, K::Malformed, "PACK|x|1"), "quick unset",
          "recognised 11"}},
        {"compressed copies and patches count only for a listed file inside a listed container, exactly written",
         "ZPACK|" + kA + "|100\nFILE|a|10|" + kB + "\nZFILE|a|" + kA + "|0|40\nZCHUNKS|a|" + kB + "|50|" + kA +
             "|40|50\nZPATCH|a|" + kB + "|9|" + kA + "|90|10\nZPATCH|A|" + kB + "|9|" + kA + "|0|1\nZPATCH|a|" + kA +
             "|9|" + kA + "|95|6\nZFILE|b|" + kA + "|0|1\nZFILE|a|" + kB + "|0|1\nZPATCH|a|" + kA + "|0|" + kA +
             "|0|1\nZFILE|a|" + std::string(64, 'A') + "|0|1\nZPACK|" + kA + "|100",
         {"2 FILE a 10 z a@0+40 chunks b a@40+50 patch b a@90+10", "1 ZPACK a", issue(6, K::SecondEncoded, "A"),
          issue(7, K::EncodedOutsideContainer, "a"), issue(8, K::EncodedWithoutFile, "b"),
          issue(9, K::SecondEncoded, "a"), issue(10, K::Malformed, "ZPATCH|a|" + kA + "|0|" + kA + "|0|1"),
          issue(11, K::Malformed, "ZFILE|a|" + std::string(64, 'A') + "|0|1"),
          issue(12, K::SecondContainer, "ZPACK|" + kA + "|100"), "quick unset", "recognised 12"}},
        {"a launcher's share: the whole at most, five digits at most, a later line wins",
         "LAUNCHER_SHARE=2500\nLAUNCHER_SHARE=10001\nLAUNCHER_SHARE=\nLAUNCHER_SHARE=012.5\nLAUNCHER_SHARE=00012",
         {issue(2, K::Malformed, "LAUNCHER_SHARE=10001"), issue(3, K::Malformed, "LAUNCHER_SHARE="),
          issue(4, K::Malformed, "LAUNCHER_SHARE=012.5"), "share 12", "quick unset", "recognised 5"}},
        {"the coming release: a folder path to manifest.txt and a real UTC time; a later line wins",
         "NEXT|next/manifest.txt|2026-12-17T03:00:00Z\nNEXT|../manifest.txt|2026-12-17T03:00:00Z\n"
         "NEXT|next\\x/manifest.txt|2026-12-17T03:00:00Z\nNEXT|next/manifest.zst|2026-12-17T03:00:00Z\n"
         "NEXT|next/manifest.txt|2027-02-29T00:00:00Z\nNEXT|next/manifest.txt|2026-12-17 03:00:00\n"
         "NEXT|manifest.txt|2026-12-17T03:00:00Z\nNEXT|a/./manifest.txt|2026-12-17T03:00:00Z\n"
         "NEXT|r-2.1/b_c/manifest.txt|2028-02-29T23:59:59Z",
         {issue(2, K::Malformed, "NEXT|../manifest.txt|2026-12-17T03:00:00Z"),
          issue(3, K::Malformed, "NEXT|next\\x/manifest.txt|2026-12-17T03:00:00Z"),
          issue(4, K::Malformed, "NEXT|next/manifest.zst|2026-12-17T03:00:00Z"),
          issue(5, K::Malformed, "NEXT|next/manifest.txt|2027-02-29T00:00:00Z"),
          issue(6, K::Malformed, "NEXT|next/manifest.txt|2026-12-17 03:00:00"),
          issue(7, K::Malformed, "NEXT|manifest.txt|2026-12-17T03:00:00Z"),
          issue(8, K::Malformed, "NEXT|a/./manifest.txt|2026-12-17T03:00:00Z"),
          "next r-2.1/b_c/manifest.txt 1835481599", "quick unset", "recognised 9"}},
        {"no manifest line at all", "<html>\n</html>\n", {"quick unset", "recognised 0"}},
    };
    for (const Case& c : cases) {
        const auto bytes = manifest_reader::ReadManifestLines(std::string_view(c.text));
        const std::wstring wide(c.text.begin(), c.text.end());
        const auto units = manifest_reader::ReadManifestLines(std::wstring_view(wide));
        EXPECT_EQ(Summary(bytes), c.expected) << c.name;
        EXPECT_EQ(Summary(units), c.expected) << c.name;
    }
}

TEST(ManifestReader, OnlyTheUtf8ByteOrderMarkIsSkipped) {
    EXPECT_EQ(manifest_reader::WithoutByteOrderMark("\xEF\xBB\xBFVERSION=1"), "VERSION=1");
    EXPECT_EQ(manifest_reader::WithoutByteOrderMark("\xEF\xBBVERSION=1"), "\xEF\xBBVERSION=1");
    EXPECT_EQ(manifest_reader::WithoutByteOrderMark("\xFF\xFEV"), "\xFF\xFEV");
    EXPECT_EQ(manifest_reader::WithoutByteOrderMark("\xEF\xBB\xBF"), "");
}

}  // namespace
