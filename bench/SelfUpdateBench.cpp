// The self-update as the player sees it: the time from starting Launcher.exe, with a new launcher published,
// to the window of the launcher that the update restarted. That window is found by its class and by the image
// path of its process (the directory's Launcher.exe, which Wine may name Launcher.exe.new), not the first one's.
// Usage: bench_selfupdate GAME_DIR [TIMEOUT_MS]
// Prints "RESULT ms=<start to window> restarted=<1|0>"; ends every launcher process it saw by its id.
#include "BenchClock.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <set>
#include <string>

namespace {

constexpr wchar_t kMainWindowClass[] = L"KorvaneLauncherMainWnd";
constexpr DWORD kDefaultTimeoutMs = 120000;
constexpr DWORD kCloseTimeoutMs = 10000;

std::wstring ImageOf(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return std::wstring();
    wchar_t path[MAX_PATH * 2];
    DWORD size = static_cast<DWORD>(sizeof(path) / sizeof(path[0]));
    const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    return ok ? std::wstring(path, size) : std::wstring();
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                                        static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

struct WindowSearch {
    std::wstring launcher;  // the directory's Launcher.exe
    DWORD firstPid = 0;
    HWND found = nullptr;
    DWORD foundPid = 0;
};

BOOL CALLBACK LookAtWindow(HWND hwnd, LPARAM param) {
    WindowSearch& search = *reinterpret_cast<WindowSearch*>(param);
    wchar_t name[64] = {};
    if (!GetClassNameW(hwnd, name, static_cast<int>(sizeof(name) / sizeof(name[0]))) ||
        std::wcscmp(name, kMainWindowClass) != 0 || !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    // Wine names a process after the file its image was first mapped from: the restarted launcher, started
    // from Launcher.exe while the hand-over still runs from the same file, shows as Launcher.exe.new. The
    // hand-over itself opens no window, so any launcher window in the directory but the first one's counts.
    const std::wstring image = ImageOf(pid);
    if (pid == search.firstPid ||
        (!SamePath(image, search.launcher) && !SamePath(image, search.launcher + L".new"))) {
        return TRUE;
    }
    search.found = hwnd;
    search.foundPid = pid;
    return FALSE;
}

// Ends a launcher process by its id: WM_CLOSE to its window first, TerminateProcess if it stays.
void EndProcess(DWORD pid, HWND window) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process) return;
    if (window) PostMessageW(window, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, window ? kCloseTimeoutMs : 0) != WAIT_OBJECT_0) TerminateProcess(process, 1);
    CloseHandle(process);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_selfupdate GAME_DIR [TIMEOUT_MS]\n");
        return 2;
    }
    const std::wstring dir = argv[1];
    const DWORD timeoutMs = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : kDefaultTimeoutMs;
    WindowSearch search;
    search.launcher = dir + L"\\Launcher.exe";

    std::wstring commandLine = L"\"" + search.launcher + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    const double started = NowSeconds();
    if (!CreateProcessW(search.launcher.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(),
                        &startup, &info)) {
        std::fprintf(stderr, "cannot start the launcher (error %lu)\n", GetLastError());
        return 1;
    }
    CloseHandle(info.hThread);
    search.firstPid = info.dwProcessId;

    double seconds = -1;
    while (NowSeconds() - started < timeoutMs / 1000.0) {
        EnumWindows(LookAtWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found) {
            seconds = NowSeconds() - started;
            break;
        }
        Sleep(1);
    }
    if (seconds >= 0) {
        std::printf("RESULT ms=%.1f restarted=1\n", seconds * 1000);
    } else {
        std::printf("RESULT ms=n/a restarted=0\n");
    }
    std::fflush(stdout);
    if (search.found) EndProcess(search.foundPid, search.found);
    TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return seconds >= 0 ? 0 : 1;
}
