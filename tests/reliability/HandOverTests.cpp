// A second start while a self-update hands over to its new executable: it hands off to the window of the
// launcher that the hand-over starts and runs no update of its own.
#include "WindowClasses.h"
#include "common/PathRules.h"

#include "ChildProcesses.h"
#include "DirectoryProcesses.h"
#include "LoopbackHttpServer.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

constexpr DWORD kStepTimeoutMs = 60000;

// The id of the process running from Launcher.exe.new, opened for waiting; null when none came in time.
HANDLE WaitForHandOverProcess(const std::wstring& dir, std::set<DWORD>& known, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        for (const reliability::DirectoryProcess& process : reliability::FindDirectoryProcesses(dir, known)) {
            const std::wstring name = L"\\Launcher.exe.new";
            if (process.image.size() < name.size() ||
                CompareStringOrdinal(process.image.c_str() + process.image.size() - name.size(),
                                     static_cast<int>(name.size()), name.c_str(), static_cast<int>(name.size()),
                                     TRUE) != CSTR_EQUAL) {
                continue;
            }
            return OpenProcess(SYNCHRONIZE, FALSE, process.id);
        }
        Sleep(0);
    }
    return nullptr;
}

TEST(HandOverTest, SecondStartBringsTheRestartedWindowToTheFrontAndRunsNoUpdate) {
    testsupport::ClearLauncherRegistry();
    testsupport::TempDir dir;
    testsupport::LoopbackHttpServer server;
    ASSERT_TRUE(server.Started());
    const std::string original = testsupport::ReadBytes(testsupport::BesideTestExe(L"LauncherReliability.exe"));
    ASSERT_FALSE(original.empty());
    const std::wstring exe = dir / L"Launcher.exe";
    ASSERT_TRUE(testsupport::WriteBytes(exe, original));
    const std::string generation = original + "\nkorvane hand-over launcher, generation 2\n";
    server.RouteBody("/patch/files/Launcher.exe", generation);
    server.RouteBody("/patch/manifest.txt", "VERSION=2\nLAUNCHER_SELF|" + std::to_string(generation.size()) + "|" +
                                                testsupport::Sha256Hex(generation) + "\n");

    std::set<DWORD> known;
    testsupport::Process first;
    ASSERT_TRUE(first.Start(exe, std::wstring(), dir.Path()));
    known.insert(first.Id());
    HANDLE handOver = WaitForHandOverProcess(dir.Path(), known, kStepTimeoutMs);
    ASSERT_NE(handOver, nullptr) << "the self-update started no new executable";
    // Held without delete sharing, as a scanner would, Launcher.exe keeps the hand-over retrying its
    // rename while the second start comes.
    HANDLE held = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    testsupport::Process second;
    ASSERT_TRUE(second.Start(exe, std::wstring(), dir.Path()));
    known.insert(second.Id());
    // It leaves the front to the hand-over and ends at once: its own image would keep Launcher.exe from
    // being replaced.
    EXPECT_TRUE(second.WaitExit(kStepTimeoutMs)) << "the second start did not hand off";
    // Let go only once the second start has ended: the hand-over keeps retrying its rename for 8 s.
    const bool handOverStillRunning = WaitForSingleObject(handOver, 0) == WAIT_TIMEOUT;
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    EXPECT_TRUE(handOverStillRunning) << "the second start did not come during the hand-over";
    EXPECT_EQ(WaitForSingleObject(handOver, kStepTimeoutMs), WAIT_OBJECT_0);
    CloseHandle(handOver);
    HWND front = nullptr;
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            front = GetForegroundWindow();
            return front && testsupport::ClassName(front) == kMainWindowClass;
        },
        kStepTimeoutMs));
    DWORD frontProcess = 0;
    GetWindowThreadProcessId(front, &frontProcess);
    EXPECT_NE(frontProcess, first.Id());
    EXPECT_NE(frontProcess, second.Id());
    EXPECT_TRUE(testsupport::ReadBytes(exe) == generation) << "Launcher.exe is not the new launcher";
    // One run before the hand-over, one in the restarted launcher; none in the second start.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return server.CountRequests("/patch/manifest.txt") >= 2; }, kStepTimeoutMs));
    EXPECT_EQ(server.CountRequests("/patch/manifest.txt"), 2);
    EXPECT_EQ(server.CountRequests("/patch/files/Launcher.exe"), 1);

    EXPECT_TRUE(reliability::TerminateDirectoryProcesses(dir.Path(), known));
    testsupport::ClearLauncherRegistry();
}

}  // namespace
