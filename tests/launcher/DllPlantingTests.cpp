// DLLs planted beside the elevated launcher under the names of the system DLLs it uses are never loaded:
// not before main, not during an update run, not when the game starts.
#include "ChildProcesses.h"
#include "LauncherSandbox.h"
#include "LoopbackHttpServer.h"
#include "ScreenCapture.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testsupport::LauncherSandbox;
using testsupport::LoopbackHttpServer;

// The names of the planted DLLs, ',' between them (tests/CMakeLists.txt).
std::vector<std::wstring> PlantedNames() {
    std::vector<std::wstring> names;
    std::wstring list = KORVANE_PLANTED_DLLS;
    for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(L',', start), list.size());
        if (comma > start) names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// Wine loads a DLL from beside a program, as Windows does for one that is not a KnownDLL, only for the
// names told to take the native one first. A Wine process hands its children the environment that Wine
// itself started with, not the one it set, so the test says so in the prefix's registry, for one program
// name at a time (WINEDLLOVERRIDES=name=n,b does the same from outside); the key goes with the object.
class ScopedNativeFirst {
public:
    ScopedNativeFirst(const std::wstring& exeName, const std::vector<std::wstring>& names)
        : key_(L"Software\\Wine\\AppDefaults\\" + exeName) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (key_ + L"\\DllOverrides").c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return;
        }
        static const wchar_t kNativeFirst[] = L"native,builtin";
        ok_ = true;
        for (const std::wstring& name : names) {
            ok_ = ok_ && RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(kNativeFirst),
                                        sizeof(kNativeFirst)) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
    ~ScopedNativeFirst() { RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str()); }
    bool Ok() const { return ok_; }

private:
    std::wstring key_;
    bool ok_ = false;
};

std::vector<std::wstring> MarkersFound(const LauncherSandbox& sandbox, const std::vector<std::wstring>& names) {
    std::vector<std::wstring> found;
    for (const std::wstring& name : names) {
        if (testsupport::FileExists(sandbox.Dir() / (name + L".dll.loaded"))) found.push_back(name);
    }
    return found;
}

std::string Joined(const std::vector<std::wstring>& names) {
    std::string text;
    for (const std::wstring& name : names) text += (text.empty() ? "" : ", ") + testsupport::Utf8(name);
    return text;
}

bool StartLooksEnabled(HWND hwnd) {
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    const RECT start = {452, 403, 815, 511};
    const testsupport::Capture frame = testsupport::CaptureScreen(rect);
    return frame.width == 900 && testsupport::Stats(frame, start).saturation > 60;
}

}  // namespace

TEST(DllPlanting, PlantedSystemDllsBesideTheLauncherAreNeverLoaded) {
    const std::vector<std::wstring> names = PlantedNames();
    ASSERT_FALSE(names.empty());
    LauncherSandbox sandbox;
    ASSERT_TRUE(sandbox.Prepare());
    ASSERT_TRUE(sandbox.AddProbe(L"Zorexe.exe"));
    for (const std::wstring& name : names) {
        const std::wstring dll = name + L".dll";
        ASSERT_TRUE(CopyFileW(testsupport::BesideTestExe(L"planted\\" + dll).c_str(), (sandbox.Dir() / dll).c_str(),
                              FALSE))
            << testsupport::Utf8(dll);
    }
    ScopedNativeFirst controlOverrides(L"planting_control.exe", names);
    ScopedNativeFirst launcherOverrides(L"Launcher.exe", names);
    ASSERT_TRUE(controlOverrides.Ok() && launcherOverrides.Ok());

    // The control: a program without the rule, in the same folder, loads every plant.
    const std::wstring control = sandbox.Dir() / L"planting_control.exe";
    ASSERT_TRUE(CopyFileW(testsupport::BesideTestExe(L"planting_control.exe").c_str(), control.c_str(), FALSE));
    testsupport::Process controlRun;
    ASSERT_TRUE(controlRun.Start(control, L"", sandbox.Dir().Path()));
    EXPECT_TRUE(controlRun.WaitExit(30000));
    ASSERT_EQ(MarkersFound(sandbox, names).size(), names.size())
        << "the control loaded only: " << Joined(MarkersFound(sandbox, names));
    for (const std::wstring& name : names) DeleteFileW((sandbox.Dir() / (name + L".dll.loaded")).c_str());
    ASSERT_TRUE(MarkersFound(sandbox, names).empty());

    // The launcher: a whole update run that downloads a file (WinHTTP, CNG), the window with its music
    // and skins (WinMM, GDI+, MSIMG32), then the game's start.
    const std::string content = testsupport::PatternBytes(70000, 7);
    LoopbackHttpServer server;
    server.RouteBody("/patch/files/data/planted-check.bin", content);
    server.RouteBody("/patch/manifest.txt", "VERSION=1\nFILE|data/planted-check.bin|" + std::to_string(content.size()) +
                                                "|" + testsupport::Sha256Hex(content) + "\n");
    ASSERT_TRUE(sandbox.Start());
    HWND hwnd = sandbox.WaitMainWindow();
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return StartLooksEnabled(hwnd); }, 30000));
    EXPECT_EQ(testsupport::ReadBytes(sandbox.Dir() / L"data\\planted-check.bin"), content);
    RECT rect = {};
    GetWindowRect(hwnd, &rect);
    testsupport::MoveMouseTo(rect.left + 452 + 363 / 2, rect.top + 403 + 108 / 2);
    testsupport::MouseDown();
    testsupport::MouseUp();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return testsupport::FileExists(sandbox.RecordOf(L"Zorexe.exe")); }, 10000));
    EXPECT_TRUE(sandbox.Proc().WaitExit(15000));
    EXPECT_TRUE(MarkersFound(sandbox, names).empty()) << "the launcher loaded planted " << Joined(MarkersFound(sandbox, names));
}
