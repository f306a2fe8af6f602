#include "ui/MainWindowPaint.h"

#include "Win32Handles.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cmath>
#include <cstdlib>

namespace {

constexpr float kTwoPi = 6.2832f;
constexpr float kRepelRadius = 90.0f;
constexpr float kRepelStrength = 320.0f;
constexpr float kSpeedLimit = 30.0f;
constexpr DWORD kBoostCalmMs = 1500;
constexpr float kBoostDecayPerSecond = 0.6f;
constexpr RECT kProgressRect = ToRect(kProgressBar);

float Unit() {
    return static_cast<float>(std::rand()) / 32767.0f;
}

// ---- buttons ----

void DrawDisabledStart(Gdiplus::Graphics& graphics, const SkinButton& button) {
    if (!button.normal) return;
    Gdiplus::ColorMatrix grey = {{{0.3f, 0.3f, 0.3f, 0, 0},
                                  {0.59f, 0.59f, 0.59f, 0, 0},
                                  {0.11f, 0.11f, 0.11f, 0, 0},
                                  {0, 0, 0, 0.4f, 0},
                                  {0, 0, 0, 0, 1}}};
    Gdiplus::ImageAttributes attributes;
    attributes.SetColorMatrix(&grey);
    graphics.DrawImage(button.normal.get(), Gdiplus::Rect(button.x, button.y, button.width, button.height), 0, 0,
                       static_cast<INT>(button.normal->GetWidth()), static_cast<INT>(button.normal->GetHeight()),
                       Gdiplus::UnitPixel, &attributes);
}

void DrawSkinnedButton(Gdiplus::Graphics& graphics, const SkinButton& button, ButtonLook look) {
    Gdiplus::Bitmap* image = look == ButtonLook::Pressed ? button.pressed.get()
                             : look == ButtonLook::Hover ? button.hover.get()
                                                         : button.normal.get();
    if (!image) image = button.normal.get();
    if (!image) return;
    graphics.DrawImage(image, button.x, button.y, button.width, button.height);
}

void DrawMuteButton(Gdiplus::Graphics& graphics, const SkinButton& button, ButtonLook look, bool muted) {
    const int x = button.x, y = button.y, w = button.width, h = button.height;
    const BYTE alpha = look == ButtonLook::Pressed ? 255 : look == ButtonLook::Hover ? 245 : 235;
    const Gdiplus::Color fill = muted ? Gdiplus::Color(alpha, 180, 50, 50) : Gdiplus::Color(alpha, 70, 140, 220);

    Gdiplus::GraphicsPath path;
    path.AddArc(x, y, 16, 16, 180.0f, 90.0f);
    path.AddArc(x + w - 16, y, 16, 16, 270.0f, 90.0f);
    path.AddArc(x + w - 16, y + h - 16, 16, 16, 0.0f, 90.0f);
    path.AddArc(x, y + h - 16, 16, 16, 90.0f, 90.0f);
    path.CloseFigure();

    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    Gdiplus::SolidBrush fillBrush(fill);
    graphics.FillPath(&fillBrush, &path);
    Gdiplus::Pen outline(Gdiplus::Color(255, 255, 255, 255), 1.5f);
    graphics.DrawPath(&outline, &path);

    Gdiplus::FontFamily symbol(L"Segoe UI Symbol");
    Gdiplus::FontFamily arial(L"Arial");
    const Gdiplus::FontFamily* family = symbol.IsAvailable() ? &symbol : &arial;
    Gdiplus::Font chosen(family, 18.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::Font generic(Gdiplus::FontFamily::GenericSansSerif(), 18.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    const Gdiplus::Font* font = (family->IsAvailable() && chosen.IsAvailable()) ? &chosen : &generic;

    Gdiplus::StringFormat format;
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
    Gdiplus::SolidBrush white(Gdiplus::Color(255, 255, 255, 255));
    Gdiplus::RectF box(static_cast<float>(x), static_cast<float>(y), static_cast<float>(w), static_cast<float>(h));
    graphics.DrawString(L"\u266A", 1, font, box, &format, &white);

    if (muted) {
        const int q = w / 6;
        Gdiplus::Pen stroke(Gdiplus::Color(255, 255, 255, 255), 2.5f);
        graphics.DrawLine(&stroke, x + q, y + h - q, x + w - q, y + q);
    }
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeDefault);
}

// ---- progress bar and status line ----

void FillRectRgb(HDC dc, const RECT& rect, COLORREF colour) {
    ScopedGdiObject brush(CreateSolidBrush(colour));
    FillRect(dc, &rect, static_cast<HBRUSH>(brush.Get()));
}

void DrawProgressBar(Gdiplus::Graphics& graphics, HDC dc, const MainWindowState& state) {
    const int fill = ProgressFillWidth(state.progress);
    const RECT& bar = kProgressRect;
    if (state.progressTrack) {
        graphics.DrawImage(state.progressTrack.get(), bar.left, bar.top, kProgressBar.width, kProgressBar.height);
    } else {
        graphics.Flush();
        FillRectRgb(dc, bar, RGB(30, 30, 30));
    }
    if (fill <= 0) return;
    if (state.progressFill) {
        long long sourceWidth = static_cast<long long>(state.progress) * state.progressFill->GetWidth() / 100;
        if (sourceWidth < 1) sourceWidth = 1;
        graphics.DrawImage(state.progressFill.get(), Gdiplus::Rect(bar.left, bar.top, fill, kProgressBar.height), 0, 0,
                           static_cast<INT>(sourceWidth), static_cast<INT>(state.progressFill->GetHeight()),
                           Gdiplus::UnitPixel);
    } else {
        graphics.Flush();
        RECT filled = {bar.left, bar.top, bar.left + fill, bar.bottom};
        FillRectRgb(dc, filled, RGB(255, 180, 60));
    }
}

void DrawStatusLine(HDC dc, const std::wstring& text) {
    const UINT format = DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
    const int previousMode = SetBkMode(dc, TRANSPARENT);
    HGDIOBJ previousFont = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    const COLORREF previousColour = SetTextColor(dc, RGB(0, 0, 0));
    for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0) continue;
            RECT shifted = kProgressRect;
            OffsetRect(&shifted, dx, dy);
            DrawTextW(dc, text.c_str(), -1, &shifted, format);
        }
    }
    SetTextColor(dc, RGB(255, 255, 255));
    RECT rect = kProgressRect;
    DrawTextW(dc, text.c_str(), -1, &rect, format);
    SetTextColor(dc, previousColour);
    SelectObject(dc, previousFont);
    SetBkMode(dc, previousMode);
}

}  // namespace

ButtonLook ButtonLookFor(const MainWindowState& state, int button) {
    if (state.pressedButton == button && state.hoverButton == button) return ButtonLook::Pressed;
    if (state.pressedButton == -1 && state.hoverButton == button) return ButtonLook::Hover;
    return ButtonLook::Normal;
}

int ProgressFillWidth(int progress) {
    long long fill = static_cast<long long>(progress) * kProgressBar.width / 100;
    if (fill < 0) fill = 0;
    if (fill > kProgressBar.width) fill = kProgressBar.width;
    return static_cast<int>(fill);
}

void InitParticle(Particle& p, bool fromEdge) {
    const int r0 = std::rand();
    if (fromEdge) {
        switch (r0 % 4) {
            case 0: p.x = Unit() * 900.0f; p.y = -10.0f; break;
            case 1: p.x = Unit() * 900.0f; p.y = 550.0f; break;
            case 2: p.x = -10.0f; p.y = Unit() * 540.0f; break;
            default: p.x = 910.0f; p.y = Unit() * 540.0f; break;
        }
    } else {
        p.x = static_cast<float>(r0) / 32767.0f * 900.0f;
        p.y = Unit() * 540.0f;
    }
    const float angle = Unit() * kTwoPi;
    const float speed = Unit() * 15.0f + 5.0f;
    p.vx = std::cos(angle) * speed;
    p.vy = std::sin(angle) * speed * 0.6f;
    p.bobPhase = Unit() * kTwoPi;
    p.bobSpeed = Unit() * 1.5f + 1.0f;
    p.bobAmplitude = Unit() * 4.0f + 2.0f;
    p.twinklePhase = Unit() * kTwoPi;
    p.twinkleSpeed = Unit() + 0.6f;
    p.radius = Unit() * 1.5f + 1.5f;
    const int roll = std::rand() % 100;
    if (roll < 70) {
        p.red = 255; p.green = 240; p.blue = 180;
    } else if (roll < 90) {
        p.red = 180; p.green = 220; p.blue = 255;
    } else {
        p.red = 255; p.green = 200; p.blue = 220;
    }
}

void StepParticles(MainWindowState& state, float dt) {
    const bool calm = state.lastProgressTick == 0 || GetTickCount() - state.lastProgressTick >= kBoostCalmMs;
    if (calm && state.activityBoost > 1.0f) {
        state.activityBoost -= kBoostDecayPerSecond * dt;
        if (state.activityBoost < 1.0f) state.activityBoost = 1.0f;
    }
    const float boost = state.activityBoost;
    for (Particle& p : state.particles) {
        p.x += p.vx * dt * boost;
        p.y += p.vy * dt * boost;
        p.bobPhase += dt * p.bobSpeed * boost;
        p.twinklePhase += dt * p.twinkleSpeed * boost;
        if (state.mouseInside) {
            const float dx = p.x - static_cast<float>(state.mouseX);
            const float dy = p.y - static_cast<float>(state.mouseY);
            const float d2 = dx * dx + dy * dy;
            if (d2 > 0.5f && d2 < kRepelRadius * kRepelRadius) {
                const float d = std::sqrt(d2);
                const float f = (kRepelRadius - d) / kRepelRadius;
                const float k = kRepelStrength * f * f;
                p.vx += dx / d * k * dt;
                p.vy += dy / d * k * dt;
            }
        }
        if (std::sqrt(p.vx * p.vx + p.vy * p.vy) > kSpeedLimit) {
            float damp = 1.0f - 0.5f * dt;
            if (damp < 0.0f) damp = 0.0f;
            p.vx *= damp;
            p.vy *= damp;
        }
        if (p.x < -20.0f || p.x > 920.0f || p.y < -20.0f || p.y > 560.0f) InitParticle(p, true);
    }
}

void DrawParticles(Gdiplus::Graphics& graphics, const MainWindowState& state) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    for (const Particle& p : state.particles) {
        float b = 0.725f + 0.275f * std::sin(p.twinklePhase);
        if (b < 0.0f) b = 0.0f;
        if (b > 1.0f) b = 1.0f;
        const float cx = p.x;
        const float cy = p.y + std::sin(p.bobPhase) * p.bobAmplitude;
        const float r = p.radius;
        Gdiplus::SolidBrush glow(Gdiplus::Color(static_cast<BYTE>(b * 45.0f), p.red, p.green, p.blue));
        graphics.FillEllipse(&glow, cx - 4 * r, cy - 4 * r, 8 * r, 8 * r);
        Gdiplus::SolidBrush halo(Gdiplus::Color(static_cast<BYTE>(b * 115.0f), p.red, p.green, p.blue));
        graphics.FillEllipse(&halo, cx - 2 * r, cy - 2 * r, 4 * r, 4 * r);
        Gdiplus::SolidBrush core(Gdiplus::Color(static_cast<BYTE>(b * 255.0f), 255, 255, 255));
        graphics.FillEllipse(&core, cx - r, cy - r, 2 * r, 2 * r);
    }
}

void PaintMainWindow(const MainWindowState& state, HDC dc) {
    RECT client = {0, 0, kMainWindowWidth, kMainWindowHeight};
    if (state.hwnd) GetClientRect(state.hwnd, &client);
    FillRectRgb(dc, client, RGB(0, 0, 0));

    Gdiplus::Graphics graphics(dc);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    if (state.background) {
        graphics.DrawImage(state.background.get(), 0, 0, client.right - client.left, client.bottom - client.top);
    }
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeAntiAlias);
    DrawParticles(graphics, state);
    for (int i = 0; i < kButtonCount; ++i) {
        const SkinButton& button = state.buttons[i];
        if (i == StartGame && !state.startEnabled) {
            DrawDisabledStart(graphics, button);
        } else if (i == ToggleMute) {
            DrawMuteButton(graphics, button, ButtonLookFor(state, i), state.bgmMuted);
        } else {
            DrawSkinnedButton(graphics, button, ButtonLookFor(state, i));
        }
    }
    DrawProgressBar(graphics, dc, state);
    graphics.Flush();
    if (!state.statusText.empty()) DrawStatusLine(dc, state.statusText);
}
