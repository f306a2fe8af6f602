// What the buttons of the real launcher do: start the game, open the settings program, mute the music;
// and the farewell splash the real launcher shows after the game was started.
#include "PlayerTexts.h"
#include "ChildProcesses.h"
#include "LauncherSandbox.h"
#include "LoopbackHttpServer.h"
#include "ScreenCapture.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"

#include <shellapi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using testsupport::Capture;
using testsupport::LauncherSandbox;
using testsupport::LoopbackHttpServer;

constexpr RECT kStartRect = {452, 403, 815, 511};
constexpr RECT kGlyphPatch = {822, 9, 828, 20};  // inside the mute box, clear of the note and the stroke

RECT WindowRect(HWND hwnd) {
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    return rect;
}

std::wstring ScreenshotPath(const std::wstring& name) {
    const std::wstring dir = testsupport::BesideTestExe(L"screenshots");
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir + L"\\" + name;
}

void ClickAt(int x, int y) {
    testsupport::MoveMouseTo(x, y);
    testsupport::MouseDown();
    testsupport::MouseUp();
}

// Clicks the centre of a client rectangle of the window.
void ClickClient(HWND hwnd, int x, int y, int w, int h) {
    const RECT rect = WindowRect(hwnd);
    ClickAt(rect.left + x + w / 2, rect.top + y + h / 2);
}

void ClickStart(HWND hwnd) { ClickClient(hwnd, 452, 403, 363, 108); }
void ClickSettings(HWND hwnd) { ClickClient(hwnd, 40, 224, 109, 97); }
void ClickMute(HWND hwnd) { ClickClient(hwnd, 820, 4, 40, 30); }

bool StartLooksEnabled(HWND hwnd) {
    const Capture frame = testsupport::CaptureScreen(WindowRect(hwnd));
    return frame.width == 900 && testsupport::Stats(frame, kStartRect).saturation > 60;
}

std::wstring WithoutTrailingSlash(std::wstring path) {
    while (!path.empty() && path.back() == L'\\') path.pop_back();
    return path;
}

bool ContainsText(const std::vector<std::wstring>& texts, const std::wstring& wanted) {
    return std::find(texts.begin(), texts.end(), wanted) != texts.end();
}

// Starts `launcher` against an up-to-date manifest and waits for its window and for the start button to light
// up; null when either does not come.
HWND StartReady(LauncherSandbox& launcher, LoopbackHttpServer& server) {
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    if (!launcher.Start()) return nullptr;
    HWND hwnd = launcher.WaitMainWindow();
    if (hwnd) testsupport::WaitUntil([&] { return IsWindowVisible(hwnd) != FALSE; }, 5000);
    if (hwnd && !testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 15000)) return nullptr;
    return hwnd;
}

class CommandsTest : public testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteRegistryValue(L"BgmMuted");
        ASSERT_TRUE(sandbox.Prepare());
    }
    void TearDown() override { testsupport::DeleteRegistryValue(L"BgmMuted"); }
    HWND StartLauncher() {
        if (!sandbox.Start()) return nullptr;
        HWND hwnd = sandbox.WaitMainWindow();
        if (hwnd) testsupport::WaitUntil([&] { return IsWindowVisible(hwnd) != FALSE; }, 5000);
        return hwnd;
    }
    // Starts the launcher against an up-to-date manifest and waits for the start button to light up.
    HWND StartLauncherReady(LoopbackHttpServer& server) { return StartReady(sandbox, server); }
    LauncherSandbox sandbox;
};

TEST_F(CommandsTest, StartDoesNothingWhileTheUpdateRuns) {
    ASSERT_TRUE(sandbox.AddProbe(L"Zorexe.exe"));
    LoopbackHttpServer server;
    server.Route("/patch/manifest.txt", testsupport::HttpResponse{200, "VERSION=1\n", testsupport::Delivery::NeverAnswer});
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") > 0; }, 15000));
    ClickStart(hwnd);
    EXPECT_FALSE(testsupport::WaitUntil([&] { return testsupport::FileExists(sandbox.RecordOf(L"Zorexe.exe")); }, 3000));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_TRUE(sandbox.Proc().Running());
    EXPECT_EQ(testsupport::FindTopWindow(L"KorvaneLauncherSplashWnd", L"", sandbox.Proc().Id()), nullptr);
}

TEST_F(CommandsTest, StartRunsTheGameHidesTheWindowShowsTheSplashAndExits) {
    ASSERT_TRUE(sandbox.AddProbe(L"Zorexe.exe"));
    LoopbackHttpServer server;
    HWND hwnd = StartLauncherReady(server);
    ASSERT_NE(hwnd, nullptr);
    const DWORD clicked = GetTickCount();
    ClickStart(hwnd);

    HWND splash = testsupport::WaitForTopWindow(L"KorvaneLauncherSplashWnd", L"", 5000, sandbox.Proc().Id());
    ASSERT_NE(splash, nullptr);
    const LONG exStyle = GetWindowLongW(splash, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_LAYERED);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW);
    EXPECT_EQ(testsupport::WindowText(splash), L"Selmora");
    EXPECT_FALSE(IsWindowVisible(hwnd)) << "the main window is still shown";

    const std::wstring recordPath = sandbox.RecordOf(L"Zorexe.exe");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(recordPath); }, 5000));
    auto record = testsupport::ReadProbeRecord(recordPath);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(record[L"cmdline"].c_str(), &argc);
    ASSERT_NE(argv, nullptr);
    EXPECT_EQ(argc, 1) << testsupport::Utf8(record[L"cmdline"]);
    LocalFree(argv);
    EXPECT_EQ(CompareStringOrdinal(WithoutTrailingSlash(record[L"cwd"]).c_str(), -1,
                                   WithoutTrailingSlash(sandbox.Dir().Path()).c_str(), -1, TRUE),
              CSTR_EQUAL)
        << testsupport::Utf8(record[L"cwd"]);
    EXPECT_TRUE(testsupport::IsRunToken(record[L"KORVANE_LAUNCHER_TOKEN"])) << testsupport::Utf8(record[L"KORVANE_LAUNCHER_TOKEN"]);
    EXPECT_EQ(record[L"KORVANE_LAUNCHER_PATH"], sandbox.LauncherPath());

    ASSERT_TRUE(sandbox.Proc().WaitExit(10000));
    const double seconds = (GetTickCount() - clicked) / 1000.0;
    EXPECT_GE(seconds, 2.9);  // the whole splash came before the end
}

TEST_F(CommandsTest, EachRunHandsTheGameANewToken) {
    std::vector<std::wstring> tokens;
    for (int run = 0; run < 2; ++run) {
        LauncherSandbox launcher;
        ASSERT_TRUE(launcher.Prepare());
        ASSERT_TRUE(launcher.AddProbe(L"Zorexe.exe"));
        LoopbackHttpServer server;
        HWND hwnd = StartReady(launcher, server);
        ASSERT_NE(hwnd, nullptr) << "no window, or the start button stayed grey";
        ClickStart(hwnd);
        const std::wstring record = launcher.RecordOf(L"Zorexe.exe");
        ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 5000));
        tokens.push_back(testsupport::ReadProbeRecord(record)[L"KORVANE_LAUNCHER_TOKEN"]);
        EXPECT_TRUE(testsupport::IsRunToken(tokens.back()));
        EXPECT_TRUE(launcher.Proc().WaitExit(10000));
    }
    EXPECT_NE(tokens[0], tokens[1]);
}

TEST_F(CommandsTest, SplashFadesInHoldsFadesOutInTheMiddleOfTheScreen) {
    ASSERT_TRUE(sandbox.AddProbe(L"Zorexe.exe"));
    LoopbackHttpServer server;
    HWND hwnd = StartLauncherReady(server);
    ASSERT_NE(hwnd, nullptr);
    ClickStart(hwnd);
    HWND splash = testsupport::WaitForTopWindow(L"KorvaneLauncherSplashWnd", L"", 5000, sandbox.Proc().Id());
    ASSERT_NE(splash, nullptr);
    const DWORD found = GetTickCount();

    // The ui tests' screen is 1920x1080 (tests/CMakeLists.txt).
    const RECT rect = WindowRect(splash);
    EXPECT_EQ(rect.left, 610);
    EXPECT_EQ(rect.top, 390);
    EXPECT_EQ(rect.right - rect.left, 700);
    EXPECT_EQ(rect.bottom - rect.top, 300);

    struct Sample {
        DWORD ms;
        double brightness;
    };
    std::vector<Sample> samples;
    const RECT logo = {610, 390, 1310, 690};
    bool clicked = false;
    RECT afterClick = {};
    Capture brightest;
    double peak = -1;
    const bool destroyed = testsupport::WaitUntil(
        [&] {
            if (!IsWindow(splash)) return true;
            const DWORD ms = GetTickCount() - found;
            const Capture frame = testsupport::CaptureScreen(logo);
            if (frame.width == 700) {
                const double b = testsupport::Stats(frame, RECT{0, 0, 700, 300}).brightness;
                samples.push_back({ms, b});
                if (b > peak) {
                    peak = b;
                    brightest = frame;
                }
            }
            if (!clicked && ms > 1200) {  // a click in the hold phase neither closes nor moves it
                ClickAt(960, 540);
                clicked = true;
                afterClick = WindowRect(splash);
            }
            return false;
        },
        8000);
    const double goneAfter = (GetTickCount() - found) / 1000.0;
    sandbox.Proc().WaitExit(5000);
    std::printf("[   INFO   ] splash gone after %.2f s, process ended after %.2f s\n", goneAfter, (GetTickCount() - found) / 1000.0);
    ASSERT_TRUE(destroyed);
    testsupport::SavePng(brightest, ScreenshotPath(L"splash.png"));
    EXPECT_GE(goneAfter, 2.6);  // the whole fade, never cut short
    EXPECT_TRUE(clicked);
    EXPECT_EQ(afterClick.left, 610);
    EXPECT_EQ(afterClick.top, 390);

    // Dim, then bright for the hold, then dim again before the window goes: checked by the order of the
    // samples, not by when they were taken, so a slow machine that stretches the phases still passes.
    ASSERT_GT(samples.size(), 10u);
    ASSERT_GT(peak, 30.0) << "the logo never showed";
    std::printf("[   INFO   ] splash brightness: first %.1f at %lu ms, peak %.1f, %zu samples\n", samples[0].brightness,
                samples[0].ms, peak, samples.size());
    EXPECT_LT(samples.front().brightness, peak * 0.4) << "first frame at " << samples.front().ms << " ms";
    EXPECT_LT(samples.back().brightness, peak * 0.1) << "last frame at " << samples.back().ms << " ms";
    std::size_t firstBright = samples.size(), lastBright = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (samples[i].brightness > peak * 0.85) {
            firstBright = std::min(firstBright, i);
            lastBright = i;
        }
    }
    ASSERT_LT(firstBright, samples.size());
    for (std::size_t i = firstBright; i <= lastBright; ++i) {
        EXPECT_GT(samples[i].brightness, peak * 0.85) << "the hold flickered at " << samples[i].ms << " ms";
    }
    EXPECT_GE(samples[lastBright].ms - samples[firstBright].ms, 1500u) << "the hold was cut short";
    EXPECT_TRUE(sandbox.Proc().WaitExit(5000));
}

TEST_F(CommandsTest, KeysAPlayerTries) {
    struct KeyCase {
        const char* name;
        bool ready;  // the update has finished and the start button is lit
        WORD key;
        bool withAlt;
        bool gameStarts, launcherEnds;
    };
    const KeyCase cases[] = {
        {"Enter while the update runs", false, VK_RETURN, false, false, false},
        {"Enter once the start button is lit", true, VK_RETURN, false, true, true},
        {"Alt+F4", true, VK_F4, true, false, true},
        {"F4 without Alt", true, VK_F4, false, false, false},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherSandbox launcher;
        ASSERT_TRUE(launcher.Prepare());
        ASSERT_TRUE(launcher.AddProbe(L"Zorexe.exe"));
        LoopbackHttpServer server;
        server.Route("/patch/manifest.txt", testsupport::HttpResponse{200, "VERSION=1\n",
                                                                      c.ready ? testsupport::Delivery::Normal
                                                                              : testsupport::Delivery::NeverAnswer});
        ASSERT_TRUE(launcher.Start());
        HWND hwnd = launcher.WaitMainWindow();
        ASSERT_NE(hwnd, nullptr);
        if (c.ready) {
            ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 15000));
        } else {
            ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") > 0; }, 15000));
        }
        // The window the player just started has the keyboard.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return GetForegroundWindow() == hwnd; }, 5000));
        testsupport::PressKey(c.key, c.withAlt);
        const std::wstring record = launcher.RecordOf(L"Zorexe.exe");
        if (c.launcherEnds) {
            EXPECT_TRUE(launcher.Proc().WaitExit(15000));
        } else {
            EXPECT_FALSE(testsupport::WaitUntil([&] { return !launcher.Proc().Running(); }, 2500));
            EXPECT_TRUE(IsWindowVisible(hwnd));
        }
        EXPECT_EQ(testsupport::FileExists(record), c.gameStarts);
    }
}

TEST_F(CommandsTest, StartWithoutTheGameClientReportsItAndShowsTheWindowAgain) {
    LoopbackHttpServer server;
    HWND hwnd = StartLauncherReady(server);
    ASSERT_NE(hwnd, nullptr);
    ClickStart(hwnd);
    HWND box = testsupport::WaitForTopWindow(L"#32770", L"", 10000, sandbox.Proc().Id());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(testsupport::WindowText(box), player_texts::kCaptionError);
    EXPECT_TRUE(ContainsText(testsupport::ChildTexts(box), std::wstring(player_texts::kCannotStartClient) + L"Zorexe.exe"));
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_TRUE(sandbox.Proc().Running());
}

TEST_F(CommandsTest, SettingsWithoutTheProgramNamesItsFullPath) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ClickSettings(hwnd);
    HWND box = testsupport::WaitForTopWindow(L"#32770", L"", 10000, sandbox.Proc().Id());
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(testsupport::WindowText(box), player_texts::kCaptionLauncher);
    const std::wstring expected = player_texts::kNoSettingsProgram + sandbox.Dir().Path() + L"Setup.exe";
    EXPECT_TRUE(ContainsText(testsupport::ChildTexts(box), expected)) << testsupport::Utf8(expected);
}

// A listed program is started only as the manifest lists it: one changed after the check is refused.
TEST_F(CommandsTest, AProgramChangedSinceTheCheckIsNotStarted) {
    struct ProgramCase {
        const char* name;
        const wchar_t* program;
        bool changed;
        const wchar_t* caption;
    };
    const ProgramCase cases[] = {
        {"the game client as listed", L"Zorexe.exe", false, nullptr},
        {"the game client changed", L"Zorexe.exe", true, player_texts::kCaptionError},
        {"the settings program changed", L"Setup.exe", true, player_texts::kCaptionLauncher},
    };
    const std::string probe = testsupport::ReadBytes(testsupport::BesideTestExe(L"probe_child.exe"));
    std::string manifest = "VERSION=1\n";
    for (const char* name : {"Zorexe.exe", "Setup.exe"}) {
        manifest += std::string("FILE|") + name + "|" + std::to_string(probe.size()) + "|" + testsupport::Sha256Hex(probe) + "\n";
    }
    for (const ProgramCase& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherSandbox launcher;
        ASSERT_TRUE(launcher.Prepare());
        ASSERT_TRUE(launcher.AddProbe(L"Zorexe.exe"));
        ASSERT_TRUE(launcher.AddProbe(L"Setup.exe"));
        LoopbackHttpServer server;
        server.RouteBody("/patch/manifest.txt", manifest);
        ASSERT_TRUE(launcher.Start());
        HWND hwnd = launcher.WaitMainWindow();
        ASSERT_NE(hwnd, nullptr);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 15000));
        const std::wstring path = launcher.Dir() / c.program;
        if (c.changed) {
            ASSERT_TRUE(testsupport::WriteBytes(path, probe + "changed after the check"));
        }
        if (std::wstring(c.program) == L"Zorexe.exe") {
            ClickStart(hwnd);
        } else {
            ClickSettings(hwnd);
        }
        const std::wstring record = launcher.RecordOf(c.program);
        if (!c.changed) {
            EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 10000));
            continue;
        }
        HWND box = testsupport::WaitForTopWindow(L"#32770", L"", 10000, launcher.Proc().Id());
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(testsupport::WindowText(box), c.caption);
        EXPECT_TRUE(ContainsText(testsupport::ChildTexts(box), player_texts::kProgramChanged + std::wstring(c.program)));
        EXPECT_FALSE(testsupport::FileExists(record));
        EXPECT_TRUE(IsWindowVisible(hwnd));
    }
}

// The link opens through the desktop's own shell, never from the elevated launcher: the browser (a
// stand-in registered as the https handler) is started by the shell's process, and no class that a program
// of the user registered runs.
TEST_F(CommandsTest, CommunityLinkOpensThroughTheDesktopsShell) {
    ASSERT_TRUE(sandbox.AddProbe(L"Browser.exe"));
    ASSERT_TRUE(sandbox.AddProbe(L"Marker.exe"));
    const testsupport::ScopedHttpsHandler browser(L"\"" + sandbox.Dir() / L"Browser.exe" + L"\" \"%1\"");
    ASSERT_TRUE(browser.Set());
    const testsupport::ScopedUserClasses classes(L"\"" + sandbox.Dir() / L"Marker.exe" + L"\" \"%1\"");
    ASSERT_TRUE(classes.Set());
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ClickClient(hwnd, 105, 406, 300, 95);
    const std::wstring record = sandbox.RecordOf(L"Browser.exe");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 15000)) << "no browser opened";
    auto values = testsupport::ReadProbeRecord(record);
    EXPECT_NE(values[L"cmdline"].find(KORVANE_TEST_COMMUNITY_URL), std::wstring::npos) << testsupport::Utf8(values[L"cmdline"]);
    const std::wstring parent = values[L"parent"];
    const std::wstring shell = L"\\explorer.exe";
    EXPECT_TRUE(parent.size() > shell.size() &&
                CompareStringOrdinal(parent.c_str() + parent.size() - shell.size(), static_cast<int>(shell.size()),
                                     shell.c_str(), static_cast<int>(shell.size()), TRUE) == CSTR_EQUAL)
        << "started by " << testsupport::Utf8(parent);
    EXPECT_EQ(testsupport::FindTopWindow(L"#32770", L"", sandbox.Proc().Id()), nullptr);
    EXPECT_FALSE(testsupport::FileExists(sandbox.RecordOf(L"Marker.exe")));
}

TEST_F(CommandsTest, MuteGlyphTogglesTheStoredSwitchAndItsColour) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    auto stored = [] {
        const testsupport::RegistryValue value = testsupport::ReadRegistryValue(L"BgmMuted");
        DWORD number = 0;
        if (!value.present || value.type != REG_DWORD || value.bytes.size() != sizeof(number)) {
            return static_cast<DWORD>(-1);
        }
        std::memcpy(&number, value.bytes.data(), sizeof(number));
        return number;
    };
    auto glyph = [&] { return testsupport::Stats(testsupport::CaptureScreen(WindowRect(hwnd)), kGlyphPatch); };
    auto blue = [&] {
        const auto s = glyph();
        return s.blue > s.red + 80;
    };
    auto red = [&] {
        const auto s = glyph();
        return s.red > s.blue + 80;
    };
    ASSERT_TRUE(testsupport::WaitUntil(blue, 5000));
    EXPECT_EQ(stored(), static_cast<DWORD>(-1));

    ClickMute(hwnd);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return stored() == 1; }, 5000));
    EXPECT_TRUE(testsupport::WaitUntil(red, 5000));
    testsupport::SavePng(testsupport::CaptureScreen(WindowRect(hwnd)), ScreenshotPath(L"window_muted.png"));

    ClickMute(hwnd);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return stored() == 0; }, 5000));
    EXPECT_TRUE(testsupport::WaitUntil(blue, 5000));
}


// ---- the menu ----

// The open menu at 96 DPI: six limits, the rule, pause, repair, the log folder.
constexpr int kMenuRowHeight = 28;
constexpr int kMenuRuleHeight = 9;
constexpr int kMenuRuleRow = 6;
constexpr int kMenuRows = 10;
constexpr int kPauseRow = 7;
constexpr int kRepairRow = 8;
constexpr int kLogRow = 9;

HWND WaitMenu(LauncherSandbox& launcher) {
    return testsupport::WaitForTopWindow(L"#32768", L"", 5000, launcher.Proc().Id());
}

bool MenuClosed(LauncherSandbox& launcher) {
    return testsupport::WaitUntil([&] { return testsupport::FindTopWindow(L"#32768", L"", launcher.Proc().Id()) == nullptr; },
                                  5000);
}

// Row `row` of the open menu in screen pixels, its frame's border shared out evenly.
RECT MenuRow(HWND menu, int row) {
    const RECT frame = WindowRect(menu);
    const int items = (kMenuRows - 1) * kMenuRowHeight + kMenuRuleHeight;
    int top = frame.top + ((frame.bottom - frame.top) - items) / 2;
    for (int k = 0; k < row; ++k) top += k == kMenuRuleRow ? kMenuRuleHeight : kMenuRowHeight;
    return RECT{frame.left, top, frame.right, top + (row == kMenuRuleRow ? kMenuRuleHeight : kMenuRowHeight)};
}

void ClickMenuRow(HWND menu, int row) {
    const RECT r = MenuRow(menu, row);
    ClickAt((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void ClickMenuGlyph(HWND hwnd) { ClickClient(hwnd, 776, 4, 40, 30); }

// Opens the menu from its glyph and clicks row `row`; false when no menu opened or it stayed open.
bool ChooseFromMenu(LauncherSandbox& launcher, HWND hwnd, int row) {
    ClickMenuGlyph(hwnd);
    HWND menu = WaitMenu(launcher);
    if (!menu) return false;
    ClickMenuRow(menu, row);
    return MenuClosed(launcher);
}

// The rows whose check column shows the check mark's gold.
std::vector<int> DrawnCheckedRows(HWND menu) {
    const RECT frame = WindowRect(menu);
    const Capture capture = testsupport::CaptureScreen(frame);
    std::vector<int> rows;
    for (int row = 0; row < kMenuRuleRow; ++row) {
        RECT r = MenuRow(menu, row);
        int gold = 0;
        for (int y = r.top - frame.top; y < r.bottom - frame.top; ++y) {
            for (int x = 0; x < 34 && x < capture.width; ++x) {
                const std::uint32_t px = capture.At(x, y);
                if (((px >> 16) & 255) > 200 && ((px >> 8) & 255) > 140 && (px & 255) < 120) ++gold;
            }
        }
        if (gold > 4) rows.push_back(row);
    }
    return rows;
}

// The rows of the open menu drawn with a check, once it shows one: a menu window exists a moment before its
// items are drawn.
std::vector<int> CheckedRows(HWND menu) {
    std::vector<int> rows;
    testsupport::WaitUntil([&] { return !(rows = DrawnCheckedRows(menu)).empty(); }, 5000);
    return rows;
}

DWORD StoredLimit() {
    const testsupport::RegistryValue value = testsupport::ReadRegistryValue(L"MaxDownloadKBps");
    DWORD number = 0;
    if (!value.present || value.type != REG_DWORD || value.bytes.size() != sizeof(number)) return static_cast<DWORD>(-1);
    std::memcpy(&number, value.bytes.data(), sizeof(number));
    return number;
}

void StoreLimit(DWORD kib) {
    testsupport::WriteRegistryValue(L"MaxDownloadKBps", REG_DWORD, &kib, sizeof(kib));
}

class MenuTest : public CommandsTest {
protected:
    void SetUp() override {
        CommandsTest::SetUp();
        testsupport::DeleteRegistryValue(L"MaxDownloadKBps");
    }
    void TearDown() override {
        testsupport::DeleteRegistryValue(L"MaxDownloadKBps");
        CommandsTest::TearDown();
    }
};

// The menu opens from its glyph, by a right-click anywhere, and by the keyboard's two menu keys. The limit
// stored for the player is read at the start and marked; the one chosen, by a click or by the arrows and
// Enter, is stored and marked when the menu opens again.
TEST_F(MenuTest, OpensByMouseAndByKeyAndKeepsTheLimit) {
    enum class Opening { Glyph, RightClick, MenuKey, ShiftF10 };
    struct MenuCase {
        const char* name;
        Opening opening;
        int row;  // clicked; or reached with the Down arrow from none and taken with Enter
        bool byKey;
        DWORD stored;
    };
    const MenuCase cases[] = {
        {"the glyph, a click on 2 MB/s", Opening::Glyph, 2, false, 2048},
        {"a right-click on the background, a click on no limit", Opening::RightClick, 0, false, 0},
        {"the menu key, Down to 5 MB/s and Enter", Opening::MenuKey, 3, true, 5120},
        {"Shift+F10, Down to 1 MB/s and Enter", Opening::ShiftF10, 1, true, 1024},
    };
    for (const MenuCase& c : cases) {
        SCOPED_TRACE(c.name);
        StoreLimit(10240);
        LauncherSandbox launcher;
        ASSERT_TRUE(launcher.Prepare());
        LoopbackHttpServer server;
        HWND hwnd = StartReady(launcher, server);
        ASSERT_NE(hwnd, nullptr) << "no window, or the start button stayed grey";
        ASSERT_TRUE(testsupport::WaitUntil([&] { return GetForegroundWindow() == hwnd; }, 5000));
        const RECT window = WindowRect(hwnd);
        switch (c.opening) {
            case Opening::Glyph: ClickMenuGlyph(hwnd); break;
            case Opening::RightClick:
                testsupport::MoveMouseTo(window.left + 450, window.top + 200);
                testsupport::RightClick();
                break;
            case Opening::MenuKey: testsupport::PressKey(VK_APPS); break;
            case Opening::ShiftF10: testsupport::PressKeyWith(VK_SHIFT, VK_F10); break;
        }
        HWND menu = WaitMenu(launcher);
        ASSERT_NE(menu, nullptr) << "no menu opened";
        testsupport::SavePng(testsupport::CaptureScreen(WindowRect(menu)), ScreenshotPath(L"menu_open.png"));
        EXPECT_EQ(CheckedRows(menu), std::vector<int>{4});  // 10 MB/s, as stored before the start
        if (c.byKey) {
            for (int i = 0; i <= c.row; ++i) testsupport::PressKey(VK_DOWN);
            testsupport::PressKey(VK_RETURN);
        } else {
            ClickMenuRow(menu, c.row);
        }
        EXPECT_TRUE(testsupport::WaitUntil([&] { return StoredLimit() == c.stored; }, 5000)) << StoredLimit();
        ASSERT_TRUE(MenuClosed(launcher));

        ClickMenuGlyph(hwnd);
        menu = WaitMenu(launcher);
        ASSERT_NE(menu, nullptr);
        EXPECT_EQ(CheckedRows(menu), std::vector<int>{c.row});
        testsupport::PressKey(VK_ESCAPE);
        EXPECT_TRUE(MenuClosed(launcher));
        EXPECT_EQ(StoredLimit(), c.stored);
    }
}

// Pause holds every byte where it is and never lights the start button; continue goes on in the same request,
// and a launcher closed while paused leaves its ".part" for the next start to resume from its end.
TEST_F(MenuTest, PauseKeepsWhatArrivedAndContinueOrTheNextStartGoesOn) {
    const std::string body = testsupport::PatternBytes(24 * 1024 * 1024, 9);
    const std::string manifest = "VERSION=2\nFILE|data/big.pak|" + std::to_string(body.size()) + "|" +
                                 testsupport::Sha256Hex(body) + "\n";
    for (bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "closed while paused, started again" : "continued");
        StoreLimit(1024);
        LauncherSandbox launcher;
        ASSERT_TRUE(launcher.Prepare());
        LoopbackHttpServer server;
        server.RouteBody("/patch/manifest.txt", manifest);
        server.RouteBody("/patch/files/data/big.pak", body);
        const std::wstring target = launcher.Dir() / L"data\\big.pak";
        ASSERT_TRUE(launcher.Start());
        HWND hwnd = launcher.WaitMainWindow();
        ASSERT_NE(hwnd, nullptr);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::SizeOfFile(target + L".part") > 256 * 1024; }, 30000));
        ASSERT_TRUE(ChooseFromMenu(launcher, hwnd, kPauseRow));
        Sleep(1000);  // the second a pause may take
        const std::uint64_t held = testsupport::SizeOfFile(target + L".part");
        Sleep(1500);
        EXPECT_EQ(testsupport::SizeOfFile(target + L".part"), held);
        EXPECT_GT(held, 0u);
        EXPECT_FALSE(StartLooksEnabled(hwnd));
        testsupport::SavePng(testsupport::CaptureScreen(WindowRect(hwnd)), ScreenshotPath(L"window_paused.png"));

        if (restart) {
            testsupport::PressKey(VK_F4, true);
            ASSERT_TRUE(launcher.Proc().WaitExit(15000));
            const std::uint64_t kept = testsupport::SizeOfFile(target + L".part");
            EXPECT_GE(kept, held);
            testsupport::DeleteRegistryValue(L"MaxDownloadKBps");
            ASSERT_TRUE(launcher.Start());
            ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(target); }, 60000));
            bool resumed = false;
            for (const std::string& head : server.RequestLines()) {
                if (head.find("Range: bytes=" + std::to_string(kept) + "-") != std::string::npos) resumed = true;
            }
            EXPECT_TRUE(resumed) << "no request resumed at " << kept;
        } else {
            ASSERT_TRUE(ChooseFromMenu(launcher, hwnd, kPauseRow));  // now "continue"
            ASSERT_TRUE(ChooseFromMenu(launcher, hwnd, 0));          // no limit
            ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 60000));
            EXPECT_EQ(server.CountRequests("/patch/files/data/big.pak"), 1);
        }
        EXPECT_EQ(testsupport::ReadBytes(target), body);
    }
}

// Check and repair hashes the game files again and fetches what differs, with the start button off until it
// is done; the log folder opens through the desktop's shell.
TEST_F(MenuTest, RepairFetchesWhatChangedAndTheLogFolderOpensAsThePlayer) {
    ASSERT_TRUE(sandbox.AddProbe(L"Explorer.exe"));
    const testsupport::ScopedHttpsHandler explorer(L"\"" + sandbox.Dir() / L"Explorer.exe" + L"\" \"%1\"", L"Folder");
    ASSERT_TRUE(explorer.Set());
    const std::string good = testsupport::PatternBytes(300000, 4);
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\nFILE|a.pak|" + std::to_string(good.size()) + "|" +
                                                testsupport::Sha256Hex(good) + "\n");
    server.RouteBody("/patch/files/a.pak", good);
    ASSERT_TRUE(testsupport::WriteBytes(sandbox.Dir() / L"a.pak", good));
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 15000));
    EXPECT_EQ(server.CountRequests("/patch/files/a.pak"), 0);

    std::string bad = good;
    bad[1000] ^= 0x5A;
    ASSERT_TRUE(testsupport::WriteBytes(sandbox.Dir() / L"a.pak", bad));
    ASSERT_TRUE(ChooseFromMenu(sandbox, hwnd, kRepairRow));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/files/a.pak") == 1; }, 15000));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 15000));
    EXPECT_EQ(testsupport::ReadBytes(sandbox.Dir() / L"a.pak"), good);

    ASSERT_TRUE(ChooseFromMenu(sandbox, hwnd, kLogRow));
    const std::wstring record = sandbox.RecordOf(L"Explorer.exe");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 15000)) << "no folder opened";
    auto values = testsupport::ReadProbeRecord(record);
    EXPECT_NE(values[L"cmdline"].find(L"\\logs"), std::wstring::npos) << testsupport::Utf8(values[L"cmdline"]);
    EXPECT_EQ(testsupport::FindTopWindow(L"#32770", L"", sandbox.Proc().Id()), nullptr);
}

}  // namespace
