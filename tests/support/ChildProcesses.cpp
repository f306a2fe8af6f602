#include "ChildProcesses.h"
#include "TestFiles.h"
#include "TestWindows.h"

#include <shellapi.h>

#include <cstdio>
#include <map>

namespace testsupport {

namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    std::string text;
    if (info.fUnicode) {
        std::wstring wide(info.nDebugStringLength, L'\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, &wide[0], info.nDebugStringLength * sizeof(wchar_t), &got);
        wide.resize(got / sizeof(wchar_t));
        while (!wide.empty() && wide.back() == L'\0') wide.pop_back();
        return Utf8(wide);
    }
    text.resize(info.nDebugStringLength);
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, &text[0], info.nDebugStringLength, &got);
    text.resize(got);
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
}

// The file handles that a process's start and a DLL's load hand to the debugger.
void CloseEventFiles(const DEBUG_EVENT& event) {
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.u.CreateProcessInfo.hFile) {
        CloseHandle(event.u.CreateProcessInfo.hFile);
    }
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT && event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
}

std::map<std::string, ChildRoutine>& Routines() {
    static std::map<std::string, ChildRoutine> routines;
    return routines;
}

std::wstring QuoteArg(const std::wstring& arg) {
    std::wstring out = L"\"";
    for (wchar_t c : arg) {
        if (c == L'"') out += L'\\';
        out += c;
    }
    // A trailing backslash would escape the closing quote.
    if (!arg.empty() && arg.back() == L'\\') out += L'\\';
    return out + L"\"";
}

std::wstring ThisTestProgram() {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return self;
}

}  // namespace

std::map<std::wstring, std::wstring> ReadProbeRecord(const std::wstring& path) {
    std::map<std::wstring, std::wstring> values;
    const std::wstring text = Wide(ReadBytes(path));
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring line = text.substr(start, end - start);
        const std::size_t eq = line.find(L'=');
        if (eq != std::wstring::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        start = end + 1;
    }
    return values;
}

bool IsRunToken(const std::wstring& token) {
    return token.size() == 32 && token.find_first_not_of(L"0123456789abcdef") == std::wstring::npos;
}

ChildRun RunCapturingDebugOutput(const std::wstring& commandLine, DWORD timeoutMs, const std::wstring& workingDir) {
    ChildRun run;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    // A start that fails is tried again for up to two seconds, and said on stderr: under load Wine has been
    // seen to refuse a debugged start once, which a test would otherwise report as a child that never exited.
    for (const DWORD first = GetTickCount();;) {
        std::wstring mutableLine = commandLine;
        if (CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                           workingDir.empty() ? nullptr : workingDir.c_str(), &si, &pi)) {
            break;
        }
        run.startError = GetLastError();
        std::fprintf(stderr, "child start failed (error %lu): %ls\n", run.startError, commandLine.c_str());
        if (GetTickCount() - first >= 2000) return run;
        Sleep(200);
    }
    run.startError = 0;
    run.started = true;
    const DWORD start = GetTickCount();
    bool created = false;
    for (;;) {
        DEBUG_EVENT event;
        DWORD left = timeoutMs - (GetTickCount() - start);
        if (GetTickCount() - start >= timeoutMs) break;
        if (!WaitForDebugEvent(&event, left < 200 ? left : 200)) continue;
        DWORD status = DBG_CONTINUE;
        if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT && event.dwProcessId == pi.dwProcessId) created = true;
        if (event.dwProcessId != pi.dwProcessId || !created) {
            // Left over from an earlier child (one with the same id comes before this one's start): not this run's.
            CloseEventFiles(event);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            continue;
        }
        CloseEventFiles(event);
        switch (event.dwDebugEventCode) {
            case OUTPUT_DEBUG_STRING_EVENT:
                run.debugLines.push_back(ReadDebugString(pi.hProcess, event.u.DebugString));
                break;
            case EXCEPTION_DEBUG_EVENT:
                if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
                    status = DBG_EXCEPTION_NOT_HANDLED;
                }
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                run.exited = true;
                run.exitCode = event.u.ExitProcess.dwExitCode;
                break;
            default:
                break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (run.exited) break;
    }
    if (!run.exited) {
        // Its exit event is taken here: left in the queue, it would be read as the exit of a later child that
        // Wine gives the same process id.
        TerminateProcess(pi.hProcess, 1);
        const DWORD killed = GetTickCount();
        bool gone = false;
        while (!gone && GetTickCount() - killed < 10000) {
            DEBUG_EVENT event;
            if (!WaitForDebugEvent(&event, 200)) continue;
            CloseEventFiles(event);
            gone = event.dwProcessId == pi.dwProcessId && event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        }
        if (!gone) DebugActiveProcessStop(pi.dwProcessId);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

ChildRun RunChildRoutine(const std::string& name, const std::vector<std::wstring>& args, DWORD timeoutMs) {
    std::wstring line = QuoteArg(ThisTestProgram()) + L" --child " + Wide(name);
    for (const std::wstring& arg : args) line += L" " + QuoteArg(arg);
    return RunCapturingDebugOutput(line, timeoutMs);
}

ChildRoutineRegistration::ChildRoutineRegistration(const char* name, ChildRoutine routine) {
    Routines()[name] = routine;
}

bool RunChildRoutineFromCommandLine(int* exitCode) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) return false;
    bool handled = false;
    if (argc >= 3 && std::wstring(argv[1]) == L"--child") {
        auto it = Routines().find(Utf8(argv[2]));
        std::vector<std::wstring> args(argv + 3, argv + argc);
        *exitCode = it == Routines().end() ? 99 : it->second(args);
        handled = true;
    }
    LocalFree(argv);
    return handled;
}

Process::~Process() {
    Kill();
}

bool Process::Start(const std::wstring& exe, const std::wstring& args, const std::wstring& workingDir) {
    std::wstring line = QuoteArg(exe);
    if (!args.empty()) line += L" " + args;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    return CreateProcessW(exe.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                          workingDir.empty() ? nullptr : workingDir.c_str(), &si, &info_) != FALSE;
}

bool Process::WaitExit(DWORD timeoutMs) {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

bool Process::Running() const {
    return info_.hProcess && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

void Process::Kill() {
    if (info_.hProcess) {
        if (Running()) {
            TerminateProcess(info_.hProcess, 1);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
    info_ = {};
}

TEST_CHILD_ROUTINE(HoldFile) {
    HANDLE file = CreateFileW(args.at(0).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 2;
    WriteBytes(args.at(0) + L".held", "1");
    WaitUntil([&] { return FileExists(args.at(0) + L".release"); }, 60000);
    CloseHandle(file);
    return 0;
}

bool HoldInAnotherProcess(Process& holder, const std::wstring& path) {
    return holder.Start(ThisTestProgram(), L"--child HoldFile \"" + path + L"\"") &&
           WaitUntil([&] { return FileExists(path + L".held"); }, 30000);
}

void ReleaseHeldFile(const std::wstring& path) {
    WriteBytes(path + L".release", "1");
}

}  // namespace testsupport
