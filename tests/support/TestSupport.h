#pragma once
// Helpers shared by the Windows test programs: temporary directories, files, child processes with
// their debugger output, windows found on the display, and the messages posted to a window.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// ---- files ----

// A fresh directory under %TEMP%, removed with everything in it on destruction. Path ends in '\'.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + name; }

private:
    std::wstring path_;
};

bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
bool FileExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
// Full path of a file beside the running test executable (where the build puts its helpers).
std::wstring BesideTestExe(const std::wstring& name);
// SHA-256 as lower-case hex, computed here with CNG independently of the product code.
std::string Sha256Hex(const std::string& bytes);
// Deterministic pseudo-random content.
std::string PatternBytes(std::size_t size, std::uint32_t seed);

// ---- processes ----

struct ChildRun {
    bool started = false;
    bool exited = false;  // false when the time-out killed it
    DWORD exitCode = 0;
    std::vector<std::string> debugLines;  // OutputDebugStringA/W text, one entry per call
};

// Runs a command line under the debug API and collects every debug string it writes.
ChildRun RunCapturingDebugOutput(const std::wstring& commandLine, DWORD timeoutMs,
                                 const std::wstring& workingDir = std::wstring());

// Runs this test executable again as "--child <name> args..." under the debug API.
ChildRun RunChildRoutine(const std::string& name, const std::vector<std::wstring>& args, DWORD timeoutMs = 60000);

// A process started with CreateProcessW, terminated on destruction if still running.
class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    bool Start(const std::wstring& exe, const std::wstring& args = std::wstring(),
               const std::wstring& workingDir = std::wstring());
    bool WaitExit(DWORD timeoutMs);
    bool Running() const;
    DWORD Id() const { return info_.dwProcessId; }
    HANDLE Handle() const { return info_.hProcess; }
    void Kill();

private:
    PROCESS_INFORMATION info_ = {};
};

// The "name=value" lines that the stand-in client (probe_child.exe) recorded about its start.
std::map<std::wstring, std::wstring> ReadProbeRecord(const std::wstring& path);
// 32 characters from "0123456789abcdef".
bool IsRunToken(const std::wstring& token);

// Routines that a test executable can run as a child (see RunChildRoutine).
using ChildRoutine = int (*)(const std::vector<std::wstring>& args);
struct ChildRoutineRegistration {
    ChildRoutineRegistration(const char* name, ChildRoutine routine);
};
#define TEST_CHILD_ROUTINE(name)                                                                  \
    static int name(const std::vector<std::wstring>& args);                                      \
    static ::testsupport::ChildRoutineRegistration name##_registration(#name, name);               \
    static int name(const std::vector<std::wstring>& args)

// Dispatches "--child name ..." when present; returns true with *exitCode set in that case.
bool RunChildRoutineFromCommandLine(int* exitCode);

// ---- waiting ----

// Polls `condition` every 20 ms until it holds or `timeoutMs` passes; pumps this thread's messages.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

// ---- windows ----

// A top-level window of any process whose class and/or title match (empty means any).
HWND FindTopWindow(const std::wstring& className, const std::wstring& title, DWORD processId = 0);
HWND WaitForTopWindow(const std::wstring& className, const std::wstring& title, DWORD timeoutMs, DWORD processId = 0);
std::wstring WindowText(HWND hwnd);
std::wstring ClassName(HWND hwnd);
// The texts of a window's child controls, in order (a message box's text is one of them).
std::vector<std::wstring> ChildTexts(HWND hwnd);

// ---- messages posted to a window ----

struct PostedMessage {
    UINT message;
    WPARAM wParam;
    std::wstring text;  // the WM_UPDATE_STATUS text, copied before it was freed
};

// A hidden top-level window on the calling thread that records the status channel's messages.
class MessageCollector {
public:
    MessageCollector();
    ~MessageCollector();
    MessageCollector(const MessageCollector&) = delete;
    MessageCollector& operator=(const MessageCollector&) = delete;
    HWND Window() const { return hwnd_; }
    // Dispatches what is queued (and what arrives within `settleMs`) and returns everything so far.
    const std::vector<PostedMessage>& Drain(DWORD settleMs = 0);
    // Pumps until a message of this kind has arrived or the time-out passes.
    bool WaitFor(UINT message, DWORD timeoutMs);
    std::vector<std::wstring> Texts() const;
    std::vector<int> Percents() const;

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    HWND hwnd_ = nullptr;
    std::vector<PostedMessage> messages_;
};

// ---- screen ----

// Captures a screen rectangle as 32-bit BGRA rows (top-down); empty on failure.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB
    std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};
Capture CaptureScreen(const RECT& rect);
// Lets `paint` draw into an off-screen 32-bit bitmap of the given size and returns its pixels.
Capture RenderOffscreen(int width, int height, const std::function<void(HDC)>& paint);
// Writes a capture as PNG through GDI+ (GDI+ must be running).
bool SavePng(const Capture& capture, const std::wstring& path);
// Mean of red, green, blue and "saturation" (max-min of the channels) over a rectangle of a capture.
struct ColourStats {
    double red = 0, green = 0, blue = 0, saturation = 0, brightness = 0;
};
ColourStats Stats(const Capture& capture, const RECT& rect);

// Real input through SendInput: move the cursor to a screen point, press, release.
void MoveMouseTo(int x, int y);
void MouseDown();
void MouseUp();

}  // namespace testsupport

// ---- the launcher under test ----

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
