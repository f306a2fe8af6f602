#include "ui/Commands.h"

#include "GameClient.h"
#include "PlayerTexts.h"
#include "ui/Music.h"
#include "ui/Splash.h"

#include <shellapi.h>

#ifndef KORVANE_COMMUNITY_URL_W
#error "KORVANE_COMMUNITY_URL_W must be defined by the build"
#endif

namespace {

constexpr wchar_t kCommunityUrl[] = KORVANE_COMMUNITY_URL_W;

void StartGameClient(MainWindowState& state) {
    if (!state.startEnabled) return;
    StopMusic();
    ShowWindow(state.hwnd, SW_HIDE);
    if (!LaunchFromLauncherDir(state.launcherDir, kGameClientExe)) {
        ShowWindow(state.hwnd, SW_SHOW);
        std::wstring text = std::wstring(player_texts::kCannotStartClient) + kGameClientExe;
        MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionError, MB_ICONERROR);
        return;
    }
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(state.hwnd, GWLP_HINSTANCE));
    ShowSplash(instance);
    state.gameStarted = true;
    DestroyWindow(state.hwnd);
}

}  // namespace

bool LaunchFromLauncherDir(const std::wstring& launcherDir, const wchar_t* fileName) {
    const std::wstring path = launcherDir + fileName;
    SHELLEXECUTEINFOW info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.lpFile = path.c_str();
    info.lpDirectory = launcherDir.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) return false;
    if (info.hProcess) CloseHandle(info.hProcess);
    return true;
}

void RunLauncherCommand(MainWindowState& state, int command) {
    switch (command) {
        case OpenCommunity:
            ShellExecuteW(nullptr, L"open", kCommunityUrl, nullptr, nullptr, SW_SHOWNORMAL);
            break;
        case OpenSettings:
            if (!LaunchFromLauncherDir(state.launcherDir, kSettingsExe)) {
                std::wstring text = player_texts::kNoSettingsProgram + state.launcherDir + kSettingsExe;
                MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionLauncher, MB_ICONERROR);
            }
            break;
        case StartGame:
            StartGameClient(state);
            break;
        case ToggleMute:
            ToggleMusicMute(state);
            InvalidateRect(state.hwnd, nullptr, FALSE);
            break;
        case CloseLauncher:
            DestroyWindow(state.hwnd);
            break;
        default:
            break;
    }
}
