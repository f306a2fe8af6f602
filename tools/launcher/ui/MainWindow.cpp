#include "MainWindow.h"

#include "Commands.h"
#include "MainWindowPaint.h"
#include "Music.h"
#include "Skins.h"
#include "StatusChannel.h"
#include "Updater.h"
#include "Win32Handles.h"
#include "res/resource.h"

#include <objidl.h>
#include <gdiplus.h>
#include <windowsx.h>

#include <cstdlib>

namespace {

constexpr wchar_t kMainClass[] = L"KorvaneLauncherMainWnd";
constexpr wchar_t kMainTitle[] = L"Selmora";
constexpr float kMaxStep = 0.1f;
constexpr float kBoostPerProgress = 0.4f;
constexpr float kMaxBoost = 2.2f;
constexpr RECT kStartButtonRect = {452, 403, 815, 511};

struct ButtonSkinIds {
    int normal, hover, pressed;
};
constexpr ButtonSkinIds kButtonSkins[kButtonCount] = {
    {IDR_COMMUNITY_NORMAL_PNG, IDR_COMMUNITY_HOVER_PNG, IDR_COMMUNITY_PRESSED_PNG},
    {IDR_SETTINGS_NORMAL_PNG, IDR_SETTINGS_HOVER_PNG, IDR_SETTINGS_PRESSED_PNG},
    {IDR_START_NORMAL_PNG, IDR_START_HOVER_PNG, IDR_START_PRESSED_PNG},
    {0, 0, 0},
    {IDR_CLOSE_NORMAL_PNG, IDR_CLOSE_HOVER_PNG, IDR_CLOSE_PRESSED_PNG},
};

MainWindowState* StateOf(HWND hwnd) {
    return reinterpret_cast<MainWindowState*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

void StartUpdater(MainWindowState& state) {
    if (!state.hwnd || InterlockedCompareExchange(&UpdaterRunning, 1, 0) != 0) return;
    UpdaterThreadArgs* args = new UpdaterThreadArgs{state.hwnd, state.launcherDir};
    HANDLE thread = CreateThread(nullptr, 0, UpdaterThread, args, 0, nullptr);
    if (!thread) {
        delete args;
        InterlockedExchange(&UpdaterRunning, 0);
        return;
    }
    CloseHandle(thread);  // never waited for: the process exit ends a run still going
}

// ---- message handlers ----

void OnPaint(HWND hwnd, const MainWindowState& state) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    RECT client;
    GetClientRect(hwnd, &client);
    {
        ScopedMemoryDc memory(dc);
        ScopedGdiObject frame(CreateCompatibleBitmap(dc, client.right, client.bottom));
        ScopedSelectObject selected(memory.Get(), frame.Get());
        PaintMainWindow(state, memory.Get());
        BitBlt(dc, 0, 0, client.right, client.bottom, memory.Get(), 0, 0, SRCCOPY);
    }
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
    InvalidateRect(hwnd, nullptr, FALSE);
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

void OnProgress(HWND hwnd, MainWindowState* state, WPARAM percent) {
    if (!state) return;
    state->progress = static_cast<int>(percent);
    state->lastProgressTick = GetTickCount();
    state->activityBoost += kBoostPerProgress;
    if (state->activityBoost > kMaxBoost) state->activityBoost = kMaxBoost;
    InvalidateRect(hwnd, &kProgressRect, FALSE);
}

void OnStatus(HWND hwnd, MainWindowState* state, WPARAM text) {
    if (state && text) {
        state->statusText = reinterpret_cast<const wchar_t*>(text);
        InvalidateRect(hwnd, &kProgressRect, FALSE);
    }
    FreeStatusText(text);  // ours in every case once it was posted
}

void OnFinished(HWND hwnd, MainWindowState* state, WPARAM finished) {
    if (!state) return;
    if (finished == 0) state->startEnabled = true;
    InvalidateRect(hwnd, &kStartButtonRect, FALSE);
}

void OnRestart() {
    wchar_t path[260] = {};
    if (GetModuleFileNameW(nullptr, path, 260) != 0) {
        std::wstring directory(path);
        std::size_t slash = directory.rfind(L'\\');
        directory = slash == std::wstring::npos ? std::wstring() : directory.substr(0, slash);
        SHELLEXECUTEINFOW info;
        ZeroMemory(&info, sizeof(info));
        info.cbSize = sizeof(info);
        info.fMask = SEE_MASK_FLAG_NO_UI;
        info.lpFile = path;
        info.lpDirectory = directory.c_str();
        info.nShow = SW_SHOWNORMAL;
        ShellExecuteExW(&info);
    }
    PostQuitMessage(0);
}

}  // namespace

void LoadMainWindowSkins(MainWindowState& state) {
    state.background = LoadPngResource(IDR_BACKGROUND_PNG);
    state.progressTrack = LoadPngResource(IDR_PROGRESS_TRACK_PNG);
    state.progressFill = LoadPngResource(IDR_PROGRESS_FILL_PNG);
    for (int i = 0; i < kButtonCount; ++i) {
        if (kButtonSkins[i].normal == 0) continue;
        state.buttons[i].normal = LoadPngResource(kButtonSkins[i].normal);
        state.buttons[i].hover = LoadPngResource(kButtonSkins[i].hover);
        state.buttons[i].pressed = LoadPngResource(kButtonSkins[i].pressed);
    }
}

void ReleaseMainWindowSkins(MainWindowState& state) {
    delete state.background;
    delete state.progressTrack;
    delete state.progressFill;
    state.background = state.progressTrack = state.progressFill = nullptr;
    for (SkinButton& button : state.buttons) {
        delete button.normal;
        delete button.hover;
        delete button.pressed;
        button.normal = button.hover = button.pressed = nullptr;
    }
}

void SetButtonLayout(MainWindowState& state) {
    static const RECT kLayout[kButtonCount] = {
        {105, 406, 300, 95}, {40, 224, 109, 97}, {452, 403, 363, 108}, {820, 4, 40, 30}, {868, 0, 32, 38}};
    for (int i = 0; i < kButtonCount; ++i) {
        state.buttons[i].x = kLayout[i].left;
        state.buttons[i].y = kLayout[i].top;
        state.buttons[i].width = kLayout[i].right;
        state.buttons[i].height = kLayout[i].bottom;
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
        default: return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

bool RunMainWindow(HINSTANCE instance, const std::wstring& launcherDir) {
    MainWindowState state;
    state.launcherDir = launcherDir;
    SetButtonLayout(state);
    LoadMainWindowSkins(state);
    state.bgmMuted = ReadBgmMuted();

    WNDCLASSEXW wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = MainWindowProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_APP_ICON));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = kMainClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        ReleaseMainWindowSkins(state);
        return false;
    }
    state.hwnd = CreateWindowExW(0, kMainClass, kMainTitle, WS_POPUP,
                                 (GetSystemMetrics(SM_CXSCREEN) - kMainWindowWidth) / 2,
                                 (GetSystemMetrics(SM_CYSCREEN) - kMainWindowHeight) / 2, kMainWindowWidth,
                                 kMainWindowHeight, nullptr, nullptr, instance, nullptr);
    if (!state.hwnd) {
        ReleaseMainWindowSkins(state);
        UnregisterClassW(kMainClass, instance);
        return false;
    }
    SetWindowLongPtrW(state.hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    std::srand(GetTickCount());
    for (Particle& particle : state.particles) InitParticle(particle, false);
    state.lastAnimTick = GetTickCount();
    SetTimer(state.hwnd, kAnimationTimerId, kAnimationPeriodMs, nullptr);
    StartMusic(state.launcherDir, state.bgmMuted);
    ShowWindow(state.hwnd, SW_SHOW);
    UpdateWindow(state.hwnd);
    StartUpdater(state);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    StopMusic();
    ReleaseMainWindowSkins(state);
    UnregisterClassW(kMainClass, instance);
    return state.gameStarted;
}
