// The coming release fetched before it opens, on the real updater thread against the loopback host: what is
// staged, what the day takes from it, and what bad input leaves behind.
#include "PlayerTexts.h"
#include "update/Preload.h"

#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestSigner.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using testsupport::TestSigner;
using updatetest::FileLine;

namespace {

using Files = std::map<std::string, std::string>;

const std::string kReady = testsupport::Utf8(player_texts::kNextReady);
const std::string kAhead = "2099-01-01T00:00:00Z";
const std::string kPast = "2001-01-01T00:00:00Z";

// Serves a release's files below /patch/<folder>files/ and its signed manifest (or `body` as it is) at
// /patch/<folder>manifest.txt.
std::string Serve(LoopbackHttpServer& server, const std::string& folder, const Files& files,
                  const std::string& extraLines, const TestSigner* signer) {
    std::string manifest = "VERSION=" + (folder.empty() ? std::string("current") : folder) + "\n" + extraLines;
    for (const auto& file : files) {
        manifest += FileLine(file.first, file.second);
        std::string served = file.first;
        std::replace(served.begin(), served.end(), '\\', '/');
        server.RouteBody("/patch/" + folder + "files/" + served, file.second);
    }
    if (signer) manifest = signer->Sign(manifest);
    server.RouteBody("/patch/" + folder + "manifest.txt", manifest);
    return manifest;
}

std::string NextLine(const std::string& opens) {
    return "NEXT|next/manifest.txt|" + opens + "\n";
}

std::wstring Staged(const TempDir& dir, const std::string& content) {
    const std::string sha = testsupport::Sha256Hex(content);
    return dir / (std::wstring(kStagingFolderName) + L"\\" + std::wstring(sha.begin(), sha.end()));
}

// The names in the staging folder (through it when it is a link), sorted; "-" when there is no such folder.
std::vector<std::string> StagingEntries(const TempDir& dir) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((dir / (std::wstring(kStagingFolderName) + L"\\*")).c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return {"-"};
    std::vector<std::string> names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(testsupport::Utf8(name));
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> Names(std::vector<std::string> contents) {
    for (std::string& c : contents) c = testsupport::Sha256Hex(c);
    std::sort(contents.begin(), contents.end());
    return contents;
}

class PreloadTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::ClearLauncherRegistry();
        options.keys = {signer.PublicKeyHex()};
    }
    void TearDown() override { testsupport::ClearLauncherRegistry(); }

    void Install(const TempDir& dir, const Files& files) {
        for (const auto& file : files) ASSERT_TRUE(testsupport::WriteBytes(dir / testsupport::Wide(file.first), file.second));
    }
    static int NextFileRequests(const LoopbackHttpServer& server) {
        int count = 0;
        for (const std::string& path : server.RequestedPaths()) count += path.rfind("/patch/next/files/", 0) == 0 ? 1 : 0;
        return count;
    }

    TestSigner signer;
    updatetest::RunOptions options;
    const Files current{{"a.pak", "alpha"}, {"b.pak", "bravo"}, {"c.pak", "charlie"}};
    const Files coming{{"a.pak", "alpha"}, {"b.pak", "bravo, the next one"}, {"c.pak", "charlie"},
                       {"d.pak", "delta, new in the next one"}, {"e\\d.pak", "delta, new in the next one"}};
};

}  // namespace

// Announced: what the coming release changes is staged beside the untouched game, once (one copy of a content
// listed twice); on the day it is taken from there without a download, and the emptied staging folder goes.
TEST_F(PreloadTest, TheComingReleaseIsStagedOnceAndTakenOnTheDay) {
    LoopbackHttpServer server;
    TempDir dir;
    Install(dir, current);
    Serve(server, "", current, "SEQUENCE=10\n" + NextLine(kAhead), &signer);
    Serve(server, "next/", coming, "SEQUENCE=11\n", &signer);

    auto first = updatetest::RunUpdate(dir, L"Launcher.exe", options);
    ASSERT_TRUE(first.exited);
    EXPECT_EQ(first.Finished(), std::vector<std::string>{"F 0"});
    const std::vector<std::string> texts = first.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), testsupport::Utf8(L"預先下載下個版本 0%")), texts.end());
    EXPECT_EQ(texts.back(), kReady);
    EXPECT_EQ(StagingEntries(dir), Names({"bravo, the next one", "delta, new in the next one"}));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"b.pak"), "bravo");
    EXPECT_FALSE(testsupport::FileExists(dir / L"d.pak"));
    EXPECT_EQ(server.CountRequests("/patch/next/files/a.pak"), 0);
    EXPECT_EQ(NextFileRequests(server), 2);

    auto again = updatetest::RunUpdate(dir, L"Launcher.exe", options);
    EXPECT_EQ(again.Texts().back(), kReady);
    EXPECT_EQ(NextFileRequests(server), 2);

    // Opened: the coming manifest is the current one, its files served where the current ones were.
    Serve(server, "", coming, "SEQUENCE=12\n", &signer);
    auto day = updatetest::RunUpdate(dir, L"Launcher.exe", options);
    EXPECT_EQ(day.Finished(), std::vector<std::string>{"F 0"});
    EXPECT_TRUE(day.Logged("[Launcher][preload] 3 file(s), "));
    for (const auto& file : coming) EXPECT_EQ(testsupport::ReadBytes(dir / testsupport::Wide(file.first)), file.second);
    for (const char* path : {"b.pak", "d.pak", "e/d.pak"}) {
        EXPECT_EQ(server.CountRequests(std::string("/patch/files/") + path), 0) << path;
    }
    EXPECT_EQ(StagingEntries(dir), std::vector<std::string>{"-"});
}

// Whatever goes wrong, the installed game stays as it was, and no bytes the announced manifest does not vouch
// for stay in the staging folder (or reach a folder it links to).
TEST_F(PreloadTest, BadInputLeavesTheGameAndNoBadBytes) {
    const std::string fresh = "bravo, the next one";
    struct BadCase {
        const char* name;
        std::string nextLine;        // in the current manifest
        std::string comingBody;      // served as next/manifest.txt instead of the signed one, when not empty
        std::string comingSequence;  // of the signed one
        const char* stagedBefore;    // bytes left under fresh's staged name first, or null
        bool linkedStaging;          // the staging folder is a link to a folder outside
        bool opened;                 // the current manifest is the coming one (the day), without NEXT
        const char* logged;
        std::vector<std::string> stagedAfter;  // contents; {"-"}: no staging folder; {}: nothing in it
    };
    const std::vector<std::string> none{"-"};
    const std::vector<std::string> both{fresh, "delta, new in the next one"};
    const BadCase cases[] = {
        {"unsigned", NextLine(kAhead), "VERSION=x\nFILE|b.pak|5|" + std::string(64, 'a') + "\n", "", nullptr, false,
         false, "manifest announced at next/manifest.txt cannot be used", none},
        {"not newer", NextLine(kAhead), "", "SEQUENCE=10\n", nullptr, false, false, "is not above 10", none},
        {"broken", NextLine(kAhead), "<html>502 Bad Gateway</html>", "", nullptr, false, false, "cannot be used", none},
        {"opening in the past", NextLine(kPast), "", "SEQUENCE=11\n", nullptr, false, false,
         "was to open at 2001-01-01 00:00:00 UTC", none},
        {"staged file changed", NextLine(kAhead), "", "SEQUENCE=11\n", "bravo, the next onE", false, false,
         "the staged copy of b.pak changed on disk: deleted", both},
        {"staged file with another length", NextLine(kAhead), "", "SEQUENCE=11\n", "bravo, the next one!", false,
         false, "the staged copy of b.pak is not as fetched: deleted", both},
        {"staging folder is a link", NextLine(kAhead), "", "SEQUENCE=11\n", nullptr, true, false, "is a link", {}},
        {"withdrawn", "", "", "SEQUENCE=11\n", "bravo, the next one", false, false, "no release announced: 1", none},
        {"staged file changed before the day", "", "", "SEQUENCE=11\n", "bravo, the next onE", false, true,
         "the staged copy of b.pak changed on disk: deleted, fetched again", none},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::ClearLauncherRegistry();
        LoopbackHttpServer host;
        TempDir dir;
        TempDir outside;
        Install(dir, current);
        const std::wstring staging = dir / kStagingFolderName;
        if (c.linkedStaging) {
            ASSERT_TRUE(testsupport::MakeUnixLink(outside.Path(), staging, false));
        }
        if (c.stagedBefore) {
            CreateDirectoryW(staging.c_str(), nullptr);
            ASSERT_TRUE(testsupport::WriteBytes(Staged(dir, fresh), c.stagedBefore));
        }
        Serve(host, "", c.opened ? coming : current, "SEQUENCE=10\n" + c.nextLine, &signer);
        Serve(host, "next/", coming, c.comingSequence, &signer);
        if (!c.comingBody.empty()) host.RouteBody("/patch/next/manifest.txt", c.comingBody);

        auto run = updatetest::RunUpdate(dir, L"Launcher.exe", options);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 0"});
        EXPECT_TRUE(run.Logged(c.logged)) << c.logged;
        for (const auto& file : c.opened ? coming : current) {
            EXPECT_EQ(testsupport::ReadBytes(dir / testsupport::Wide(file.first)), file.second) << file.first;
        }
        EXPECT_EQ(StagingEntries(dir), c.stagedAfter == none ? none : Names(c.stagedAfter));
        if (c.nextLine == NextLine(kPast)) {
            EXPECT_EQ(host.CountRequests("/patch/next/manifest.txt"), 0);
        }
    }
}

// The disk keeps a gibibyte free beyond what is still to come: a coming release that would not leave it waits,
// and says so in the log.
TEST_F(PreloadTest, APreloadThatWouldFillTheDiskWaits) {
    LoopbackHttpServer server;
    TempDir dir;
    Install(dir, current);
    Serve(server, "", current, "SEQUENCE=10\n" + NextLine(kAhead), &signer);
    Serve(server, "next/", current, "SEQUENCE=11\nFILE|huge.pak|1125899906842624|" + std::string(64, 'b') + "\n", &signer);
    auto run = updatetest::RunUpdate(dir, L"Launcher.exe", options);
    EXPECT_TRUE(run.Logged("[Launcher][preload] waits for disk space: "));
    EXPECT_TRUE(run.Logged(" still to fetch and 1073741824 kept free"));
    EXPECT_EQ(NextFileRequests(server), 0);
    EXPECT_EQ(StagingEntries(dir), std::vector<std::string>{"-"});
}
