#pragma once
// The farewell logo: a layered, topmost window that fades in, holds and fades out.

#include "ui/Skins.h"

#include <windows.h>

enum SplashPhase : int { FadeIn = 0, Hold = 1, FadeOut = 2, Finished = 3 };

constexpr DWORD kSplashFadeInMs = 500;
constexpr DWORD kSplashHoldMs = 2000;
constexpr DWORD kSplashFadeOutMs = 500;

struct SplashState {
    SplashPhase phase = FadeIn;
    DWORD phaseStartTick = 0;
    SkinBitmap logo;
    HWND hwnd = nullptr;
};

// Opacity 0..1 of `phase` after `elapsedMs` in it.
float SplashOpacity(SplashPhase phase, DWORD elapsedMs);

// Presents the logo centred on the primary screen at the opacity of the splash's phase.
void RenderSplashFrame(const SplashState& splash);

// Shows the splash and runs its own message loop until it has faded out. False, after an error box
// when the logo cannot be loaded, if it could not be shown.
bool ShowSplash(HINSTANCE instance);

LRESULT CALLBACK SplashWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
