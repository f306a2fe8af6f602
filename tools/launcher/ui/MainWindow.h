#pragma once
// The launcher's borderless main window: skins, buttons, animation, status, and the updater's start.

#include "WindowClasses.h"
#include "ui/MainWindowState.h"

#include <windows.h>

#include <string>

// Runs the main window until its message loop ends, and destroys it if the loop ended while it lived (the
// restart after a self-update). Returns gameStarted; false also when the window could not be created. With
// fullCheck the update hashes every game file whatever the manifest allows.
bool RunMainWindow(HINSTANCE instance, const std::wstring& launcherDir, bool fullCheck = false);

// Starts an update run for the window unless one is running (UpdaterRunning); with fullCheck every game file
// is hashed whatever the manifest allows.
void StartUpdateRun(MainWindowState& state, bool fullCheck);

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
