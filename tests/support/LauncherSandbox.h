#pragma once
// The real launcher under test, in a directory of its own.

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <windows.h>

#include <string>

namespace testsupport {

// A copy of LauncherLoopback.exe as Launcher.exe in a fresh directory, with probe programs beside it
// on request. The process is stopped before the directory is removed.
class LauncherSandbox {
public:
    const TempDir& Dir() const { return dir_; }
    std::wstring LauncherPath() const { return dir_ / L"Launcher.exe"; }
    bool Prepare() { return CopyFileW(BesideTestExe(L"LauncherLoopback.exe").c_str(), LauncherPath().c_str(), FALSE) != 0; }
    // Copies probe_child.exe in as `name` (Zorexe.exe, Setup.exe, ...); its record is `name`.record.txt.
    bool AddProbe(const std::wstring& name) {
        return CopyFileW(BesideTestExe(L"probe_child.exe").c_str(), (dir_ / name).c_str(), FALSE) != 0;
    }
    std::wstring RecordOf(const std::wstring& name) const { return dir_ / (name + L".record.txt"); }
    bool Start(const std::wstring& args = std::wstring()) { return process_.Start(LauncherPath(), args, dir_.Path()); }
    Process& Proc() { return process_; }
    // The launcher's main window once it has been created (null after the time-out).
    HWND WaitMainWindow(DWORD timeoutMs = 15000) {
        return WaitForTopWindow(L"KorvaneLauncherMainWnd", L"", timeoutMs, process_.Id());
    }

private:
    TempDir dir_;
    Process process_;
};

}  // namespace testsupport
