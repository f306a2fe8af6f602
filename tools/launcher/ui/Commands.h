#pragma once
// What the buttons do, and the menu's log folder.

#include "ProgramStart.h"
#include "ui/MainWindowState.h"

#include <string>

// Carries out a completed click on button `command` (a LauncherCommand); other numbers do nothing.
void RunLauncherCommand(MainWindowState& state, int command);

// Opens the log folder in Explorer as the desktop's user, never from this elevated process: without the
// desktop's shell the player gets its path to paste instead.
void OpenLogFolder(const MainWindowState& state);

// Starts launcherDir + fileName with no arguments in launcherDir (StartProgram), checked against the digest
// the update run's manifest gives it, when it gives one.
StartOutcome LaunchFromLauncherDir(const MainWindowState& state, const wchar_t* fileName);
