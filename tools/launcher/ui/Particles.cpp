#include "ui/Particles.h"

#include "ui/MainWindowLayout.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {

constexpr float kTwoPi = 6.2832f;
constexpr float kRepelRadius = 90.0f;
constexpr float kRepelStrength = 320.0f;
constexpr float kSpeedLimit = 30.0f;
constexpr DWORD kBoostCalmMs = 1500;
constexpr float kBoostDecayPerSecond = 0.6f;
// The frame in 96-DPI pixels; particles enter 10 px outside it and are placed again 20 px outside it.
constexpr float kFrameWidth = static_cast<float>(kMainWindowWidth);
constexpr float kFrameHeight = static_cast<float>(kMainWindowHeight);
constexpr float kEntryMargin = 10.0f;
constexpr float kExitMargin = 20.0f;

float Unit() {
    return static_cast<float>(std::rand()) / 32767.0f;
}

float DpiScale(UINT dpi) {
    return static_cast<float>(dpi) / static_cast<float>(kBaseDpi);
}

// One filled circle of one colour and opacity, blended over opaque pixels.
struct Disc {
    float cx, cy, radius;
    BYTE alpha, red, green, blue;
};

// Pixel (x, y) covers [x - 0.5, x + 0.5) x [y - 0.5, y + 0.5), where GDI+ puts pixels by default; its
// coverage is counted on 4 x 4 samples, but only where the circle's edge crosses it.
void BlendDisc(PixelSurface& surface, const RECT& clip, const Disc& disc) {
    if (disc.alpha == 0 || disc.radius <= 0.0f) return;
    const float r2 = disc.radius * disc.radius;
    const int left = std::max<int>(clip.left, static_cast<int>(std::floor(disc.cx - disc.radius - 0.5f)));
    const int right = std::min<int>(clip.right, static_cast<int>(std::ceil(disc.cx + disc.radius + 0.5f)) + 1);
    const int top = std::max<int>(clip.top, static_cast<int>(std::floor(disc.cy - disc.radius - 0.5f)));
    const int bottom = std::min<int>(clip.bottom, static_cast<int>(std::ceil(disc.cy + disc.radius + 0.5f)) + 1);
    for (int y = top; y < bottom; ++y) {
        const float dy0 = static_cast<float>(y) - 0.5f - disc.cy, dy1 = dy0 + 1.0f;
        const float nearY = dy0 > 0.0f ? dy0 : dy1 < 0.0f ? dy1 : 0.0f;
        const float farY = std::max(std::fabs(dy0), std::fabs(dy1));
        std::uint32_t* row = surface.Row(y);
        for (int x = left; x < right; ++x) {
            const float dx0 = static_cast<float>(x) - 0.5f - disc.cx, dx1 = dx0 + 1.0f;
            const float nearX = dx0 > 0.0f ? dx0 : dx1 < 0.0f ? dx1 : 0.0f;
            if (nearX * nearX + nearY * nearY >= r2) continue;
            const float farX = std::max(std::fabs(dx0), std::fabs(dx1));
            int covered = 16;
            if (farX * farX + farY * farY > r2) {
                covered = 0;
                for (int sy = 0; sy < 4; ++sy) {
                    const float py = dy0 + 0.125f + 0.25f * static_cast<float>(sy);
                    for (int sx = 0; sx < 4; ++sx) {
                        const float px = dx0 + 0.125f + 0.25f * static_cast<float>(sx);
                        if (px * px + py * py <= r2) ++covered;
                    }
                }
                if (covered == 0) continue;
            }
            const unsigned a = (static_cast<unsigned>(disc.alpha) * static_cast<unsigned>(covered) + 8) / 16;
            const std::uint32_t pixel = row[x];
            auto mix = [a](unsigned source, unsigned destination) {
                return (source * a + destination * (255 - a) + 127) / 255;
            };
            const unsigned blue = mix(disc.blue, pixel & 0xFF);
            const unsigned green = mix(disc.green, (pixel >> 8) & 0xFF);
            const unsigned red = mix(disc.red, (pixel >> 16) & 0xFF);
            row[x] = (pixel & 0xFF000000u) | (red << 16) | (green << 8) | blue;
        }
    }
}

}  // namespace

void InitParticle(Particle& p, bool fromEdge) {
    const int r0 = std::rand();
    if (fromEdge) {
        switch (r0 % 4) {
            case 0: p.x = Unit() * kFrameWidth; p.y = -kEntryMargin; break;
            case 1: p.x = Unit() * kFrameWidth; p.y = kFrameHeight + kEntryMargin; break;
            case 2: p.x = -kEntryMargin; p.y = Unit() * kFrameHeight; break;
            default: p.x = kFrameWidth + kEntryMargin; p.y = Unit() * kFrameHeight; break;
        }
    } else {
        p.x = static_cast<float>(r0) / 32767.0f * kFrameWidth;
        p.y = Unit() * kFrameHeight;
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
    // The cursor is in client pixels, the particles in 96-DPI ones.
    const float toDesign = 1.0f / DpiScale(state.dpi);
    const float mouseX = static_cast<float>(state.mouseX) * toDesign;
    const float mouseY = static_cast<float>(state.mouseY) * toDesign;
    for (Particle& p : state.particles) {
        p.x += p.vx * dt * boost;
        p.y += p.vy * dt * boost;
        p.bobPhase += dt * p.bobSpeed * boost;
        p.twinklePhase += dt * p.twinkleSpeed * boost;
        if (state.mouseInside) {
            const float dx = p.x - mouseX;
            const float dy = p.y - mouseY;
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
        if (p.x < -kExitMargin || p.x > kFrameWidth + kExitMargin || p.y < -kExitMargin ||
            p.y > kFrameHeight + kExitMargin) InitParticle(p, true);
    }
}

RECT ParticleBounds(const Particle& p, UINT dpi) {
    const float scale = DpiScale(dpi);
    const float cx = p.x * scale;
    const float cy = (p.y + std::sin(p.bobPhase) * p.bobAmplitude) * scale;
    const float reach = 4.0f * p.radius * scale + 0.5f;  // the glow, to the far side of its edge pixels
    return RECT{static_cast<LONG>(std::floor(cx - reach)) - 1, static_cast<LONG>(std::floor(cy - reach)) - 1,
                static_cast<LONG>(std::ceil(cx + reach)) + 2, static_cast<LONG>(std::ceil(cy + reach)) + 2};
}

void DrawParticles(PixelSurface& surface, const MainWindowState& state, const std::vector<RECT>& clip) {
    if (!surface.Valid()) return;
    const RECT whole = {0, 0, surface.Width(), surface.Height()};
    const float scale = DpiScale(state.dpi);
    for (const Particle& p : state.particles) {
        float b = 0.725f + 0.275f * std::sin(p.twinklePhase);
        if (b < 0.0f) b = 0.0f;
        if (b > 1.0f) b = 1.0f;
        const float cx = p.x * scale;
        const float cy = (p.y + std::sin(p.bobPhase) * p.bobAmplitude) * scale;
        const float r = p.radius * scale;
        const Disc discs[] = {
            {cx, cy, 4 * r, static_cast<BYTE>(b * 45.0f), p.red, p.green, p.blue},    // glow
            {cx, cy, 2 * r, static_cast<BYTE>(b * 115.0f), p.red, p.green, p.blue},   // halo
            {cx, cy, r, static_cast<BYTE>(b * 255.0f), 255, 255, 255},                // core
        };
        const RECT bounds = ParticleBounds(p, state.dpi);
        for (const RECT& rect : clip) {
            RECT part, inside;
            if (!IntersectRect(&part, &rect, &bounds) || !IntersectRect(&inside, &part, &whole)) continue;
            for (const Disc& disc : discs) BlendDisc(surface, inside, disc);
        }
    }
}
