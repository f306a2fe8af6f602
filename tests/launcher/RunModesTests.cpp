// The launcher's two run modes, with real launcher processes: the notice after the game was shut down
// from outside, and the normal run with its hand-off to the programs it starts.
#include "PlayerTexts.h"
#include "LauncherPath.h"
#include "NamedObjects.h"
#include "ProgramStart.h"
#include "RunModes.h"
#include "SingleInstance.h"
#include "update/StatusChannel.h"

#include "ChildProcesses.h"
#include "LauncherSandbox.h"
#include "LoopbackHttpServer.h"
#include "ScreenCapture.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"

#include <shellapi.h>
#include <gtest/gtest.h>

#include <cstdio>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::LauncherSandbox;
using testsupport::LoopbackHttpServer;

constexpr wchar_t kMainClass[] = L"KorvaneLauncherMainWnd";
constexpr const wchar_t* kDefaultBody = player_texts::kDefaultKickBody;
constexpr const wchar_t* kDefaultCaption = player_texts::kCaptionMessage;

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


std::wstring ImagePathOf(DWORD processId) {
    ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    std::wstring path(32768, L'\0');
    DWORD chars = static_cast<DWORD>(path.size());
    if (!process.Valid() || !QueryFullProcessImageNameW(process.Get(), 0, &path[0], &chars)) return L"<none>";
    path.resize(chars);
    return path;
}

std::vector<std::wstring> ArgumentsOf(const std::wstring& commandLine) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine.c_str(), &argc);
    std::vector<std::wstring> arguments(argv, argv + (argv ? argc : 0));
    if (argv) LocalFree(argv);
    return arguments;
}

// Every program starts by its path, whatever its name says, in the folder it is given, with the launcher's
// environment, and only when it is the file the manifest lists; nobody can write it until it runs.
TEST(ProgramStartTest, StartsTheFileByItsPathOrRefusesIt) {
    const std::string probe = testsupport::ReadBytes(testsupport::BesideTestExe(L"probe_child.exe"));
    ASSERT_FALSE(probe.empty());
    const std::string probeDigest = testsupport::Sha256Hex(probe);
    struct StartCase {
        const char* name;
        std::wstring file;
        std::vector<std::wstring> arguments;
        std::string sha256;
        bool present;
        StartOutcome outcome;
    };
    const StartCase cases[] = {
        {"no extension at all", L"Zorexe", {}, probeDigest, true, StartOutcome::Started},
        {"a new launcher's name", L"Launcher.exe.new", {L"--hand-over", L"1234"}, probeDigest, true, StartOutcome::Started},
        {"blanks, quotes and backslashes", L"Selmora Game.exe", {L"a b", L"say \"hi\"", L"C:\\with blank\\", L"", L"x\\\"y"},
         "", true, StartOutcome::Started},
        {"another file than the one listed", L"Zorexe.exe", {}, std::string(64, 'c'), true, StartOutcome::WrongDigest},
        {"no such file", L"Setup.exe", {}, "", false, StartOutcome::CannotOpen},
    };
    ScopedEnvironment env;
    env.Set(L"KORVANE_LAUNCHER_TOKEN", L"0123456789abcdef0123456789abcdef");
    for (const StartCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        const std::wstring path = dir / c.file;
        if (c.present) {
            ASSERT_TRUE(testsupport::WriteBytes(path, probe));
        }
        ASSERT_TRUE(testsupport::WriteBytes(path + L".stay", "x"));
        DWORD writeError = 0;
        const StartedProgram started = StartProgram(ProgramStart{path, c.arguments, dir.Path(), c.sha256}, [&](DWORD) {
            ScopedHandle writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
            writeError = writer.Valid() ? 0 : GetLastError();
            return true;
        });
        EXPECT_EQ(started.outcome, c.outcome);
        if (c.outcome != StartOutcome::Started) {
            EXPECT_FALSE(testsupport::WaitUntil([&] { return testsupport::FileExists(path + L".record.txt"); }, 1000));
            continue;
        }
        EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << "the file could be written before it ran";
        EXPECT_EQ(ImagePathOf(started.processId), path);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(path + L".record.txt"); }, 15000));
        auto record = testsupport::ReadProbeRecord(path + L".record.txt");
        std::vector<std::wstring> expected = {path};
        expected.insert(expected.end(), c.arguments.begin(), c.arguments.end());
        EXPECT_EQ(ArgumentsOf(record[L"cmdline"]), expected) << testsupport::Utf8(record[L"cmdline"]);
        EXPECT_EQ(record[L"cwd"] + L"\\", dir.Path());
        EXPECT_EQ(record[L"KORVANE_LAUNCHER_TOKEN"], L"0123456789abcdef0123456789abcdef");
        DeleteFileW((path + L".stay").c_str());
        ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, started.processId));
        if (process.Valid()) WaitForSingleObject(process.Get(), 10000);
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

// ---- one launcher per installation ----

namespace {

// The visible launcher main windows of a process.
std::vector<HWND> VisibleMainWindowsOf(DWORD processId) {
    struct Search {
        DWORD processId;
        std::vector<HWND> found;
    } search{processId, {}};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            if (pid == s->processId && IsWindowVisible(hwnd) && testsupport::ClassName(hwnd) == kMainClass) {
                s->found.push_back(hwnd);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// A visible window of the test in front of everything, so that a hand-off has something to overtake.
class ForegroundDecoy {
public:
    ForegroundDecoy() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KorvaneTestForegroundDecoy";
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, wc.lpszClassName, L"decoy", WS_POPUP | WS_VISIBLE, 0, 0, 200, 200, nullptr,
                                nullptr, wc.hInstance, nullptr);
        SetForegroundWindow(hwnd_);
    }
    ~ForegroundDecoy() { DestroyWindow(hwnd_); }
    HWND Get() const { return hwnd_; }

private:
    HWND hwnd_ = nullptr;
};

DWORD ExitCodeOf(testsupport::Process& process) {
    DWORD code = 12345;
    GetExitCodeProcess(process.Handle(), &code);
    return code;
}

}  // namespace

// `path` with its components below `root` in their short 8.3 names. The temporary folder itself keeps its
// long name: Wine makes a short name from the name's first letters and a hash, and among the many folders
// the tests leave beside it two may share one, which would then name another folder.
std::wstring ShortBelow(const std::wstring& root, const std::wstring& path) {
    std::wstring shortPath(32768, L'\0');
    const DWORD got = GetShortPathNameW((L"\\\\?\\" + path).c_str(), &shortPath[0], 32768);
    std::wstring shortRoot(32768, L'\0');
    const DWORD gotRoot = GetShortPathNameW((L"\\\\?\\" + root).c_str(), &shortRoot[0], 32768);
    if (got == 0 || got >= 32768 || gotRoot == 0 || gotRoot >= 32768) return path;
    shortPath.resize(got);
    shortRoot.resize(gotRoot);
    if (shortPath.compare(0, shortRoot.size(), shortRoot) != 0) return path;
    return root + shortPath.substr(shortRoot.size());
}

TEST(RunModes, InstanceNameIsOnePerDirectoryHoweverItIsSpelt) {
    testsupport::TempDir root;
    const std::wstring dir = root / L"Selmora Online Launcher\\";
    const std::wstring other = root / L"Selmora Online Launcher 2\\";
    ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
    const std::wstring shortPath = ShortBelow(root.Path(), dir);
    ASSERT_NE(shortPath, dir);
    std::wstring upper = dir, slashes = dir;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    for (wchar_t& c : slashes) c = c == L'\\' ? L'/' : c;

    const std::wstring name = InstanceMutexName(dir);
    EXPECT_EQ(name.rfind(L"Local\\KorvaneLauncher-", 0), 0u) << testsupport::Utf8(name);
    const std::wstring digits = name.substr(std::wstring(L"Local\\KorvaneLauncher-").size());
    EXPECT_EQ(digits.size(), 16u);
    EXPECT_EQ(digits.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << testsupport::Utf8(digits);

    struct SpellingCase {
        const char* name;
        std::wstring path;
        bool same;
    };
    const SpellingCase cases[] = {
        {"upper case", upper, true},
        {"forward slashes", slashes, true},
        {"without the trailing backslash", dir.substr(0, dir.size() - 1), true},
        {"through a detour", root / L"Selmora Online Launcher 2\\..\\Selmora Online Launcher\\", true},
        {"short 8.3 names", shortPath, true},
        {"another directory", other, false},
        {"its parent", root.Path(), false},
    };
    for (const SpellingCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(InstanceMutexName(c.path) == name, c.same) << testsupport::Utf8(c.path);
    }
}

// A folder deeper than MAX_PATH: its 8.3 spelling used to keep its short names, GetLongPathNameW taking
// no such path without the long form.
TEST(RunModes, InstanceNameOfADeepFolderIsOnePerSpelling) {
    testsupport::TempDir root;
    std::wstring deep = root / L"Deep installation\\";
    ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr));
    while (deep.size() < 300) {
        deep += std::wstring(40, L'z') + L"\\";
        ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr));
    }
    const std::wstring shortName = ShortBelow(root.Path(), deep);
    ASSERT_NE(shortName.size(), deep.size());  // Wine gives 8.3 names on its drives
    std::wstring upper = deep;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));

    const std::wstring name = InstanceMutexName(deep);
    struct SpellingCase {
        const char* name;
        std::wstring path;
        bool same;
    };
    const SpellingCase cases[] = {
        {"in the long form", L"\\\\?\\" + deep, true},
        {"short 8.3 names", shortName, true},
        {"upper case, no trailing backslash", upper.substr(0, upper.size() - 1), true},
        {"its parent", deep.substr(0, deep.size() - 41), false},
    };
    for (const SpellingCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(InstanceMutexName(c.path) == name, c.same) << testsupport::Utf8(c.path);
    }
}

TEST(RunModes, ClaimWaitsForTheHolderToLetGo) {
    struct ClaimCase {
        const char* name;
        bool held;
        DWORD holdMs;   // how long the holder keeps it once we start claiming; 0: until the end of the case
        bool holderDies;  // the holding thread ends without letting go
        DWORD waitMs;
        bool claimed;
        DWORD atLeastMs;  // the claim must not succeed sooner: the wait really happened
    };
    const ClaimCase cases[] = {
        {"nobody holds it", false, 0, false, 0, true, 0},
        {"held, no wait", true, 0, false, 0, false, 0},
        {"held, no wait for longer than it is held", true, 0, false, 1500, false, 1400},
        {"let go after 1.5 s within a 10 s wait", true, 1500, false, 10000, true, 1400},
        {"holder died holding it", true, 1500, true, 10000, true, 1400},
    };
    for (const ClaimCase& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        std::atomic<bool> holding{false}, stop{false};
        std::thread holder;
        if (c.held) {
            holder = std::thread([&] {
                bool taken = false;
                ScopedHandle mutex = CreateAdminMutex(InstanceMutexName(dir.Path()), &taken);
                holding = WaitForSingleObject(mutex.Get(), 0) == WAIT_OBJECT_0;
                while (!stop) Sleep(10);
                // A holder that dies ends its thread still owning the mutex: Windows marks it abandoned.
                if (!c.holderDies) ReleaseMutex(mutex.Get());
            });
            ASSERT_TRUE(testsupport::WaitUntil([&] { return holding.load(); }, 5000));
        }
        std::thread letGo;
        if (c.holdMs) {
            letGo = std::thread([&] {
                Sleep(c.holdMs);
                stop = true;
            });
        }
        const DWORD start = GetTickCount();
        InstallationClaim claim;
        EXPECT_EQ(claim.Claim(dir.Path(), c.waitMs), c.claimed);
        EXPECT_GE(GetTickCount() - start, c.atLeastMs);
        stop = true;
        if (letGo.joinable()) letGo.join();
        if (holder.joinable()) holder.join();
    }
}

// The names a program of the user made before the launcher: today's mutex (held) and events.
class TakenNames {
public:
    explicit TakenNames(const std::wstring& dir) {
        for (const std::wstring& name : {HandOverEventName(dir), HandOverReadyEventName(dir), RestartClaimedEventName(dir)}) {
            events_.emplace_back(CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
        }
        mutex_ = CreateMutexW(nullptr, TRUE, InstanceMutexName(dir).c_str());
    }
    bool Made() const {
        for (const ScopedHandle& event : events_) {
            if (!event.Valid()) return false;
        }
        return mutex_.Valid();
    }

private:
    std::vector<ScopedHandle> events_;
    ScopedHandle mutex_;
};

// A mutex name that another program holds: the claim holds the lock file instead, and a lock file that no
// launcher of the folder holds (the test here) stops a start only for its wait.
TEST(RunModes, ClaimUnderATakenNameHoldsTheLockFile) {
    testsupport::TempDir dir;
    const TakenNames taken(dir.Path());
    ASSERT_TRUE(taken.Made());
    InstallationClaim first;
    EXPECT_TRUE(first.Claim(dir.Path(), 0));
    EXPECT_TRUE(testsupport::FileExists(dir / kInstanceLockName));
    const DWORD start = GetTickCount();
    InstallationClaim second;
    EXPECT_TRUE(second.Claim(dir.Path(), 1500));
    EXPECT_GE(GetTickCount() - start, 1400u) << "the held lock file was not waited for";
    first.Release();
    EXPECT_FALSE(testsupport::FileExists(dir / kInstanceLockName));
}

// Names taken by another program before the launcher started: it still updates and starts the game, and a
// second start still hands off to it.
TEST(RunModes, TakenNamesStopNeitherTheRunNorTheOneRunRule) {
    LoopbackHttpServer server;
    LauncherSandbox first;
    ASSERT_TRUE(first.Prepare());
    ASSERT_TRUE(first.AddProbe(L"Zorexe.exe"));
    const TakenNames taken(first.Dir().Path());
    ASSERT_TRUE(taken.Made());
    const std::string data = "data the update brings";
    server.RouteBody("/patch/files/Data/a.pak", data);
    server.RouteBody("/patch/manifest.txt", "VERSION=1\nFILE|Data/a.pak|" + std::to_string(data.size()) + "|" +
                                                testsupport::Sha256Hex(data) + "\n");
    ASSERT_TRUE(first.Start());
    HWND main = first.WaitMainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::ReadBytes(first.Dir() / L"Data\\a.pak") == data; }, 30000));
    EXPECT_TRUE(testsupport::FileExists(first.Dir() / kInstanceLockName));

    testsupport::Process second;
    ASSERT_TRUE(second.Start(first.LauncherPath(), L"", first.Dir().Path()));
    EXPECT_TRUE(second.WaitExit(30000)) << "the second start kept running";
    EXPECT_EQ(server.CountRequests("/patch/manifest.txt"), 1) << "the second start ran an update";

    // Enter starts the game once the start button is on.
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            PostMessageW(main, WM_KEYDOWN, VK_RETURN, 0);
            return testsupport::FileExists(first.RecordOf(L"Zorexe.exe"));
        },
        30000));
    EXPECT_TRUE(first.Proc().WaitExit(15000));
}

TEST(RunModes, SecondStartInTheSameDirectoryHandsOffToTheFirstAndExits) {
    for (bool minimised : {false, true}) {
        SCOPED_TRACE(minimised ? "first minimised" : "first shown");
        LoopbackHttpServer server;
        server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
        LauncherSandbox first;
        ASSERT_TRUE(first.Prepare());
        ASSERT_TRUE(first.Start());
        HWND main = first.WaitMainWindow();
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return IsWindowVisible(main) != FALSE; }, 5000));
        ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") == 1; }, 15000));
        if (minimised) {
            ShowWindow(main, SW_MINIMIZE);
            ASSERT_TRUE(testsupport::WaitUntil([&] { return IsIconic(main) != FALSE; }, 5000));
        }
        ForegroundDecoy decoy;
        ASSERT_TRUE(testsupport::WaitUntil([&] { return GetForegroundWindow() == decoy.Get(); }, 5000));

        testsupport::Process second;
        ASSERT_TRUE(second.Start(first.LauncherPath(), L"", first.Dir().Path()));
        ASSERT_TRUE(second.WaitExit(30000)) << "the second launcher kept running";
        EXPECT_EQ(ExitCodeOf(second), 0u);
        EXPECT_TRUE(testsupport::WaitUntil([&] { return GetForegroundWindow() == main; }, 5000));
        EXPECT_FALSE(IsIconic(main));
        EXPECT_TRUE(IsWindowVisible(main));
        EXPECT_TRUE(first.Proc().Running());
        EXPECT_EQ(server.CountRequests("/patch/manifest.txt"), 1) << "the second start ran an update";
        PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_TRUE(first.Proc().WaitExit(10000));
    }
}

TEST(RunModes, TwoDirectoriesKeepTheirOwnLaunchers) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    LauncherSandbox one, two;
    ASSERT_TRUE(one.Prepare());
    ASSERT_TRUE(two.Prepare());
    ASSERT_TRUE(one.Start());
    ASSERT_NE(one.WaitMainWindow(), nullptr);
    ASSERT_TRUE(two.Start());
    ASSERT_NE(two.WaitMainWindow(), nullptr);
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return VisibleMainWindowsOf(one.Proc().Id()).size() == 1 && VisibleMainWindowsOf(two.Proc().Id()).size() == 1; },
        10000));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") == 2; }, 15000));
    EXPECT_TRUE(one.Proc().Running());
    EXPECT_TRUE(two.Proc().Running());
}

// Only the hand-over's signal makes a restart; a variable the caller sets makes an ordinary second start.
TEST(RunModes, RestartedLauncherWaitsForItsPredecessorInsteadOfHandingOff) {
    enum class How { Signalled, Plain, CallerSetsTheVariable };
    struct RestartCase {
        const char* name;
        How how;
    };
    const RestartCase cases[] = {
        {"signalled by the hand-over", How::Signalled},
        {"a plain second start", How::Plain},
        {"KORVANE_LAUNCHER_RESTART set by the caller", How::CallerSetsTheVariable},
    };
    for (const RestartCase& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        InstallationClaim predecessor;  // stands in for the launcher that is still letting go
        ASSERT_TRUE(predecessor.Claim(sandbox.Dir().Path(), 0));
        ScopedEnvironment env;
        env.Set(L"KORVANE_LAUNCHER_RESTART", c.how == How::CallerSetsTheVariable ? L"1" : nullptr);
        ScopedHandle signal;
        DWORD id = 0;
        if (c.how == How::Signalled) {
            const StartedProgram started =
                StartProgram(ProgramStart{sandbox.LauncherPath(), {}, sandbox.Dir().Path(), ""}, [&](DWORD processId) {
                    return SignalRestart(sandbox.Dir().Path(), processId, RestartKind::Restarted, &signal);
                });
            ASSERT_EQ(started.outcome, StartOutcome::Started);
            id = started.processId;
        } else {
            ASSERT_TRUE(sandbox.Start());
            id = sandbox.Proc().Id();
        }
        ScopedHandle process(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        ASSERT_TRUE(process.Valid());
        const auto running = [&] { return WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT; };
        auto hasWindow = [&] { return !VisibleMainWindowsOf(id).empty(); };
        if (c.how == How::Signalled) {
            EXPECT_FALSE(testsupport::WaitUntil(hasWindow, 2500)) << "opened while the predecessor held on";
            EXPECT_TRUE(running());
            predecessor.Release();
            EXPECT_TRUE(testsupport::WaitUntil(hasWindow, 15000));
            TerminateProcess(process.Get(), 1);
        } else {
            EXPECT_FALSE(testsupport::WaitUntil([&] { return hasWindow() || !running(); }, 30000) && hasWindow());
            ASSERT_EQ(WaitForSingleObject(process.Get(), 30000), WAIT_OBJECT_0);
            DWORD code = 12345;
            GetExitCodeProcess(process.Get(), &code);
            EXPECT_EQ(code, 0u);
        }
        WaitForSingleObject(process.Get(), 10000);
    }
}

// A self-update hands over to the new executable beside the launcher: it replaces the launcher and opens
// it, and what that one starts carries no restart mark. Both are started by their paths: the classes a
// program of the user registers for ".new" files, "exefile" and the https scheme run nothing.
TEST(RunModes, SelfUpdateOpensTheNewLauncherByPathWhoseChildrenCarryNoMark) {
    LoopbackHttpServer server;
    LauncherSandbox sandbox;
    ASSERT_TRUE(sandbox.Prepare());
    ASSERT_TRUE(sandbox.AddProbe(L"Setup.exe"));
    ASSERT_TRUE(sandbox.AddProbe(L"Marker.exe"));
    const testsupport::ScopedUserClasses classes(L"\"" + sandbox.Dir() / L"Marker.exe" + L"\" \"%1\"");
    ASSERT_TRUE(classes.Set());
    const std::string generation =
        testsupport::ReadBytes(sandbox.LauncherPath()) + "\nkorvane launcher, generation 2\n";
    server.RouteBody("/patch/files/Launcher.exe", generation);
    server.RouteBody("/patch/manifest.txt", "VERSION=2\nLAUNCHER_SELF|" + std::to_string(generation.size()) + "|" +
                                                testsupport::Sha256Hex(generation) + "\n");
    ASSERT_TRUE(sandbox.Start());
    ASSERT_TRUE(sandbox.Proc().WaitExit(60000)) << "the launcher did not hand over";

    HWND fresh = testsupport::WaitForTopWindow(kMainClass, L"", 20000);
    ASSERT_NE(fresh, nullptr) << "no launcher came back after the restart";
    DWORD freshId = 0;
    GetWindowThreadProcessId(fresh, &freshId);
    ScopedHandle freshProcess(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, freshId));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return IsWindowVisible(fresh) != FALSE; }, 5000));
    RECT rect = {};
    GetWindowRect(fresh, &rect);
    testsupport::MoveMouseTo(rect.left + 40 + 54, rect.top + 224 + 48);
    testsupport::MouseDown();
    testsupport::MouseUp();
    const std::wstring record = sandbox.RecordOf(L"Setup.exe");
    EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 10000));
    auto values = testsupport::ReadProbeRecord(record);
    EXPECT_EQ(values[L"KORVANE_LAUNCHER_PATH"], sandbox.LauncherPath());
    EXPECT_EQ(values[L"KORVANE_LAUNCHER_RESTART"], L"<unset>");

    EXPECT_TRUE(testsupport::WaitUntil([&] { return !testsupport::FileExists(sandbox.LauncherPath() + L".new"); }, 10000))
        << "the new executable took the launcher's place";
    EXPECT_TRUE(testsupport::ReadBytes(sandbox.LauncherPath()) == generation);
    EXPECT_FALSE(testsupport::FileExists(sandbox.RecordOf(L"Marker.exe"))) << "a class of the user's ran";

    PostMessageW(fresh, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(freshProcess.Get(), 10000) != WAIT_OBJECT_0) TerminateProcess(freshProcess.Get(), 1);
}
