#pragma once
// The launcher's borderless main window: skins, buttons, animation, status, and the updater's start.

#include "MainWindowState.h"

#include <windows.h>

#include <string>

// Runs the main window until its message loop ends. Returns gameStarted; false also when the window
// could not be created.
bool RunMainWindow(HINSTANCE instance, const std::wstring& launcherDir);

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Loads the background, the progress bar and the buttons' images into the state; a skin that does not
// load stays null. GDI+ must be running.
void LoadMainWindowSkins(MainWindowState& state);

// Deletes every skin bitmap of the state and clears the pointers.
void ReleaseMainWindowSkins(MainWindowState& state);
