// The launcher's two run modes, with real launcher processes: the notice after the game was shut down
// from outside, and the normal run with its hand-off to the programs it starts.
#include "LauncherPath.h"
#include "RunModes.h"

#include "ChildProcesses.h"
#include "LauncherSandbox.h"
#include "ScreenCapture.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <map>
#include <string>
#include <vector>

namespace {

using testsupport::LauncherSandbox;

constexpr wchar_t kMainClass[] = L"KorvaneLauncherMainWnd";
constexpr wchar_t kDefaultBody[] = L"遊戲已關閉。請聯絡管理員。";
constexpr wchar_t kDefaultCaption[] = L"啟動器訊息";

// Sets (or with null removes) variables of this process for the children it starts; restores on destruction.
class ScopedEnvironment {
public:
    void Set(const wchar_t* name, const wchar_t* value) {
        wchar_t old[4096] = {};
        const DWORD n = GetEnvironmentVariableW(name, old, 4096);
        saved_.push_back({name, n == 0 ? std::wstring() : std::wstring(old), n != 0});
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            SetEnvironmentVariableW(it->name.c_str(), it->existed ? it->value.c_str() : nullptr);
        }
    }

private:
    struct Saved {
        std::wstring name, value;
        bool existed;
    };
    std::vector<Saved> saved_;
};

void ClearKickVariables(ScopedEnvironment& env) {
    env.Set(L"KORVANE_KICK_TITLE", nullptr);
    env.Set(L"KORVANE_KICK_BODY", nullptr);
    env.Set(L"KORVANE_KICK_PID", nullptr);
}

bool Contains(const std::vector<std::wstring>& texts, const std::wstring& wanted) {
    for (const std::wstring& t : texts) {
        if (t == wanted) return true;
    }
    return false;
}

TEST(RunModes, OnlyAnExactFirstKickArgumentSelectsTheNotice) {
    ScopedEnvironment env;
    ClearKickVariables(env);
    for (const wchar_t* args : {L"--KICK", L"-kick", L"--kick=1", L"x --kick"}) {
        SCOPED_TRACE(testsupport::Utf8(args));
        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        ASSERT_TRUE(sandbox.Start(args));
        HWND main = sandbox.WaitMainWindow();
        EXPECT_NE(main, nullptr);
        EXPECT_EQ(testsupport::FindTopWindow(L"#32770", L"", sandbox.Proc().Id()), nullptr);
        if (main) PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_TRUE(sandbox.Proc().WaitExit(10000));
    }
    LauncherSandbox sandbox;
    ASSERT_TRUE(sandbox.Prepare());
    ASSERT_TRUE(sandbox.Start(L"--kick"));
    HWND box = testsupport::WaitForTopWindow(L"#32770", L"", 10000, sandbox.Proc().Id());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(testsupport::FindTopWindow(kMainClass, L"", sandbox.Proc().Id()), nullptr);
}

TEST(RunModes, CommandLineAndPathHelpers) {
    EXPECT_TRUE(IsNoticeModeCommandLine(L"Launcher.exe --kick"));
    EXPECT_TRUE(IsNoticeModeCommandLine(L"\"C:\\A B\\Launcher.exe\" --kick more"));
    EXPECT_FALSE(IsNoticeModeCommandLine(L"Launcher.exe"));
    EXPECT_FALSE(IsNoticeModeCommandLine(L"Launcher.exe x --kick"));
    EXPECT_EQ(LauncherDirFromPath(L"C:\\Games\\Launcher\\Launcher.exe"), L"C:\\Games\\Launcher\\");
    EXPECT_EQ(LauncherDirFromPath(L"Launcher.exe"), L"");
    const std::wstring a = MakeRunToken(), b = MakeRunToken();
    for (const std::wstring& t : {a, b}) {
        EXPECT_EQ(t.size(), 32u);
        EXPECT_EQ(t.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << testsupport::Utf8(t);
    }
    EXPECT_NE(a, b);
}

TEST(RunModes, NoticeTextsFromTheEnvironmentOrDefaults) {
    struct TextCase {
        const char* name;
        std::wstring title, body;  // empty: unset
        std::wstring expectCaption, expectBody;
    };
    const std::wstring caption255(255, L'題'), body2047(2047, L'文');
    const TextCase cases[] = {
        {"unset", L"", L"", kDefaultCaption, kDefaultBody},
        {"given", L"伺服器維護", L"管理員已關閉遊戲，請稍後再試。", L"伺服器維護", L"管理員已關閉遊戲，請稍後再試。"},
        {"too long", std::wstring(256, L'題'), std::wstring(2048, L'文'), kDefaultCaption, kDefaultBody},
        {"longest that fits", caption255, body2047, caption255, body2047},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedEnvironment env;
        ClearKickVariables(env);
        if (!c.title.empty()) env.Set(L"KORVANE_KICK_TITLE", c.title.c_str());
        if (!c.body.empty()) env.Set(L"KORVANE_KICK_BODY", c.body.c_str());
        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        ASSERT_TRUE(sandbox.Start(L"--kick"));
        HWND box = testsupport::WaitForTopWindow(L"#32770", L"", 10000, sandbox.Proc().Id());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(testsupport::WindowText(box), c.expectCaption);
        EXPECT_TRUE(Contains(testsupport::ChildTexts(box), c.expectBody));
    }
}

TEST(RunModes, NoticeWaitsUpToThreeSecondsForTheKickingProcess) {
    testsupport::TempDir dir;
    const std::wstring waiter = dir / L"Waiter.exe";
    ASSERT_TRUE(CopyFileW(testsupport::BesideTestExe(L"probe_child.exe").c_str(), waiter.c_str(), FALSE));
    struct WaitCase {
        const char* name;
        const wchar_t* pidFormat;
        DWORD releaseAfterMs;  // 0: the process keeps running
        double atLeast;        // the box must not come sooner: the wait really happened
    };
    const WaitCase cases[] = {
        {"running process", L"%lu", 0, 2.5},
        {"process ending after 1 s", L"%lu", 1000, 0.7},
        {"blank before and letter after the number", L" %lux", 0, 2.5},
    };
    for (const WaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring stay = waiter + L".stay";
        ASSERT_TRUE(testsupport::WriteBytes(stay, "x"));
        testsupport::Process kicker;
        ASSERT_TRUE(kicker.Start(waiter, L"", dir.Path()));
        wchar_t pid[32];
        swprintf(pid, 32, c.pidFormat, static_cast<unsigned long>(kicker.Id()));
        ScopedEnvironment env;
        ClearKickVariables(env);
        env.Set(L"KORVANE_KICK_PID", pid);

        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        const DWORD started = GetTickCount();
        ASSERT_TRUE(sandbox.Start(L"--kick"));
        HWND box = nullptr;
        testsupport::WaitUntil(
            [&] {
                if (c.releaseAfterMs && GetTickCount() - started >= c.releaseAfterMs) DeleteFileW(stay.c_str());
                return (box = testsupport::FindTopWindow(L"#32770", L"", sandbox.Proc().Id())) != nullptr;
            },
            15000);
        const double seconds = (GetTickCount() - started) / 1000.0;
        ASSERT_NE(box, nullptr);
        std::printf("[   INFO   ] %s: box after %.2f s\n", c.name, seconds);
        EXPECT_GE(seconds, c.atLeast);
        if (c.releaseAfterMs) {
            // The box comes once the process has gone, whatever the machine's speed.
            EXPECT_TRUE(kicker.WaitExit(0)) << "the box came while the kicking process still ran";
        }
        DeleteFileW(stay.c_str());
        kicker.WaitExit(5000);
    }
}


TEST(RunModes, NormalRunHandsTokenAndPathToWhatItStarts) {
    std::vector<std::wstring> tokens;
    for (int run = 0; run < 2; ++run) {
        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        ASSERT_TRUE(sandbox.AddProbe(L"Setup.exe"));
        ASSERT_TRUE(sandbox.Start());
        HWND main = sandbox.WaitMainWindow();
        ASSERT_NE(main, nullptr);
        testsupport::WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 5000);
        RECT rect = {};
        GetWindowRect(main, &rect);
        testsupport::MoveMouseTo(rect.left + 40 + 54, rect.top + 224 + 48);
        testsupport::MouseDown();
        testsupport::MouseUp();
        const std::wstring record = sandbox.RecordOf(L"Setup.exe");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 10000));
        auto values = testsupport::ReadProbeRecord(record);
        const std::wstring token = values[L"KORVANE_LAUNCHER_TOKEN"];
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << testsupport::Utf8(token);
        EXPECT_EQ(values[L"KORVANE_LAUNCHER_PATH"], sandbox.LauncherPath());
        tokens.push_back(token);
    }
    EXPECT_NE(tokens[0], tokens[1]);
}

}  // namespace
