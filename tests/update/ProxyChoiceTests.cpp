// The player's proxy in whole update runs: the user's Internet settings as the prefix's registry holds
// them, and proxies that ask for a login the launcher can or cannot give.
#include "PlayerTexts.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using updatetest::RunUpdate;

namespace {

const std::string kProxyLogin = testsupport::Utf8(player_texts::kProxyLogin);
const std::string kUpdated = testsupport::Utf8(player_texts::kUpdated);

class ProxyChoiceTest : public ::testing::Test {
protected:
    void SetUp() override { testsupport::DeleteUserProxySettings(); }
    void TearDown() override { testsupport::DeleteUserProxySettings(); }
};

// Wine sends a proxied request with a relative path when the proxy and the host have the same name, so
// the patch host is named "localhost" and the proxy "127.0.0.1" (both the loopback address).
std::wstring PatchHostBehindProxy() {
    return L"http://localhost:" + std::to_wstring(testsupport::kLoopbackPort + 2) + L"/patch/";
}

TEST_F(ProxyChoiceTest, AProxyThatAsksForALoginEndsTheRunWithItsStatus) {
    struct Case {
        const char* name;
        const char* challenge;  // Proxy-Authenticate lines
        const char* loggedScheme;
        bool resent;  // the Windows logon was offered, so the request went out twice
        bool bypassed;  // the proxy's bypass list names the host, which answers itself
    };
    const Case cases[] = {
        {"NTLM only", "Proxy-Authenticate: NTLM\r\n", "NTLM", true, false},
        {"Negotiate preferred over NTLM", "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Negotiate\r\n", "Negotiate",
         true, false},
        {"a password (Basic) is never answered", "Proxy-Authenticate: Basic realm=\"shop\"\r\n", "Basic", false, false},
        // The fault: a LAN host the proxy does not carry requests to collecting the seat's NTLM exchange.
        {"a host on the bypass list that answers 407 is never offered the logon", "Proxy-Authenticate: NTLM\r\n", "NTLM",
         false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        LoopbackHttpServer answering(testsupport::kLoopbackPort + (c.bypassed ? 2 : 1));
        ASSERT_TRUE(answering.Started());
        testsupport::HttpResponse login{407, "login required"};
        login.headers = c.challenge;
        answering.AnswerAll(login);
        const std::string proxyName = "127.0.0.1:" + std::to_string(testsupport::kLoopbackPort + 1);
        ASSERT_TRUE(testsupport::WriteUserProxySettings(3, proxyName, c.bypassed ? "localhost" : ""));

        updatetest::RunOptions options;
        options.hosts = {PatchHostBehindProxy()};
        const auto run = RunUpdate(dir, L"Launcher.exe", options);
        ASSERT_TRUE(run.exited);
        ASSERT_FALSE(run.Texts().empty());
        EXPECT_EQ(run.Texts().back(), kProxyLogin);
        EXPECT_EQ(run.Finished(), std::vector<std::string>{"F 1"});
        EXPECT_TRUE(run.Logged(c.bypassed ? "asks for NTLM authentication; the Windows logon goes only to the proxy"
                                          : "[Launcher][http] proxy " + proxyName + " asks for " + c.loggedScheme +
                                                " authentication"));
        const std::vector<std::string> heads = answering.RequestLines();
        ASSERT_FALSE(heads.empty());
        EXPECT_EQ(heads.front().rfind(c.bypassed ? "GET /patch/" : "GET http://localhost:", 0), 0u) << heads.front();
        EXPECT_EQ(heads.size(), c.resent ? 2u : 1u);
    }
}

TEST_F(ProxyChoiceTest, WithoutAUserProxyTheRunGoesDirect) {
    // Settings that say "direct" and no settings at all: Windows' automatic choice, which reaches the host
    // and, with no proxy carrying the requests, logs no proxy.
    for (const bool direct : {true, false}) {
        SCOPED_TRACE(direct ? "direct in the settings" : "no settings");
        TempDir dir;
        LoopbackHttpServer server;
        ASSERT_TRUE(server.Started());
        updatetest::Publish(server, {{"a.txt", "alpha"}});
        if (direct) {
            ASSERT_TRUE(testsupport::WriteUserProxySettings(1, ""));
        }
        const auto run = RunUpdate(dir);
        ASSERT_TRUE(run.exited);
        ASSERT_FALSE(run.Texts().empty());
        EXPECT_EQ(run.Texts().back(), kUpdated);
        EXPECT_FALSE(run.Logged("[Launcher][http] proxy for "));
        EXPECT_EQ(server.CountRequests("/patch/manifest.txt"), 1);
    }
}

}  // namespace
