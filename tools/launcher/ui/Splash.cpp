#include "ui/Splash.h"

#include "PlayerTexts.h"
#include "Win32Handles.h"
#include "res/resource.h"
#include "ui/PixelSurface.h"

#include <objidl.h>
#include <gdiplus.h>

#include <cstring>

namespace {

constexpr wchar_t kSplashClass[] = L"KorvaneLauncherSplashWnd";
constexpr wchar_t kSplashTitle[] = L"Selmora";
constexpr UINT_PTR kSplashTimerId = 1;
constexpr UINT kSplashPeriodMs = 16;

SplashState* StateOf(HWND hwnd) {
    return reinterpret_cast<SplashState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

void OnSplashTimer(HWND hwnd, SplashState& state) {
    const DWORD now = GetTickCount();
    const DWORD elapsed = now - state.phaseStartTick;
    if (state.phase == FadeIn && elapsed >= kSplashFadeInMs) {
        state.phase = Hold;
        state.phaseStartTick = now;
    } else if (state.phase == Hold && elapsed >= kSplashHoldMs) {
        state.phase = FadeOut;
        state.phaseStartTick = now;
    } else if (state.phase == FadeOut && elapsed >= kSplashFadeOutMs) {
        state.phase = Finished;
    }
    if (state.phase == Finished) {
        KillTimer(hwnd, kSplashTimerId);
        DestroyWindow(hwnd);
        return;
    }
    RenderSplashFrame(state);
}

}  // namespace

float SplashOpacity(SplashPhase phase, DWORD elapsedMs) {
    const float t = static_cast<float>(elapsedMs);
    switch (phase) {
        case FadeIn: return t / kSplashFadeInMs < 1.0f ? t / kSplashFadeInMs : 1.0f;
        case Hold: return 1.0f;
        case FadeOut: return 1.0f - t / kSplashFadeOutMs > 0.0f ? 1.0f - t / kSplashFadeOutMs : 0.0f;
        case Finished: break;
    }
    return 0.0f;
}

void RenderSplashFrame(const SplashState& splash) {
    if (!splash.logo || !splash.hwnd) return;
    const int width = static_cast<int>(splash.logo->GetWidth());
    const int height = static_cast<int>(splash.logo->GetHeight());
    const float opacity = SplashOpacity(splash.phase, GetTickCount() - splash.phaseStartTick);
    const BYTE alpha = static_cast<BYTE>(opacity * 255.0f);

    ScopedWindowDc screen(nullptr);
    ScopedMemoryDc memory(screen.Get());
    void* bits = nullptr;
    ScopedGdiObject dib(CreateTopDownDib(memory.Get(), width, height, &bits));
    if (!dib.Get() || !bits) return;
    ScopedSelectObject selected(memory.Get(), dib.Get());

    std::memset(bits, 0, static_cast<std::size_t>(width) * height * 4);
    CopyPremultiplied(splash.logo.get(), bits, width, height, alpha);

    POINT position = {(GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2};
    SIZE size = {width, height};
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(splash.hwnd, screen.Get(), &position, &size, memory.Get(), &origin, 0, &blend, ULW_ALPHA);
}

LRESULT CALLBACK SplashWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_TIMER:
            if (SplashState* state = StateOf(hwnd)) OnSplashTimer(hwnd, *state);
            return 0;
        case WM_LBUTTONDOWN:
            return 0;  // the splash can be neither dismissed nor dragged
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

bool ShowSplash(HINSTANCE instance) {
    SplashState state;
    state.logo = LoadPngResource(IDR_LOGO_PNG);
    if (!state.logo) {
        MessageBoxW(nullptr,
                    player_texts::kNoLogo,
                    player_texts::kCaptionError, MB_ICONERROR);
        return false;
    }

    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = SplashWindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kSplashClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    const int width = static_cast<int>(state.logo->GetWidth());
    const int height = static_cast<int>(state.logo->GetHeight());
    state.hwnd = CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kSplashClass, kSplashTitle, WS_POPUP,
                                 (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr, nullptr,
                                 instance, nullptr);
    if (!state.hwnd) {
        UnregisterClassW(kSplashClass, instance);
        return false;
    }
    SetWindowLongPtrW(state.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    state.phase = FadeIn;
    state.phaseStartTick = GetTickCount();

    ShowWindow(state.hwnd, SW_SHOW);
    RenderSplashFrame(state);
    SetTimer(state.hwnd, kSplashTimerId, kSplashPeriodMs, nullptr);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    UnregisterClassW(kSplashClass, instance);
    return true;
}
