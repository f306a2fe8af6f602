#include "ui/Skins.h"

#include "ui/MainWindowState.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>

void SkinBitmapDeleter::operator()(Gdiplus::Bitmap* bitmap) const {
    delete bitmap;
}

SkinBitmap LoadPngResource(int id) {
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
    SkinBitmap bitmap(new Gdiplus::Bitmap(stream));  // GDI+ allocation: null on failure
    stream->Release();  // the bitmap holds its own reference
    if (!bitmap || bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return bitmap;
}

SkinBitmap ScaleSkin(Gdiplus::Bitmap* skin, int width, int height) {
    if (!skin || width <= 0 || height <= 0) return nullptr;
    SkinBitmap scaled(new Gdiplus::Bitmap(width, height, PixelFormat32bppPARGB));
    if (!scaled || scaled->GetLastStatus() != Gdiplus::Ok) return nullptr;
    Gdiplus::Graphics graphics(scaled.get());
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
    // Mirrored edges, so that the filter does not pull transparent black into the skin's border.
    Gdiplus::ImageAttributes edges;
    edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
    const Gdiplus::Status drawn =
        graphics.DrawImage(skin, Gdiplus::Rect(0, 0, width, height), 0, 0, static_cast<INT>(skin->GetWidth()),
                           static_cast<INT>(skin->GetHeight()), Gdiplus::UnitPixel, &edges);
    if (drawn != Gdiplus::Ok) return nullptr;
    return scaled;
}

void LoadMainWindowSkins(MainWindowState& state) {
    state.background = LoadPngResource(IDR_BACKGROUND_PNG);
    state.progressTrack = LoadPngResource(IDR_PROGRESS_TRACK_PNG);
    state.progressFill = LoadPngResource(IDR_PROGRESS_FILL_PNG);
    for (int i = 0; i < kButtonCount; ++i) {
        const ButtonLayout& layout = kButtonLayout[i];
        if (layout.normalSkin == 0) continue;
        state.buttons[i].normal = LoadPngResource(layout.normalSkin);
        state.buttons[i].hover = LoadPngResource(layout.hoverSkin);
        state.buttons[i].pressed = LoadPngResource(layout.pressedSkin);
    }
}

void ReleaseMainWindowSkins(MainWindowState& state) {
    state.background.reset();
    state.progressTrack.reset();
    state.progressFill.reset();
    for (SkinButton& button : state.buttons) {
        button.normal.reset();
        button.hover.reset();
        button.pressed.reset();
    }
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
