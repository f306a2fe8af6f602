// One file fetched from the patch host with retries, resumption and its digest, in-process against the
// loopback host.
#include "update/FileFetch.h"
#include "update/PatchHost.h"
#include "update/StatusChannel.h"

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
};

HttpResponse Times(HttpResponse response, int times) {
    response.deliveryTimes = times;
    return response;
}

// Network errors, time-outs, cut-off bodies and 5xx answers are tried again, 1 s and then 3 s later, each
// attempt resuming; a refusal or a whole transfer with the wrong digest is not; a resumed file with the
// wrong digest is fetched once more, whole.
TEST(FetchVerifiedFileTest, RetriesWhatBreaksOffAndNothingElse) {
    const std::string body = testsupport::PatternBytes(200000, 21);
    const std::string other = testsupport::PatternBytes(200000, 22);
    const std::vector<RetryCase> cases = {
        {"two 503s, then the file", Times(HttpResponse{503, body}, 2), "", FetchOutcome::Verified, 3, 2, 4000},
        {"cut twice, then the rest", Times(HttpResponse{200, body, Delivery::CutOrderly}, 2), "", FetchOutcome::Verified,
         3, 2, 4000},
        {"cut every time", HttpResponse{200, body, Delivery::CutReset}, "", FetchOutcome::DownloadFailed, 3, 2, 4000},
        {"not found", HttpResponse{404, "gone"}, "", FetchOutcome::DownloadFailed, 1, 0, 0},
        {"wrong content, whole", HttpResponse{200, other}, "", FetchOutcome::VerifyFailed, 1, 0, 0},
        {"wrong bytes kept in the .part", HttpResponse{200, body}, other.substr(0, 50000), FetchOutcome::Verified, 2, 0, 0},
    };
    for (const RetryCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        server.Route("/patch/files/r.bin", c.response);
        if (!c.part.empty()) {
            ASSERT_TRUE(testsupport::WriteBytes(dir / L"r.bin.part", c.part));
        }
        testsupport::MessageCollector window;
        const std::vector<std::wstring> hosts = {PatchBaseUrl};
        FileFetch fetch;
        fetch.hosts = &hosts;
        fetch.relativeUrl = L"files/r.bin";
        fetch.targetPath = dir / L"r.bin";
        fetch.size = body.size();
        fetch.sha256 = testsupport::Sha256Hex(body);
        fetch.name = L"r.bin";
        fetch.window = window.Window();
        fetch.label = L"L";

        const DWORD start = GetTickCount();
        const FetchResult result = FetchVerifiedFile(fetch);
        const DWORD took = GetTickCount() - start;
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(server.CountRequests("/patch/files/r.bin"), c.requests);
        EXPECT_GE(took, c.waitedAtLeast);
        int retries = 0;
        window.Drain();
        for (const std::wstring& text : window.Texts()) {
            if (text.rfind(L"下載中斷，重試 (", 0) == 0) {
                EXPECT_NE(text.find(L"/3)：r.bin"), std::wstring::npos) << testsupport::Utf8(text);
                ++retries;
            }
        }
        EXPECT_EQ(retries, c.retryLines);
        if (c.outcome == FetchOutcome::Verified) {
            EXPECT_EQ(testsupport::ReadBytes(dir / L"r.bin"), body);
            EXPECT_FALSE(testsupport::FileExists(dir / L"r.bin.part"));
        }
        if (c.outcome == FetchOutcome::DownloadFailed && c.requests > 1) {
            const std::string part = testsupport::ReadBytes(dir / L"r.bin.part");
            EXPECT_GT(part.size(), 0u) << "what arrived is kept for the next run";
            EXPECT_EQ(part, body.substr(0, part.size()));
        }
        if (c.outcome == FetchOutcome::VerifyFailed) {
            EXPECT_EQ(testsupport::ReadBytes(dir / L"r.bin"), other);
        }
    }
}

}  // namespace
