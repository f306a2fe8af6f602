// The machine's local mirrors (LocalMirrors under HKEY_LOCAL_MACHINE) in whole update runs: asked first for
// every file, never for the manifest, checked like any host, and skipped for the rest of a run once found down.
#include "PlayerTexts.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using updatetest::Publish;
using updatetest::RunUpdate;

namespace {

const std::string kUpdated = testsupport::Utf8(player_texts::kUpdated);

// Nothing listens here during the tests: a cache that is switched off.
constexpr unsigned short kDownPort = 19169;

std::string MirrorUrl(unsigned short port) { return "http://127.0.0.1:" + std::to_string(port) + "/patch/"; }

int CountLines(const std::vector<std::string>& lines, const std::string& fragment) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(fragment) != std::string::npos; }));
}

int CountFileRequests(const LoopbackHttpServer& server) {
    int n = 0;
    for (const std::string& path : server.RequestedPaths()) n += path.rfind("/patch/files/", 0) == 0 ? 1 : 0;
    return n;
}

class LocalMirrorTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::ClearLauncherRegistry(); }
    void TearDown() override { testsupport::ClearLauncherRegistry(); }
};

TEST_F(LocalMirrorTest, MirrorFirstOriginForWhatItCannotGive) {
    std::map<std::string, std::string> files;
    std::uint64_t total = 0;
    for (int i = 0; i < 10; ++i) {
        const std::string content(1000 + i, static_cast<char>('a' + i));
        files["d/f" + std::to_string(i) + ".bin"] = content;
        total += content.size();
    }
    const std::string wrongPath = "d/f3.bin";
    struct Case {
        const char* name;
        bool mirrorUp;
        bool wrongFile;    // the mirror serves other bytes for one file
        bool missingFile;  // the mirror answers 404 for one file
        const char* extraEntries;
    };
    const Case cases[] = {
        {"the mirror has everything: the origin sends no file", true, false, false, ""},
        {"one file wrong on the mirror: it alone comes from the origin", true, true, false, ""},
        {"one file missing on the mirror: it alone comes from the origin", true, false, true, ""},
        {"entries that are no mirror URLs are dropped, the good one used", true, false, false,
         "ftp://127.0.0.1/patch/; http://127.0.0.1:19168/patch;  ;"},
        {"the mirror is down: everything from the origin, its failure noted once", false, false, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LoopbackHttpServer origin;
        ASSERT_TRUE(origin.Started());
        Publish(origin, files);
        LoopbackHttpServer mirror(testsupport::kLoopbackPort + 1);
        ASSERT_TRUE(mirror.Started());
        if (c.mirrorUp) {
            Publish(mirror, files);
            if (c.wrongFile) mirror.RouteBody("/patch/files/" + wrongPath, std::string(files[wrongPath].size(), 'X'));
            if (c.missingFile) mirror.Route("/patch/files/" + wrongPath, testsupport::HttpResponse{404, "gone"});
        }
        const std::string mirrorUrl = MirrorUrl(c.mirrorUp ? testsupport::kLoopbackPort + 1 : kDownPort);
        const std::string value = std::string(c.extraEntries) + mirrorUrl;
        ASSERT_TRUE(testsupport::WriteMachineString(L"LocalMirrors", std::wstring(value.begin(), value.end())));

        const auto run = RunUpdate(dir);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 0"});
        ASSERT_FALSE(run.Texts().empty());
        EXPECT_EQ(run.Texts().back(), kUpdated);
        for (const auto& file : files) {
            std::wstring local(file.first.begin(), file.first.end());
            std::replace(local.begin(), local.end(), L'/', L'\\');
            EXPECT_EQ(testsupport::ReadBytes(dir / local), file.second) << file.first;
        }

        EXPECT_EQ(mirror.CountRequests("/patch/manifest.txt"), 0);
        EXPECT_EQ(origin.CountRequests("/patch/manifest.txt"), 1);
        const bool oneFromOrigin = c.wrongFile || c.missingFile;
        const int originFiles = c.mirrorUp ? (oneFromOrigin ? 1 : 0) : static_cast<int>(files.size());
        EXPECT_EQ(CountFileRequests(origin), originFiles);
        if (oneFromOrigin) {
            EXPECT_EQ(origin.CountRequests("/patch/files/" + wrongPath), 1);
        }
        if (c.mirrorUp) {
            EXPECT_EQ(CountFileRequests(mirror), static_cast<int>(files.size()));
        }

        const std::uint64_t fromMirror =
            !c.mirrorUp ? 0 : oneFromOrigin ? total - files[wrongPath].size() : total;
        EXPECT_TRUE(run.Logged("[Launcher][updater] local mirror " + mirrorUrl + ": " + std::to_string(fromMirror) +
                               " bytes of " + std::to_string(total)));
        if (*c.extraEntries) {
            EXPECT_TRUE(run.Logged("LocalMirrors entry \"ftp://127.0.0.1/patch/\" ignored"));
            EXPECT_TRUE(run.Logged("LocalMirrors entry \"http://127.0.0.1:19168/patch\" ignored"));
        }
        // A cache that is down is tried by the workers that met it first, not once per file.
        const int connectFailures = CountLines(run.debugLines, "WinHttpSendRequest failed for files/");
        EXPECT_EQ(CountLines(run.debugLines, "unreachable: skipped for the rest of this run"), c.mirrorUp ? 0 : 1);
        if (c.mirrorUp) {
            EXPECT_EQ(connectFailures, 0);
        } else {
            EXPECT_GE(connectFailures, 1);
            EXPECT_LE(connectFailures, 4);
        }
    }
}

}  // namespace
