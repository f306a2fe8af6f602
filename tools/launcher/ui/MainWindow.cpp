#include "ui/MainWindow.h"

#include "LauncherPath.h"
#include "Settings.h"
#include "Threads.h"
#include "Win32Handles.h"
#include "res/resource.h"
#include "ui/Commands.h"
#include "ui/Dpi.h"
#include "ui/LauncherMenu.h"
#include "ui/MainWindowPaint.h"
#include "ui/Music.h"
#include "update/PatchHost.h"
#include "update/SelfUpdate.h"
#include "update/StatusChannel.h"
#include "update/TransferGate.h"
#include "update/Updater.h"

#include <objidl.h>
#include <gdiplus.h>
#include <windowsx.h>

#include <cstdlib>
#include <memory>

namespace {

constexpr wchar_t kMainTitle[] = L"Selmora";
constexpr float kMaxStep = 0.1f;
constexpr float kBoostPerProgress = 0.4f;
constexpr float kMaxBoost = 2.2f;

MainWindowState* StateOf(HWND hwnd) {
    return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

// ---- message handlers ----

RECT ButtonRect(const SkinButton& button) {
    return RECT{button.x, button.y, button.x + button.width, button.y + button.height};
}

void OnPaint(HWND hwnd, MainWindowState& state) {
    // Only the invalid part is composed again: after a tick, where the particles were and are.
    ScopedGdiObject invalid(CreateRectRgn(0, 0, 0, 0));
    const bool partial = invalid.Valid() && GetUpdateRgn(hwnd, static_cast<HRGN>(invalid.Get()), FALSE) != ERROR;
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    PaintMainWindow(state, dc, partial ? static_cast<HRGN>(invalid.Get()) : nullptr);
    EndPaint(hwnd, &ps);
}

LRESULT OnNcHitTest(HWND hwnd, const MainWindowState& state, LPARAM lParam) {
    POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    ScreenToClient(hwnd, &point);
    return HitTestButton(state, point.x, point.y) >= 0 ? HTCLIENT : HTCAPTION;
}

void OnAnimationTimer(HWND hwnd, MainWindowState& state) {
    POINT cursor;
    RECT client;
    GetClientRect(hwnd, &client);
    if (GetCursorPos(&cursor) && ScreenToClient(hwnd, &cursor) && cursor.x >= 0 && cursor.x < client.right &&
        cursor.y >= 0 && cursor.y < client.bottom) {
        state.mouseX = cursor.x;
        state.mouseY = cursor.y;
        state.mouseInside = true;
    } else {
        state.mouseInside = false;
    }
    const DWORD now = GetTickCount();
    float dt = state.lastAnimTick == 0 ? 0.0f : static_cast<float>(now - state.lastAnimTick) / 1000.0f;
    if (dt > kMaxStep) dt = kMaxStep;
    state.lastAnimTick = now;
    StepParticles(state, dt);
    ScopedGdiObject damage(CreateRectRgn(0, 0, 0, 0));
    if (!damage.Valid()) {
        InvalidateRect(hwnd, nullptr, FALSE);
        return;
    }
    AddParticleDamage(state, static_cast<HRGN>(damage.Get()));
    InvalidateRgn(hwnd, static_cast<HRGN>(damage.Get()), FALSE);
}

void OnMouseMove(HWND hwnd, MainWindowState& state, LPARAM lParam) {
    if (!state.trackingMouse) {
        TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd, 0};
        TrackMouseEvent(&track);
        state.trackingMouse = true;
    }
    const int hit = HitTestButton(state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (hit != state.hoverButton) {
        state.hoverButton = hit;
        InvalidateRect(hwnd, nullptr, FALSE);
    }
}

void OnLButtonDown(HWND hwnd, MainWindowState& state, LPARAM lParam) {
    const int hit = HitTestButton(state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (hit < 0) return;
    state.pressedButton = hit;
    state.hoverButton = hit;
    SetCapture(hwnd);
    InvalidateRect(hwnd, nullptr, FALSE);
}

void OnLButtonUp(HWND hwnd, MainWindowState& state, LPARAM lParam) {
    if (state.pressedButton == -1) return;
    const int hit = HitTestButton(state, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    const int pressed = state.pressedButton;
    state.pressedButton = -1;
    ReleaseCapture();
    InvalidateRect(hwnd, nullptr, FALSE);
    if (hit == pressed) RunLauncherCommand(state, pressed);
}

void OnMouseLeave(HWND hwnd, MainWindowState& state) {
    state.trackingMouse = false;
    if (state.hoverButton != -1) {
        state.hoverButton = -1;
        InvalidateRect(hwnd, nullptr, FALSE);
    }
}

// Enter presses the start button; a held key's repeats do not start the game twice. The menu key opens the
// menu under its glyph.
void OnKeyDown(HWND hwnd, MainWindowState& state, WPARAM key, LPARAM flags) {
    const bool repeat = (HIWORD(flags) & KF_REPEAT) != 0;
    if (key == VK_RETURN && !repeat && state.startEnabled && IsWindowVisible(hwnd)) RunLauncherCommand(state, StartGame);
    if (key == VK_APPS && !repeat) ShowLauncherMenuAtGlyph(state);
}

// Alt+F4 runs the close button's command: the window has no system menu to route it through. Shift+F10,
// Windows' other key for a context menu, opens the menu.
bool OnSysKeyDown(MainWindowState& state, WPARAM key, LPARAM flags) {
    if (key == VK_F10 && GetKeyState(VK_SHIFT) < 0) {
        if (!(HIWORD(flags) & KF_REPEAT)) ShowLauncherMenuAtGlyph(state);
        return true;
    }
    if (key != VK_F4 || !(HIWORD(flags) & KF_ALTDOWN)) return false;
    RunLauncherCommand(state, CloseLauncher);
    return true;
}

// A right-click anywhere opens the menu where it was; the keyboard's context menu, under the glyph.
void OnContextMenu(MainWindowState& state, LPARAM lParam) {
    if (lParam == -1) {
        ShowLauncherMenuAtGlyph(state);
        return;
    }
    ShowLauncherMenu(state, POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)}, false);
}

void OnRightButtonUp(MainWindowState& state, LPARAM lParam, bool client) {
    POINT point = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (client) ClientToScreen(state.hwnd, &point);
    ShowLauncherMenu(state, point, false);
}

void OnProgress(HWND hwnd, MainWindowState* state, WPARAM percent) {
    if (!state) return;
    state->progress = static_cast<int>(percent);
    state->lastProgressTick = GetTickCount();
    state->activityBoost += kBoostPerProgress;
    if (state->activityBoost > kMaxBoost) state->activityBoost = kMaxBoost;
    const RECT bar = ScaledRect(kProgressBar, state->dpi);
    InvalidateRect(hwnd, &bar, FALSE);
}

void OnStatus(HWND hwnd, MainWindowState* state, WPARAM text) {
    if (state && text && state->paused) {
        state->statusWhilePaused = reinterpret_cast<const wchar_t*>(text);
    } else if (state && text) {
        state->statusText = reinterpret_cast<const wchar_t*>(text);
        const RECT bar = ScaledRect(kProgressBar, state->dpi);
        InvalidateRect(hwnd, &bar, FALSE);
    }
    FreeStatusText(text);  // ours in every case once it was posted
}

void OnPrograms(MainWindowState* state, WPARAM digests) {
    std::unique_ptr<ProgramDigests> taken = TakeProgramDigests(digests);  // ours in every case once posted
    if (state && taken) state->programDigests = std::move(*taken);
}

void OnFinished(HWND hwnd, MainWindowState* state, WPARAM finished) {
    if (!state) return;
    if (finished == 0) state->startEnabled = true;
    const RECT start = ButtonRect(state->buttons[StartGame]);
    InvalidateRect(hwnd, &start, FALSE);
}

// Another monitor, or the player changed the scaling: the layout follows, in the rectangle Windows suggests.
void OnDpiChanged(HWND hwnd, MainWindowState& state, WPARAM dpi, LPARAM suggested) {
    state.dpi = LOWORD(dpi);  // x and y are the same on Windows
    SetButtonLayout(state);
    const RECT* rect = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(hwnd, nullptr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(hwnd, nullptr, FALSE);
}

// The window at its DPI, centred on the primary screen. It is created at the 96-DPI size first, because
// its DPI can only be asked once it exists.
void FitWindowToDpi(MainWindowState& state) {
    state.dpi = WindowDpi(state.hwnd);
    SetButtonLayout(state);
    if (state.dpi == kBaseDpi) return;
    const int width = ScaleToDpi(kMainWindowWidth, state.dpi);
    const int height = ScaleToDpi(kMainWindowHeight, state.dpi);
    SetWindowPos(state.hwnd, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

// The new executable finishes the self-update once this process has ended; a launcher that cannot start
// it stays open rather than leave the player with none running.
void OnRestart() {
    if (StartHandOver()) PostQuitMessage(0);
}

}  // namespace

void StartUpdateRun(MainWindowState& state, bool fullCheck) {
    bool idle = false;
    if (!state.hwnd || !UpdaterRunning.compare_exchange_strong(idle, true)) return;
    auto args = std::make_unique<UpdaterThreadArgs>();
    args->notifyWindow = state.hwnd;
    args->launcherDir = state.launcherDir;
    args->patchHosts = PatchHostList();
    args->manifestKeys = ManifestKeyList();
    args->fullCheck = fullCheck;
    // Nobody waits for the run: the process exit ends one still going.
    if (!StartDetachedThread(UpdaterThread, args.get())) {
        UpdaterRunning.store(false);
        return;
    }
    args.release();  // the thread owns it now
}

void SetButtonLayout(MainWindowState& state) {
    for (int i = 0; i < kButtonCount; ++i) {
        const RECT box = ScaledRect(kButtonLayout[i].box, state.dpi);
        state.buttons[i].x = box.left;
        state.buttons[i].y = box.top;
        state.buttons[i].width = box.right - box.left;
        state.buttons[i].height = box.bottom - box.top;
    }
}

int HitTestButton(const MainWindowState& state, int x, int y) {
    for (int i = 0; i < kButtonCount; ++i) {
        const SkinButton& b = state.buttons[i];
        if (x >= b.x && x < b.x + b.width && y >= b.y && y < b.y + b.height) return i;
    }
    return -1;
}

LRESULT CALLBACK MainWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MainWindowState* state = StateOf(hwnd);
    switch (message) {
        case WM_DESTROY:
            KillTimer(hwnd, kAnimationTimerId);
            PostQuitMessage(0);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_UPDATE_PROGRESS:
            OnProgress(hwnd, state, wParam);
            return 0;
        case WM_UPDATE_STATUS:
            OnStatus(hwnd, state, wParam);
            return 0;
        case WM_UPDATE_FINISHED:
            OnFinished(hwnd, state, wParam);
            return 0;
        case WM_UPDATE_PROGRAMS:
            OnPrograms(state, wParam);
            return 0;
        case WM_UPDATE_RESTART:
            OnRestart();
            return 0;
        case WM_TIMER:
            if (wParam == kAnimationTimerId && state) OnAnimationTimer(hwnd, *state);
            return 0;
        default:
            break;
    }
    if (!state) return DefWindowProcW(hwnd, message, wParam, lParam);
    switch (message) {
        case WM_PAINT: OnPaint(hwnd, *state); return 0;
        case WM_NCHITTEST: return OnNcHitTest(hwnd, *state, lParam);
        case WM_MOUSEMOVE: OnMouseMove(hwnd, *state, lParam); return 0;
        case WM_LBUTTONDOWN: OnLButtonDown(hwnd, *state, lParam); return 0;
        case WM_LBUTTONUP: OnLButtonUp(hwnd, *state, lParam); return 0;
        case WM_MOUSELEAVE: OnMouseLeave(hwnd, *state); return 0;
        case WM_DPICHANGED: OnDpiChanged(hwnd, *state, wParam, lParam); return 0;
        case WM_KEYDOWN: OnKeyDown(hwnd, *state, wParam, lParam); return 0;
        case WM_CONTEXTMENU: OnContextMenu(*state, lParam); return 0;
        case WM_RBUTTONDOWN: return 0;
        case WM_RBUTTONUP: OnRightButtonUp(*state, lParam, true); return 0;
        // The background is the caption (it drags the window): its right-click is the window's too, and
        // nothing of the system's caption handling may take the press.
        case WM_NCRBUTTONDOWN: return 0;
        case WM_NCRBUTTONUP: OnRightButtonUp(*state, lParam, false); return 0;
        case WM_MEASUREITEM:
            if (MeasureMenuItem(*state, reinterpret_cast<MEASUREITEMSTRUCT*>(lParam))) return TRUE;
            return DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_DRAWITEM:
            if (DrawMenuItem(*state, reinterpret_cast<const DRAWITEMSTRUCT*>(lParam))) return TRUE;
            return DefWindowProcW(hwnd, message, wParam, lParam);
        case WM_SYSKEYDOWN:
            if (OnSysKeyDown(*state, wParam, lParam)) return 0;
            return DefWindowProcW(hwnd, message, wParam, lParam);
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

bool RunMainWindow(HINSTANCE instance, const std::wstring& launcherDir, bool fullCheck) {
    MainWindowState state;
    state.launcherDir = launcherDir;
    SetButtonLayout(state);
    LoadMainWindowSkins(state);
    state.bgmMuted = ReadBgmMuted();
    state.speedLimit = ReadMaxDownloadKBps();
    SetSpeedLimit(state.speedLimit);

    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kMainWindowClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        ReleaseMainWindowSkins(state);
        return false;
    }
    state.hwnd = CreateWindowExW(0, kMainWindowClass, kMainTitle, WS_POPUP,
                                 (GetSystemMetrics(SM_CXSCREEN) - kMainWindowWidth) / 2,
                                 (GetSystemMetrics(SM_CYSCREEN) - kMainWindowHeight) / 2, kMainWindowWidth,
                                 kMainWindowHeight, nullptr, nullptr, instance, nullptr);
    if (!state.hwnd) {
        ReleaseMainWindowSkins(state);
        UnregisterClassW(kMainWindowClass, instance);
        return false;
    }
    SetWindowLongPtrW(state.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));
    FitWindowToDpi(state);

    std::srand(GetTickCount());
    for (Particle& particle : state.particles) InitParticle(particle, false);
    state.lastAnimTick = GetTickCount();
    SetTimer(state.hwnd, kAnimationTimerId, kAnimationPeriodMs, nullptr);
    StartMusic(state.launcherDir, state.bgmMuted);
    ShowWindow(state.hwnd, SW_SHOW);
    UpdateWindow(state.hwnd);
    StartUpdateRun(state, fullCheck);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // The restart ends the loop with the window alive: its timer and its pointer to this frame's state
    // must be gone before MCI and GDI+ shut down and might dispatch to it.
    if (IsWindow(state.hwnd)) {
        KillTimer(state.hwnd, kAnimationTimerId);
        SetWindowLongPtrW(state.hwnd, GWLP_USERDATA, 0);
        DestroyWindow(state.hwnd);
    }
    StopMusic();
    ReleaseMainWindowSkins(state);
    UnregisterClassW(kMainWindowClass, instance);
    return state.gameStarted;
}
