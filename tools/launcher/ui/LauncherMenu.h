#pragma once
// The window's one menu: the download speed limit, pause and continue, check and repair, and the log folder.
// It is a native popup menu, so that the keyboard, the check mark and the placement are Windows' own, whose
// items the window draws itself in the skins' colours at its DPI.

#include "ui/MainWindowState.h"

#include <windows.h>

// Command ids: kMenuLimitFirst + i chooses kSpeedLimitChoices[i].
constexpr UINT kMenuLimitFirst = 100;
constexpr UINT kMenuPause = 200;
constexpr UINT kMenuRepair = 201;
constexpr UINT kMenuOpenLog = 202;

// How one item looks: its text (empty for the separator) and its state.
struct MenuItemLook {
    const wchar_t* text = L"";
    bool separator = false;
    bool checked = false;
    bool enabled = true;
    bool selected = false;  // under the pointer or the keyboard's choice
};

// Opens the menu at a screen point (its top-right corner there when `alignRight`) and carries out what the
// player chooses; returns when the menu has closed.
void ShowLauncherMenu(MainWindowState& state, POINT screen, bool alignRight);

// Opens it under the menu glyph, right-aligned to it: the keyboard's way in.
void ShowLauncherMenuAtGlyph(MainWindowState& state);

// Carries out a menu command; other ids do nothing.
void RunMenuCommand(MainWindowState& state, UINT command);

// WM_MEASUREITEM and WM_DRAWITEM of the menu's items; false for anything else.
bool MeasureMenuItem(const MainWindowState& state, MEASUREITEMSTRUCT* item);
bool DrawMenuItem(const MainWindowState& state, const DRAWITEMSTRUCT* item);

// The size of an item at `dpi`, and its painting into `rect` of `dc`: what the two above do.
SIZE MenuItemSize(HDC dc, const MenuItemLook& look, UINT dpi);
void PaintMenuItem(HDC dc, const RECT& rect, const MenuItemLook& look, UINT dpi);

// The item text of a command, in the state the window is in; empty for other ids.
std::wstring MenuItemText(const MainWindowState& state, UINT command);
