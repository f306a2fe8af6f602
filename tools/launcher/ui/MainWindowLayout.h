#pragma once
// Where everything sits in the main window, in client pixels: the frame, the one table of buttons
// (index = the command a click runs) and the progress bar with the status line over it.

#include "res/resource.h"

#include <windows.h>

constexpr int kMainWindowWidth = 900;
constexpr int kMainWindowHeight = 540;

// The buttons, in table order; a button's index is its command number.
enum LauncherCommand : int {
    OpenCommunity = 0,
    OpenSettings = 1,
    StartGame = 2,
    ToggleMute = 3,
    CloseLauncher = 4,
    OpenMenu = 5,
};
constexpr int kButtonCount = 6;

struct LayoutBox {
    int x;
    int y;
    int width;
    int height;
};

// One button: where it sits and its three skins (0: no image, the button is drawn).
struct ButtonLayout {
    LayoutBox box;
    int normalSkin;
    int hoverSkin;
    int pressedSkin;
};

constexpr ButtonLayout kButtonLayout[kButtonCount] = {
    {{105, 406, 300, 95}, IDR_COMMUNITY_NORMAL_PNG, IDR_COMMUNITY_HOVER_PNG, IDR_COMMUNITY_PRESSED_PNG},
    {{40, 224, 109, 97}, IDR_SETTINGS_NORMAL_PNG, IDR_SETTINGS_HOVER_PNG, IDR_SETTINGS_PRESSED_PNG},
    {{452, 403, 363, 108}, IDR_START_NORMAL_PNG, IDR_START_HOVER_PNG, IDR_START_PRESSED_PNG},
    {{820, 4, 40, 30}, 0, 0, 0},
    {{868, 0, 32, 38}, IDR_CLOSE_NORMAL_PNG, IDR_CLOSE_HOVER_PNG, IDR_CLOSE_PRESSED_PNG},
    {{776, 4, 40, 30}, IDR_MENU_NORMAL_PNG, IDR_MENU_HOVER_PNG, IDR_MENU_PRESSED_PNG},
};

// The progress bar; the status line is drawn into the same box.
constexpr LayoutBox kProgressBar = {201, 526, 527, 13};
