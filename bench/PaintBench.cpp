// Cost of the main window's animation, in-process with the real skins: CPU time per 33 ms tick as the window
// spends it (particle step, the damage it causes, and the paint of that damage from the kept layers), and,
// for comparison, a paint of the whole frame from the kept layers and one that paints the front layer anew.
#include "ui/MainWindow.h"
#include "ui/MainWindowPaint.h"
#include "ui/Skins.h"

#include "BenchClock.h"

#include <windows.h>
#include <objidl.h>
#include <gdiplus.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
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

// CPU seconds per call of `frame`, over `frames` calls (Wine counts thread time in 10 ms steps: many calls).
double CpuPerCall(int frames, const std::function<void()>& frame) {
    const double start = ThreadCpuSeconds();
    for (int i = 0; i < frames; ++i) frame();
    GdiFlush();
    return (ThreadCpuSeconds() - start) / frames;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int frames = argc > 1 ? _wtoi(argv[1]) : 300;
    const UINT dpi = argc > 2 ? static_cast<UINT>(_wtoi(argv[2])) : kBaseDpi;
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    {
        MainWindowState state;
        state.dpi = dpi;
        SetButtonLayout(state);
        LoadMainWindowSkins(state);
        state.progress = 42;
        state.statusText = L"\u4E0B\u8F09\u4E2D (3/12) data\\pack01.pak  12.5 MB / 48.0 MB  (7.9 MB/s)";
        std::srand(1);
        for (Particle& p : state.particles) InitParticle(p, false);

        const int width = ScaleToDpi(kMainWindowWidth, dpi), height = ScaleToDpi(kMainWindowHeight, dpi);
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        HBITMAP target = CreateCompatibleBitmap(screen, width, height);
        HGDIOBJ old = SelectObject(memory, target);
        PaintMainWindow(state, memory);  // the first paint makes the layers

        auto tick = [&] {
            StepParticles(state, 0.033f);
            HRGN damage = CreateRectRgn(0, 0, 0, 0);
            AddParticleDamage(state, damage);
            PaintMainWindow(state, memory, damage);
            DeleteObject(damage);
        };
        std::vector<double> wallPerTick;
        for (int i = 0; i < frames; ++i) {
            const double wall0 = NowSeconds();
            tick();
            GdiFlush();
            wallPerTick.push_back(NowSeconds() - wall0);
        }
        const double cpuPerTick = CpuPerCall(frames, tick);
        const double cpuWhole = CpuPerCall(frames, [&] {
            StepParticles(state, 0.033f);
            PaintMainWindow(state, memory);
        });
        int progress = 0;
        const double cpuFrontAnew = CpuPerCall(frames / 10 + 1, [&] {
            state.progress = progress++ % 101;  // a new percent: the front layer is painted again
            PaintMainWindow(state, memory);
        });
        std::printf("frames            %d at %u DPI (%dx%d)\n", frames, dpi, width, height);
        std::printf("cpu per frame     %.2f ms (thread CPU time, one tick: step + damage + paint of the damage)\n",
                    cpuPerTick * 1000.0);
        std::printf("wall per frame    %.2f ms median\n", Median(wallPerTick) * 1000.0);
        std::printf("cpu whole frame   %.2f ms (step + the whole frame from the kept layers)\n", cpuWhole * 1000.0);
        std::printf("cpu front anew    %.2f ms (a new percent: front layer painted again, whole frame)\n",
                    cpuFrontAnew * 1000.0);
        std::printf("cpu share at 33ms %.1f %% of one core (ticks alone, before the copy to the screen)\n",
                    cpuPerTick / 0.033 * 100.0);

        SelectObject(memory, old);
        DeleteObject(target);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
