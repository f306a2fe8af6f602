#pragma once
// The window classes that other parts of the launcher look for by name: the engine and the single-instance
// hand-off find the running launcher's window by its class without knowing the window's code.

// The main window's class, by which a second start finds the running launcher.
inline constexpr wchar_t kMainWindowClass[] = L"KorvaneLauncherMainWnd";
