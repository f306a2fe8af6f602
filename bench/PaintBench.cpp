// Cost of the main window's animation: CPU time per painted frame (particle step plus the full
// 900x540 frame into an off-screen bitmap, as on every 33 ms tick), with the real skins.
#include "ui/MainWindow.h"
#include "ui/MainWindowPaint.h"
#include "ui/Skins.h"

#include "BenchClock.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int frames = argc > 1 ? _wtoi(argv[1]) : 300;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    {
        MainWindowState state;
        SetButtonLayout(state);
        LoadMainWindowSkins(state);
        state.progress = 42;
        state.statusText = L"\u4E0B\u8F09\u4E2D (3/12) data\\pack01.pak  12.5 MB / 48.0 MB  (7.9 MB/s)";
        std::srand(1);
        for (Particle& p : state.particles) InitParticle(p, false);

        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP frame = CreateCompatibleBitmap(screen, kMainWindowWidth, kMainWindowHeight);
        HGDIOBJ old = SelectObject(memory, frame);

        std::vector<double> perFrame;
        for (int i = 0; i < frames; ++i) {
            const double wall0 = NowSeconds();
            StepParticles(state, 0.033f);
            PaintMainWindow(state, memory);
            GdiFlush();
            perFrame.push_back(NowSeconds() - wall0);
        }
        auto cpuPerFrameOf = [&] {
            const double start = ThreadCpuSeconds();
            for (int i = 0; i < frames; ++i) {
                StepParticles(state, 0.033f);
                PaintMainWindow(state, memory);
            }
            GdiFlush();
            return (ThreadCpuSeconds() - start) / frames;
        };
        const double cpuPerFrame = cpuPerFrameOf();
        // The same frames without the background skin: how much of the cost is its rescaling.
        SkinBitmap background = std::move(state.background);
        const double withoutBackground = cpuPerFrameOf();
        state.background = std::move(background);
        std::printf("frames            %d\n", frames);
        std::printf("cpu without bg    %.2f ms (the rest of the frame)\n", withoutBackground * 1000.0);
        std::printf("cpu per frame     %.2f ms (thread CPU time, step + paint)\n", cpuPerFrame * 1000.0);
        std::printf("wall per frame    %.2f ms median\n", Median(perFrame) * 1000.0);
        std::printf("cpu share at 33ms %.1f %% of one core (paint alone, before the copy to the screen)\n",
                    cpuPerFrame / 0.033 * 100.0);

        SelectObject(memory, old);
        DeleteObject(frame);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
