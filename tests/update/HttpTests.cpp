#include "Http.h"

#include "LoopbackHttpServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

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
        EXPECT_EQ(FetchManifestText(), c.expected) << "status " << c.response.status;
    }
    std::vector<std::string> heads = server.RequestLines();
    ASSERT_FALSE(heads.empty());
    EXPECT_EQ(heads[0].rfind("GET /patch/manifest.txt HTTP/1.1\r\n", 0), 0u) << heads[0];
    EXPECT_NE(heads[0].find("User-Agent: KorvaneLauncher/1.0\r\n"), std::string::npos) << heads[0];
}

// A cut-off manifest would read as a complete but shorter file list.
TEST(FetchManifestTest, BodyCutOffBeforeItsLengthGivesNothing) {
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    for (Delivery cut : {Delivery::CutOrderly, Delivery::CutReset}) {
        server.Route("/patch/manifest.txt", HttpResponse{200, testsupport::PatternBytes(200000, 3), cut});
        EXPECT_EQ(FetchManifestText(), "") << static_cast<int>(cut);
    }
}

TEST(FetchManifestTest, NoServerGivesNothing) {
    EXPECT_EQ(FetchManifestText(), "");
}
