#pragma once
// Child processes for the Windows test programs: their debugger output, routines of the test program run
// in a process of their own, and programs started and stopped by the test.

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ChildRun {
    bool started = false;
    DWORD startError = 0;  // CreateProcessW's error when it failed
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

// Another program holding a game file, as a virus scanner or a running tool does: this test program run again
// in `holder`, with `path` open without delete sharing until ReleaseHeldFile(path). False when it did not hold
// the file within 30 s.
bool HoldInAnotherProcess(Process& holder, const std::wstring& path);
void ReleaseHeldFile(const std::wstring& path);

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

}  // namespace testsupport
