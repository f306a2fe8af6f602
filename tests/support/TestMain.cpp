// Entry of every Windows test program: a child routine when started with "--child", else the tests.
#include "ChildProcesses.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    int exitCode = 0;
    if (!testsupport::RunChildRoutineFromCommandLine(&exitCode)) {
        testing::InitGoogleTest(&argc, argv);
        exitCode = RUN_ALL_TESTS();
    }
    Gdiplus::GdiplusShutdown(token);
    return exitCode;
}
