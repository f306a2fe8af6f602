#include <gtest/gtest.h>

#include "common/ManifestFormat.h"
#include "PatchManifest.h"

namespace {

const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const std::string kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(PatchManifest, WrittenTextReadsBackThroughLauncherRules) {
    PatchManifest m;
    m.version = "2.0.1";
    m.status = "\xE6\xAD\xA3\xE5\xB8\xB8";  // 正常
    m.news = "";
    m.quickCheck = true;
    m.launcherSelf = PatchLauncherEntry{4096, kAbc};
    m.launcherShare = 2500;
    m.files = {{"data/a.bin", 3, kAbc, PatchDeltaIndex{kEmpty, 80}},
               {"\xE8\xB3\x87\xE6\x96\x99/x.txt", 0, kEmpty, std::nullopt, std::nullopt},
               {"#odd name", 1, kAbc, std::nullopt, std::nullopt}};
    std::string text = FormatPatchManifest(m);

    EXPECT_NE(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');

    // Straight through the shared line classifier, as the launcher reads it.
    std::vector<std::string> seen;
    manifest_format::ForEachRawLine(std::string_view(text), [&](std::string_view raw) {
        using manifest_format::LineKind;
        const manifest_format::ParsedLine<char> line = manifest_format::ParseLine(raw);
        switch (line.kind) {
            case LineKind::Version: seen.push_back("V " + std::string(line.text)); break;
            case LineKind::Status: seen.push_back("S " + std::string(line.text)); break;
            case LineKind::News: seen.push_back("N " + std::string(line.text)); break;
            case LineKind::Check: seen.push_back("C " + std::string(line.text)); break;
            case LineKind::LauncherSelf: seen.push_back("L " + std::to_string(line.size) + " " + line.sha256); break;
            case LineKind::File:
                seen.push_back("F " + std::string(line.text) + " " + std::to_string(line.size) + " " + line.sha256);
                break;
            case LineKind::Delta:
                seen.push_back("D " + std::string(line.text) + " " + line.sha256 + " " + std::to_string(line.size));
                break;
            case LineKind::Sequence: seen.push_back("Q " + std::to_string(line.size)); break;
            case LineKind::LauncherShare: seen.push_back("R " + std::to_string(line.size)); break;
            case LineKind::Malformed: seen.push_back("malformed"); break;
            case LineKind::UnsafePath: seen.push_back("unsafe"); break;
            case LineKind::Ignored: break;
        }
    });
    std::vector<std::string> expected = {
        "V 2.0.1",
        "S \xE6\xAD\xA3\xE5\xB8\xB8",
        "N ",
        "C quick",
        "L 4096 " + kAbc,
        "R 2500",
        "F data/a.bin 3 " + kAbc,
        "D data/a.bin " + kEmpty + " 80",
        "F \xE8\xB3\x87\xE6\x96\x99/x.txt 0 " + kEmpty,
        "F #odd name 1 " + kAbc,
    };
    EXPECT_EQ(seen, expected);

    std::vector<ManifestIssue> issues;
    PatchManifest back = ReadPatchManifest(text, &issues);
    EXPECT_TRUE(issues.empty());
    EXPECT_EQ(back.version, m.version);
    EXPECT_EQ(back.status, m.status);
    EXPECT_EQ(back.news, m.news);
    EXPECT_TRUE(back.quickCheck);
    ASSERT_TRUE(back.launcherSelf.has_value());
    EXPECT_EQ(back.launcherSelf->size, 4096u);
    EXPECT_EQ(back.launcherSelf->sha256, kAbc);
    EXPECT_EQ(back.launcherShare, std::optional<std::uint32_t>(2500));
    ASSERT_EQ(back.files.size(), m.files.size());
    for (std::size_t i = 0; i < m.files.size(); ++i) {
        EXPECT_EQ(back.files[i].path, m.files[i].path);
        EXPECT_EQ(back.files[i].size, m.files[i].size);
        EXPECT_EQ(back.files[i].sha256, m.files[i].sha256);
        EXPECT_EQ(back.files[i].delta.has_value(), m.files[i].delta.has_value());
        if (back.files[i].delta && m.files[i].delta) {
            EXPECT_EQ(back.files[i].delta->sha256, m.files[i].delta->sha256);
            EXPECT_EQ(back.files[i].delta->size, m.files[i].delta->size);
        }
    }
}

struct ReadCase {
    const char* name;
    std::string text;
    std::vector<std::string> files;           // paths read
    std::vector<std::size_t> issueLines;      // 1-based lines reported
    bool hasLauncherSelf;
    std::string version;
};

TEST(PatchManifest, ReadsLikeTheLauncher) {
    const std::string upper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    const ReadCase cases[] = {
        {"bom and crlf", "\xEF\xBB\xBFVERSION=1\r\nLAUNCHER_SELF|5|" + kAbc + "\r\nFILE|a|3|" + kAbc + " \t\r\n",
         {"a"}, {}, true, "1"},
        {"comments, blanks, unknown keys, later version wins",
         "# c\n\nVERSION=1\nOTHER=x\nVERSION=2\nLAUNCHER_SELF|5|" + kAbc + "\nFILE|b|3|" + kAbc, {"b"}, {}, true,
         "2"},
        {"key is case-sensitive", "version=1\nfile|a|3|" + kAbc + "\n", {}, {}, false, ""},
        {"zero-size LAUNCHER_SELF is malformed", "LAUNCHER_SELF|0|" + kAbc + "\n", {}, {1}, false, ""},
        {"short digest is malformed", "LAUNCHER_SELF|5|abc\nFILE|a|3|abc\n", {}, {1, 2}, false, ""},
        {"missing field", "FILE|a|3\n", {}, {1}, false, ""},
        {"unsafe paths", "FILE|../x|3|" + kAbc + "\nFILE|/abs|3|" + kAbc + "\nFILE|C:x|3|" + kAbc + "\nFILE|ok|3|" + kAbc,
         {"ok"}, {1, 2, 3}, false, ""},
        {"top-level Launcher.exe dropped", "FILE|launcher.EXE|3|" + kAbc + "\nFILE|sub\\Launcher.exe|3|" + kAbc,
         {"sub\\Launcher.exe"}, {1}, false, ""},
        {"digest filtered and lower-cased", "FILE|a|3|" + upper, {"a"}, {}, false, ""},
        {"DELTA lines: before their FILE, other case, orphan, second, malformed",
         "DELTA|A|" + kAbc + "|80\nFILE|a|3|" + kAbc + "\nDELTA|zz|" + kAbc + "|80\nDELTA|a|" + kAbc +
             "|90\nDELTA|a|" + kAbc + "|0\n",
         {"a"}, {3, 4, 5}, false, ""},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<ManifestIssue> issues;
        PatchManifest m = ReadPatchManifest(c.text, &issues);
        std::vector<std::string> files;
        for (const PatchFileEntry& f : m.files) {
            files.push_back(f.path);
            EXPECT_EQ(f.sha256, kAbc);
            EXPECT_EQ(f.size, 3u);
        }
        EXPECT_EQ(files, c.files);
        std::vector<std::size_t> lines;
        for (const ManifestIssue& i : issues) lines.push_back(i.line);
        EXPECT_EQ(lines, c.issueLines);
        EXPECT_EQ(m.launcherSelf.has_value(), c.hasLauncherSelf);
        EXPECT_EQ(m.version.value_or(""), c.version);
        if (c.text.find("DELTA|") != std::string::npos) {
            ASSERT_EQ(m.files.size(), 1u);
            ASSERT_TRUE(m.files[0].delta.has_value());
            EXPECT_EQ(m.files[0].delta->size, 80u) << "the first DELTA line for a path wins";
        } else {
            for (const PatchFileEntry& f : m.files) EXPECT_FALSE(f.delta.has_value());
        }
    }
}

}  // namespace
