#pragma once
// PNG skins compiled into the executable, and premultiplied frames for layered windows.

#include <windows.h>

namespace Gdiplus {
class Bitmap;
}
struct SplashState;

// Decodes the RT_RCDATA resource `id` of this executable; null when missing or not an image.
// The caller deletes the bitmap. GDI+ must be running.
Gdiplus::Bitmap* LoadPngResource(int id);

// Writes the bitmap as premultiplied BGRA (pitch destWidth * 4) at the given overall opacity into the
// overlapping rows and columns of `dest`; a bitmap that cannot be locked leaves `dest` untouched.
void CopyPremultiplied(Gdiplus::Bitmap* bitmap, void* dest, int destWidth, int destHeight, BYTE opacity);

// Presents the splash logo centred on the primary screen at its phase's opacity.
void RenderSplashFrame(const SplashState& splash);
