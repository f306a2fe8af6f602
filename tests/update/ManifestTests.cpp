#include "common/PathRules.h"
#include "update/Manifest.h"

#include "ChildProcesses.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <random>

namespace {

const std::string kDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

Manifest Parse(const std::string& text) {
    Manifest m;
    EXPECT_TRUE(ParseManifest(text, m));
    return m;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

bool IsLowerHex64(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace

TEST(ManifestTest, EmptyBodyFailsAndLeavesRecordAlone) {
    Manifest m;
    m.version = L"keep";
    EXPECT_FALSE(ParseManifest("", m));
    EXPECT_EQ(m.version, L"keep");
}

TEST(ManifestTest, BomOnlyIsAnEmptyManifest) {
    Manifest m = Parse("\xEF\xBB\xBF");
    EXPECT_TRUE(m.files.empty());
    EXPECT_EQ(m.recognisedLines, 0u);
    EXPECT_TRUE(m.launcherSelf.sha256.empty());
}

TEST(ManifestTest, FileLineWithUpperCaseDigestAndCarriageReturn) {
    Manifest m = Parse("\xEF\xBB\xBF" "FILE|data\\a.pak|100|" + Upper(kDigest) + "\r\n");
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, L"data\\a.pak");
    EXPECT_EQ(m.files[0].size, 100u);
    EXPECT_EQ(m.files[0].sha256, kDigest);
}

TEST(ManifestTest, LineEndsAndTrailingWhitespace) {
    // CR alone does not split lines; trailing CR/space/tab in any mix are trimmed; the last line needs no LF.
    Manifest m = Parse("VERSION=1.0 \t\r\r\nSTATUS=ok\rNEWS=x\nFILE|a|1|" + kDigest + "\t \r");
    EXPECT_EQ(m.version, L"1.0");
    EXPECT_EQ(m.status, L"ok\rNEWS=x");
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].sha256, kDigest);
}

TEST(ManifestTest, DigestFieldFiltering) {
    std::string spaced;
    for (std::size_t i = 0; i < 64; i += 8) spaced += kDigest.substr(i, 8) + " ";
    std::string colons;
    for (std::size_t i = 0; i < 64; i += 2) colons += kDigest.substr(i, 2) + (i + 2 < 64 ? ":" : "");
    struct Case {
        std::string digestField;
        bool accepted;
    } cases[] = {
        {kDigest, true},
        {Upper(kDigest), true},
        {spaced, true},
        {colons, true},
        {kDigest.substr(0, 63), false},
        {kDigest + "0", false},
        {"sha256:" + kDigest, false},  // "a256" of the name are taken as digits: 68 of them
        {"", false},
    };
    for (const Case& c : cases) {
        Manifest m = Parse("FILE|x.bin|5|" + c.digestField + "\n");
        EXPECT_EQ(m.files.size(), c.accepted ? 1u : 0u) << c.digestField;
        if (c.accepted && !m.files.empty()) {
            EXPECT_EQ(m.files[0].sha256, kDigest);
        }
    }
}

TEST(ManifestTest, SizeFieldRules) {
    struct Case {
        std::string field;
        std::uint64_t size;
    } cases[] = {
        {"42", 42}, {" 42abc", 42}, {"abc", 0}, {"", 0}, {"+7", 7}, {"\t12", 12},
        {"9999999999999999999999999", 18446744073709551615ull}, {"18446744073709551615", 18446744073709551615ull},
        {"18446744073709551616", 18446744073709551615ull}, {"0", 0},
    };
    for (const Case& c : cases) {
        Manifest m = Parse("FILE|x|" + c.field + "|" + kDigest + "\n");
        ASSERT_EQ(m.files.size(), 1u) << c.field;
        EXPECT_EQ(m.files[0].size, c.size) << c.field;
    }
}

TEST(ManifestTest, KeysAreExactPrefixes) {
    const std::string file = "|a|1|" + kDigest;
    const char* unrecognised[] = {"file", " FILE", "FILE ", "FILES", "#FILE", "version=1", " VERSION=1",
                                  "VERSION 1", "VERSION", "LAUNCHER_SELF 5|", "NEWS:x", "STATUS"};
    for (const char* key : unrecognised) {
        std::string line = key;
        if (line.find("FILE") != std::string::npos || line == "file") line += file;
        Manifest m = Parse(line + "\n");
        EXPECT_TRUE(m.files.empty()) << line;
        EXPECT_TRUE(m.version.empty()) << line;
        EXPECT_TRUE(m.status.empty()) << line;
        EXPECT_TRUE(m.news.empty()) << line;
        EXPECT_EQ(m.recognisedLines, 0u) << line;
    }
}

TEST(ManifestTest, RecordFieldCounts) {
    Manifest m = Parse("FILE|a|1|" + kDigest + "|extra|more\nFILE|b|2\nFILE||3|" + kDigest + "\nFILE|c|0|" + kDigest +
                       "\n");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].path, L"a");
    EXPECT_EQ(m.files[1].path, L"c");
    EXPECT_EQ(m.files[1].size, 0u);
    EXPECT_EQ(m.recognisedLines, 4u);
}

TEST(ManifestTest, LaterLinesWinAndDuplicatesStay) {
    const std::string other(64, 'e');
    Manifest m = Parse("VERSION=1\nVERSION=2\nNEWS=\xE6\x96\xB0\xE8\x81\x9E|x\nLAUNCHER_SELF|10|" + kDigest +
                       "\nLAUNCHER_SELF|20|" + other + "\nLAUNCHER_SELF|0|" + kDigest + "\nLAUNCHER_SELF|30|abc\n" +
                       "FILE|a|1|" + kDigest + "\nFILE|a|2|" + other + "\n");
    EXPECT_EQ(m.version, L"2");
    EXPECT_EQ(m.news, L"\u65B0\u805E|x");
    EXPECT_EQ(m.launcherSelf.size, 20u);
    EXPECT_EQ(m.launcherSelf.sha256, other);
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[1].size, 2u);
}

TEST(ManifestTest, DeltaLinesGoToTheirFileEntries) {
    const std::string other(64, 'e');
    // Before its FILE line, in another ASCII case, a second one, an orphan, a malformed and an unsafe one.
    Manifest m = Parse("DELTA|Data/A.pak|" + other + "|800\nFILE|data\\a.pak|100|" + kDigest + "\nFILE|b|1|" + kDigest +
                       "\nDELTA|data/a.pak|" + kDigest + "|900\nDELTA|zz|" + other + "|80\nDELTA|b|" + other +
                       "|0\nDELTA|../b|" + other + "|80\n");
    ASSERT_EQ(m.files.size(), 2u);
    EXPECT_EQ(m.files[0].offers.deltaIndexSha256, other);
    EXPECT_EQ(m.files[0].offers.deltaIndexSize, 800u);
    EXPECT_TRUE(m.files[1].offers.deltaIndexSha256.empty());
    EXPECT_EQ(m.files[1].offers.deltaIndexSize, 0u);
    EXPECT_EQ(m.recognisedLines, 7u);
}

TEST(ManifestTest, InvalidUtf8IsReplacedNotFatal) {
    Manifest m = Parse("VERSION=\xFF\xFE" "bad\nFILE|d\xC3(x|3|" + kDigest + "\n");
    EXPECT_EQ(m.version.size(), 5u);  // two replacement characters, then "bad"
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_NE(m.files[0].path.find(L'\xFFFD'), std::wstring::npos);
}

TEST(ManifestTest, ChineseAndMixedSeparatorPathsKeptAsWritten) {
    Manifest m = Parse("FILE|Data/\xE9\x9F\xB3\xE6\xA8\x82\\Bg.MP3|3|" + kDigest + "\n");
    ASSERT_EQ(m.files.size(), 1u);
    EXPECT_EQ(m.files[0].path, L"Data/\u97F3\u6A02\\Bg.MP3");
}

// Paths that would let a manifest write outside the launcher's directory, or to a device.
TEST(ManifestTest, UnsafePathsAreRefusedWithADebugLine) {
    const char* unsafe[] = {
        "C:\\Windows\\evil.dll", "c:evil.dll", "\\abs.dll", "/abs.dll", "\\\\server\\share\\x", "..\\up.dll",
        "data/../../up.dll", "data\\..", "a.txt:stream", "CON", "con.txt", "data\\NUL", "data/aux.log",
        "COM1", "lpt9.dat", "PRN.x.y", "name.", "dir./x", "dir /x", "trail ", "tab\there", "nl\x01x", "x\x7f", ".",
        "data\\.\\x.", "data\\..\\x",
    };
    for (const char* path : unsafe) {
        testsupport::ChildRun run =
            testsupport::RunChildRoutine("ParseOneFileLine", {testsupport::Wide(std::string("FILE|") + path + "|1|" + kDigest)});
        ASSERT_TRUE(run.exited) << path << (run.started ? ": did not end" : ": not started, error ") << run.startError;
        int refusals = 0;
        std::string lines;
        for (const std::string& line : run.debugLines) {
            if (line.rfind("[Launcher][updater] ", 0) == 0 && line.find("refused") != std::string::npos) ++refusals;
            lines += line;
        }
        EXPECT_EQ(run.exitCode, 0u) << path << " was accepted; its lines:\n" << lines;
        EXPECT_EQ(refusals, 1) << path << "; its lines:\n" << lines;
    }
}

TEST(ManifestTest, SafeNamesThatLookAlikeAreAccepted) {
    const char* safe[] = {"data\\a..b.pak", "..data\\x", "CONFIG.ini", "console.dat", "com10.bin", "lpt.txt",
                          "nul_file", "data/auxiliary/x.bin", "a\\\\b", "sub/Launcher.exe", ".hidden", "x.y.z",
                          "dir\\...x", "COM0.txt"};
    for (const char* path : safe) {
        Manifest m = Parse(std::string("FILE|") + path + "|1|" + kDigest + "\n");
        ASSERT_EQ(m.files.size(), 1u) << path << " was refused";
        EXPECT_EQ(testsupport::Utf8(m.files[0].path), path);
    }
}

TEST_CHILD_ROUTINE(ParseOneFileLine) {
    Manifest m;
    ParseManifest(testsupport::Utf8(args.at(0)) + "\n", m);
    return static_cast<int>(m.files.size());
}

// Generated and mutated manifests never crash the parser, and what it accepts is always usable.
TEST(ManifestTest, RandomisedInputsKeepTheInvariants) {
    std::mt19937 rng(20261208);
    const std::string pieces[] = {"FILE|", "LAUNCHER_SELF|", "VERSION=", "STATUS=", "NEWS=", "|", "\n", "\r", " ",
                                  "\t", "#", "..", "\\", "/", ":", "C:", "CON", "nul.txt", "data", "a.pak", kDigest,
                                  kDigest.substr(0, 10), "123", "-5", "99999999999999999999999", "\xEF\xBB\xBF",
                                  "\xE4\xB8\xAD", "\xFF", "\xC3", std::string(1, '\0'), ".", " .", "ABCDEF"};
    std::size_t accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        int parts = static_cast<int>(rng() % 40);
        for (int i = 0; i < parts; ++i) {
            if (rng() % 8 == 0) {
                text.push_back(static_cast<char>(rng() & 0xFF));
            } else {
                text += pieces[rng() % (sizeof(pieces) / sizeof(pieces[0]))];
            }
        }
        if (rng() % 3 == 0) text += "\nFILE|dir/f" + std::to_string(round) + ".bin|" + std::to_string(rng()) + "|" + kDigest;
        Manifest m;
        bool ok = ParseManifest(text, m);
        ASSERT_EQ(ok, !text.empty());
        for (const ManifestFile& f : m.files) {
            ASSERT_FALSE(f.path.empty());
            ASSERT_EQ(path_rules::UnsafePathReason(std::wstring_view(f.path)), nullptr);
            ASSERT_TRUE(IsLowerHex64(f.sha256)) << f.sha256;
            ++accepted;
        }
        if (!m.launcherSelf.sha256.empty()) {
            ASSERT_TRUE(IsLowerHex64(m.launcherSelf.sha256));
            ASSERT_NE(m.launcherSelf.size, 0u);
        }
    }
    EXPECT_GT(accepted, 1000u);  // the generator really reaches the accepting paths
}
