#pragma once
// The window's DPI and the one rule that turns the 96-DPI layout into client pixels.

#include "ui/MainWindowLayout.h"

#include <windows.h>

// The DPI at which the layout table, the skins and the particles are drawn one to one.
constexpr UINT kBaseDpi = 96;

// The DPI Windows renders the window at: GetDpiForWindow where the system has it (Windows 10 1607 and
// later), else the screen's; 96 when neither answers.
UINT WindowDpi(HWND hwnd);

// The DPI of the screen's device context (the system DPI); 96 when it cannot be read.
UINT ScreenDpi();

// A length of the 96-DPI layout in pixels at dpi, rounded to the nearest pixel.
int ScaleToDpi(int value, UINT dpi);

// A layout box in client pixels at dpi. Each edge is scaled on its own, so boxes that touch keep touching.
RECT ScaledRect(const LayoutBox& box, UINT dpi);
