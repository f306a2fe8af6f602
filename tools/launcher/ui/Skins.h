#pragma once
// The PNG skins compiled into the executable: loading, ownership, and premultiplied copies for layered
// windows. GDI+ must be running before anything here is called.

#include <windows.h>

#include <memory>

namespace Gdiplus {
class Bitmap;
}
struct MainWindowState;

struct SkinBitmapDeleter {
    void operator()(Gdiplus::Bitmap* bitmap) const;
};
// An owned skin bitmap.
using SkinBitmap = std::unique_ptr<Gdiplus::Bitmap, SkinBitmapDeleter>;

// Decodes the RT_RCDATA resource `id` of this executable; null when missing or not an image.
SkinBitmap LoadPngResource(int id);

// A copy of the skin at width x height, scaled once with high-quality bicubic filtering and premultiplied
// alpha; null when the skin is null or GDI+ fails.
SkinBitmap ScaleSkin(Gdiplus::Bitmap* skin, int width, int height);

// Loads the background, the progress bar and the buttons' images into the state; a skin that does not
// load stays null.
void LoadMainWindowSkins(MainWindowState& state);

// Releases every skin of the state: background, track, fill, then each button's three in button order.
void ReleaseMainWindowSkins(MainWindowState& state);

// Writes the bitmap as premultiplied BGRA (pitch destWidth * 4) at the given overall opacity into the
// overlapping rows and columns of `dest`; a bitmap that cannot be locked leaves `dest` untouched.
void CopyPremultiplied(Gdiplus::Bitmap* bitmap, void* dest, int destWidth, int destHeight, BYTE opacity);
