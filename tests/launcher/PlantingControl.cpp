// A program without the launcher's rule: it imports WinHTTP, WinMM, MSIMG32, CNG and GDI+ statically and
// never restricts the DLL search, so DLLs planted beside it under those names are loaded before main.
// It only takes one address from each, so that the linker keeps the imports, and calls none of them.
#include <windows.h>
#include <bcrypt.h>
#include <mmsystem.h>
#include <objidl.h>
#include <gdiplus.h>
#include <winhttp.h>

int main() {
    const void* volatile used[] = {
        reinterpret_cast<const void*>(&WinHttpOpen),
        reinterpret_cast<const void*>(&mciSendStringW),
        reinterpret_cast<const void*>(&AlphaBlend),
        reinterpret_cast<const void*>(&BCryptOpenAlgorithmProvider),
        reinterpret_cast<const void*>(&Gdiplus::GdiplusStartup),
    };
    return used[0] == nullptr ? 1 : 0;
}
