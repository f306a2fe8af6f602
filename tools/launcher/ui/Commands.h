#pragma once
// What the five buttons do.

#include "ProgramStart.h"
#include "ui/MainWindowState.h"

#include <string>

// Carries out a completed click on button `command` (a LauncherCommand); other numbers do nothing.
void RunLauncherCommand(MainWindowState& state, int command);

// Starts launcherDir + fileName with no arguments in launcherDir (StartProgram), checked against the digest
// the update run's manifest gives it, when it gives one.
StartOutcome LaunchFromLauncherDir(const MainWindowState& state, const wchar_t* fileName);
