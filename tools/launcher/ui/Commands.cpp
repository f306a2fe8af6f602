#include "ui/Commands.h"

#include "GameClient.h"
#include "PlayerTexts.h"
#include "ui/DesktopShell.h"
#include "ui/LauncherMenu.h"
#include "ui/Music.h"
#include "ui/Splash.h"
#include "update/LogFile.h"
#include "update/TransferGate.h"

#include <cwchar>

#ifndef KORVANE_COMMUNITY_URL_W
#error "KORVANE_COMMUNITY_URL_W must be defined by the build"
#endif

namespace {

constexpr wchar_t kCommunityUrl[] = KORVANE_COMMUNITY_URL_W;

void StartGameClient(MainWindowState& state) {
    if (!state.startEnabled) return;
    StopMusic();
    StopPreloadTransfers();  // the game gets the line; the next start goes on with the coming release
    ShowWindow(state.hwnd, SW_HIDE);
    const StartOutcome outcome = LaunchFromLauncherDir(state, kGameClientExe);
    if (outcome != StartOutcome::Started) {
        ShowWindow(state.hwnd, SW_SHOW);
        std::wstring text = std::wstring(outcome == StartOutcome::WrongDigest ? player_texts::kProgramChanged
                                                                               : player_texts::kCannotStartClient) +
                            kGameClientExe;
        MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionError, MB_ICONERROR);
        return;
    }
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(state.hwnd, GWLP_HINSTANCE));
    ShowSplash(instance);
    state.gameStarted = true;
    DestroyWindow(state.hwnd);
}

void OpenSettingsProgram(const MainWindowState& state) {
    const StartOutcome outcome = LaunchFromLauncherDir(state, kSettingsExe);
    if (outcome == StartOutcome::Started) return;
    const std::wstring text = outcome == StartOutcome::WrongDigest
                                  ? player_texts::kProgramChanged + std::wstring(kSettingsExe)
                                  : player_texts::kNoSettingsProgram + state.launcherDir + kSettingsExe;
    MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionLauncher, MB_ICONERROR);
}

// Puts the text on the clipboard as Unicode text; false when the clipboard refused.
bool CopyToClipboard(HWND owner, const std::wstring& text) {
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory) return false;
    void* target = GlobalLock(memory);
    if (target) {
        wmemcpy(static_cast<wchar_t*>(target), text.c_str(), text.size() + 1);
        GlobalUnlock(memory);
    }
    bool placed = false;
    if (target && OpenClipboard(owner)) {
        placed = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
        CloseClipboard();
    }
    if (!placed) GlobalFree(memory);  // the clipboard owns it only once it was placed
    return placed;
}

// The link opens as the player, never from this elevated process: without the desktop's shell the player
// gets the link to paste instead.
void OpenCommunityLink(const MainWindowState& state) {
    if (OpenAsDesktopUser(kCommunityUrl)) return;
    CopyToClipboard(state.hwnd, kCommunityUrl);
    const std::wstring text = player_texts::kCommunityLinkCopied + std::wstring(kCommunityUrl);
    MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionLauncher, MB_ICONINFORMATION);
}

}  // namespace

void OpenLogFolder(const MainWindowState& state) {
    const std::wstring folder = state.launcherDir + kLogFolderName;
    if (OpenAsDesktopUser(folder)) return;
    CopyToClipboard(state.hwnd, folder);
    const std::wstring text = player_texts::kLogFolderCopied + folder;
    MessageBoxW(state.hwnd, text.c_str(), player_texts::kCaptionLauncher, MB_ICONINFORMATION);
}

StartOutcome LaunchFromLauncherDir(const MainWindowState& state, const wchar_t* fileName) {
    ProgramStart program;
    program.path = state.launcherDir + fileName;
    program.workingDir = state.launcherDir;
    const auto listed = state.programDigests.find(fileName);
    if (listed != state.programDigests.end()) program.sha256 = listed->second;
    return StartProgram(program).outcome;
}

void RunLauncherCommand(MainWindowState& state, int command) {
    switch (command) {
        case OpenCommunity:
            OpenCommunityLink(state);
            break;
        case OpenSettings:
            OpenSettingsProgram(state);
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
        case OpenMenu:
            ShowLauncherMenuAtGlyph(state);
            break;
        default:
            break;
    }
}
