#include "RunModes.h"

#include "GameClient.h"
#include "GdiplusSession.h"
#include "LauncherPath.h"
#include "PlayerTexts.h"
#include "SingleInstance.h"
#include "Win32Handles.h"
#include "common/HexText.h"
#include "ui/MainWindow.h"
#include "update/FolderSecurity.h"
#include "update/LogFile.h"
#include "update/PatchHost.h"
#include "update/SelfUpdate.h"

#include <shellapi.h>

#include <cwchar>

namespace {

// ---- notice mode ----

constexpr DWORD kTitleChars = 256;
constexpr DWORD kBodyChars = 2048;
constexpr DWORD kPidChars = 16;
constexpr DWORD kKickWaitMs = 3000;

// Reads a variable into a zeroed buffer; one that is missing or does not fit leaves the buffer empty.
void ReadEnvironmentInto(const wchar_t* name, wchar_t* buffer, DWORD chars) {
    ZeroMemory(buffer, chars * sizeof(wchar_t));
    DWORD got = GetEnvironmentVariableW(name, buffer, chars);
    if (got == 0 || got >= chars) ZeroMemory(buffer, chars * sizeof(wchar_t));
}

void WaitForKickingProcess(const wchar_t* pidText) {
    if (pidText[0] == L'\0') return;
    unsigned long pid = wcstoul(pidText, nullptr, 10);
    if (pid == 0) return;
    ScopedHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    if (!process.Valid()) return;
    WaitForSingleObject(process.Get(), kKickWaitMs);
}

// ---- normal mode ----

// How long a launcher restarted after a self-update waits for its predecessor to let go.
constexpr DWORD kRestartWaitMs = 10000;
// How long a second start looks for the window of the launcher that holds the installation: that one may
// have only just won the race and still be loading its skins.
constexpr DWORD kHandOffWaitMs = 10000;

void RunNormalMode(HINSTANCE instance) {
    const std::wstring ownPath = GetLauncherExePath();
    const std::wstring launcherDir = LauncherDirFromPath(ownPath);
    const RestartKind restart = ReadRestartSignal(launcherDir);
    const bool restarted = restart != RestartKind::None;
    if (restart == RestartKind::RolledBack) NoteRolledBackStart();
    InstallationClaim claim;
    // A restart whose predecessor is still letting go after the wait opens anyway: that one has already
    // left its message loop and updates nothing more.
    const bool claimed = claim.Claim(launcherDir, restarted ? kRestartWaitMs : 0);
    // A start in the moment between the old launcher letting go and its new executable taking over must
    // leave the installation to the hand-over.
    if (!restarted && (!claimed || HandOverInProgress(launcherDir))) {
        claim.Release();
        ShowRunningLauncher(launcherDir, kHandOffWaitMs);
        return;
    }
    // The hand-over that started this launcher waits for this before it lets second starts run.
    if (restarted) AnnounceRestartClaimed(launcherDir);

    SecureGameFolder(launcherDir);  // before the update run writes anything there
    OpenLauncherLog(launcherDir, PatchHostList());  // in the folder as secured: only administrators write there

    // Shut down when this routine returns, after the claim was let go below.
    const GdiplusSession gdiplus;

    const std::wstring token = MakeRunToken();
    KeepOutOfLog(token);
    SetEnvironmentVariableW(kEnvLauncherToken, token.c_str());
    SetEnvironmentVariableW(kEnvLauncherPath, ownPath.c_str());

    RunMainWindow(instance, launcherDir, IsFullCheckCommandLine(GetCommandLineW()));
    claim.Release();  // the window is gone: a restarted launcher may go on while GDI+ shuts down
}

}  // namespace

bool IsNoticeModeCommandLine(const wchar_t* commandLine) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    if (!argv) return false;
    bool notice = argc >= 2 && wcscmp(argv[1], L"--kick") == 0;
    LocalFree(argv);
    return notice;
}

bool IsFullCheckCommandLine(const wchar_t* commandLine) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    if (!argv) return false;
    bool verify = false;
    for (int i = 1; i < argc; ++i) verify = verify || wcscmp(argv[i], L"--verify") == 0;
    LocalFree(argv);
    return verify;
}

DWORD HandOverProcessId(const wchar_t* commandLine) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(commandLine, &argc);
    if (!argv) return 0;
    unsigned long id = 0;
    if (argc >= 3 && wcscmp(argv[1], kHandOverArgument) == 0) {
        wchar_t* end = nullptr;
        id = wcstoul(argv[2], &end, 10);
        if (end == argv[2] || *end != L'\0') id = 0;
    }
    LocalFree(argv);
    return static_cast<DWORD>(id);
}

void RunKickNotice() {
    wchar_t title[kTitleChars];
    wchar_t body[kBodyChars];
    wchar_t pidText[kPidChars];
    ReadEnvironmentInto(kEnvKickTitle, title, kTitleChars);
    ReadEnvironmentInto(kEnvKickBody, body, kBodyChars);
    ReadEnvironmentInto(kEnvKickPid, pidText, kPidChars);

    WaitForKickingProcess(pidText);

    MessageBoxW(nullptr, body[0] ? body : player_texts::kDefaultKickBody, title[0] ? title : player_texts::kCaptionMessage,
                MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

std::wstring MakeRunToken() {
    unsigned char random[16] = {};
    ScopedBcryptAlgorithm rng;
    if (BCryptOpenAlgorithmProvider(rng.Receive(), BCRYPT_RNG_ALGORITHM, nullptr, 0) == 0) {
        BCryptGenRandom(rng.Get(), random, sizeof(random), 0);  // a failure leaves the zeros in place
    }
    const std::string token = hex_text::ToHex(random, sizeof(random));
    return std::wstring(token.begin(), token.end());
}

int LauncherMain(HINSTANCE instance) {
    if (IsNoticeModeCommandLine(GetCommandLineW())) {
        RunKickNotice();
        return 0;
    }
    // A hand-over started from anything but a ".new" file is an ordinary start.
    const DWORD handOverFrom = HandOverProcessId(GetCommandLineW());
    // The hand-over's lines (a rollback above all) are support's too; its predecessor may still append.
    if (handOverFrom != 0) OpenLauncherLog(LauncherDirFromPath(GetLauncherExePath()), PatchHostList());
    if (handOverFrom == 0 || !CompleteHandOver(handOverFrom)) RunNormalMode(instance);
    return 0;
}
