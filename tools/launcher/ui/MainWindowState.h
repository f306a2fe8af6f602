#pragma once
// The main window's record: skins, interaction state and the particle animation.

#include "ui/Dpi.h"
#include "ui/MainWindowLayout.h"
#include "ui/Skins.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

constexpr int kParticleCount = 28;
constexpr UINT_PTR kAnimationTimerId = 1281;
constexpr UINT kAnimationPeriodMs = 33;

// One clickable button where the layout puts it, in client pixels; any image may be null.
struct SkinButton {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    SkinBitmap normal;
    SkinBitmap hover;
    SkinBitmap pressed;
};

// One glowing mote; coordinates and sizes in 96-DPI pixels (the window scales them), times in seconds,
// angles in radians.
struct Particle {
    float x = 0, y = 0;
    float vx = 0, vy = 0;
    float bobPhase = 0, bobSpeed = 0, bobAmplitude = 0;
    float twinklePhase = 0, twinkleSpeed = 0;
    float radius = 0;
    unsigned char red = 0, green = 0, blue = 0;
};

// What painting keeps between paints (layers, scaled skins; see MainWindowPaint); made by the first paint.
struct FrameLayers;
struct FrameLayersDeleter {
    void operator()(FrameLayers* layers) const;
};
using FrameLayersPtr = std::unique_ptr<FrameLayers, FrameLayersDeleter>;

struct MainWindowState {
    HWND hwnd = nullptr;
    SkinBitmap background;
    SkinBitmap progressTrack;
    SkinBitmap progressFill;
    SkinButton buttons[kButtonCount];
    int hoverButton = -1;
    int pressedButton = -1;
    bool trackingMouse = false;
    int progress = 0;
    bool startEnabled = false;
    bool gameStarted = false;
    std::wstring launcherDir;
    // What the update run's manifest says the programs the buttons start are (file name -> SHA-256); a
    // program it does not list, or one started before the manifest arrived, is started unchecked.
    std::map<std::wstring, std::string> programDigests;
    std::wstring statusText;
    // The player paused the downloads: statusText reads so, and what the run posts meanwhile waits here.
    bool paused = false;
    std::wstring statusWhilePaused;
    std::uint32_t speedLimit = 0;  // KiB/s, 0: none (MaxDownloadKBps)
    Particle particles[kParticleCount];
    DWORD lastAnimTick = 0;
    float activityBoost = 1.0f;
    DWORD lastProgressTick = 0;
    int mouseX = -1;
    int mouseY = -1;
    bool mouseInside = false;
    bool bgmMuted = false;
    // The window's DPI: the buttons' boxes are at it, and the skins, the status line and the particles
    // (whose positions stay in 96-DPI units) are drawn at it.
    UINT dpi = kBaseDpi;
    FrameLayersPtr layers;
};

// Puts every button where the layout table says at state.dpi, without images.
void SetButtonLayout(MainWindowState& state);

// Index 0..5 of the first button whose rectangle holds the client point, or -1.
int HitTestButton(const MainWindowState& state, int x, int y);
