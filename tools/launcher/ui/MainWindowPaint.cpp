#include "ui/MainWindowPaint.h"

#include "Win32Handles.h"

#include <objidl.h>
#include <gdiplus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int kSkinLooks = 3;  // normal, hover, pressed

// What the front layer shows; it is painted again when any of it changes.
struct FrontKey {
    ButtonLook looks[kButtonCount] = {};
    bool startEnabled = false;
    bool muted = false;
    int progress = 0;

    bool operator==(const FrontKey& other) const {
        return std::equal(looks, looks + kButtonCount, other.looks) && startEnabled == other.startEnabled &&
               muted == other.muted && progress == other.progress;
    }
};

// The skins at the layers' DPI, each scaled once to its box with high quality. Empty at 96 DPI, where the
// loaded skins fit their boxes as they are.
struct ScaledSkins {
    SkinBitmap buttons[kButtonCount][kSkinLooks];
    SkinBitmap progressTrack;
    SkinBitmap progressFill;
};

}  // namespace

struct FrameLayers {
    int width = 0;
    int height = 0;
    UINT dpi = 0;
    PixelSurface back;   // opaque: black and the background skin
    PixelSurface front;  // premultiplied: buttons, mute glyph and progress bar, transparent elsewhere
    PixelSurface frame;  // what the window shows
    bool frontPainted = false;
    FrontKey frontKey;
    ScaledSkins skins;
    ScopedGdiObject statusFont;  // null at 96 DPI, where the stock font is the status font
    RECT particleRects[kParticleCount] = {};  // where each particle was last painted
};

void FrameLayersDeleter::operator()(FrameLayers* layers) const {
    delete layers;
}

namespace {

float DpiScale(UINT dpi) {
    return static_cast<float>(dpi) / static_cast<float>(kBaseDpi);
}

// The skin as drawn at the layers' DPI: its scaled copy, or the loaded one at 96 DPI (or when scaling failed).
Gdiplus::Bitmap* AtDpi(const SkinBitmap& scaled, const SkinBitmap& loaded) {
    return scaled ? scaled.get() : loaded.get();
}

void FillRectRgb(HDC dc, const RECT& rect, COLORREF colour) {
    ScopedGdiObject brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, static_cast<HBRUSH>(brush.Get()));
}

// ---- buttons ----

void DrawDisabledStart(Gdiplus::Graphics& graphics, const SkinButton& button, Gdiplus::Bitmap* normal) {
    if (!normal) return;
    Gdiplus::ColorMatrix grey = {{{0.3f, 0.3f, 0.3f, 0, 0},
                                  {0.59f, 0.59f, 0.59f, 0, 0},
                                  {0.11f, 0.11f, 0.11f, 0, 0},
                                  {0, 0, 0, 0.4f, 0},
                                  {0, 0, 0, 0, 1}}};
    Gdiplus::ImageAttributes attributes;
    attributes.SetColorMatrix(&grey);
    graphics.DrawImage(normal, Gdiplus::Rect(button.x, button.y, button.width, button.height), 0, 0,
                       static_cast<INT>(normal->GetWidth()), static_cast<INT>(normal->GetHeight()), Gdiplus::UnitPixel,
                       &attributes);
}

void DrawSkinnedButton(Gdiplus::Graphics& graphics, const SkinButton& button, Gdiplus::Bitmap* const images[],
                       ButtonLook look) {
    Gdiplus::Bitmap* image = images[static_cast<int>(look)];
    if (!image) image = images[static_cast<int>(ButtonLook::Normal)];
    if (!image) return;
    graphics.DrawImage(image, button.x, button.y, button.width, button.height);
}

// The rounded box with the note; its sizes are those of the 96-DPI design times `scale`.
void DrawMuteButton(Gdiplus::Graphics& graphics, const SkinButton& button, ButtonLook look, bool muted, float scale) {
    const float x = static_cast<float>(button.x), y = static_cast<float>(button.y);
    const float w = static_cast<float>(button.width), h = static_cast<float>(button.height);
    const float corner = 16.0f * scale;
    const BYTE alpha = look == ButtonLook::Pressed ? 255 : look == ButtonLook::Hover ? 245 : 235;
    const Gdiplus::Color fill = muted ? Gdiplus::Color(alpha, 180, 50, 50) : Gdiplus::Color(alpha, 70, 140, 220);

    Gdiplus::GraphicsPath path;
    path.AddArc(x, y, corner, corner, 180.0f, 90.0f);
    path.AddArc(x + w - corner, y, corner, corner, 270.0f, 90.0f);
    path.AddArc(x + w - corner, y + h - corner, corner, corner, 0.0f, 90.0f);
    path.AddArc(x, y + h - corner, corner, corner, 90.0f, 90.0f);
    path.CloseFigure();

    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    Gdiplus::SolidBrush fillBrush(fill);
    graphics.FillPath(&fillBrush, &path);
    Gdiplus::Pen outline(Gdiplus::Color(255, 255, 255, 255), 1.5f * scale);
    graphics.DrawPath(&outline, &path);

    Gdiplus::FontFamily symbol(L"Segoe UI Symbol");
    Gdiplus::FontFamily arial(L"Arial");
    const Gdiplus::FontFamily* family = symbol.IsAvailable() ? &symbol : &arial;
    const float fontSize = 18.0f * scale;
    Gdiplus::Font chosen(family, fontSize, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::Font generic(Gdiplus::FontFamily::GenericSansSerif(), fontSize, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    const Gdiplus::Font* font = (family->IsAvailable() && chosen.IsAvailable()) ? &chosen : &generic;

    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    Gdiplus::SolidBrush white(Gdiplus::Color(255, 255, 255, 255));
    graphics.DrawString(L"\u266A", 1, font, Gdiplus::RectF(x, y, w, h), &format, &white);

    if (muted) {
        const float q = static_cast<float>(button.width / 6);
        Gdiplus::Pen stroke(Gdiplus::Color(255, 255, 255, 255), 2.5f * scale);
        graphics.DrawLine(&stroke, x + q, y + h - q, x + w - q, y + q);
    }
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeDefault);
}

// ---- progress bar and status line ----

void DrawProgressBar(Gdiplus::Graphics& graphics, const MainWindowState& state, const FrameLayers& layers) {
    const RECT bar = ScaledRect(kProgressBar, layers.dpi);
    const int barWidth = bar.right - bar.left, barHeight = bar.bottom - bar.top;
    const int fill = ProgressFillWidth(state.progress, barWidth);
    if (Gdiplus::Bitmap* track = AtDpi(layers.skins.progressTrack, state.progressTrack)) {
        graphics.DrawImage(track, bar.left, bar.top, barWidth, barHeight);
    } else {
        Gdiplus::SolidBrush grey(Gdiplus::Color(255, 30, 30, 30));
        graphics.FillRectangle(&grey, bar.left, bar.top, barWidth, barHeight);
    }
    if (fill <= 0) return;
    if (Gdiplus::Bitmap* image = AtDpi(layers.skins.progressFill, state.progressFill)) {
        // The fill is cut at the progress point, not squeezed.
        long long sourceWidth = static_cast<long long>(state.progress) * image->GetWidth() / 100;
        if (sourceWidth < 1) sourceWidth = 1;
        graphics.DrawImage(image, Gdiplus::Rect(bar.left, bar.top, fill, barHeight), 0, 0, static_cast<INT>(sourceWidth),
                           static_cast<INT>(image->GetHeight()), Gdiplus::UnitPixel);
    } else {
        Gdiplus::SolidBrush warm(Gdiplus::Color(255, 255, 180, 60));
        graphics.FillRectangle(&warm, bar.left, bar.top, fill, barHeight);
    }
}

// One centred line with a black outline as wide as a pixel of the 96-DPI design.
void DrawStatusLine(HDC dc, const std::wstring& text, const FrameLayers& layers) {
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
    const RECT box = ScaledRect(kProgressBar, layers.dpi);
    const int outline = ScaleToDpi(1, layers.dpi);
    const int previousMode = SetBkMode(dc, TRANSPARENT);
    HGDIOBJ font = layers.statusFont.Valid() ? layers.statusFont.Get() : GetStockObject(DEFAULT_GUI_FONT);
    const ScopedSelectObject selectedFont(dc, font);
    const COLORREF previousColour = SetTextColor(dc, RGB(0, 0, 0));
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            RECT shifted = box;
            OffsetRect(&shifted, dx * outline, dy * outline);
            DrawTextW(dc, text.c_str(), -1, &shifted, format);
        }
    }
    SetTextColor(dc, RGB(255, 255, 255));
    RECT rect = box;
    DrawTextW(dc, text.c_str(), -1, &rect, format);
    SetTextColor(dc, previousColour);
    SetBkMode(dc, previousMode);
}

// The stock status font at another DPI; null at 96 DPI, where the stock font itself is used.
HGDIOBJ MakeStatusFont(UINT dpi) {
    if (dpi == kBaseDpi) return nullptr;
    LOGFONTW font;
    if (GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof(font), &font) != sizeof(font)) return nullptr;
    // The stock font was made for the system DPI; the window's monitor may have another.
    font.lfHeight = MulDiv(font.lfHeight, static_cast<int>(dpi), static_cast<int>(ScreenDpi()));
    return CreateFontIndirectW(&font);
}

// ---- layers ----

SIZE ClientSize(const MainWindowState& state) {
    RECT client = {0, 0, ScaleToDpi(kMainWindowWidth, state.dpi), ScaleToDpi(kMainWindowHeight, state.dpi)};
    if (state.hwnd) GetClientRect(state.hwnd, &client);
    return SIZE{client.right - client.left, client.bottom - client.top};
}

void ScaleSkins(const MainWindowState& state, ScaledSkins& skins, UINT dpi) {
    skins = ScaledSkins();
    if (dpi == kBaseDpi) return;
    for (int i = 0; i < kButtonCount; ++i) {
        const SkinButton& button = state.buttons[i];
        const SkinBitmap* loaded[kSkinLooks] = {&button.normal, &button.hover, &button.pressed};
        for (int look = 0; look < kSkinLooks; ++look) {
            skins.buttons[i][look] = ScaleSkin(loaded[look]->get(), button.width, button.height);
        }
    }
    const RECT bar = ScaledRect(kProgressBar, dpi);
    skins.progressTrack = ScaleSkin(state.progressTrack.get(), bar.right - bar.left, bar.bottom - bar.top);
    skins.progressFill = ScaleSkin(state.progressFill.get(), bar.right - bar.left, bar.bottom - bar.top);
}

void PaintBack(const MainWindowState& state, FrameLayers& layers) {
    const RECT all = {0, 0, layers.width, layers.height};
    FillRectRgb(layers.back.Dc(), all, RGB(0, 0, 0));
    if (!state.background) return;
    Gdiplus::Graphics graphics(layers.back.Dc());
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.DrawImage(state.background.get(), 0, 0, layers.width, layers.height);
}

FrontKey FrontKeyOf(const MainWindowState& state) {
    FrontKey key;
    for (int i = 0; i < kButtonCount; ++i) key.looks[i] = ButtonLookFor(state, i);
    key.startEnabled = state.startEnabled;
    key.muted = state.bgmMuted;
    key.progress = state.progress;
    return key;
}

void PaintFront(const MainWindowState& state, FrameLayers& layers) {
    GdiFlush();
    std::memset(layers.front.Row(0), 0, static_cast<std::size_t>(layers.width) * layers.height * 4);
    // GDI+ writes premultiplied pixels straight into the surface's memory.
    Gdiplus::Bitmap canvas(layers.width, layers.height, layers.width * 4, PixelFormat32bppPARGB,
                           reinterpret_cast<BYTE*>(layers.front.Row(0)));
    Gdiplus::Graphics graphics(&canvas);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    for (int i = 0; i < kButtonCount; ++i) {
        const SkinButton& button = state.buttons[i];
        const SkinBitmap* loaded[kSkinLooks] = {&button.normal, &button.hover, &button.pressed};
        Gdiplus::Bitmap* images[kSkinLooks];
        for (int look = 0; look < kSkinLooks; ++look) images[look] = AtDpi(layers.skins.buttons[i][look], *loaded[look]);
        if (i == StartGame && !state.startEnabled) {
            DrawDisabledStart(graphics, button, images[static_cast<int>(ButtonLook::Normal)]);
        } else if (i == ToggleMute) {
            DrawMuteButton(graphics, button, ButtonLookFor(state, i), state.bgmMuted, DpiScale(layers.dpi));
        } else {
            DrawSkinnedButton(graphics, button, images, ButtonLookFor(state, i));
        }
    }
    DrawProgressBar(graphics, state, layers);
}

// Fits the layers to the client size and DPI. True when they were made anew: the whole frame must then
// be composed, whatever was invalidated.
bool FitLayers(const MainWindowState& state, FrameLayers& layers, SIZE size) {
    if (layers.frame.Valid() && layers.width == size.cx && layers.height == size.cy && layers.dpi == state.dpi) {
        return false;
    }
    if (layers.dpi != state.dpi) {
        ScaleSkins(state, layers.skins, state.dpi);
        layers.statusFont = MakeStatusFont(state.dpi);
        layers.dpi = state.dpi;
    }
    layers.width = size.cx;
    layers.height = size.cy;
    layers.frontPainted = false;
    if (!layers.back.Create(size.cx, size.cy) || !layers.front.Create(size.cx, size.cy) ||
        !layers.frame.Create(size.cx, size.cy)) {
        layers.frame.Create(0, 0);  // empty: nothing is painted until the surfaces can be made
        return true;
    }
    PaintBack(state, layers);
    return true;
}

// The rectangles of a region inside the client area.
std::vector<RECT> RegionRects(HRGN region, const RECT& client) {
    std::vector<RECT> rects;
    const DWORD bytes = GetRegionData(region, 0, nullptr);
    if (bytes == 0) return rects;
    std::vector<BYTE> data(bytes);
    RGNDATA* rgn = reinterpret_cast<RGNDATA*>(data.data());
    if (GetRegionData(region, bytes, rgn) != bytes) return rects;
    const RECT* all = reinterpret_cast<const RECT*>(rgn->Buffer);
    for (DWORD i = 0; i < rgn->rdh.nCount; ++i) {
        RECT inside;
        if (IntersectRect(&inside, &all[i], &client)) rects.push_back(inside);
    }
    return rects;
}

void AddRectToRegion(HRGN region, const RECT& rect) {
    if (IsRectEmpty(&rect)) return;
    ScopedGdiObject piece(CreateRectRgnIndirect(&rect));
    if (piece.Valid()) CombineRgn(region, region, static_cast<HRGN>(piece.Get()), RGN_OR);
}

}  // namespace

ButtonLook ButtonLookFor(const MainWindowState& state, int button) {
    if (state.pressedButton == button && state.hoverButton == button) return ButtonLook::Pressed;
    if (state.pressedButton == -1 && state.hoverButton == button) return ButtonLook::Hover;
    return ButtonLook::Normal;
}

int ProgressFillWidth(int progress, int barWidth) {
    long long fill = static_cast<long long>(progress) * barWidth / 100;
    if (fill < 0) fill = 0;
    if (fill > barWidth) fill = barWidth;
    return static_cast<int>(fill);
}

void AddParticleDamage(const MainWindowState& state, HRGN region) {
    if (state.layers) {
        for (const RECT& drawn : state.layers->particleRects) AddRectToRegion(region, drawn);
    }
    for (const Particle& p : state.particles) AddRectToRegion(region, ParticleBounds(p, state.dpi));
}

void PaintMainWindow(MainWindowState& state, HDC target, HRGN region) {
    if (!state.layers) state.layers.reset(new FrameLayers);
    FrameLayers& layers = *state.layers;
    if (FitLayers(state, layers, ClientSize(state))) region = nullptr;
    if (!layers.frame.Valid()) return;
    const FrontKey key = FrontKeyOf(state);
    if (!layers.frontPainted || !(key == layers.frontKey)) {
        PaintFront(state, layers);
        layers.frontKey = key;
        layers.frontPainted = true;
    }

    const RECT client = {0, 0, layers.width, layers.height};
    const std::vector<RECT> rects = region ? RegionRects(region, client) : std::vector<RECT>{client};
    if (rects.empty()) return;
    RECT box = rects.front();
    for (const RECT& rect : rects) UnionRect(&box, &box, &rect);

    // Bottom to top: back, particles, front, status line; only inside the region.
    HDC frame = layers.frame.Dc();
    const int savedFrame = SaveDC(frame);
    if (region) SelectClipRgn(frame, region);
    BitBlt(frame, box.left, box.top, box.right - box.left, box.bottom - box.top, layers.back.Dc(), box.left, box.top,
           SRCCOPY);
    GdiFlush();  // the particles are blended straight into the surface's memory
    DrawParticles(layers.frame, state, rects);
    for (int i = 0; i < kParticleCount; ++i) layers.particleRects[i] = ParticleBounds(state.particles[i], state.dpi);
    const BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    AlphaBlend(frame, box.left, box.top, box.right - box.left, box.bottom - box.top, layers.front.Dc(), box.left,
               box.top, box.right - box.left, box.bottom - box.top, blend);
    if (!state.statusText.empty()) DrawStatusLine(frame, state.statusText, layers);
    RestoreDC(frame, savedFrame);

    const int savedTarget = SaveDC(target);
    if (region) ExtSelectClipRgn(target, region, RGN_AND);
    BitBlt(target, box.left, box.top, box.right - box.left, box.bottom - box.top, frame, box.left, box.top, SRCCOPY);
    RestoreDC(target, savedTarget);
}
