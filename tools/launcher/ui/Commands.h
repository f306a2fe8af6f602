#pragma once
// What the five buttons do.

#include "MainWindowState.h"

#include <string>

// Button index = command number.
enum LauncherCommand : int { OpenCommunity = 0, OpenSettings = 1, StartGame = 2, ToggleMute = 3, CloseLauncher = 4 };

// Carries out a completed click on button `command`; other numbers do nothing.
void RunLauncherCommand(MainWindowState& state, int command);

// Starts launcherDir + fileName with no arguments in launcherDir. False when the shell could not start it.
bool LaunchFromLauncherDir(const std::wstring& launcherDir, const wchar_t* fileName);
