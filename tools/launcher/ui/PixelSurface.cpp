#include "ui/PixelSurface.h"

#include <cstring>

HBITMAP CreateTopDownDib(HDC dc, int width, int height, void** bits) {
    BITMAPINFO info;
    ZeroMemory(&info, sizeof(info));
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    *bits = nullptr;
    return CreateDIBSection(dc, &info, DIB_RGB_COLORS, bits, nullptr, 0);
}

bool PixelSurface::Create(int width, int height) {
    dc_.Reset();  // before the bitmap that is selected into it
    bitmap_.Reset();
    bits_ = nullptr;
    width_ = height_ = 0;
    if (width <= 0 || height <= 0) return false;

    dc_ = CreateCompatibleDC(nullptr);
    if (!dc_.Valid()) return false;
    void* bits = nullptr;
    bitmap_ = CreateTopDownDib(dc_.Get(), width, height, &bits);
    if (!bitmap_.Valid() || !bits) {
        dc_.Reset();
        bitmap_.Reset();
        return false;
    }
    SelectObject(dc_.Get(), bitmap_.Get());  // the DC's own one-pixel bitmap needs no putting back
    bits_ = bits;
    width_ = width;
    height_ = height;
    std::memset(bits_, 0, static_cast<std::size_t>(width) * height * 4);
    return true;
}
