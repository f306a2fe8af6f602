// One file fetched from the patch host with retries, resumption and its digest, in-process against the
// loopback host.
#include "PlayerTexts.h"
#include "update/FileFetch.h"
#include "update/PatchHost.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

using testsupport::Delivery;
using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

struct RetryCase {
    const char* name;
    HttpResponse response;
    std::string part;  // a ".part" there before the fetch
    FetchOutcome outcome;
    int requests;
    int retryLines;        // "下載中斷，重試 (n/3)：…" texts posted
    DWORD waitedAtLeast;  // ms: the pauses between attempts
    const HttpResponse* mirror = nullptr;  // a second host, tried after the first
};

HttpResponse Times(HttpResponse response, int times) {
    response.deliveryTimes = times;
    return response;
}

// Network errors, time-outs, cut-off bodies and 5xx answers are tried again, 1 s and then 3 s later, each
// attempt resuming; a refusal or a whole transfer with the wrong digest is not; a resumed file with the
// wrong digest is fetched once more, whole. Bytes with the wrong digest never replace the file that was
// there: a hostile or broken host can change nothing on the disk.
TEST(FetchVerifiedFileTest, RetriesWhatBreaksOffAndNothingElse) {
    const std::string body = testsupport::PatternBytes(200000, 21);
    const std::string other = testsupport::PatternBytes(200000, 22);
    const std::string stale = "the copy installed before";
    const HttpResponse rightBytes{200, body};
    const HttpResponse wrongBytes{200, other};
    const std::vector<RetryCase> cases = {
        {"two 503s, then the file", Times(HttpResponse{503, body}, 2), "", FetchOutcome::Verified, 3, 2, 4000},
        {"cut twice, then the rest", Times(HttpResponse{200, body, Delivery::CutOrderly}, 2), "", FetchOutcome::Verified,
         3, 2, 4000},
        {"cut every time", HttpResponse{200, body, Delivery::CutReset}, "", FetchOutcome::DownloadFailed, 3, 2, 4000},
        {"not found", HttpResponse{404, "gone"}, "", FetchOutcome::DownloadFailed, 1, 0, 0},
        {"a body that never ends", HttpResponse{200, body, Delivery::Endless}, "", FetchOutcome::DownloadFailed, 3, 2, 4000},
        {"wrong content, whole", HttpResponse{200, other}, "", FetchOutcome::VerifyFailed, 1, 0, 0},
        {"wrong bytes kept in the .part", HttpResponse{200, body}, other.substr(0, 50000), FetchOutcome::Verified, 2, 0, 0},
        {"a complete .part of wrong bytes", HttpResponse{200, body}, other, FetchOutcome::Verified, 1, 0, 0},
        {"wrong content, the mirror has the right one", HttpResponse{200, other}, "", FetchOutcome::Verified, 1, 0, 0,
         &rightBytes},
        {"wrong content on both hosts", HttpResponse{200, other}, "", FetchOutcome::VerifyFailed, 1, 0, 0, &wrongBytes},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        LoopbackHttpServer mirror(testsupport::kLoopbackPort + 2);
        TempDir dir;
        server.Route("/patch/files/r.bin", c.response);
        if (c.mirror) mirror.Route("/patch/files/r.bin", *c.mirror);
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"r.bin", stale));
        if (!c.part.empty()) {
            ASSERT_TRUE(testsupport::WriteBytes(dir / L"r.bin.part", c.part));
        }
        testsupport::MessageCollector window;
        std::vector<std::wstring> hosts = {PatchBaseUrl};
        if (c.mirror) hosts.push_back(L"http://127.0.0.1:" + std::to_wstring(testsupport::kLoopbackPort + 2) + L"/patch/");
        FetchTarget target;
        target.relativeUrl = L"files/r.bin";
        target.targetPath = dir / L"r.bin";
        target.size = body.size();
        target.sha256 = testsupport::Sha256Hex(body);
        target.name = L"r.bin";
        TransferReporter reporter(window.Window(), L"L");

        const DWORD start = GetTickCount();
        const FetchResult result = FetchVerifiedFile(hosts, target, FetchListener{window.Window(), &reporter});
        const DWORD took = GetTickCount() - start;
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(server.CountRequests("/patch/files/r.bin"), c.requests);
        EXPECT_GE(took, c.waitedAtLeast);
        int retries = 0;
        window.Drain();
        for (const std::wstring& text : window.Texts()) {
            if (text.rfind(std::wstring(player_texts::kRetrying).substr(0, 8), 0) == 0) {  // "下載中斷，重試 ("
                EXPECT_NE(text.find(L"/3)：r.bin"), std::wstring::npos) << testsupport::Utf8(text);
                ++retries;
            }
        }
        EXPECT_EQ(retries, c.retryLines);
        if (c.outcome == FetchOutcome::Verified) {
            EXPECT_EQ(testsupport::ReadBytes(dir / L"r.bin"), body);
            EXPECT_FALSE(testsupport::FileExists(dir / L"r.bin.part"));
        }
        if (c.outcome == FetchOutcome::DownloadFailed && c.response.delivery == Delivery::Endless) {
            EXPECT_FALSE(testsupport::FileExists(dir / L"r.bin.part")) << "nothing past the file's size is kept";
        } else if (c.outcome == FetchOutcome::DownloadFailed && c.requests > 1) {
            const std::string part = testsupport::ReadBytes(dir / L"r.bin.part");
            EXPECT_GT(part.size(), 0u) << "what arrived is kept for the next run";
            EXPECT_EQ(part, body.substr(0, part.size()));
        }
        if (c.outcome != FetchOutcome::Verified) {
            EXPECT_EQ(testsupport::ReadBytes(dir / L"r.bin"), stale) << "the old bytes stay";
        }
        if (c.outcome == FetchOutcome::VerifyFailed) {
            EXPECT_FALSE(testsupport::FileExists(dir / L"r.bin.part"));
            EXPECT_EQ(result.lastDigest, testsupport::Sha256Hex(other));
        }
    }
}

}  // namespace
