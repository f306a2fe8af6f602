#pragma once
// What the five buttons do.

#include "ui/MainWindowState.h"

#include <string>

// Carries out a completed click on button `command` (a LauncherCommand); other numbers do nothing.
void RunLauncherCommand(MainWindowState& state, int command);

// Starts launcherDir + fileName with no arguments in launcherDir. False when the shell could not start it.
bool LaunchFromLauncherDir(const std::wstring& launcherDir, const wchar_t* fileName);
