#pragma once
// The launcher's two run modes: the notice shown after the game was shut down from outside, and the
// normal run with the main window.

#include <windows.h>

#include <string>

// The whole program: picks the mode from the process command line and runs it. Always returns 0.
int LauncherMain(HINSTANCE instance);

// True when the first argument after the program name is exactly "--kick".
bool IsNoticeModeCommandLine(const wchar_t* commandLine);

// True when an argument after the program name is exactly "--verify": the player asks for every game
// file to be hashed, whatever the manifest allows.
bool IsFullCheckCommandLine(const wchar_t* commandLine);

// The process id after "--hand-over" as the first argument: the launcher that a self-update's new
// executable waits for. 0 when there is none or it is not a plain decimal number.
DWORD HandOverProcessId(const wchar_t* commandLine);

// Notice mode: waits up to 3 s for KORVANE_KICK_PID, then shows KORVANE_KICK_BODY under KORVANE_KICK_TITLE.
void RunKickNotice();

// 32 lower-case hex digits from 16 bytes of the CNG "RNG" provider; 32 '0' when the provider fails.
std::wstring MakeRunToken();
