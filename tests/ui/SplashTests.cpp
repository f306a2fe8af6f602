// The farewell splash in-process: its opacity over the phases and how long it holds the caller.
#include "ui/Splash.h"

#include "TestWindows.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

TEST(SplashOpacity, RampsUpHoldsAndRampsDown) {
    struct OpacityCase {
        SplashPhase phase;
        DWORD ms;
        float expected;
    };
    const OpacityCase cases[] = {
        {FadeIn, 0, 0.0f},    {FadeIn, 250, 0.5f},  {FadeIn, 500, 1.0f},  {FadeIn, 600, 1.0f},
        {Hold, 0, 1.0f},      {Hold, 5000, 1.0f},   {FadeOut, 0, 1.0f},   {FadeOut, 250, 0.5f},
        {FadeOut, 500, 0.0f}, {FadeOut, 600, 0.0f}, {Finished, 0, 0.0f},
    };
    for (const OpacityCase& c : cases) {
        EXPECT_NEAR(SplashOpacity(c.phase, c.ms), c.expected, 1e-6) << "phase " << c.phase << " at " << c.ms;
    }
}

// The splash returns control (and so lets the launcher close) once it has faded out and its window is gone.
TEST(SplashTest, ShowSplashReturnsOnceItHasFadedOut) {
    const DWORD start = GetTickCount();
    EXPECT_TRUE(ShowSplash(GetModuleHandleW(nullptr)));
    const DWORD took = GetTickCount() - start;
    std::printf("[   INFO   ] ShowSplash took %lu ms\n", took);
    EXPECT_GE(took, 2900u);
    EXPECT_EQ(testsupport::FindTopWindow(L"KorvaneLauncherSplashWnd", L"", GetCurrentProcessId()), nullptr);
}

}  // namespace
