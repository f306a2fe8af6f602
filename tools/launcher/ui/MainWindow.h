#pragma once
// The launcher's borderless main window: skins, buttons, animation, status, and the updater's start.

#include "ui/MainWindowState.h"

#include <windows.h>

#include <string>

// Runs the main window until its message loop ends. Returns gameStarted; false also when the window
// could not be created. With fullCheck the update hashes every game file whatever the manifest allows.
bool RunMainWindow(HINSTANCE instance, const std::wstring& launcherDir, bool fullCheck = false);

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
