// The main window: its message handling in-process, and the real launcher's window on the screen.
#include "PlayerTexts.h"
#include "ui/Dpi.h"
#include "ui/MainWindow.h"
#include "ui/MainWindowState.h"
#include "update/PatchHost.h"
#include "update/StatusChannel.h"
#include "update/Updater.h"

#include "LauncherSandbox.h"
#include "LoopbackHttpServer.h"
#include "ScreenCapture.h"
#include "TestFiles.h"
#include "TempDir.h"
#include "TestRegistry.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using testsupport::Capture;
using testsupport::HttpResponse;
using testsupport::LauncherSandbox;
using testsupport::LoopbackHttpServer;

// ---- in-process: MainWindowProc on a window of the test ----

constexpr wchar_t kTestClass[] = L"KorvaneTestMainWindowProc";

class ProcWindow {
public:
    ProcWindow() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = MainWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kTestClass;
        RegisterClassW(&wc);
        hwnd_ = CreateWindowExW(0, kTestClass, L"proc", WS_POPUP, 0, 0, 900, 540, nullptr, nullptr, wc.hInstance,
                                nullptr);
    }
    ~ProcWindow() {
        if (hwnd_) {
            SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
            DestroyWindow(hwnd_);
        }
        // WM_DESTROY posts a quit message; it must not end a later test's message loop.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    HWND Get() const { return hwnd_; }
    void Attach(MainWindowState* state) { SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state)); }
    // Dispatches everything posted to this window so far.
    void Pump() {
        MSG msg;
        while (PeekMessageW(&msg, hwnd_, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }

private:
    HWND hwnd_ = nullptr;
};

// A heap text as the update code posts it, of a length that identifies it.
wchar_t* HeapText(const std::wstring& text) {
    auto* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (text.size() + 1) * sizeof(wchar_t)));
    if (copy) std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
    return copy;
}

// How many of `blocks` are busy blocks of the process heap at that address and of that size.
int CountLiveBlocks(const std::vector<std::pair<void*, SIZE_T>>& blocks) {
    HANDLE heap = GetProcessHeap();
    int live = 0;
    HeapLock(heap);
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
        if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
        for (const auto& block : blocks) {
            if (entry.lpData == block.first && entry.cbData == block.second) ++live;
        }
    }
    HeapUnlock(heap);
    return live;
}

TEST(MainWindowProc, TenStatusTextsLeaveTheLastAndAreAllFreed) {
    ProcWindow window;
    ASSERT_NE(window.Get(), nullptr);
    MainWindowState state;
    state.hwnd = window.Get();
    window.Attach(&state);

    std::vector<std::pair<void*, SIZE_T>> blocks;
    std::wstring last;
    for (int i = 0; i < 10; ++i) {
        last = L"狀態 " + std::to_wstring(i) + L" " + std::wstring(300 + 13 * i, L'x');
        wchar_t* text = HeapText(last);
        ASSERT_NE(text, nullptr);
        blocks.emplace_back(text, (last.size() + 1) * sizeof(wchar_t));
        ASSERT_TRUE(PostMessageW(window.Get(), WM_UPDATE_STATUS, reinterpret_cast<WPARAM>(text), 0));
    }
    ASSERT_EQ(CountLiveBlocks(blocks), 10) << "the heap walk must see the texts before they are handled";
    window.Pump();
    EXPECT_EQ(state.statusText, last);
    EXPECT_EQ(CountLiveBlocks(blocks), 0);
}

TEST(MainWindowProc, MessagesBeforeTheStateExistsAreHarmlessAndTextsFreed) {
    ProcWindow window;
    ASSERT_NE(window.Get(), nullptr);
    const std::wstring body = L"早到的狀態 " + std::wstring(411, L'y');
    wchar_t* text = HeapText(body);
    const std::vector<std::pair<void*, SIZE_T>> blocks = {{text, (body.size() + 1) * sizeof(wchar_t)}};
    ASSERT_EQ(CountLiveBlocks(blocks), 1);
    PostMessageW(window.Get(), WM_UPDATE_STATUS, reinterpret_cast<WPARAM>(text), 0);
    PostMessageW(window.Get(), WM_UPDATE_PROGRESS, 60, 0);
    PostMessageW(window.Get(), WM_UPDATE_FINISHED, 0, 0);
    PostMessageW(window.Get(), WM_UPDATE_STATUS, 0, 0);  // a null text is harmless
    window.Pump();
    EXPECT_EQ(CountLiveBlocks(blocks), 0);

    // Attached afterwards, the state starts from its defaults and reacts from then on.
    MainWindowState state;
    state.hwnd = window.Get();
    window.Attach(&state);
    window.Pump();
    EXPECT_EQ(state.progress, 0);
    EXPECT_FALSE(state.startEnabled);
    EXPECT_TRUE(state.statusText.empty());
    PostMessageW(window.Get(), WM_UPDATE_PROGRESS, 60, 0);
    window.Pump();
    EXPECT_EQ(state.progress, 60);
}

TEST(MainWindowProc, ProgressBoostsTheAnimationUpToItsCap) {
    ProcWindow window;
    MainWindowState state;
    state.hwnd = window.Get();
    window.Attach(&state);
    const DWORD before = GetTickCount();
    PostMessageW(window.Get(), WM_UPDATE_PROGRESS, 10, 0);
    window.Pump();
    EXPECT_NEAR(state.activityBoost, 1.4f, 1e-5);
    EXPECT_NE(state.lastProgressTick, 0u);
    EXPECT_LE(state.lastProgressTick - before, 5000u);
    for (int i = 1; i <= 10; ++i) PostMessageW(window.Get(), WM_UPDATE_PROGRESS, 10 * i, 0);
    window.Pump();
    EXPECT_FLOAT_EQ(state.activityBoost, 2.2f);
    EXPECT_EQ(state.progress, 100);
}

TEST(MainWindowProc, FinishedEnablesStartOnlyForZero) {
    ProcWindow window;
    MainWindowState state;
    state.hwnd = window.Get();
    window.Attach(&state);
    PostMessageW(window.Get(), WM_UPDATE_FINISHED, 1, 0);
    window.Pump();
    EXPECT_FALSE(state.startEnabled);
    PostMessageW(window.Get(), WM_UPDATE_FINISHED, 0, 0);
    window.Pump();
    EXPECT_TRUE(state.startEnabled);
}

// The UI thread busy for 2 s (the shell opening a link or Setup.exe) while four workers download many files:
// the run's last message must still arrive and enable the start button.
TEST(MainWindowProc, FinishedEnablesStartAfterTheUiThreadWasBusyDuringDownloads) {
    constexpr int kFiles = 40;
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    std::string manifest = "VERSION=2\n";
    std::vector<std::string> bodies;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "data/f" + std::to_string(i) + ".bin";
        bodies.push_back(testsupport::PatternBytes(256 * 1024, 100 + i));
        manifest += "FILE|" + name + "|" + std::to_string(bodies.back().size()) + "|" +
                    testsupport::Sha256Hex(bodies.back()) + "\n";
        server.RouteBody("/patch/files/" + name, bodies.back());
    }
    server.RouteBody("/patch/manifest.txt", manifest);

    testsupport::TempDir game;
    ProcWindow window;
    MainWindowState state;
    state.hwnd = window.Get();
    window.Attach(&state);
    auto args = std::make_unique<UpdaterThreadArgs>();
    args->notifyWindow = window.Get();
    args->launcherDir = game.Path();
    args->patchHosts = PatchHostList();
    ASSERT_FALSE(UpdaterRunning.exchange(true));
    HANDLE thread = CreateThread(nullptr, 0, UpdaterThread, args.get(), 0, nullptr);
    ASSERT_NE(thread, nullptr);
    args.release();

    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/files/data/f0.bin") > 0; }, 30000));
    // From here the UI thread takes no message until the run has ended and at least 2 s have passed.
    const DWORD blocked = GetTickCount();
    const bool runEnded = WaitForSingleObject(thread, 120000) == WAIT_OBJECT_0;
    const DWORD busyMs = GetTickCount() - blocked;
    if (busyMs < 2000) Sleep(2000 - busyMs);
    CloseHandle(thread);
    ASSERT_TRUE(runEnded);
    EXPECT_FALSE(state.startEnabled) << "nothing was dispatched while the thread was busy";

    EXPECT_TRUE(testsupport::WaitUntil([&] { return state.startEnabled; }, 10000));
    EXPECT_EQ(state.statusText, player_texts::kUpdated);
    EXPECT_EQ(state.progress, 100);
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_EQ(testsupport::ReadBytes(game / (L"data\\f" + std::to_wstring(i) + L".bin")), bodies[i]) << i;
    }
}

// Regression: after the restart's quit the window outlived RunMainWindow, its timer running and its user
// data pointing into the returned frame, while MCI and GDI+ shut down.
TEST(RunMainWindow, LoopEndedWhileTheWindowLivesLeavesNoWindowBehind) {
    testsupport::TempDir dir;
    std::thread ui([&] { RunMainWindow(GetModuleHandleW(nullptr), dir.Path()); });
    HWND hwnd = testsupport::WaitForTopWindow(kMainWindowClass, L"", 15000, GetCurrentProcessId());
    EXPECT_NE(hwnd, nullptr);
    // What WM_UPDATE_RESTART does after starting the new launcher: a quit while the window still lives.
    const DWORD uiThread = hwnd ? GetWindowThreadProcessId(hwnd, nullptr) : 0;
    if (uiThread) PostThreadMessageW(uiThread, WM_QUIT, 0, 0);
    ui.join();
    EXPECT_FALSE(IsWindow(hwnd));
    // The run it started reports to a window that is gone and must end before another test starts one.
    EXPECT_TRUE(testsupport::WaitUntil([] { return !UpdaterRunning.load(); }, 60000));
}

TEST(MainWindowProc, DpiChangeTakesTheSuggestedRectangleAndScalesTheButtons) {
    struct DpiCase {
        UINT dpi;
        RECT suggested;
        SkinButton start;  // where the start button must then be, in client pixels
    };
    const DpiCase cases[] = {
        {144, {100, 60, 1450, 870}, {678, 605, 545, 162}},
        {192, {20, 0, 1820, 1080}, {904, 806, 726, 216}},
        {96, {300, 200, 1200, 740}, {452, 403, 363, 108}},
    };
    ProcWindow window;
    MainWindowState state;
    state.hwnd = window.Get();
    SetButtonLayout(state);
    window.Attach(&state);
    for (const DpiCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " DPI");
        RECT suggested = c.suggested;
        EXPECT_EQ(SendMessageW(window.Get(), WM_DPICHANGED, MAKEWPARAM(c.dpi, c.dpi), reinterpret_cast<LPARAM>(&suggested)), 0);
        RECT now = {};
        GetWindowRect(window.Get(), &now);
        EXPECT_TRUE(EqualRect(&now, &c.suggested)) << now.left << "," << now.top << " " << now.right << "," << now.bottom;
        EXPECT_EQ(state.dpi, c.dpi);
        const SkinButton& start = state.buttons[StartGame];
        EXPECT_EQ(start.x, c.start.x);
        EXPECT_EQ(start.y, c.start.y);
        EXPECT_EQ(start.width, c.start.width);
        EXPECT_EQ(start.height, c.start.height);
        EXPECT_EQ(HitTestButton(state, c.start.x + c.start.width - 1, c.start.y + c.start.height - 1), StartGame);
    }
}

// ---- the real launcher on the screen ----

constexpr RECT kStartRect = {452, 403, 815, 511};
constexpr int kBarLeft = 201, kBarTop = 526, kBarWidth = 527;

std::wstring ScreenshotPath(const std::wstring& name) {
    const std::wstring dir = testsupport::BesideTestExe(L"screenshots");
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir + L"\\" + name;
}

RECT WindowRect(HWND hwnd) {
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    return rect;
}

Capture CaptureWindow(HWND hwnd) {
    return testsupport::CaptureScreen(WindowRect(hwnd));
}

double StartSaturation(HWND hwnd) {
    const Capture frame = CaptureWindow(hwnd);
    if (frame.width != 900) return -1;
    return testsupport::Stats(frame, kStartRect).saturation;
}

bool WarmPixel(std::uint32_t px) {
    const int r = (px >> 16) & 255, b = px & 255;
    return r > 150 && r > b + 60;
}

// Share of the bar's columns in [from, to) that show the warm fill somewhere between the status text's strokes.
double WarmShare(const Capture& frame, int from, int to) {
    int warm = 0;
    for (int x = from; x < to; ++x) {
        for (int y = kBarTop + 1; y < kBarTop + 12; ++y) {
            if (WarmPixel(frame.At(x, y))) {
                ++warm;
                break;
            }
        }
    }
    return to > from ? static_cast<double>(warm) / (to - from) : 0;
}

// Thresholds for the start button's mean saturation (the painted frame: grey well below, colour above).
constexpr double kGreyStartMax = 40;
constexpr double kColourStartMin = 60;

class LauncherWindowTest : public testing::Test {
protected:
    void SetUp() override {
        testsupport::DeleteRegistryValue(L"BgmMuted");
        ASSERT_TRUE(sandbox.Prepare());
    }
    HWND StartLauncher() {
        if (!sandbox.Start()) return nullptr;
        HWND hwnd = sandbox.WaitMainWindow();
        if (hwnd) testsupport::WaitUntil([&] { return IsWindowVisible(hwnd) != FALSE; }, 5000);
        return hwnd;
    }
    LauncherSandbox sandbox;
};

TEST_F(LauncherWindowTest, BorderlessWindowCentredOnTheScreen) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(testsupport::ClassName(hwnd), L"KorvaneLauncherMainWnd");
    EXPECT_EQ(testsupport::WindowText(hwnd), L"Selmora");
    const RECT rect = WindowRect(hwnd);
    EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - 900) / 2);
    EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - 540) / 2);
    EXPECT_EQ(rect.right - rect.left, 900);
    EXPECT_EQ(rect.bottom - rect.top, 540);
    EXPECT_EQ(GetWindowLongW(hwnd, GWL_STYLE) & (WS_CAPTION | WS_THICKFRAME), 0);
}

TEST_F(LauncherWindowTest, StartGreyWhileDownloadingThenColouredWithTheBarFull) {
    const std::string data = testsupport::PatternBytes(160 * 1024, 5);
    LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    server.RouteBody("/patch/manifest.txt", "VERSION=2\nFILE|data/pack.bin|" + std::to_string(data.size()) + "|" +
                                                testsupport::Sha256Hex(data) + "\n");
    HttpResponse slow{200, data, testsupport::Delivery::Slow};
    slow.slowPieceBytes = 1024;
    slow.slowPauseMs = 40;  // about 6.5 s for the whole file
    server.Route("/patch/files/data/pack.bin", slow);

    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/files/data/pack.bin") > 0; }, 15000));
    // While the file arrives: a status line over the bar and the start button grey.
    Capture during;
    bool textShown = testsupport::WaitUntil(
        [&] {
            during = CaptureWindow(hwnd);
            if (during.width != 900) return false;
            int white = 0;
            for (int y = 522; y < 540; ++y) {
                for (int x = kBarLeft; x < kBarLeft + kBarWidth; ++x) {
                    if ((during.At(x, y) & 0xF0F0F0) == 0xF0F0F0) ++white;
                }
            }
            return white > 20;
        },
        5000);
    testsupport::SavePng(during, ScreenshotPath(L"window_checking.png"));
    EXPECT_TRUE(textShown);
    const double greySaturation = testsupport::Stats(during, kStartRect).saturation;
    EXPECT_LT(greySaturation, kGreyStartMax);
    EXPECT_TRUE(sandbox.Proc().Running());

    double colour = 0;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return (colour = StartSaturation(hwnd)) > kColourStartMin; }, 30000))
        << "start still grey, saturation " << colour;
    EXPECT_EQ(testsupport::ReadBytes(sandbox.Dir() / L"data\\pack.bin"), data);
    const Capture done = CaptureWindow(hwnd);
    testsupport::SavePng(done, ScreenshotPath(L"window_start_enabled.png"));
    EXPECT_GT(WarmShare(done, kBarLeft + 3, kBarLeft + kBarWidth - 3), 0.9);
}

TEST_F(LauncherWindowTest, UpToDateRunFillsTheBarAndEnablesStart) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    double colour = 0;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return (colour = StartSaturation(hwnd)) > kColourStartMin; }, 15000))
        << "saturation " << colour;
    const Capture frame = CaptureWindow(hwnd);
    testsupport::SavePng(frame, ScreenshotPath(L"window_progress_full.png"));
    EXPECT_GT(WarmShare(frame, kBarLeft + 3, kBarLeft + kBarWidth - 3), 0.9);
}

TEST_F(LauncherWindowTest, PostedProgressAndFinishedMessagesShowOnScreen) {
    LoopbackHttpServer server;  // no routes: the manifest is a 404, so the run fails at once
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") > 0; }, 15000));
    // The run's own progress (0) was posted before its request; ours come after it.
    ASSERT_TRUE(PostMessageW(hwnd, WM_UPDATE_PROGRESS, 50, 0));
    Capture half;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            half = CaptureWindow(hwnd);
            return half.width == 900 && WarmShare(half, kBarLeft + 3, kBarLeft + 250) > 0.9;
        },
        5000))
        << (testsupport::SavePng(half, ScreenshotPath(L"window_progress_half_failed.png")), "see the screenshot");
    testsupport::SavePng(half, ScreenshotPath(L"window_progress_half.png"));
    EXPECT_LT(WarmShare(half, kBarLeft + 275, kBarLeft + kBarWidth - 3), 0.05);

    ASSERT_TRUE(PostMessageW(hwnd, WM_UPDATE_FINISHED, 1, 0));
    // Nothing to wait for but the absence of a change: give the window a generous moment to repaint.
    EXPECT_FALSE(testsupport::WaitUntil([&] { return StartSaturation(hwnd) > kColourStartMin; }, 1500));
    const Capture grey = CaptureWindow(hwnd);
    testsupport::SavePng(grey, ScreenshotPath(L"window_start_disabled.png"));
    EXPECT_LT(testsupport::Stats(grey, kStartRect).saturation, kGreyStartMax);

    ASSERT_TRUE(PostMessageW(hwnd, WM_UPDATE_FINISHED, 0, 0));
    double colour = 0;
    EXPECT_TRUE(testsupport::WaitUntil([&] { return (colour = StartSaturation(hwnd)) > kColourStartMin; }, 5000))
        << "saturation " << colour;
}

TEST_F(LauncherWindowTest, ClickRunsOnlyWhenPressAndReleaseAreOnTheSameButton) {
    ASSERT_TRUE(sandbox.AddProbe(L"Setup.exe"));
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    const RECT rect = WindowRect(hwnd);
    const POINT settings = {rect.left + 40 + 54, rect.top + 224 + 48};
    const std::wstring record = sandbox.RecordOf(L"Setup.exe");

    testsupport::MoveMouseTo(settings.x, settings.y);
    testsupport::MouseDown();
    for (int step = 1; step <= 4; ++step) testsupport::MoveMouseTo(settings.x + 60 * step, settings.y);
    testsupport::MouseUp();
    EXPECT_FALSE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 2500))
        << "released off the button, yet the settings program started";
    EXPECT_EQ(WindowRect(hwnd).left, rect.left) << "a press on a button must not drag the window";

    testsupport::MoveMouseTo(settings.x, settings.y);
    testsupport::MouseDown();
    testsupport::MouseUp();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 10000));
}

TEST_F(LauncherWindowTest, DraggingTheBackgroundMovesTheWindow) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    const RECT before = WindowRect(hwnd);
    const POINT grab = {before.left + 300, before.top + 150};  // sky: no button there
    testsupport::MoveMouseTo(grab.x, grab.y);
    testsupport::MouseDown();
    for (int step = 1; step <= 6; ++step) {
        const POINT to = {grab.x + 10 * step, grab.y + 40 * step / 6};
        testsupport::MoveMouseTo(to.x, to.y);
        testsupport::WaitUntil([&] {
            POINT at = {};
            return GetCursorPos(&at) && at.x == to.x && at.y == to.y;
        }, 1000);
    }
    testsupport::MouseUp();
    RECT after = {};
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            // The window follows the drag step by step: wait for it to arrive, not for its first move.
            after = WindowRect(hwnd);
            return std::abs(after.left - before.left - 60) <= 6 && std::abs(after.top - before.top - 40) <= 6;
        },
        3000));
    EXPECT_NEAR(after.left - before.left, 60, 6);
    EXPECT_NEAR(after.top - before.top, 40, 6);
    EXPECT_EQ(after.right - after.left, 900);
}

TEST_F(LauncherWindowTest, CloseButtonEndsTheLauncher) {
    LoopbackHttpServer server;
    server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
    HWND hwnd = StartLauncher();
    ASSERT_NE(hwnd, nullptr);
    const RECT rect = WindowRect(hwnd);
    testsupport::MoveMouseTo(rect.left + 868 + 16, rect.top + 19);
    testsupport::MouseDown();
    testsupport::MouseUp();
    EXPECT_TRUE(sandbox.Proc().WaitExit(10000));
    EXPECT_FALSE(IsWindow(hwnd));
}

}  // namespace

namespace {

// The real launcher at the DPI of the prefix (LogPixels): a window of the scaled size, centred, whose scaled
// start and close buttons answer clicks.
TEST(LauncherDpiTest, WindowAndButtonsFollowTheDpi) {
    struct DpiCase {
        DWORD dpi;
        bool clickStart;  // else the close button
        int width, height;
    };
    const DpiCase cases[] = {
        {144, true, 1350, 810},
        {144, false, 1350, 810},
        {192, true, 1800, 1080},
        {192, false, 1800, 1080},
    };
    for (const DpiCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " DPI, " << (c.clickStart ? "start" : "close"));
        testsupport::ScopedLogPixels logPixels(c.dpi);
        ASSERT_TRUE(logPixels.Set());
        LoopbackHttpServer server;
        server.RouteBody("/patch/manifest.txt", "VERSION=1\n");
        LauncherSandbox sandbox;
        ASSERT_TRUE(sandbox.Prepare());
        ASSERT_TRUE(sandbox.AddProbe(L"Zorexe.exe"));
        ASSERT_TRUE(sandbox.Start());
        HWND hwnd = sandbox.WaitMainWindow();
        ASSERT_NE(hwnd, nullptr);
        ASSERT_TRUE(testsupport::WaitUntil([&] { return IsWindowVisible(hwnd) != FALSE; }, 5000));

        const RECT rect = WindowRect(hwnd);
        EXPECT_EQ(rect.right - rect.left, c.width);
        EXPECT_EQ(rect.bottom - rect.top, c.height);
        EXPECT_EQ(rect.left, (GetSystemMetrics(SM_CXSCREEN) - c.width) / 2);
        EXPECT_EQ(rect.top, (GetSystemMetrics(SM_CYSCREEN) - c.height) / 2);

        const RECT start = ScaledRect(kButtonLayout[StartGame].box, c.dpi);
        double saturation = 0;
        EXPECT_TRUE(testsupport::WaitUntil(
            [&] {
                const Capture frame = CaptureWindow(hwnd);
                saturation = frame.width == c.width ? testsupport::Stats(frame, start).saturation : -1;
                return saturation > kColourStartMin;
            },
            15000))
            << "start still grey at the scaled place, saturation " << saturation;
        testsupport::SavePng(CaptureWindow(hwnd), ScreenshotPath(L"window_dpi_" + std::to_wstring(c.dpi) + L".png"));

        const RECT target = ScaledRect(kButtonLayout[c.clickStart ? StartGame : CloseLauncher].box, c.dpi);
        testsupport::MoveMouseTo(rect.left + (target.left + target.right) / 2, rect.top + (target.top + target.bottom) / 2);
        testsupport::MouseDown();
        testsupport::MouseUp();
        const std::wstring record = sandbox.RecordOf(L"Zorexe.exe");
        if (c.clickStart) {
            EXPECT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(record); }, 10000));
        }
        EXPECT_TRUE(sandbox.Proc().WaitExit(15000));
        EXPECT_EQ(testsupport::FileExists(record), c.clickStart);
    }
}

}  // namespace
