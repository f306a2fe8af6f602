// The machine's local mirrors (LocalMirrors under HKEY_LOCAL_MACHINE) in whole update runs: asked first for
// every file, never for the manifest, checked like any host, never offered the Windows logon, and skipped for
// the rest of a run at their first failure.
#include "PlayerTexts.h"
#include "update/DownloadWorkers.h"

#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::Delivery;
using testsupport::HttpResponse;
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

// An Authorization or Proxy-Authorization header, as WinHTTP spells them.
bool AnyRequestCarriesALogin(const LoopbackHttpServer& server) {
    const std::vector<std::string> heads = server.RequestLines();
    return std::any_of(heads.begin(), heads.end(),
                       [](const std::string& head) { return head.find("Authorization: ") != std::string::npos; });
}

// Files of one size, each of its own bytes.
std::map<std::string, std::string> SameSizeFiles(int count, std::size_t size) {
    std::map<std::string, std::string> files;
    for (int i = 0; i < count; ++i) files["d/f" + std::to_string(i) + ".bin"] = testsupport::PatternBytes(size, 40 + i);
    return files;
}

bool SetLocalMirror(unsigned short port) {
    const std::string url = MirrorUrl(port);
    return testsupport::WriteMachineString(L"LocalMirrors", std::wstring(url.begin(), url.end()));
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
    const std::string missingPath = "d/f3.bin";
    struct Case {
        const char* name;
        bool mirrorUp;
        bool missingFile;  // the mirror answers 404 for one file
        const char* extraEntries;
    };
    const Case cases[] = {
        {"the mirror has everything: the origin sends no file", true, false, ""},
        {"one file missing on the mirror: it alone comes from the origin", true, true, ""},
        {"entries that are no mirror URLs are dropped, the good one used", true, false,
         "ftp://127.0.0.1/patch/; http://127.0.0.1:19168/patch;  ;"},
        {"the mirror is down: everything from the origin, its failure noted once", false, false, ""},
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
            if (c.missingFile) mirror.Route("/patch/files/" + missingPath, testsupport::HttpResponse{404, "gone"});
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
        const bool oneFromOrigin = c.missingFile;
        const int originFiles = c.mirrorUp ? (oneFromOrigin ? 1 : 0) : static_cast<int>(files.size());
        EXPECT_EQ(CountFileRequests(origin), originFiles);
        if (oneFromOrigin) {
            EXPECT_EQ(origin.CountRequests("/patch/files/" + missingPath), 1);
        }
        if (c.mirrorUp) {
            EXPECT_EQ(CountFileRequests(mirror), static_cast<int>(files.size()));
        }

        const std::uint64_t fromMirror =
            !c.mirrorUp ? 0 : oneFromOrigin ? total - files[missingPath].size() : total;
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

// A cache that fails in any way costs a seat one request per download thread, never one (or three) per file:
// the faults guarded against are a cache asked again for every file, and the seat's Windows logon offered to
// anything on the LAN that answers with an NTLM challenge (Wine has no logon to send, so there the resends show).
TEST_F(LocalMirrorTest, AFailingCacheIsDroppedAtItsFirstFailure) {
    const std::map<std::string, std::string> files = SameSizeFiles(8, 16000);
    std::string pack, packLines;
    for (const auto& file : files) pack += file.second;
    for (const auto& file : files) {
        packLines += "PACKED|" + file.first + "|" + testsupport::Sha256Hex(pack) + "|" +
                     std::to_string(pack.find(file.second)) + "\n";
    }
    packLines += "PACK|" + testsupport::Sha256Hex(pack) + "|" + std::to_string(pack.size()) + "\n";
    HttpResponse login407{407, "login"}, login401{401, "login"};
    login407.headers = "Proxy-Authenticate: NTLM\r\n";
    login401.headers = "WWW-Authenticate: NTLM\r\n";
    struct Case {
        const char* name;
        HttpResponse answer;  // to every request; an empty body stands for the file's own bytes
        const char* dropped;  // what the drop line says
        bool packed;          // the files are in one pack, which the cache serves wrong
    };
    const Case cases[] = {
        {"503", HttpResponse{503, "busy"}, "failed (HTTP 503)", false},
        {"other bytes", HttpResponse{200, std::string(16000, 'X')}, "failed (a file with another digest)", false},
        // 1 KB/s: fifteen times what a patch host must bring, a sixth of what a cache must.
        {"a trickle", HttpResponse{200, "", Delivery::Slow, 100, 100}, "failed (transfer broke off)", false},
        {"407 with NTLM", login407, "failed (HTTP 407)", false},
        {"401 with NTLM", login401, "failed (HTTP 401)", false},
        {"a pack of other bytes", HttpResponse{200, std::string(pack.size(), 'X')}, "failed (pack range)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LoopbackHttpServer origin;
        ASSERT_TRUE(origin.Started());
        Publish(origin, files, c.packed ? packLines : std::string());
        LoopbackHttpServer mirror(testsupport::kLoopbackPort + 1);
        ASSERT_TRUE(mirror.Started());
        for (const auto& file : files) {
            HttpResponse answer = c.answer;
            if (answer.body.empty()) answer.body = file.second;
            mirror.Route("/patch/files/" + file.first, answer);
        }
        if (c.packed) mirror.Route("/patch/packs/" + testsupport::Sha256Hex(pack) + ".kpak", c.answer);
        ASSERT_TRUE(SetLocalMirror(testsupport::kLoopbackPort + 1));

        const auto run = RunUpdate(dir);
        ASSERT_TRUE(run.exited) << "start error " << run.startError;
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 0"});
        for (const auto& file : files) {
            EXPECT_EQ(testsupport::ReadBytes(dir / testsupport::Wide("d\\" + file.first.substr(2))), file.second);
            EXPECT_EQ(origin.CountRequests("/patch/files/" + file.first), 1) << file.first;
        }
        EXPECT_GE(mirror.RequestedPaths().size(), 1u);
        EXPECT_LE(mirror.RequestedPaths().size(), static_cast<std::size_t>(kMaxDownloadWorkers));
        EXPECT_FALSE(AnyRequestCarriesALogin(mirror));
        const std::string url = MirrorUrl(testsupport::kLoopbackPort + 1);
        EXPECT_EQ(CountLines(run.debugLines, "local mirror " + url + " " + c.dropped + ": skipped for the rest of this run"), 1);
        EXPECT_TRUE(run.Logged("local mirror " + url + ": 0 bytes of " + std::to_string(pack.size())));
    }
}

// A cache that takes the connection and never answers costs its answer wait once per download thread (the
// threads meet it together), not a wait and three attempts per file: counted by the waits that ran out.
TEST_F(LocalMirrorTest, ASilentCacheCostsOneWaitPerRun) {
    const std::map<std::string, std::string> files = SameSizeFiles(50, 2000);
    LoopbackHttpServer origin;
    ASSERT_TRUE(origin.Started());
    Publish(origin, files);
    LoopbackHttpServer mirror(testsupport::kLoopbackPort + 1);
    ASSERT_TRUE(mirror.Started());
    mirror.AnswerAll(HttpResponse{200, "never sent", Delivery::NeverAnswer});

    for (int withCache = 0; withCache < 2; ++withCache) {
        SCOPED_TRACE(withCache ? "with the silent cache" : "without a cache");
        if (withCache) {
            ASSERT_TRUE(SetLocalMirror(testsupport::kLoopbackPort + 1));
        }
        TempDir dir;
        const auto run = RunUpdate(dir);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 0"});
        EXPECT_EQ(CountLines(run.debugLines, "failed (no answer): skipped for the rest of this run"), withCache ? 1 : 0);
        const int waitsRunOut = CountLines(run.debugLines, "WinHttpReceiveResponse failed for files/");
        EXPECT_GE(waitsRunOut, withCache ? 1 : 0);
        EXPECT_LE(waitsRunOut, withCache ? kMaxDownloadWorkers : 0);
    }
    EXPECT_EQ(CountFileRequests(origin), 2 * static_cast<int>(files.size()));
    EXPECT_GE(CountFileRequests(mirror), 1);
    EXPECT_LE(CountFileRequests(mirror), kMaxDownloadWorkers);
}

}  // namespace
