// Runs one real update run, as the main window would start it, against a hidden window, and records the
// posted messages in order into "<own path>.messages.txt" (UTF-8, one per line: "P <percent>",
// "S <text>", "F <flag>", "R"). Tests copy it into a game directory, often as "Launcher.exe".
// "--host URL" (repeated) replaces the built-in patch hosts and "--key HEX" (repeated) sets the manifest
// keys, as a build would, so that tests can use keys made while they run; "--verify" asks for the full
// check, as the launcher's own option does; "--secure" secures the game folder first, as every start of the
// launcher does. Started as "<dir>\Launcher.exe.new --hand-over <pid>", it
// finishes a self-update as the launcher does.
#include "SingleInstance.h"
#include "RunModes.h"
#include "update/PatchHost.h"
#include "update/SelfUpdate.h"
#include "update/FolderSecurity.h"
#include "update/LogFile.h"
#include "update/StatusChannel.h"
#include "update/Updater.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

std::string g_log;
bool g_done = false;

void Append(const std::wstring& line) {
    int n = WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &bytes[0], n, nullptr, nullptr);
    g_log += bytes + "\n";
}

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_UPDATE_PROGRESS: Append(L"P " + std::to_wstring(wParam)); return 0;
        case WM_UPDATE_STATUS:
            Append(L"S " + std::wstring(wParam ? reinterpret_cast<const wchar_t*>(wParam) : L""));
            FreeStatusText(wParam);
            return 0;
        case WM_UPDATE_FINISHED: Append(L"F " + std::to_wstring(wParam)); g_done = true; return 0;
        case WM_UPDATE_RESTART: Append(L"R"); g_done = true; return 0;
        case WM_UPDATE_PROGRAMS: TakeProgramDigests(wParam); return 0;
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    const DWORD handOverFrom = HandOverProcessId(GetCommandLineW());
    if (handOverFrom != 0 && CompleteHandOver(handOverFrom)) return 0;

    WNDCLASSW wc = {};
    wc.lpfnWndProc = ProbeProc;
    wc.hInstance = instance;
    wc.lpszClassName = L"KorvaneUpdaterProbe";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, wc.lpszClassName, L"probe", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance, nullptr);

    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self);
    dir = dir.substr(0, dir.rfind(L'\\') + 1);
    // As the launcher does once it holds the installation: a hand-over that restarted this one waits for it.
    const RestartKind restart = ReadRestartSignal(dir);
    if (restart == RestartKind::RolledBack) NoteRolledBackStart();
    if (restart != RestartKind::None) AnnounceRestartClaimed(dir);

    auto* args = new UpdaterThreadArgs{hwnd, dir, PatchHostList(), ManifestKeyList()};
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::wstring> hosts;
    for (int i = 1; argv && i < argc; ++i) {
        const std::wstring option = argv[i];
        if (option == L"--verify") args->fullCheck = true;
        if (option == L"--secure") SecureGameFolder(dir);
        if (i + 1 >= argc) continue;
        if (option == L"--host") hosts.push_back(argv[++i]);
        if (option == L"--key") {
            ++i;
            args->manifestKeys.push_back(std::string(argv[i], argv[i] + wcslen(argv[i])));
        }
    }
    if (argv) LocalFree(argv);
    if (!hosts.empty()) args->patchHosts = hosts;
    OpenLauncherLog(dir, args->patchHosts);  // as the launcher does once the folder is secured

    bool idle = false;
    if (UpdaterRunning.compare_exchange_strong(idle, true)) {
        HANDLE thread = CreateThread(nullptr, 0, UpdaterThread, args, 0, nullptr);
        if (thread) CloseHandle(thread);
    }
    // Until the run's last message, then a moment more so that a stray message would be seen too.
    DWORD start = GetTickCount();
    DWORD doneAt = 0;
    // The flag is read before the queue is drained: the thread posts its last message before it clears the
    // flag, so a cleared flag seen here means that message is already queued and is dispatched below.
    while (GetTickCount() - start < 120000) {
        const bool threadEnded = !UpdaterRunning.load();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (g_done && doneAt == 0) doneAt = GetTickCount();
        if (doneAt && GetTickCount() - doneAt > 300 && threadEnded) break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
    Append(!UpdaterRunning.load() ? L"# updater flag cleared" : L"# updater flag still set");

    std::wstring out = std::wstring(self) + L".messages.txt";
    HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, g_log.data(), static_cast<DWORD>(g_log.size()), &written, nullptr);
        CloseHandle(file);
    }
    return 0;
}
