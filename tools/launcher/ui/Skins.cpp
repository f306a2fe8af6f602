#include "Skins.h"

#include "Splash.h"
#include "Win32Handles.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>

Gdiplus::Bitmap* LoadPngResource(int id) {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!resource) return nullptr;
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    if (!loaded || size == 0) return nullptr;
    const void* bytes = LockResource(loaded);
    if (!bytes) return nullptr;

    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (!block) return nullptr;
    void* target = GlobalLock(block);
    if (!target) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(block);

    IStream* stream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream))) {
        GlobalFree(block);
        return nullptr;
    }
    Gdiplus::Bitmap* bitmap = new Gdiplus::Bitmap(stream);  // GDI+ allocation: null on failure
    stream->Release();  // the bitmap holds its own reference
    if (!bitmap) return nullptr;
    if (bitmap->GetLastStatus() != Gdiplus::Ok) {
        delete bitmap;
        return nullptr;
    }
    return bitmap;
}

void CopyPremultiplied(Gdiplus::Bitmap* bitmap, void* dest, int destWidth, int destHeight, BYTE opacity) {
    const UINT width = bitmap->GetWidth();
    const UINT height = bitmap->GetHeight();
    Gdiplus::Rect rect(0, 0, static_cast<INT>(width), static_cast<INT>(height));
    Gdiplus::BitmapData data;
    if (bitmap->LockBits(&rect, Gdiplus::ImageLockModeRead, PixelFormat32bppARGB, &data) != Gdiplus::Ok) return;

    const UINT rows = static_cast<UINT>(destHeight) < height ? static_cast<UINT>(destHeight) : height;
    const UINT columns = static_cast<UINT>(destWidth) < width ? static_cast<UINT>(destWidth) : width;
    const BYTE* source = static_cast<const BYTE*>(data.Scan0);
    BYTE* target = static_cast<BYTE*>(dest);
    for (UINT y = 0; y < rows; ++y) {
        const BYTE* in = source + static_cast<INT_PTR>(y) * data.Stride;
        BYTE* out = target + static_cast<std::size_t>(y) * destWidth * 4;
        for (UINT x = 0; x < columns; ++x, in += 4, out += 4) {
            const UINT a = static_cast<UINT>(in[3]) * opacity / 255;
            out[0] = static_cast<BYTE>(in[0] * a / 255);
            out[1] = static_cast<BYTE>(in[1] * a / 255);
            out[2] = static_cast<BYTE>(in[2] * a / 255);
            out[3] = static_cast<BYTE>(a);
        }
    }
    bitmap->UnlockBits(&data);
}

void RenderSplashFrame(const SplashState& splash) {
    if (!splash.logo || !splash.hwnd) return;
    const int width = static_cast<int>(splash.logo->GetWidth());
    const int height = static_cast<int>(splash.logo->GetHeight());
    const float opacity = SplashOpacity(splash.phase, GetTickCount() - splash.phaseStartTick);
    const BYTE alpha = static_cast<BYTE>(opacity * 255.0f);

    ScopedWindowDc screen(nullptr);
    ScopedMemoryDc memory(screen.Get());
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    ScopedGdiObject dib(CreateDIBSection(memory.Get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib.Get() || !bits) return;
    ScopedSelectObject selected(memory.Get(), dib.Get());

    std::memset(bits, 0, static_cast<std::size_t>(width) * height * 4);
    CopyPremultiplied(splash.logo, bits, width, height, alpha);

    POINT position = {(GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2};
    SIZE size = {width, height};
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(splash.hwnd, screen.Get(), &position, &size, memory.Get(), &origin, 0, &blend, ULW_ALPHA);
}
