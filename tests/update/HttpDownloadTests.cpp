#include "PlayerTexts.h"
#include "update/HttpDownload.h"
#include "update/LocalMirror.h"
#include "update/PatchHost.h"
#include "update/StatusChannel.h"
#include "update/TransferGate.h"
#include "update/TransferReport.h"

#include "ChildProcesses.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

using testsupport::Delivery;
using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;

namespace {

// The download of a file as the manifest lists it: the size and digest of `body`.
DownloadResult Fetch(const wchar_t* url, const std::wstring& target, const std::string& body,
                     ProgressSink* sink = nullptr) {
    HttpRequest http;
    return HttpDownloadToFile(http, PatchBaseUrl, url, target, body.size(), testsupport::Sha256Hex(body), sink);
}

// Counts the bytes a transfer has in place.
class ByteCounter : public ProgressSink {
public:
    void OnBytes(std::uint64_t done, std::uint64_t, bool) override { bytes_.store(done); }
    void OnWireBytes(std::uint64_t) override {}
    std::uint64_t Bytes() const { return bytes_.load(); }

private:
    std::atomic<std::uint64_t> bytes_{0};
};

}  // namespace

TEST(FormatByteSizeTest, Units) {
    struct Case {
        std::uint64_t bytes;
        const wchar_t* text;
    } cases[] = {
        {0, L"0 B"}, {1, L"1 B"}, {1023, L"1023 B"}, {1024, L"1.0 KB"}, {1536, L"1.5 KB"}, {1048575, L"1024.0 KB"},
        {1048576, L"1.0 MB"}, {5ull * 1024 * 1024 * 1024, L"5120.0 MB"}, {18446744073709551615ull, L"17592186044416.0 MB"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatByteSize(c.bytes), c.text) << c.bytes;
}

TEST(HttpDownloadTest, StoresTheBodyAndCreatesTheDirectoryChain) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string body = testsupport::PatternBytes(200000, 1);
    server.RouteBody("/patch/files/data/sub/deep/a.pak", body);
    testsupport::MessageCollector window;
    TransferReporter reporter(window.Window(), L"L");
    // The base directory written with backslashes, the manifest path with forward slashes.
    const std::wstring target = dir.Path() + L"data/sub\\deep/a.pak";
    ASSERT_TRUE(Fetch(L"files/data/sub/deep/a.pak", target, body, &reporter));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"data\\sub\\deep\\a.pak"), body);
    EXPECT_FALSE(testsupport::FileExists(target + L".part"));
    window.Drain();
    std::vector<int> percents = window.Percents();
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    for (std::size_t i = 1; i < percents.size(); ++i) EXPECT_GE(percents[i], percents[i - 1]);
    EXPECT_EQ(server.RequestedPaths().back(), "/patch/files/data/sub/deep/a.pak");
}

TEST(HttpDownloadTest, ReplacesAnExistingTarget) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/files/x.bin", "new");
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"x.bin", "old old old"));
    ASSERT_TRUE(Fetch(L"files/x.bin", dir / L"x.bin", "new"));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"x.bin"), "new");
    EXPECT_FALSE(testsupport::FileExists(dir / L"x.bin.part"));
}

TEST_CHILD_ROUTINE(DownloadOne) {
    // args: relative URL, target
    return Fetch(args.at(0).c_str(), args.at(1), "any") ? 0 : 1;
}

TEST(HttpDownloadTest, NotFoundIsLoggedAndTouchesNothing) {
    LoopbackHttpServer server;
    TempDir dir;
    testsupport::ChildRun run =
        testsupport::RunChildRoutine("DownloadOne", {L"files/Data/Missing.pak", dir / L"newdir\\Missing.pak"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.debugLines.size(), 1u);
    EXPECT_EQ(run.debugLines[0],
              "[Launcher][http] HTTP 404 for files/Data/Missing.pak -- \xE6\x93\x8D\xE4\xBD\x9C\xE5\x93\xA1\xE7\xA2\xBA"
              "\xE8\xAA\x8D server \xE4\xB8\x8A\xE6\x9C\x89\xE6\xB2\x92\xE6\x9C\x89\xE9\x80\x99\xE6\x94\xAF\xE6\xAA\x94, "
              "\xE8\xB7\xAF\xE5\xBE\x91\xE8\xB7\x9F case \xE5\xB0\x8D\xE4\xB8\x8D\xE5\xB0\x8D.\n");
    EXPECT_FALSE(testsupport::FileExists(dir / L"newdir"));
}

TEST(HttpDownloadTest, ConnectionFailureIsLoggedWithTheStep) {
    TempDir dir;  // no server listening
    testsupport::ChildRun run = testsupport::RunChildRoutine("DownloadOne", {L"files/a.bin", dir / L"a.bin"});
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(run.exitCode, 1u);
    ASSERT_EQ(run.debugLines.size(), 1u);
    std::regex line("\\[Launcher\\]\\[http\\] WinHttp(SendRequest|ReceiveResponse) failed for files/a\\.bin, GetLastError=\\d+\n");
    EXPECT_TRUE(std::regex_match(run.debugLines[0], line)) << run.debugLines[0];
    EXPECT_FALSE(testsupport::FileExists(dir / L"a.bin.part"));
}

// A body that ends before its announced length never replaces the target; what arrived is kept, and the
// next attempt asks only for the rest.
TEST(HttpDownloadTest, BrokenTransferKeepsItsPartAndTheNextOneResumes) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string body = testsupport::PatternBytes(300000, 7);
    for (Delivery cut : {Delivery::CutOrderly, Delivery::CutReset}) {
        SCOPED_TRACE(static_cast<int>(cut));
        DeleteFileW((dir / L"c.bin.part").c_str());
        HttpResponse once{200, body, cut};
        once.deliveryTimes = 1;
        server.Route("/patch/files/c.bin", once);
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"c.bin", "previous"));
        std::atomic<std::uint64_t> shared{0};
        TransferReporter reporter(nullptr, L"", &shared, body.size());
        const DownloadResult broken = Fetch(L"files/c.bin", dir / L"c.bin", body, &reporter);
        EXPECT_EQ(broken.outcome, DownloadOutcome::Broken);
        EXPECT_EQ(testsupport::ReadBytes(dir / L"c.bin"), "previous");
        const std::string part = testsupport::ReadBytes(dir / L"c.bin.part");
        ASSERT_GT(part.size(), 0u);
        ASSERT_LT(part.size(), body.size());
        EXPECT_EQ(part, body.substr(0, part.size()));

        const std::uint64_t sentBefore = server.BodyBytesSent();
        const DownloadResult resumed = Fetch(L"files/c.bin", dir / L"c.bin", body, &reporter);
        EXPECT_EQ(resumed.outcome, DownloadOutcome::Done) << "status " << resumed.status;
        EXPECT_TRUE(resumed.resumed);
        EXPECT_EQ(resumed.sha256, testsupport::Sha256Hex(body)) << "the kept bytes count in the digest";
        EXPECT_EQ(testsupport::ReadBytes(dir / L"c.bin"), body);
        const std::string head = server.RequestLines().back() + "\r\n";
        EXPECT_NE(head.find("\r\nRange: bytes=" + std::to_string(part.size()) + "-\r\n"), std::string::npos) << head;
        EXPECT_EQ(server.BodyBytesSent() - sentBefore, body.size() - part.size());
        EXPECT_FALSE(testsupport::FileExists(dir / L"c.bin.part"));
    }
}

// What happens to a ".part" that is there when a transfer starts.
TEST(HttpDownloadTest, PartFoundAtTheStart) {
    struct PartCase {
        const char* name;
        std::string part;
        std::uint64_t expectedSize;
        bool honourRange;
        DownloadOutcome outcome;
        bool resumed;
        const char* rangeAsked;  // the Range header sent, or nullptr for none (or no request at all)
        bool requested;
    };
    const std::string body = testsupport::PatternBytes(50000, 3);
    const PartCase cases[] = {
        {"a prefix, continued", body.substr(0, 20000), body.size(), true, DownloadOutcome::Done, true, "bytes=20000-", true},
        {"a host that ignores ranges sends it all again", body.substr(0, 20000), body.size(), false, DownloadOutcome::Done,
         false, "bytes=20000-", true},
        {"longer than the file: thrown away unasked", body + "tail", body.size(), true, DownloadOutcome::Done, false,
         nullptr, true},
        {"past the served end of a larger listed file: 416, thrown away", body + "tail", body.size() + 10, true,
         DownloadOutcome::RangeRefused, false, "bytes=50004-", true},
        {"the whole file: moved without a request", body, body.size(), true, DownloadOutcome::Done, true, nullptr, false},
    };
    for (const PartCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        HttpResponse response{200, body};
        response.honourRange = c.honourRange;
        server.Route("/patch/files/p.bin", response);
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"p.bin.part", c.part));
        HttpRequest http;
        const DownloadResult result = HttpDownloadToFile(http, PatchBaseUrl, L"files/p.bin", dir / L"p.bin",
                                                         c.expectedSize, testsupport::Sha256Hex(body), nullptr);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.resumed, c.resumed);
        EXPECT_FALSE(testsupport::FileExists(dir / L"p.bin.part"));
        if (c.outcome == DownloadOutcome::Done) {
            EXPECT_EQ(testsupport::ReadBytes(dir / L"p.bin"), body);
            EXPECT_EQ(result.sha256, testsupport::Sha256Hex(body));
        }
        const std::vector<std::string> heads = server.RequestLines();
        ASSERT_EQ(heads.size(), c.requested ? 1u : 0u);
        if (c.requested) {
            const bool ranged = heads[0].find("\r\nRange: ") != std::string::npos;
            EXPECT_EQ(ranged, c.rangeAsked != nullptr) << heads[0];
            if (c.rangeAsked) {
                EXPECT_NE(heads[0].find(c.rangeAsked), std::string::npos) << heads[0];
            }
        }
    }
}

// Files copied from a disc are read-only, and paths below a deep game directory pass 260 characters.
TEST(HttpDownloadTest, ReadOnlyTargetsAndLongPaths) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/files/ro.bin", "fresh");
    ASSERT_TRUE(testsupport::WriteBytes(dir / L"ro.bin", "stale"));
    ASSERT_TRUE(SetFileAttributesW((dir / L"ro.bin").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(Fetch(L"files/ro.bin", dir / L"ro.bin", "fresh"));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"ro.bin"), "fresh");

    std::wstring deep = L"d";
    while ((dir.Path() + deep).size() < 300) deep += L"/" + std::wstring(40, L'x');
    deep += L"/file.bin";
    const std::string url = "/patch/files/" + testsupport::Utf8(deep);
    server.RouteBody(url, "deep");
    const std::wstring target = dir.Path() + deep;
    ASSERT_GT(target.size(), 300u);
    EXPECT_TRUE(Fetch((L"files/" + deep).c_str(), target, "deep"));
    std::wstring longForm = L"\\\\?\\" + target;
    for (wchar_t& c : longForm) {
        if (c == L'/') c = L'\\';
    }
    EXPECT_EQ(testsupport::ReadBytes(longForm), "deep");
}

TEST(HttpDownloadTest, ChunkedAndSlowBodiesArrive) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string body = testsupport::PatternBytes(123457, 11);
    server.Route("/patch/files/chunked.bin", HttpResponse{200, body, Delivery::Chunked});
    server.Route("/patch/files/slow.bin", HttpResponse{200, body.substr(0, 30000), Delivery::Slow, 1000, 10});
    ASSERT_TRUE(Fetch(L"files/chunked.bin", dir / L"chunked.bin", body));
    ASSERT_TRUE(Fetch(L"files/slow.bin", dir / L"slow.bin", body.substr(0, 30000)));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"chunked.bin"), body);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"slow.bin"), body.substr(0, 30000));
}

TEST(HttpDownloadTest, TransferLineAndPercent) {
    LoopbackHttpServer server;
    TempDir dir;
    // 10 KiB in 1 KiB pieces, 120 ms apart: several chunks, at least two transfer lines.
    server.Route("/patch/files/t.bin", HttpResponse{200, std::string(10240, 't'), Delivery::Slow, 1024, 120});
    testsupport::MessageCollector window;
    TransferReporter reporter(window.Window(), L"\u4E0B\u8F09\u4E2D (1/2) t.bin");
    ASSERT_TRUE(Fetch(L"files/t.bin", dir / L"t.bin", std::string(10240, 't'), &reporter));
    window.Drain();
    std::vector<std::wstring> texts = window.Texts();
    ASSERT_GE(texts.size(), 2u);
    // The first line comes with the first chunk, before any speed sample.
    std::wregex first(L"\u4E0B\u8F09\u4E2D \\(1/2\\) t\\.bin  [0-9.]+ (B|KB) / 10\\.0 KB  \\(0 B/s\\)");
    EXPECT_TRUE(std::regex_match(texts[0], first)) << testsupport::Utf8(texts[0]);
    std::wregex later(L"\u4E0B\u8F09\u4E2D \\(1/2\\) t\\.bin  [0-9.]+ KB / 10\\.0 KB  \\([0-9.]+ (B|KB)/s\\)");
    for (std::size_t i = 1; i < texts.size(); ++i) {
        EXPECT_TRUE(std::regex_match(texts[i], later)) << testsupport::Utf8(texts[i]);
        EXPECT_EQ(texts[i].find(L"(0 B/s)"), std::wstring::npos) << testsupport::Utf8(texts[i]);
    }
    // Lines at most every 250 ms: 10 pieces over ~1.2 s give far fewer lines than chunks; a percent only
    // when it changed.
    std::vector<int> percents = window.Percents();
    EXPECT_LT(texts.size(), percents.size());
    EXPECT_EQ(percents.back(), 100);
    for (std::size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
}

TEST(TransferReporterTest, UnknownSizePostsNoPercentAndShowsQuestionMark) {
    testsupport::MessageCollector window;
    TransferReporter reporter(window.Window(), L"");
    reporter.OnBytes(5000, 0, true);
    window.Drain();
    EXPECT_TRUE(window.Percents().empty());
    ASSERT_FALSE(window.Texts().empty());
    EXPECT_EQ(window.Texts()[0], std::wstring(player_texts::kDownloading) + L"  4.9 KB / ?  (0 B/s)");
}

TEST(HttpDownloadTest, SharedCounterDrivesThePercentAndCapsAt100) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/files/s.bin", std::string(4000, 's'));
    testsupport::MessageCollector window;
    std::atomic<std::uint64_t> shared{6000};
    TransferReporter reporter(window.Window(), L"", &shared, 8000);
    ASSERT_TRUE(Fetch(L"files/s.bin", dir / L"s.bin", std::string(4000, 's'), &reporter));
    EXPECT_EQ(shared.load(), 10000u);
    window.Drain();
    std::vector<int> percents = window.Percents();
    ASSERT_FALSE(percents.empty());
    for (int p : percents) EXPECT_LE(p, 100);
    EXPECT_EQ(percents.back(), 100);
}

TEST(HttpDownloadTest, NullWindowPostsNothingButCounts) {
    LoopbackHttpServer server;
    TempDir dir;
    server.RouteBody("/patch/files/n.bin", std::string(7000, 'n'));
    testsupport::MessageCollector window;
    std::atomic<std::uint64_t> shared{0};
    TransferReporter reporter(nullptr, L"", &shared, 7000);
    ASSERT_TRUE(Fetch(L"files/n.bin", dir / L"n.bin", std::string(7000, 'n'), &reporter));
    EXPECT_EQ(shared.load(), 7000u);
    EXPECT_TRUE(window.Drain(50).empty());
}

TEST(HttpDownloadTest, TargetLockedByAnotherProcessFailsTheMove) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::wstring target = dir / L"Zorexe.dat";
    ASSERT_TRUE(testsupport::WriteBytes(target, "running"));
    server.RouteBody("/patch/files/Zorexe.dat", "replacement");
    testsupport::Process holder;
    ASSERT_TRUE(testsupport::HoldInAnotherProcess(holder, target));
    EXPECT_FALSE(Fetch(L"files/Zorexe.dat", target, "replacement"));
    testsupport::ReleaseHeldFile(target);
    EXPECT_TRUE(holder.WaitExit(30000));
    EXPECT_EQ(testsupport::ReadBytes(target), "running");
    EXPECT_FALSE(testsupport::FileExists(target + L".part"));
}

// A host can send more than the file, or send somewhere else: neither ever grows a file past its listed size
// nor replaces the old one.
TEST(HttpDownloadTest, HostileBodiesChangeNothing) {
    struct HostileCase {
        const char* name;
        HttpResponse response;
        DownloadOutcome outcome;
        DWORD status;
    };
    const std::string body = testsupport::PatternBytes(70000, 5);
    HttpResponse redirect{302, "moved"};
    redirect.headers = "Location: /patch/files/elsewhere.bin\r\n";
    const HostileCase cases[] = {
        {"a chunked body that never ends", HttpResponse{200, body, Delivery::Endless}, DownloadOutcome::Broken, 200},
        {"a longer body than the file", HttpResponse{200, body + "more"}, DownloadOutcome::Broken, 200},
        {"an unsized body longer than the file", HttpResponse{200, body + body, Delivery::Unsized}, DownloadOutcome::Broken,
         200},
        {"a redirect to the right bytes", redirect, DownloadOutcome::Refused, 302},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server;
        TempDir dir;
        server.Route("/patch/files/h.bin", c.response);
        server.RouteBody("/patch/files/elsewhere.bin", body);
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"h.bin", "installed"));
        const DownloadResult result = Fetch(L"files/h.bin", dir / L"h.bin", body);
        EXPECT_EQ(result.outcome, c.outcome);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(testsupport::ReadBytes(dir / L"h.bin"), "installed");
        EXPECT_FALSE(testsupport::FileExists(dir / L"h.bin.part"));
        EXPECT_EQ(server.CountRequests("/patch/files/elsewhere.bin"), 0);
    }
}

// A host that sends a byte every 10 s never trips a 30 s wait; the transfer is broken once a minute passed
// with less than 4 KiB, and what came is kept for the next attempt.
TEST(HttpDownloadTest, ATrickleIsBrokenOffWithinAboutAMinute) {
    LoopbackHttpServer server;
    TempDir dir;
    const std::string body(100, 't');
    server.Route("/patch/files/trickle.bin", HttpResponse{200, body, Delivery::Slow, 1, 10000});
    const DWORD start = GetTickCount();
    const DownloadResult result = Fetch(L"files/trickle.bin", dir / L"trickle.bin", body);
    const DWORD took = GetTickCount() - start;
    std::printf("a byte every 10 s was given up after %.1f s\n", took / 1000.0);
    EXPECT_EQ(result.outcome, DownloadOutcome::Broken);
    EXPECT_FALSE(testsupport::FileExists(dir / L"trickle.bin"));
    const std::string part = testsupport::ReadBytes(dir / L"trickle.bin.part");
    EXPECT_GE(part.size(), 6u);
    EXPECT_LT(part.size(), body.size());
}

// The player's limit and pause act on a transfer under way within a second: a changed limit bounds what
// passes from then on (with its quarter-second burst and one read), a pause lets nothing pass, and a
// continue goes on over the same request into the same ".part". The host is taken for a café's cache here,
// whose stall rule (64 KiB in 10 s) is the strictest: a pause longer than its window does not break the
// transfer off.
TEST(HttpDownloadTest, TheSpeedLimitAndPauseActWithinASecond) {
    LoopbackHttpServer server;
    TempDir dir;
    BeginHostRecord({PatchBaseUrl});
    const std::string body = testsupport::PatternBytes(24 * 1024 * 1024, 7);
    server.RouteBody("/patch/files/big.pak", body);
    ByteCounter counter;
    SetSpeedLimit(256);
    DownloadResult result;
    std::thread transfer([&] { result = Fetch(L"files/big.pak", dir / L"big.pak", body, &counter); });
    // Whatever fails below, the gate opens again and the transfer ends before the test does.
    struct OpenGate {
        std::thread& transfer;
        ~OpenGate() {
            SetTransfersPaused(false);
            SetSpeedLimit(0);
            if (transfer.joinable()) transfer.join();
            BeginHostRecord({});
        }
    } openGate{transfer};
    ASSERT_TRUE(testsupport::WaitUntil([&] { return counter.Bytes() > 0; }, 30000));

    struct Step {
        const char* name;
        std::uint32_t limitKiB;
        bool paused;
    };
    const Step steps[] = {{"1 MiB/s", 1024, false}, {"paused", 1024, true}, {"512 KiB/s", 512, false}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        SetSpeedLimit(step.limitKiB);
        SetTransfersPaused(step.paused);
        Sleep(1000);  // the second the gate has to take hold
        const std::uint64_t before = counter.Bytes();
        const ULONGLONG start = GetTickCount64();
        Sleep(step.paused ? kLocalMirrorStallRule.windowMs + 1000 : 2000);
        const std::uint64_t passed = counter.Bytes() - before;
        const double seconds = static_cast<double>(GetTickCount64() - start) / 1000.0;
        const double bound = step.paused ? 0.0 : step.limitKiB * 1024.0 * (seconds + 0.25) + kLimitedReadBytes;
        EXPECT_LE(static_cast<double>(passed), bound) << passed << " bytes in " << seconds << " s";
        if (!step.paused) {
            EXPECT_GT(passed, 0u);
        }
    }
    SetTransfersPaused(false);
    SetSpeedLimit(0);
    transfer.join();
    EXPECT_EQ(result.outcome, DownloadOutcome::Done);
    EXPECT_FALSE(result.resumed);
    EXPECT_EQ(server.CountRequests("/patch/files/big.pak"), 1);
    EXPECT_TRUE(testsupport::ReadBytes(dir / L"big.pak") == body) << "24 MiB file differs";
}
