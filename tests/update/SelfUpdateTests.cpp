// Self-update of a real running executable: the updater probe runs from a game directory as Launcher.exe.
#include "InstallationKey.h"
#include "LauncherPath.h"
#include "PlayerTexts.h"
#include "Settings.h"
#include "update/RolloutShare.h"
#include "update/SelfUpdate.h"

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"
#include "UpdateRun.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using testsupport::HttpResponse;
using testsupport::LoopbackHttpServer;
using testsupport::TempDir;
using updatetest::RunUpdate;

namespace {

const std::string kRestarting = testsupport::Utf8(player_texts::kSelfRestarting);

// The machine's LastSelfUpdateSha of the installation in `dir`.
std::wstring MachineShaName(const std::wstring& dir) {
    return L"LastSelfUpdateSha " + InstallationDigest(dir);
}
const std::string kUpdating = testsupport::Utf8(player_texts::kSelfUpdating);

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

TEST_F(SelfUpdateTest, DownloadsTheNewExecutableAndAsksForTheHandOver) {
    const std::string digest = testsupport::Sha256Hex(newLauncher);
    Serve(newLauncher, digest);
    auto run = RunUpdate(dir);
    ASSERT_TRUE(run.exited);
    // The running launcher only fetches; the new executable replaces it once this process has ended.
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe"), updatetest::ProbeBytes());
    EXPECT_EQ(testsupport::ReadBytes(dir / L"Launcher.exe.new"), newLauncher);
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.old"));
    ASSERT_GE(run.messages.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(run.messages.begin(), run.messages.begin() + 4),
              (std::vector<std::string>{"S " + testsupport::Utf8(player_texts::kConnecting), "P 0", "S " + kUpdating, "P 0"}));
    EXPECT_EQ(std::vector<std::string>(run.messages.end() - 3, run.messages.end()),
              (std::vector<std::string>{"P 100", "S " + kRestarting, "R"}));
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"R"}));  // no finished message, no file check
    EXPECT_TRUE(run.flagCleared);
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");  // written after the replace
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 1);
    EXPECT_TRUE(run.Logged("[Launcher][self-update] downloading from http://127.0.0.1:"));
    EXPECT_TRUE(run.Logged("files/Launcher.exe (expected size=" + std::to_string(newLauncher.size()) + ")\n"));
}

TEST_F(SelfUpdateTest, UpToDateLauncherRefreshesTheRegistry) {
    const std::string own = updatetest::ProbeBytes();
    Serve(own, testsupport::Sha256Hex(own));
    testsupport::WriteMachineString(MachineShaName(dir.Path()).c_str(), std::wstring(64, L'f'));
    auto run = RunUpdate(dir);
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);
    EXPECT_EQ(testsupport::ReadMachineString(MachineShaName(dir.Path()).c_str()),
              testsupport::Wide(testsupport::Sha256Hex(own)));
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), testsupport::Wide(testsupport::Sha256Hex(own)));
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

// The version the manifest names was installed once already and the running file still differs: only the
// machine's record of this installation says so. What a program of the user can set stops nothing.
TEST_F(SelfUpdateTest, AntiLoopBailsOnlyOnTheMachinesRecord) {
    const std::string digest = testsupport::Sha256Hex(newLauncher);
    Serve(newLauncher, digest);
    std::wstring spaced;  // upper case with separators still spells the digest
    for (std::size_t i = 0; i < digest.size(); ++i) {
        spaced += static_cast<wchar_t>(toupper(digest[i]));
        if (i % 8 == 7) spaced += L'-';
    }
    struct LoopCase {
        const char* name;
        bool machineRecord;
        bool userRecord;
        bool rolledBackVariable;
        bool bails;
    };
    const LoopCase cases[] = {
        {"the machine's record", true, false, false, true},
        {"the user's LastSelfUpdateSha", false, true, false, false},
        {"KORVANE_LAUNCHER_ROLLED_BACK set by the caller", false, false, true, false},
    };
    for (const LoopCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir game;
        testsupport::ClearLauncherRegistry();
        if (c.machineRecord) testsupport::WriteMachineString(MachineShaName(game.Path()).c_str(), spaced);
        if (c.userRecord) testsupport::WriteRegistryString(L"LastSelfUpdateSha", testsupport::Wide(digest));
        if (c.rolledBackVariable) SetEnvironmentVariableW(L"KORVANE_LAUNCHER_ROLLED_BACK", L"1");
        const int before = server.CountRequests("/patch/files/Launcher.exe");
        auto run = RunUpdate(game);
        SetEnvironmentVariableW(L"KORVANE_LAUNCHER_ROLLED_BACK", nullptr);
        EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe") - before, c.bails ? 0 : 1);
        EXPECT_EQ(run.Logged("[Launcher][self-update] anti-loop bail. manifest=" + digest.substr(0, 16) +
                             "..., registry-last-installed=" + digest.substr(0, 16) + "..., local="),
                  c.bails);
        EXPECT_EQ(testsupport::ReadBytes(game / L"Launcher.exe"), updatetest::ProbeBytes());
        EXPECT_EQ(run.Finished(), (std::vector<std::string>{c.bails ? "F 0" : "R"}));
    }
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
                        testsupport::Utf8(player_texts::kSelfVerifyFailed)),
              texts.end());
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");
    EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
}

TEST_F(SelfUpdateTest, MissingExecutableOnTheServer) {
    server.RouteBody("/patch/manifest.txt", "LAUNCHER_SELF|5|" + std::string(64, 'd') + "\n");
    auto run = RunUpdate(dir);
    EXPECT_TRUE(run.Logged("[Launcher][http] HTTP 404 for files/Launcher.exe"));
    EXPECT_TRUE(run.Logged("[Launcher][self-update] FetchVerifiedFile \xE5\x9B\x9E DownloadFailed."));
    EXPECT_FALSE(testsupport::FileExists(dir / L"Launcher.exe.new"));
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

// A hand-over directory: the probe as the running Launcher.exe and, as Launcher.exe.new, a probe of another
// generation (another digest) that the manifest names. The probe started as Launcher.exe again writes what
// its update run posted to Launcher.exe.messages.txt.
class HandOverTest : public SelfUpdateTest {
protected:
    void SetUp() override {
        SelfUpdateTest::SetUp();
        Serve(generation, digest);
        ASSERT_TRUE(testsupport::WriteBytes(exe, updatetest::ProbeBytes()));
        ASSERT_TRUE(testsupport::WriteBytes(fresh, generation));
    }

    // The texts the restarted launcher's run posted, once it has written its last one (the finished flag).
    std::vector<std::string> RestartedTexts() const {
        std::vector<std::string> texts;
        const std::wstring record = exe + L".messages.txt";
        const auto finished = [&] {
            const std::string bytes = testsupport::ReadBytes(record);
            return bytes.rfind("F ", 0) == 0 || bytes.find("\nF ") != std::string::npos;
        };
        if (!testsupport::WaitUntil(finished, 60000)) return texts;
        const std::string bytes = testsupport::ReadBytes(record);
        for (std::size_t at = 0; at < bytes.size();) {
            std::size_t end = bytes.find('\n', at);
            if (end == std::string::npos) end = bytes.size();
            const std::string line = bytes.substr(at, end - at);
            if (line.rfind("S ", 0) == 0 || line.rfind("F ", 0) == 0) texts.push_back(line);
            at = end + 1;
        }
        return texts;
    }

    const std::string generation = updatetest::ProbeBytes() + "\nanother launcher generation\n";
    const std::string digest = testsupport::Sha256Hex(generation);
    const std::wstring exe = dir / L"Launcher.exe";
    const std::wstring fresh = exe + L".new";
};

const std::string kRolledBack = "S " + testsupport::Utf8(player_texts::kSelfRolledBack);

TEST_F(HandOverTest, ReplacesTheLauncherOnceTheOldOneHasEnded) {
    // The old launcher: holds its file like a running image until it is told to end.
    testsupport::Process old;
    ASSERT_TRUE(old.Start(testsupport::BesideTestExe(L"update_tests.exe"), L"--child GrabWhenItAppears \"" + exe + L"\""));
    testsupport::Process handOver;
    ASSERT_TRUE(handOver.Start(fresh, L"--hand-over " + std::to_wstring(old.Id()), dir.Path()));
    testsupport::ReleaseHeldFile(exe);
    EXPECT_TRUE(old.WaitExit(30000));
    EXPECT_TRUE(handOver.WaitExit(30000));
    const std::vector<std::string> texts = RestartedTexts();
    EXPECT_EQ(testsupport::ReadBytes(exe), generation);
    EXPECT_FALSE(testsupport::FileExists(fresh));
    EXPECT_EQ(testsupport::ReadMachineString(MachineShaName(dir.Path()).c_str()), testsupport::Wide(digest));
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), testsupport::Wide(digest));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), kRolledBack), 0);
    EXPECT_NE(std::find(texts.begin(), texts.end(), "F 0"), texts.end());  // the new one is up to date
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);
}

TEST_CHILD_ROUTINE(ExitAtOnce) {
    return args.empty() ? 0 : 1;
}

// Launcher.exe held by the test without delete sharing, as a scanner would: the one rename keeps failing.
TEST_F(HandOverTest, RollsBackWhenTheLauncherStaysHeld) {
    HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    testsupport::Process ended;  // the old launcher, gone already
    ASSERT_TRUE(ended.Start(testsupport::BesideTestExe(L"update_tests.exe"), L"--child ExitAtOnce"));
    ASSERT_TRUE(ended.WaitExit(30000));
    const testsupport::ChildRun run = testsupport::RunCapturingDebugOutput(
        L"\"" + fresh + L"\" --hand-over " + std::to_wstring(ended.Id()), 60000, dir.Path());
    EXPECT_TRUE(run.exited);
    bool logged = false;
    for (const std::string& line : run.debugLines) {
        logged = logged || line.find("[Launcher][self-update] step 2 rename (.new \xE2\x86\x92 .exe) "
                                     "\xE5\xA4\xB1\xE6\x95\x97, GetLastError=") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    // The old launcher runs again: it shows the rollback, removes the new file and fetches nothing more.
    const std::vector<std::string> texts = RestartedTexts();
    CloseHandle(held);
    EXPECT_EQ(std::count(texts.begin(), texts.end(), kRolledBack), 1);
    EXPECT_FALSE(testsupport::FileExists(fresh));
    EXPECT_EQ(testsupport::ReadBytes(exe), updatetest::ProbeBytes());
    EXPECT_EQ(testsupport::ReadRegistryString(L"LastSelfUpdateSha"), L"<no key>");
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 0);  // no loop of restarts
}

TEST(SelfUpdateRegistryTest, ReadNormalisesAndRejects) {
    testsupport::ClearLauncherRegistry();
    const std::wstring name = MachineShaName(LauncherDirFromPath(GetLauncherExePath()));
    const std::string digest = testsupport::Sha256Hex("abc");
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    WriteLastSelfUpdateSha(digest.substr(0, 63));
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    WriteLastSelfUpdateSha(digest);
    EXPECT_EQ(ReadLastSelfUpdateSha(), digest);
    EXPECT_EQ(testsupport::ReadMachineString(name.c_str()), testsupport::Wide(digest));
    testsupport::WriteMachineString(name.c_str(), L"  " + testsupport::Wide(digest) + L"0");
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");  // 65 digits
    ASSERT_TRUE(testsupport::WriteMachineQword(name, 5));
    EXPECT_EQ(ReadLastSelfUpdateSha(), "");
    testsupport::ClearLauncherRegistry();
}

// A launcher rolled out to a share of installations. The slot of one id, worked out by hand (Python's hashlib);
// the share taken over 100,000 ids within half a point of the line's, and over their first 1,000 within 5
// points (the sampling error of 1,000 ids alone is 1.6 points at 50 %); a raised share keeps every id that was in.
TEST(RolloutShareTest, TheShareTakenIsTheLinesAndRaisingItKeepsEveryoneIn) {
    const std::string launcher = testsupport::Sha256Hex("a new launcher");
    RolloutId counting{};
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(RolloutSlot(counting, launcher), 6860u);
    EXPECT_NE(RolloutSlot(counting, testsupport::Sha256Hex("the one after")), 6860u);  // new launcher, new slots
    EXPECT_EQ(RolloutSlot(counting, "not a digest"), 10000u);

    std::mt19937 random(20261210);
    std::vector<std::uint32_t> slots(100000);
    for (std::uint32_t& slot : slots) {
        RolloutId id{};
        for (unsigned char& byte : id) byte = static_cast<unsigned char>(random());
        slot = RolloutSlot(id, launcher);
    }
    std::vector<bool> wasIn(slots.size(), false);
    for (std::uint32_t share : {0u, 1u, 500u, 2500u, 5000u, 9900u, 10000u}) {
        SCOPED_TRACE(testing::Message() << "share " << share);
        std::size_t in = 0;
        std::size_t inFirst = 0;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const bool taken = slots[i] < share;
            if (wasIn[i]) {
                EXPECT_TRUE(taken) << "id " << i << " dropped";
            }
            wasIn[i] = taken;
            in += taken ? 1 : 0;
            inFirst += taken && i < 1000 ? 1 : 0;
        }
        EXPECT_NEAR(in / 1000.0, share / 100.0, 0.5);  // points of a percent
        EXPECT_NEAR(inFirst / 10.0, share / 100.0, 5.0);
    }
}

// Outside the share the launcher keeps itself, says so once, and updates the game as usual; the whole share, or
// an installation inside it, takes the new launcher.
TEST_F(SelfUpdateTest, AnInstallationOutsideTheShareKeepsItsLauncher) {
    const std::string digest = testsupport::Sha256Hex(newLauncher);
    for (const char* share : {"0", "10000"}) {
        SCOPED_TRACE(share);
        testsupport::ClearLauncherRegistry();
        TempDir game;
        server.RouteBody("/patch/files/Launcher.exe", newLauncher);
        server.RouteBody("/patch/files/a.pak", "alpha");
        server.RouteBody("/patch/manifest.txt", "VERSION=2\nLAUNCHER_SELF|" + std::to_string(newLauncher.size()) + "|" +
                                                    digest + "\nLAUNCHER_SHARE=" + share + "\n" +
                                                    updatetest::FileLine("a.pak", "alpha"));
        auto run = RunUpdate(game);
        ASSERT_TRUE(run.exited);
        const bool whole = std::string(share) == "10000";
        EXPECT_EQ(testsupport::FileExists(game / L"Launcher.exe.new"), whole);
        EXPECT_EQ(run.Logged("[Launcher][self-update] launcher " + digest.substr(0, 16) + "... is rolled out to 0.00 %"),
                  !whole);
        if (!whole) {
            EXPECT_EQ(run.Finished(), (std::vector<std::string>{"F 0"}));
            EXPECT_EQ(testsupport::ReadBytes(game / L"a.pak"), "alpha");
            EXPECT_EQ(testsupport::ReadMachineString(MachineShaName(game.Path()).c_str()), L"<no key>");
        }
    }
}
