#include "update/PatchHost.h"
#include "update/Http.h"
#include "update/HttpDownload.h"

#include "ChildProcesses.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"

#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <thread>

using testsupport::Delivery;
using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;

TEST(CrackUrlTest, SplitsBasesAndAppendsTheSuffix) {
    struct Case {
        const wchar_t* url;
        const wchar_t* suffix;
        const wchar_t* host;
        INTERNET_PORT port;
        const wchar_t* path;
        bool secure;
    } cases[] = {
        {L"https://patch.example.com/patch/", L"manifest.txt", L"patch.example.com", 443, L"/patch/manifest.txt", true},
        {L"http://patch.example.com/patch/", L"manifest.txt", L"patch.example.com", 80, L"/patch/manifest.txt", false},
        {L"https://localhost:8443/patch/", L"files/a b/c.pak", L"localhost", 8443, L"/patch/files/a b/c.pak", true},
        {L"http://127.0.0.1:18431/patch/", nullptr, L"127.0.0.1", 18431, L"/patch/", false},
        {L"https://h/patch/", L"", L"h", 443, L"/patch/", true},
    };
    for (const Case& c : cases) {
        UrlParts parts;
        ASSERT_TRUE(CrackUrl(c.url, c.suffix, parts)) << testsupport::Utf8(c.url);
        EXPECT_EQ(parts.host, c.host);
        EXPECT_EQ(parts.port, c.port);
        EXPECT_EQ(parts.path, c.path);
        EXPECT_EQ(parts.secure, c.secure);
    }
}

TEST(CrackUrlTest, RefusedUrlLeavesThePartsAlone) {
    UrlParts parts;
    parts.host = L"before";
    parts.port = 1;
    EXPECT_FALSE(CrackUrl(L"not a url", L"manifest.txt", parts));
    EXPECT_EQ(parts.host, L"before");
    EXPECT_EQ(parts.port, 1);
}

TEST(FetchManifestTest, ReturnsTheBodyWhateverTheStatus) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    const std::string manifest = "VERSION=1\nFILE|a|1|" + std::string(64, 'a') + "\n";
    struct Case {
        HttpResponse response;
        std::string expected;
    } cases[] = {
        {HttpResponse{200, manifest}, manifest},
        {HttpResponse{404, "no such manifest\n"}, "no such manifest\n"},
        {HttpResponse{500, "<html>oops</html>"}, "<html>oops</html>"},
        {HttpResponse{200, ""}, ""},
        {HttpResponse{200, testsupport::PatternBytes(300000, 9), Delivery::Chunked}, testsupport::PatternBytes(300000, 9)},
        {HttpResponse{200, testsupport::PatternBytes(20000, 5), Delivery::Slow, 700, 5}, testsupport::PatternBytes(20000, 5)},
    };
    for (const Case& c : cases) {
        server.Route("/patch/manifest.txt", c.response);
        EXPECT_EQ(FetchManifest(PatchBaseUrl).body, c.expected) << "status " << c.response.status;
    }
    std::vector<std::string> heads = server.RequestLines();
    ASSERT_GE(heads.size(), 2u);
    EXPECT_EQ(heads[0].rfind("GET /patch/manifest.zst HTTP/1.1\r\n", 0), 0u) << heads[0];
    EXPECT_EQ(heads[1].rfind("GET /patch/manifest.txt HTTP/1.1\r\n", 0), 0u) << heads[1];
    EXPECT_NE(heads[1].find("User-Agent: KorvaneLauncher/1.0\r\n"), std::string::npos) << heads[1];
}

// manifest.zst comes first, in a fraction of the bytes; whatever is wrong with it, manifest.txt is asked for.
TEST(FetchManifestTest, TheCompressedManifestComesFirstAndAnythingWrongWithItFallsBack) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    const std::string manifest = "VERSION=2\n" + std::string(5000, '#') + "\nFILE|a|1|" + std::string(64, 'a') + "\n";
    const auto compress = [](const std::string& text) {  // with its checksum, as patchgen makes it
        ZSTD_CCtx* context = ZSTD_createCCtx();
        ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
        std::string frame(ZSTD_compressBound(text.size()), '\0');
        frame.resize(ZSTD_compress2(context, &frame[0], frame.size(), text.data(), text.size()));
        ZSTD_freeCCtx(context);
        return frame;
    };
    const std::string frame = compress(manifest);
    std::string flipped = frame;
    flipped[flipped.size() / 2] ^= 0x40;
    struct Case {
        const char* name;
        HttpResponse compressed;
        std::string expected;
        int plainRequests;
    };
    const Case cases[] = {
        {"served", HttpResponse{200, frame}, manifest, 0},
        {"not served", HttpResponse{404, "no such file"}, "the plain one\n", 1},
        {"other bytes", HttpResponse{200, flipped}, "the plain one\n", 1},
        {"cut off", HttpResponse{200, frame.substr(0, frame.size() - 3)}, "the plain one\n", 1},
        {"more than a manifest may be", HttpResponse{200, compress(std::string(kMaxManifestBytes + 1, 'x'))}, "the plain one\n", 1},
    };
    server.RouteBody("/patch/manifest.txt", "the plain one\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server.Route("/patch/manifest.zst", c.compressed);
        const int before = server.CountRequests("/patch/manifest.txt");
        const FetchedManifest fetched = FetchManifest(PatchBaseUrl);
        EXPECT_EQ(fetched.body, c.expected);
        EXPECT_EQ(fetched.digestedBytes, c.expected.size());
        EXPECT_EQ(server.CountRequests("/patch/manifest.txt") - before, c.plainRequests);
    }
}

// The digest taken on the way in covers exactly the bytes before the signature line, however the body
// arrives: whole, in chunks, or a few bytes at a time across the line starts.
TEST(FetchManifestTest, DigestCoversTheBytesBeforeTheSignatureLine) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    const std::string lines = "\xEF\xBB\xBFVERSION=1\r\n" + testsupport::PatternBytes(30000, 4) + "\nFILE|a|1|" +
                              std::string(64, 'a') + "\n";
    const std::string signatureLine = "SIGNATURE|0123456789abcdef|" + std::string(128, '1') + "\n";
    struct DigestCase {
        const char* name;
        std::string body;
        std::size_t digested;
        Delivery delivery;
    };
    const DigestCase cases[] = {
        {"signed", lines + signatureLine, lines.size(), Delivery::Normal},
        {"signed, in chunks", lines + signatureLine, lines.size(), Delivery::Chunked},
        {"signed, 7 bytes at a time", lines + signatureLine, lines.size(), Delivery::Slow},
        {"unsigned", lines, lines.size(), Delivery::Slow},
        {"a last line without its line feed", lines + "NEWS=x", lines.size(), Delivery::Normal},
    };
    for (const DigestCase& c : cases) {
        SCOPED_TRACE(c.name);
        server.Route("/patch/manifest.txt", HttpResponse{200, c.body, c.delivery, 7, 0});
        const FetchedManifest fetched = FetchManifest(PatchBaseUrl);
        ASSERT_EQ(fetched.body, c.body);
        ASSERT_TRUE(fetched.digested);
        EXPECT_EQ(fetched.digestedBytes, c.digested);
        std::string hex;
        for (unsigned char b : fetched.digest) {
            hex.push_back("0123456789abcdef"[b >> 4]);
            hex.push_back("0123456789abcdef"[b & 15]);
        }
        EXPECT_EQ(hex, testsupport::Sha256Hex(c.body.substr(0, c.digested)));
    }
}

// A cut-off manifest would read as a complete but shorter file list.
TEST(FetchManifestTest, BodyCutOffBeforeItsLengthGivesNothing) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    for (Delivery cut : {Delivery::CutOrderly, Delivery::CutReset}) {
        server.Route("/patch/manifest.txt", HttpResponse{200, testsupport::PatternBytes(200000, 3), cut});
        EXPECT_EQ(FetchManifest(PatchBaseUrl).body, "") << static_cast<int>(cut);
    }
}

TEST_CHILD_ROUTINE(FetchOversizedManifest) {
    return FetchManifest(PatchBaseUrl).body.empty() ? 0 : 1;
}

// A body past 32 MiB is a failed fetch with a line saying so, never an exhausted launcher.
TEST(FetchManifestTest, OversizedBodyIsRefused) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    const std::string huge(static_cast<std::size_t>(kMaxManifestBytes) + 1, '#');
    struct SizeCase {
        Delivery delivery;
        const char* logged;
    };
    for (const SizeCase& c : {SizeCase{Delivery::Normal, "announces 33554433 bytes"},
                              SizeCase{Delivery::Unsized, "is longer than the 33554432 bytes taken"}}) {
        server.Route("/patch/manifest.txt", HttpResponse{200, huge, c.delivery});
        testsupport::ChildRun run = testsupport::RunChildRoutine("FetchOversizedManifest", {});
        EXPECT_EQ(run.exitCode, 0u);
        ASSERT_EQ(run.debugLines.size(), 1u);
        EXPECT_NE(run.debugLines[0].find(c.logged), std::string::npos) << run.debugLines[0];
    }
}

// Each segment goes as UTF-8 with everything but letters, digits and -._~ escaped, so that a host which
// decodes paths finds the file of exactly that name.
TEST(PercentEncodePathTest, EscapesAllButTheUnreserved) {
    struct EncodeCase {
        const wchar_t* path;
        const wchar_t* sent;
    };
    const EncodeCase cases[] = {
        {L"files/Data/a.pak", L"files/Data/a.pak"},
        {L"files/100%.pak", L"files/100%25.pak"},
        {L"files/a%20b.pak", L"files/a%2520b.pak"},
        {L"files/a b.pak", L"files/a%20b.pak"},
        {L"files/#+&[];=?!'@$,()*:", L"files/%23%2B%26%5B%5D%3B%3D%3F%21%27%40%24%2C%28%29%2A%3A"},
        {L"files/-._~", L"files/-._~"},
        {L"files/\u8cc7\u6599/\u5730\u5716.map", L"files/%E8%B3%87%E6%96%99/%E5%9C%B0%E5%9C%96.map"},
        {L"", L""},
    };
    for (const EncodeCase& c : cases) EXPECT_EQ(PercentEncodePath(c.path), c.sent) << testsupport::Utf8(c.path);
}

TEST(FetchManifestTest, NoServerGivesNothing) {
    EXPECT_EQ(FetchManifest(PatchBaseUrl).body, "");
}

TEST_CHILD_ROUTINE(FetchAndDownloadFromASilentHost) {
    // Both at once: each waits for its own 30 s time-out.
    std::string body = "unset";
    std::thread fetch([&] { body = FetchManifest(PatchBaseUrl).body; });
    HttpRequest http;
    const bool downloaded = static_cast<bool>(
        HttpDownloadToFile(http, PatchBaseUrl, L"files/silent.bin", args.at(0), 10, std::string(64, '0'), nullptr));
    fetch.join();
    const bool partLeft = testsupport::FileExists(args.at(0) + L".part");
    return (body.empty() ? 0 : 1) | (downloaded ? 2 : 0) | (partLeft ? 4 : 0);
}

// A host that accepts the connection and never answers must not hold the update at "connecting" for ever.
TEST(SilentHostTest, FetchAndDownloadGiveUpAfterTheTimeOut) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    server.AnswerAll(HttpResponse{200, "never sent", Delivery::NeverAnswer});
    testsupport::TempDir dir;
    const DWORD start = GetTickCount();
    testsupport::ChildRun run = testsupport::RunChildRoutine("FetchAndDownloadFromASilentHost", {dir / L"silent.bin"}, 120000);
    ASSERT_TRUE(run.exited) << "still waiting after 120 s";
    EXPECT_EQ(run.exitCode, 0u) << "1: a manifest body, 2: a download reported done, 4: a .part left";
    EXPECT_GE(GetTickCount() - start, 25000u);  // it did wait for the server, and gave up on its own
    // One line for each request, naming the step that gave up. The manifest is asked for once, as
    // manifest.zst: a host that did not answer is not asked again for manifest.txt.
    ASSERT_EQ(run.debugLines.size(), 2u);
    for (const std::string& line : run.debugLines) EXPECT_EQ(line.rfind("[Launcher][http] WinHttp", 0), 0u) << line;
    for (const char* name : {" failed for files/silent.bin, GetLastError=", " failed for manifest.zst, GetLastError="}) {
        EXPECT_TRUE(std::any_of(run.debugLines.begin(), run.debugLines.end(),
                                [&](const std::string& line) { return line.find(name) != std::string::npos; }))
            << name;
    }
    EXPECT_FALSE(testsupport::FileExists(dir / L"silent.bin"));
}
