#pragma once
// A 32-bit top-down DIB section selected into a memory DC of its own: a layer that GDI and GDI+ draw
// into and that the launcher's own loops read and write pixel by pixel (bytes blue, green, red, alpha).

#include "Win32Handles.h"

#include <windows.h>

#include <cstdint>

// A 32-bit top-down DIB section of width x height for `dc`, its pixels at *bits; null when GDI refuses.
HBITMAP CreateTopDownDib(HDC dc, int width, int height, void** bits);

class PixelSurface {
public:
    PixelSurface() = default;
    PixelSurface(const PixelSurface&) = delete;
    PixelSurface& operator=(const PixelSurface&) = delete;

    // Replaces the surface with a zero-filled one of width x height; false, and empty, when GDI refuses.
    bool Create(int width, int height);

    bool Valid() const { return bits_ != nullptr; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    HDC Dc() const { return dc_.Get(); }
    HBITMAP Bitmap() const { return static_cast<HBITMAP>(bitmap_.Get()); }
    // Row y, width pixels; GdiFlush first when GDI has drawn into the surface since the last look.
    std::uint32_t* Row(int y) const { return static_cast<std::uint32_t*>(bits_) + static_cast<std::size_t>(y) * width_; }

private:
    // Declared so that the DC (with the bitmap selected) goes before the bitmap: DeleteDC lets go of it.
    ScopedGdiObject bitmap_;
    ScopedDc dc_;
    void* bits_ = nullptr;
    int width_ = 0;
    int height_ = 0;
};
