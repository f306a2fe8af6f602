// Self-update of a real running executable: the updater probe runs from a game directory as Launcher.exe.
#include "Settings.h"
#include "update/SelfUpdate.h"

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using updatetest::RunUpdate;

namespace {

const std::string kRestarting = "\xE5\x95\x9F\xE5\x8B\x95\xE5\x99\xA8\xE5\xB7\xB2\xE6\x9B\xB4\xE6\x96\xB0, "
                                "\xE9\x87\x8D\xE5\x95\x9F\xE4\xB8\xAD...";  // 啟動器已更新, 重啟中...
const std::string kUpdating = "\xE5\x95\x9F\xE5\x8B\x95\xE5\x99\xA8\xE6\x9B\xB4\xE6\x96\xB0\xE4\xB8\xAD...";  // 啟動器更新中...

class SelfUpdateTest : public testing::Test {
protected:
    void SetUp() override { testsupport::ClearLauncherRegistry(); }
    void TearDown() override { testsupport::ClearLauncherRegistry(); }

    // Serves a manifest naming `served` as the launcher, with its true size and the given digest.
    void Serve(const std::string& served, const std::string& digest) {
        server.RouteBody("/patch/files/Launcher.exe", served);
        server.RouteBody("/patch/manifest.txt",
                         "VERSION=2\nLAUNCHER_SELF|" + std::to_string(served.size()) + "|" + digest + "\n");
    }

    LoopbackHttpServer server;
    TempDir dir;
    const std::string newLauncher = "MZ new launcher " + testsupport::PatternBytes(300000, 42);
};

}  // namespace

TEST_F(SelfUpdateTest, SwapsTheExecutableAndAsksForARestart) {
    const std::string digest = testsupport::Sha256Hex(newLauncher);
    Serve(newLauncher, digest);
    auto run = RunUpdate(dir);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), newLauncher);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe.old"), updatetest::ProbeBytes());
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.new"));
    ASSERT_GE(run.messages.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(run.messages.begin(), run.messages.begin() + 4),
              (std::vector<std::string>{"S \xE9\x80\xA3\xE7\xB7\x9A\xE4\xB8\xAD...", "P 0", "S " + kUpdating, "P 0"}));
    EXPECT_EQ(std::vector<std::string>(run.messages.end() - 3, run.messages.end()),
              (std::vector<std::string>{"P 100", "S " + kRestarting, "R"}));
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"R"}));  // no finished message, no file check
    EXPECT_TRUE(run.flagCleared);
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), testsupport::Wide(digest));
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 1);
    EXPECT_TRUE(run.Logged("[Launcher][self-update] downloading from http://127.0.0.1:"));
    EXPECT_TRUE(run.Logged("files/Launcher.exe (expected size=" + std::to_string(newLauncher.size()) + ")\n"));
}

TEST_F(SelfUpdateTest, UpToDateLauncherRefreshesTheRegistry) {
    const std::string own = updatetest::ProbeBytes();
    Serve(own, testsupport::Sha256Hex(own));
    testsupport::WriteRegistryString(L"LastSelfUpdateSha", std::wstring(64, L'f'));
    auto run = RunUpdate(dir);
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), testsupport::Wide(testsupport::Sha256Hex(own)));
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

// The version the manifest names was installed once already and the running file still differs.
TEST_F(SelfUpdateTest, AntiLoopBailsWithoutDownloading) {
    const std::string digest = testsupport::Sha256Hex(newLauncher);
    Serve(newLauncher, digest);
    std::wstring spaced;  // upper case with separators still spells the digest
    for (std::size_t i = 0; i < digest.size(); ++i) {
        spaced += static_cast<wchar_t>(toupper(digest[i]));
        if (i % 8 == 7) spaced += L'-';
    }
    testsupport::WriteRegistryString(L"LastSelfUpdateSha", spaced);
    auto run = RunUpdate(dir);
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);
    EXPECT_TRUE(run.Logged("[Launcher][self-update] anti-loop bail. manifest=" + digest.substr(0, 16) +
                           "..., registry-last-installed=" + digest.substr(0, 16) + "..., local="));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), updatetest::ProbeBytes());
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST_F(SelfUpdateTest, WrongDigestKeepsTheOldLauncher) {
    Serve(newLauncher, std::string(64, 'c'));
    auto run = RunUpdate(dir);
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), updatetest::ProbeBytes());
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.new"));
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.old"));
    EXPECT_TRUE(run.Logged("[Launcher][self-update] \xE6\xA0\xA1\xE9\xA9\x97\xE5\xA4\xB1\xE6\x95\x97. downloaded=" +
                           testsupport::Sha256Hex(newLauncher).substr(0, 16) + "..., manifest=cccccccccccccccc...."));
    std::vector<std::string> texts = run.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(),
                        "\xE5\x95\x9F\xE5\x8B\x95\xE5\x99\xA8\xE6\x9B\xB4\xE6\x96\xB0\xE6\xA0\xA1\xE9\xA9\x97\xE5\xA4\xB1"
                        "\xE6\x95\x97, \xE8\xB7\xB3\xE9\x81\x8E"),  // 啟動器更新校驗失敗, 跳過
              texts.end());
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST_F(SelfUpdateTest, MissingExecutableOnTheServer) {
    server.RouteBody("/patch/manifest.txt", "LAUNCHER_SELF|5|" + std::string(64, 'd') + "\n");
    auto run = RunUpdate(dir);
    EXPECT_TRUE(run.Logged("[Launcher][http] HTTP 404 for files/Launcher.exe"));
    EXPECT_TRUE(run.Logged("[Launcher][self-update] HttpDownloadToFile \xE5\x9B\x9E false."));
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.new"));
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST_F(SelfUpdateTest, FailedFirstMoveKeepsTheNewFile) {
    Serve(newLauncher, testsupport::Sha256Hex(newLauncher));
    // A directory where the backup should go makes the first rename fail.
    ASSERT_TRUE(CreateDirectoryW((dir / L"Launcher.exe.old").c_str(), nullptr));
    testsupport::WriteBytes(dir / L"Launcher.exe.old\\keep", "x");  // so the leftover clean-up cannot remove it
    auto run = RunUpdate(dir);
    EXPECT_TRUE(run.Logged("[Launcher][self-update] step 1 rename (.exe \xE2\x86\x92 .old) \xE5\xA4\xB1\xE6\x95\x97, GetLastError="));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), updatetest::ProbeBytes());
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe.new"), newLauncher);
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST_CHILD_ROUTINE(GrabWhenItAppears) {
    // Opens the file without delete sharing the moment it exists, and holds it until told to let go.
    const std::wstring& path = args.at(0);
    HANDLE file = INVALID_HANDLE_VALUE;
    const DWORD start = GetTickCount();
    while (file == INVALID_HANDLE_VALUE && GetTickCount() - start < 60000) {
        file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) return 2;
    testsupport::WaitUntil([&] { return testsupport::FileExists(path + L".release"); }, 60000);
    CloseHandle(file);
    return 0;
}

TEST_F(SelfUpdateTest, FailedSecondMoveRollsBack) {
    // A large download takes long enough to hash that the grabber holds the new file before the swap.
    const std::string large = "MZ" + testsupport::PatternBytes(24 * 1024 * 1024, 5);
    Serve(large, testsupport::Sha256Hex(large));
    const std::wstring newFile = dir / L"Launcher.exe.new";
    testsupport::Process grabber;
    ASSERT_TRUE(grabber.Start(testsupport::BesideTestExe(L"update_tests.exe"),
                              L"--child GrabWhenItAppears \"" + newFile + L"\""));
    auto run = RunUpdate(dir);
    testsupport::WriteBytes(newFile + L".release", "1");
    EXPECT_TRUE(grabber.WaitExit(30000));
    EXPECT_TRUE(run.Logged("[Launcher][self-update] step 2 rename (.new \xE2\x86\x92 .exe) \xE5\xA4\xB1\xE6\x95\x97, GetLastError="));
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), updatetest::ProbeBytes());
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.old"));
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST(SelfUpdateRegistryTest, ReadNormalisesAndRejects) {
    testsupport::ClearLauncherRegistry();
    const std::string digest = testsupport::Sha256Hex("abc");
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    WriteLastSelfUpdateSha(digest.substr(0, 63));
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    WriteLastSelfUpdateSha(digest);
    EXPECT_EQ(ReadLastSelfUpdateSha(), digest);
    testsupport::WriteRegistryString(L"LastSelfUpdateSha", L"  " + testsupport::Wide(digest) + L"0");
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");  // 65 digits
    const DWORD number = 5;
    ASSERT_TRUE(testsupport::WriteRegistryValue(L"LastSelfUpdateSha", REG_DWORD, &number, sizeof(number)));
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    testsupport::ClearLauncherRegistry();
}
