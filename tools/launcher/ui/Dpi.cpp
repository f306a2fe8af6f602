#include "ui/Dpi.h"

#include "Win32Handles.h"

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);

// Windows 7 and 8 lack it: looked up once at run time.
GetDpiForWindowFn LookUpGetDpiForWindow() {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    if (!user32) return nullptr;
    return reinterpret_cast<GetDpiForWindowFn>(reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetDpiForWindow")));
}

}  // namespace

UINT ScreenDpi() {
    const ScopedWindowDc screen(nullptr);
    if (!screen.Get()) return kBaseDpi;
    const int dpi = GetDeviceCaps(screen.Get(), LOGPIXELSY);
    return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

UINT WindowDpi(HWND hwnd) {
    static const GetDpiForWindowFn getDpiForWindow = LookUpGetDpiForWindow();
    const UINT dpi = hwnd && getDpiForWindow ? getDpiForWindow(hwnd) : 0;
    return dpi != 0 ? dpi : ScreenDpi();
}

int ScaleToDpi(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

RECT ScaledRect(const LayoutBox& box, UINT dpi) {
    return RECT{ScaleToDpi(box.x, dpi), ScaleToDpi(box.y, dpi), ScaleToDpi(box.x + box.width, dpi),
                ScaleToDpi(box.y + box.height, dpi)};
}
