#include "ui/LauncherMenu.h"

#include "PlayerTexts.h"
#include "Settings.h"
#include "TextFormat.h"
#include "Win32Handles.h"
#include "ui/Commands.h"
#include "ui/Dpi.h"
#include "ui/MainWindow.h"
#include "update/TransferGate.h"
#include "update/Updater.h"

#include <algorithm>
#include <iterator>

namespace {

// The skins' palette: the settings button's slate, its gold rim, the logo's gold.
constexpr COLORREF kMenuBack = RGB(0x17, 0x1a, 0x2c);
constexpr COLORREF kMenuPlate = RGB(0x3a, 0x3f, 0x5c);
constexpr COLORREF kMenuRim = RGB(0xd9, 0xb2, 0x5a);
constexpr COLORREF kMenuText = RGB(0xff, 0xe3, 0x8a);
constexpr COLORREF kMenuTextSelected = RGB(0xff, 0xfb, 0xe6);
constexpr COLORREF kMenuTextDisabled = RGB(0x6f, 0x6a, 0x80);
constexpr COLORREF kMenuCheck = RGB(0xf2, 0xb6, 0x32);
constexpr COLORREF kMenuRule = RGB(0x6b, 0x5a, 0x3a);

// At 96 DPI, in pixels.
constexpr int kItemHeight = 28;
constexpr int kSeparatorHeight = 9;
constexpr int kCheckColumn = 30;
constexpr int kRightPadding = 22;
constexpr int kMinimumWidth = 200;
constexpr int kFontPixels = 15;
constexpr ULONG_PTR kSeparatorData = 1;

constexpr std::size_t kLimitCount = std::size(kSpeedLimitChoices);

ScopedGdiObject MenuFont(UINT dpi) {
    LOGFONTW font;
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font) != sizeof(font)) return ScopedGdiObject();
    font.lfHeight = -ScaleToDpi(kFontPixels, dpi);
    font.lfWidth = 0;
    font.lfQuality = CLEARTYPE_QUALITY;
    return ScopedGdiObject(CreateFontIndirectW(&font));
}

bool IsLimitCommand(UINT command) {
    return command >= kMenuLimitFirst && command < kMenuLimitFirst + kLimitCount;
}

bool PauseEnabled(const MainWindowState& state) {
    return state.paused || DownloadsUnderway();
}

void ChooseLimit(MainWindowState& state, std::uint32_t kib) {
    state.speedLimit = kib;
    SetSpeedLimit(kib);
    WriteMaxDownloadKBps(kib);
}

void TogglePause(MainWindowState& state) {
    if (!PauseEnabled(state)) return;
    state.paused = !state.paused;
    SetTransfersPaused(state.paused);
    if (state.paused) {
        // What the run posts meanwhile waits; the bar keeps the progress as it stood.
        state.statusWhilePaused = state.statusText;
        state.statusText = player_texts::kPaused;
    } else {
        state.statusText = state.statusWhilePaused;
    }
    const RECT bar = ScaledRect(kProgressBar, state.dpi);
    InvalidateRect(state.hwnd, &bar, FALSE);
}

void Repair(MainWindowState& state) {
    if (UpdaterRunning.load()) return;
    state.startEnabled = false;
    state.progress = 0;
    InvalidateRect(state.hwnd, nullptr, FALSE);
    StartUpdateRun(state, true);
}

void DrawCheck(HDC dc, const RECT& rect, UINT dpi) {
    const int cx = rect.left + ScaleToDpi(kCheckColumn, dpi) / 2;
    const int cy = (rect.top + rect.bottom) / 2;
    const int u = ScaleToDpi(3, dpi);
    ScopedGdiObject pen(CreatePen(PS_SOLID, std::max(2, ScaleToDpi(2, dpi)), kMenuCheck));
    const ScopedSelectObject selected(dc, pen.Get());
    const POINT mark[] = {{cx - 2 * u, cy}, {cx - u / 2, cy + 3 * u / 2}, {cx + 2 * u, cy - 2 * u}};
    Polyline(dc, mark, 3);
}

// The look of one of the menu's items without its state, its text kept in `text`; false for an item of another
// menu.
bool LookOfItem(const MainWindowState& state, UINT id, ULONG_PTR data, std::wstring* text, MenuItemLook* look) {
    *text = MenuItemText(state, id);
    look->separator = data == kSeparatorData;
    look->text = text->c_str();
    return look->separator || !text->empty();
}

}  // namespace

std::wstring MenuItemText(const MainWindowState& state, UINT command) {
    if (IsLimitCommand(command)) {
        const std::uint32_t kib = kSpeedLimitChoices[command - kMenuLimitFirst];
        if (kib == 0) return player_texts::kMenuNoLimit;
        return FormatWideCut(32, player_texts::kMenuLimit, static_cast<unsigned>(kib / 1024));
    }
    switch (command) {
        case kMenuPause: return state.paused ? player_texts::kMenuContinue : player_texts::kMenuPause;
        case kMenuRepair: return player_texts::kMenuRepair;
        case kMenuOpenLog: return player_texts::kMenuOpenLog;
        default: return std::wstring();
    }
}

SIZE MenuItemSize(HDC dc, const MenuItemLook& look, UINT dpi) {
    if (look.separator) return SIZE{ScaleToDpi(kMinimumWidth, dpi), ScaleToDpi(kSeparatorHeight, dpi)};
    ScopedGdiObject font = MenuFont(dpi);
    const ScopedSelectObject selected(dc, font.Valid() ? font.Get() : GetStockObject(DEFAULT_GUI_FONT));
    SIZE text = {};
    GetTextExtentPoint32W(dc, look.text, lstrlenW(look.text), &text);
    const int width = ScaleToDpi(kCheckColumn + kRightPadding, dpi) + text.cx;
    return SIZE{std::max(width, ScaleToDpi(kMinimumWidth, dpi)), ScaleToDpi(kItemHeight, dpi)};
}

void PaintMenuItem(HDC dc, const RECT& rect, const MenuItemLook& look, UINT dpi) {
    ScopedGdiObject back(CreateSolidBrush(kMenuBack));
    FillRect(dc, &rect, static_cast<HBRUSH>(back.Get()));
    if (look.separator) {
        const int y = (rect.top + rect.bottom) / 2;
        RECT rule = {rect.left + ScaleToDpi(8, dpi), y, rect.right - ScaleToDpi(8, dpi), y + std::max(1, ScaleToDpi(1, dpi))};
        ScopedGdiObject line(CreateSolidBrush(kMenuRule));
        FillRect(dc, &rule, static_cast<HBRUSH>(line.Get()));
        return;
    }
    if (look.selected && look.enabled) {
        const int inset = ScaleToDpi(2, dpi);
        const int round = ScaleToDpi(8, dpi);
        ScopedGdiObject plate(CreateSolidBrush(kMenuPlate));
        ScopedGdiObject rim(CreatePen(PS_SOLID, std::max(1, ScaleToDpi(1, dpi)), kMenuRim));
        const ScopedSelectObject brush(dc, plate.Get());
        const ScopedSelectObject pen(dc, rim.Get());
        RoundRect(dc, rect.left + inset, rect.top + inset, rect.right - inset, rect.bottom - inset, round, round);
    }
    if (look.checked) DrawCheck(dc, rect, dpi);
    ScopedGdiObject font = MenuFont(dpi);
    const ScopedSelectObject selectedFont(dc, font.Valid() ? font.Get() : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, !look.enabled ? kMenuTextDisabled : look.selected ? kMenuTextSelected : kMenuText);
    RECT text = rect;
    text.left += ScaleToDpi(kCheckColumn, dpi);
    text.right -= ScaleToDpi(kRightPadding / 2, dpi);
    DrawTextW(dc, look.text, -1, &text, DT_SINGLELINE | DT_VCENTER | DT_LEFT | DT_NOPREFIX | DT_END_ELLIPSIS);
}

bool MeasureMenuItem(const MainWindowState& state, MEASUREITEMSTRUCT* item) {
    std::wstring text;
    MenuItemLook look;
    if (item->CtlType != ODT_MENU || !LookOfItem(state, item->itemID, item->itemData, &text, &look)) return false;
    HDC dc = GetDC(state.hwnd);
    const SIZE size = MenuItemSize(dc, look, state.dpi);
    ReleaseDC(state.hwnd, dc);
    item->itemWidth = static_cast<UINT>(size.cx);
    item->itemHeight = static_cast<UINT>(size.cy);
    return true;
}

bool DrawMenuItem(const MainWindowState& state, const DRAWITEMSTRUCT* item) {
    std::wstring text;
    MenuItemLook look;
    if (item->CtlType != ODT_MENU || !LookOfItem(state, item->itemID, item->itemData, &text, &look)) return false;
    look.checked = (item->itemState & ODS_CHECKED) != 0;
    look.enabled = (item->itemState & (ODS_DISABLED | ODS_GRAYED)) == 0;
    look.selected = (item->itemState & ODS_SELECTED) != 0;
    PaintMenuItem(item->hDC, item->rcItem, look, state.dpi);
    return true;
}

void ShowLauncherMenu(MainWindowState& state, POINT screen, bool alignRight) {
    HMENU menu = CreatePopupMenu();
    if (!menu) return;
    for (std::size_t i = 0; i < kLimitCount; ++i) {
        const UINT checked = kSpeedLimitChoices[i] == state.speedLimit ? MF_CHECKED : MF_UNCHECKED;
        AppendMenuW(menu, MF_OWNERDRAW | checked, kMenuLimitFirst + i, nullptr);
    }
    AppendMenuW(menu, MF_OWNERDRAW | MF_SEPARATOR, 0, reinterpret_cast<LPCWSTR>(kSeparatorData));
    AppendMenuW(menu, MF_OWNERDRAW | (PauseEnabled(state) ? MF_ENABLED : MF_GRAYED), kMenuPause, nullptr);
    AppendMenuW(menu, MF_OWNERDRAW | (UpdaterRunning.load() ? MF_GRAYED : MF_ENABLED), kMenuRepair, nullptr);
    AppendMenuW(menu, MF_OWNERDRAW, kMenuOpenLog, nullptr);
    MENUINFO info = {};
    info.cbSize = sizeof(info);
    info.fMask = MIM_BACKGROUND;
    ScopedGdiObject back(CreateSolidBrush(kMenuBack));
    info.hbrBack = static_cast<HBRUSH>(back.Get());
    SetMenuInfo(menu, &info);

    // A popup menu closes when the player clicks elsewhere only if its owner is the foreground window, and the
    // message after it lets the menu's last click go (TrackPopupMenu's documented caveat).
    SetForegroundWindow(state.hwnd);
    const UINT align = alignRight ? TPM_RIGHTALIGN : TPM_LEFTALIGN;
    const UINT command = static_cast<UINT>(TrackPopupMenuEx(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_TOPALIGN | align,
                                                            screen.x, screen.y, state.hwnd, nullptr));
    PostMessageW(state.hwnd, WM_NULL, 0, 0);
    DestroyMenu(menu);
    if (command != 0) RunMenuCommand(state, command);
}

void ShowLauncherMenuAtGlyph(MainWindowState& state) {
    const SkinButton& glyph = state.buttons[OpenMenu];
    POINT corner = {glyph.x + glyph.width, glyph.y + glyph.height};
    ClientToScreen(state.hwnd, &corner);
    ShowLauncherMenu(state, corner, true);
}

void RunMenuCommand(MainWindowState& state, UINT command) {
    if (IsLimitCommand(command)) {
        ChooseLimit(state, kSpeedLimitChoices[command - kMenuLimitFirst]);
        return;
    }
    switch (command) {
        case kMenuPause: TogglePause(state); break;
        case kMenuRepair: Repair(state); break;
        case kMenuOpenLog: OpenLogFolder(state); break;
        default: break;
    }
}
