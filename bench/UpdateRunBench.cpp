// One whole update run (manifest, check, downloads, verify) in the directory of this executable, timed
// from the start of the updater thread to its last message. Prints the elapsed time, the outcome and the peak working set.
//
// Usage: bench_update_run [--timeout-s N] [--verify]     (needs a display: run it with scripts/wine-test)
#include "update/PatchHost.h"
#include "update/StatusChannel.h"
#include "update/Updater.h"

#include "BenchClock.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

int g_finished = -1;   // WM_UPDATE_FINISHED's wParam (0: the game may start), 2 for a restart
std::wstring g_lastText;
long g_progressPosts = 0;
long g_statusPosts = 0;

LRESULT CALLBACK BenchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_UPDATE_PROGRESS: ++g_progressPosts; return 0;
        case WM_UPDATE_STATUS:
            ++g_statusPosts;
            if (wParam) g_lastText = reinterpret_cast<const wchar_t*>(wParam);
            FreeStatusText(wParam);
            return 0;
        case WM_UPDATE_FINISHED: g_finished = static_cast<int>(wParam); return 0;
        case WM_UPDATE_RESTART: g_finished = 2; return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    double timeout = 1800;
    bool fullCheck = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--timeout-s" && i + 1 < argc) timeout = _wtof(argv[++i]);
        if (arg == L"--verify") fullCheck = true;
    }
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW wc = {};
    wc.lpfnWndProc = BenchProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"KorvaneUpdateRunBench";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"bench", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);
    if (!hwnd) {
        std::fprintf(stderr, "no window (err %lu)\n", GetLastError());
        return 2;
    }

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir = dir.substr(0, dir.rfind(L'\\') + 1);

    const double start = NowSeconds();
    bool idle = false;
    if (!UpdaterRunning.compare_exchange_strong(idle, true)) return 2;
    HANDLE thread = CreateThread(nullptr, 0, UpdaterThread, new UpdaterThreadArgs{hwnd, dir, PatchHostList(), ManifestKeyList(), fullCheck}, 0, nullptr);
    if (!thread) return 2;
    double finishedAt = 0;
    while (NowSeconds() - start < timeout) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (g_finished >= 0 && finishedAt == 0) finishedAt = NowSeconds();
        if (finishedAt != 0 && WaitForSingleObject(thread, 0) == WAIT_OBJECT_0) break;
        MsgWaitForMultipleObjects(1, &thread, FALSE, 20, QS_ALLINPUT);
    }
    CloseHandle(thread);
    if (finishedAt == 0) {
        std::printf("RESULT update finished=none seconds=%.3f\n", NowSeconds() - start);
        return 1;
    }
    std::printf("last status: %s\n", Narrow(g_lastText).c_str());
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    const double peakMiB = K32GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory))
                               ? static_cast<double>(memory.PeakWorkingSetSize) / (1024.0 * 1024.0)
                               : 0.0;
    std::printf("RESULT update finished=%d seconds=%.3f progress_posts=%ld status_posts=%ld peak_mib=%.1f\n",
                g_finished, finishedAt - start, g_progressPosts, g_statusPosts, peakMiB);
    std::fflush(stdout);
    return g_finished == 0 ? 0 : 1;
}
