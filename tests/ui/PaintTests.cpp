// Drawing of the main window, in-process: button geometry, the painted frame and the particle animation.
#include "res/resource.h"
#include "ui/Dpi.h"
#include "ui/LauncherMenu.h"
#include "ui/MainWindow.h"
#include "ui/MainWindowPaint.h"
#include "ui/MainWindowState.h"
#include "ui/Skins.h"

#include "ScreenCapture.h"
#include "TestFiles.h"
#include "Win32Handles.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using testsupport::Capture;

// ---- geometry ----

TEST(HitTestButton, EdgesOfTheButtonsAtEveryDpi) {
    struct HitCase {
        UINT dpi;
        int x, y, expected;
    };
    const HitCase cases[] = {
        // 96 DPI, the layout table itself. Community 105,406 300x95
        {96, 105, 406, 0}, {96, 404, 406, 0}, {96, 404, 500, 0}, {96, 405, 450, -1}, {96, 104, 450, -1},
        {96, 200, 405, -1}, {96, 200, 501, -1},
        // settings 40,224 109x97
        {96, 40, 224, 1}, {96, 148, 320, 1}, {96, 149, 250, -1}, {96, 39, 250, -1}, {96, 100, 321, -1},
        {96, 100, 223, -1},
        // start 452,403 363x108
        {96, 452, 403, 2}, {96, 814, 510, 2}, {96, 815, 450, -1}, {96, 451, 450, -1}, {96, 600, 511, -1},
        // mute 820,4 40x30 and close 868,0 32x38
        {96, 820, 4, 3}, {96, 859, 33, 3}, {96, 860, 10, -1}, {96, 840, 34, -1}, {96, 840, 3, -1},
        {96, 868, 0, 4}, {96, 899, 37, 4}, {96, 867, 10, -1}, {96, 880, 38, -1},
        {96, 0, 0, -1}, {96, 450, 200, -1},
        // 192 DPI: every edge doubled. Start [904, 1630) x [806, 1022), close [1736, 1800) x [0, 76).
        {192, 904, 806, 2}, {192, 1629, 1021, 2}, {192, 1630, 900, -1}, {192, 903, 900, -1}, {192, 1200, 1022, -1},
        {192, 814, 510, -1}, {192, 1736, 0, 4}, {192, 1799, 75, 4}, {192, 1735, 20, -1}, {192, 1760, 76, -1},
        {192, 1640, 8, 3}, {192, 1719, 67, 3}, {192, 210, 812, 0}, {192, 809, 1001, 0}, {192, 810, 900, -1}, {192, 80, 448, 1},
        {192, 297, 641, 1},
        // 144 DPI: each edge times 1.5, halves rounded up. Start [678, 1223) x [605, 767), close [1302, 1350) x [0, 57).
        {144, 678, 605, 2}, {144, 1222, 766, 2}, {144, 1223, 700, -1}, {144, 677, 700, -1}, {144, 900, 767, -1},
        {144, 1302, 0, 4}, {144, 1349, 56, 4}, {144, 1301, 30, -1}, {144, 1320, 57, -1},
        {144, 1230, 6, 3}, {144, 1289, 50, 3}, {144, 1290, 20, -1},
        {144, 158, 609, 0}, {144, 607, 751, 0}, {144, 608, 700, -1}, {144, 60, 336, 1}, {144, 223, 481, 1},
        {144, 224, 400, -1},
    };
    for (const HitCase& c : cases) {
        MainWindowState state;
        state.dpi = c.dpi;
        SetButtonLayout(state);
        EXPECT_EQ(HitTestButton(state, c.x, c.y), c.expected) << "at " << c.x << "," << c.y << ", " << c.dpi << " DPI";
    }
}

TEST(ButtonLookFor, EveryHoverAndPressCombination) {
    struct LookCase {
        const char* name;
        int hover, pressed;
        ButtonLook expected;
    };
    const int b = 2, other = 1;
    const LookCase cases[] = {
        {"idle", -1, -1, ButtonLook::Normal},
        {"under the cursor", b, -1, ButtonLook::Hover},
        {"held and under the cursor", b, b, ButtonLook::Pressed},
        {"held, cursor moved off", -1, b, ButtonLook::Normal},
        {"held, cursor over another button", other, b, ButtonLook::Normal},
        {"another button held, cursor over this one", b, other, ButtonLook::Normal},
        {"another button held and hovered", other, other, ButtonLook::Normal},
        {"another button hovered", other, -1, ButtonLook::Normal},
    };
    for (const LookCase& c : cases) {
        MainWindowState state;
        state.hoverButton = c.hover;
        state.pressedButton = c.pressed;
        EXPECT_EQ(ButtonLookFor(state, b), c.expected) << c.name;
    }
}

TEST(ProgressFillWidth, ClampsToTheBar) {
    const int cases[][2] = {{0, 0}, {1, 5}, {50, 263}, {99, 521}, {100, 527}, {150, 527}, {-1, 0}, {-100, 0}};
    for (const auto& c : cases) EXPECT_EQ(ProgressFillWidth(c[0]), c[1]) << "percent " << c[0];
}

// ---- the painted frame ----

// A state with every skin loaded and its particles parked outside the frame.
struct SkinnedState {
    MainWindowState state;
    SkinnedState() {
        SetButtonLayout(state);
        LoadMainWindowSkins(state);
        for (Particle& p : state.particles) p.x = p.y = -500;
    }
};

Capture Render(MainWindowState& state) {
    return testsupport::RenderOffscreen(ScaleToDpi(kMainWindowWidth, state.dpi), ScaleToDpi(kMainWindowHeight, state.dpi),
                                        [&](HDC memory) { PaintMainWindow(state, memory); });
}

void SaveArtefact(const Capture& frame, const std::wstring& name) {
    const std::wstring dir = testsupport::BesideTestExe(L"screenshots");
    CreateDirectoryW(dir.c_str(), nullptr);
    testsupport::SavePng(frame, dir + L"\\" + name);
}

int Red(std::uint32_t px) { return (px >> 16) & 255; }
int Green(std::uint32_t px) { return (px >> 8) & 255; }
int Blue(std::uint32_t px) { return px & 255; }

// A pixel of the progress fill: clearly warm (red well above blue).
bool Warm(std::uint32_t px) {
    return Red(px) > 150 && Red(px) > Blue(px) + 60;
}

constexpr RECT kStartRect = {452, 403, 815, 511};
constexpr int kBarRow = 532;

TEST(PaintMainWindow, DisabledStartIsGreyEnabledStartIsColourful) {
    SkinnedState skinned;
    skinned.state.startEnabled = false;
    const Capture disabled = Render(skinned.state);
    skinned.state.startEnabled = true;
    const Capture enabled = Render(skinned.state);
    ASSERT_EQ(disabled.width, kMainWindowWidth);
    SaveArtefact(disabled, L"paint_start_disabled.png");
    SaveArtefact(enabled, L"paint_start_enabled.png");
    const auto grey = testsupport::Stats(disabled, kStartRect);
    const auto colour = testsupport::Stats(enabled, kStartRect);
    // Over the background the greyed button is a translucent grey layer: far less saturated.
    EXPECT_GT(colour.saturation, grey.saturation + 30) << "enabled " << colour.saturation << " disabled "
                                                       << grey.saturation;
    // Everything away from the start button is the same in both frames.
    EXPECT_EQ(disabled.At(300, 100), enabled.At(300, 100));
}

TEST(PaintMainWindow, ProgressFillFollowsThePercentage) {
    SkinnedState skinned;
    struct FillCase {
        int percent;
        int filledUpTo;  // first x (client) that is not filled
    };
    const FillCase cases[] = {{0, 201}, {50, 201 + 263}, {100, 201 + 527}};
    for (const FillCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.percent << "%");
        skinned.state.progress = c.percent;
        const Capture frame = Render(skinned.state);
        ASSERT_EQ(frame.width, kMainWindowWidth);
        if (c.percent == 50) SaveArtefact(frame, L"paint_progress_50.png");
        int warmInside = 0, warmOutside = 0, inside = 0, outside = 0;
        for (int x = 203; x < 726; ++x) {
            // Leave a few pixels at the fill's end where it blends with the track.
            if (x > c.filledUpTo - 4 && x < c.filledUpTo + 4) continue;
            const bool filled = x < c.filledUpTo;
            (filled ? inside : outside)++;
            if (Warm(frame.At(x, kBarRow))) (filled ? warmInside : warmOutside)++;
        }
        if (inside > 0) {
            EXPECT_GT(warmInside, inside * 9 / 10) << warmInside << " of " << inside;
        }
        EXPECT_EQ(warmOutside, 0) << "of " << outside;
    }
}

TEST(PaintMainWindow, MuteGlyphRedWhenMutedBlueOtherwise) {
    SkinnedState skinned;
    const RECT glyphPatch = {822, 9, 828, 20};  // inside the rounded box, clear of the note and the stroke
    skinned.state.bgmMuted = true;
    const auto muted = testsupport::Stats(Render(skinned.state), glyphPatch);
    skinned.state.bgmMuted = false;
    const auto playing = testsupport::Stats(Render(skinned.state), glyphPatch);
    EXPECT_GT(muted.red, muted.blue + 80) << muted.red << "/" << muted.blue;
    EXPECT_GT(playing.blue, playing.red + 80) << playing.red << "/" << playing.blue;
}

TEST(PaintMainWindow, StatusTextIsWhiteOverTheBar) {
    SkinnedState skinned;
    auto whitePixels = [](const Capture& frame) {
        int n = 0;
        for (int y = 520; y < 540; ++y) {
            for (int x = 150; x < 780; ++x) {
                const std::uint32_t px = frame.At(x, y);
                if (Red(px) > 235 && Green(px) > 235 && Blue(px) > 235) ++n;
            }
        }
        return n;
    };
    for (int progress : {0, 100}) {
        SCOPED_TRACE(testing::Message() << progress << "%");
        skinned.state.progress = progress;
        skinned.state.statusText.clear();
        EXPECT_EQ(whitePixels(Render(skinned.state)), 0);
        skinned.state.statusText = L"檢查檔案中...";
        const Capture withText = Render(skinned.state);
        if (progress == 100) SaveArtefact(withText, L"paint_status_text.png");
        EXPECT_GT(whitePixels(withText), 20);
    }
}

// Every part of the frame where the layout puts it at that DPI, looking as it does at 96 DPI: compared by
// mean colour over each part, which scaling keeps.
TEST(PaintMainWindow, EveryPartKeepsItsPlaceAndLookAtHigherDpi) {
    struct Part {
        const char* name;
        LayoutBox box;
    };
    const Part parts[] = {
        {"community", kButtonLayout[OpenCommunity].box}, {"settings", kButtonLayout[OpenSettings].box},
        {"start", kButtonLayout[StartGame].box},         {"mute", kButtonLayout[ToggleMute].box},
        {"close", kButtonLayout[CloseLauncher].box},     {"bar and status line", kProgressBar},
        {"sky", {280, 120, 60, 40}},                     {"castle", {440, 250, 60, 50}},
    };
    constexpr double kMeanTolerance = 8;
    auto paint = [](UINT dpi) {
        SkinnedState skinned;
        MainWindowState& state = skinned.state;
        state.dpi = dpi;
        SetButtonLayout(state);
        state.startEnabled = true;
        state.hoverButton = OpenSettings;
        state.progress = 60;
        state.statusText = L"\u6AA2\u67E5\u6A94\u6848\u4E2D... data\\pack01.pak";
        return Render(state);
    };
    const Capture base = paint(kBaseDpi);
    ASSERT_EQ(base.width, kMainWindowWidth);
    for (UINT dpi : {144u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        const Capture scaled = paint(dpi);
        ASSERT_EQ(scaled.width, ScaleToDpi(kMainWindowWidth, dpi));
        ASSERT_EQ(scaled.height, ScaleToDpi(kMainWindowHeight, dpi));
        SaveArtefact(scaled, L"paint_dpi_" + std::to_wstring(dpi) + L".png");
        for (const Part& part : parts) {
            SCOPED_TRACE(part.name);
            const auto before = testsupport::Stats(base, ScaledRect(part.box, kBaseDpi));
            const auto after = testsupport::Stats(scaled, ScaledRect(part.box, dpi));
            EXPECT_NEAR(after.red, before.red, kMeanTolerance);
            EXPECT_NEAR(after.green, before.green, kMeanTolerance);
            EXPECT_NEAR(after.blue, before.blue, kMeanTolerance);
        }
    }
}

// ---- the frame against reference frames ----

// Resource ids of the reference frames (tests/ui/reference), painted at 96 DPI by the window code of
// 4de3d91, which drew every layer anew on every tick with GDI+; the menu glyph's box came later.
constexpr int kReferenceDownloading = 1001;
constexpr int kReferenceReady = 1002;
// Away from the particles, the largest per-channel difference from the reference (rounding in the blend
// of the kept front layer).
constexpr int kFrameTolerance = 2;
// Near a particle, the light it adds may differ by this share. Wine's GDI+ filled each circle as a polygon,
// edge pixels whole or not at all and a little inside the true circle; the launcher's own circles cover
// their true area with anti-aliased edges and add 9 to 23 % more light to these frames.
constexpr double kParticleLightTolerance = 0.3;
// ... plus this much, for particles that a button hides (sum of channel levels over the glow).
constexpr double kParticleLightSlack = 400;

struct PlacedParticle {
    float x, y, radius, twinkle, bob;
    unsigned char red, green, blue;
};

// Particles over the background, a button, the bar, the close button and the frame's edge.
constexpr PlacedParticle kReferenceParticles[] = {
    {300, 150, 1.5f, 0.3f, 1.0f, 255, 240, 180}, {600, 450, 2.5f, 1.7f, 0.2f, 180, 220, 255},
    {400, 531, 3.0f, 4.0f, 2.5f, 255, 200, 220}, {895, 300, 2.0f, 0.0f, 0.0f, 255, 240, 180},
    {880, 20, 2.0f, 2.2f, 5.0f, 180, 220, 255},  {250, 450, 2.8f, 5.5f, 3.3f, 255, 240, 180},
    {90, 270, 1.8f, 3.1f, 4.4f, 255, 200, 220},
};
constexpr float kReferenceBob = 3;

void PlaceReferenceParticles(MainWindowState& state) {
    int i = 0;
    for (const PlacedParticle& placed : kReferenceParticles) {
        Particle& p = state.particles[i++];
        p.x = placed.x;
        p.y = placed.y;
        p.radius = placed.radius;
        p.twinklePhase = placed.twinkle;
        p.bobPhase = placed.bob;
        p.bobAmplitude = kReferenceBob;
        p.red = placed.red;
        p.green = placed.green;
        p.blue = placed.blue;
    }
}

// The square around a placed particle's glow, with two pixels to spare, inside the frame.
RECT GlowBox(const PlacedParticle& p) {
    const float cy = p.y + std::sin(p.bob) * kReferenceBob;
    const float reach = 4 * p.radius + 2;
    RECT box = {static_cast<LONG>(std::floor(p.x - reach)), static_cast<LONG>(std::floor(cy - reach)),
                static_cast<LONG>(std::ceil(p.x + reach)) + 1, static_cast<LONG>(std::ceil(cy + reach)) + 1};
    const RECT frame = {0, 0, kMainWindowWidth, kMainWindowHeight};
    IntersectRect(&box, &box, &frame);
    return box;
}

Capture CaptureOfBitmap(Gdiplus::Bitmap* bitmap) {
    Capture capture;
    if (!bitmap) return capture;
    const int width = static_cast<int>(bitmap->GetWidth()), height = static_cast<int>(bitmap->GetHeight());
    Gdiplus::Rect rect(0, 0, width, height);
    Gdiplus::BitmapData data;
    if (bitmap->LockBits(&rect, Gdiplus::ImageLockModeRead, PixelFormat32bppRGB, &data) != Gdiplus::Ok) return capture;
    capture.width = width;
    capture.height = height;
    capture.pixels.resize(static_cast<std::size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const std::uint32_t*>(static_cast<const BYTE*>(data.Scan0) + y * data.Stride);
        for (int x = 0; x < width; ++x) capture.pixels[static_cast<std::size_t>(y) * width + x] = row[x] & 0x00FFFFFF;
    }
    bitmap->UnlockBits(&data);
    return capture;
}

int ChannelDifference(std::uint32_t a, std::uint32_t b) {
    const int dr = std::abs(Red(a) - Red(b)), dg = std::abs(Green(a) - Green(b)), db = std::abs(Blue(a) - Blue(b));
    return std::max(dr, std::max(dg, db));
}

// Per channel, what `lit` adds to `bare` over a box.
struct Light {
    double red = 0, green = 0, blue = 0;
};
Light LightIn(const Capture& lit, const Capture& bare, const RECT& box) {
    Light light;
    for (int y = box.top; y < box.bottom; ++y) {
        for (int x = box.left; x < box.right; ++x) {
            light.red += Red(lit.At(x, y)) - Red(bare.At(x, y));
            light.green += Green(lit.At(x, y)) - Green(bare.At(x, y));
            light.blue += Blue(lit.At(x, y)) - Blue(bare.At(x, y));
        }
    }
    return light;
}

TEST(PaintMainWindow, FrameMatchesTheReferenceAt96Dpi) {
    struct ReferenceCase {
        const char* name;
        int resourceId;
        bool startEnabled, muted;
        int hover, pressed, progress;
        const wchar_t* status;
    };
    const ReferenceCase cases[] = {
        {"downloading", kReferenceDownloading, false, true, 0, -1, 42,
         L"\u4E0B\u8F09\u4E2D (3/12) data\\pack01.pak  12.5 MB / 48.0 MB  (7.9 MB/s) & more"},
        {"ready", kReferenceReady, true, false, 1, 1, 100, L""},
    };
    for (const ReferenceCase& c : cases) {
        SCOPED_TRACE(c.name);
        SkinnedState skinned;
        MainWindowState& state = skinned.state;
        state.startEnabled = c.startEnabled;
        state.bgmMuted = c.muted;
        state.hoverButton = c.hover;
        state.pressedButton = c.pressed;
        state.progress = c.progress;
        state.statusText = c.status;
        const Capture bare = Render(state);
        PlaceReferenceParticles(state);
        const Capture frame = Render(state);
        SaveArtefact(frame, testsupport::Wide(std::string("paint_reference_") + c.name + ".png"));
        const Capture reference = CaptureOfBitmap(LoadPngResource(c.resourceId).get());
        ASSERT_EQ(reference.width, kMainWindowWidth) << "reference frame missing";
        ASSERT_EQ(reference.height, kMainWindowHeight);
        ASSERT_EQ(frame.width, kMainWindowWidth);

        std::vector<RECT> glows;
        for (const PlacedParticle& p : kReferenceParticles) glows.push_back(GlowBox(p));
        int largest = 0, beyondTolerance = 0;
        RECT where = {kMainWindowWidth, kMainWindowHeight, 0, 0};
        for (int y = 0; y < kMainWindowHeight; ++y) {
            for (int x = 0; x < kMainWindowWidth; ++x) {
                const POINT at = {x, y};
                if (std::any_of(glows.begin(), glows.end(), [&](const RECT& g) { return PtInRect(&g, at) != FALSE; })) {
                    continue;
                }
                const int difference = ChannelDifference(frame.At(x, y), reference.At(x, y));
                largest = std::max(largest, difference);
                if (difference <= kFrameTolerance) continue;
                ++beyondTolerance;
                where = RECT{std::min<LONG>(where.left, x), std::min<LONG>(where.top, y), std::max<LONG>(where.right, x + 1),
                             std::max<LONG>(where.bottom, y + 1)};
            }
        }
        EXPECT_EQ(beyondTolerance, 0) << "largest difference " << largest << " within (" << where.left << ", " << where.top
                                      << ")-(" << where.right << ", " << where.bottom << ")";

        for (std::size_t i = 0; i < glows.size(); ++i) {
            SCOPED_TRACE(testing::Message() << "particle " << i);
            const Light now = LightIn(frame, bare, glows[i]);
            const Light before = LightIn(reference, bare, glows[i]);
            EXPECT_NEAR(now.red, before.red, kParticleLightTolerance * std::fabs(before.red) + kParticleLightSlack);
            EXPECT_NEAR(now.green, before.green, kParticleLightTolerance * std::fabs(before.green) + kParticleLightSlack);
            EXPECT_NEAR(now.blue, before.blue, kParticleLightTolerance * std::fabs(before.blue) + kParticleLightSlack);
        }
    }
}

// ---- the menu ----

// Resource id of the menu's reference frame (tests/ui/reference), painted at 96 DPI.
constexpr int kReferenceMenu = 1003;

// The menu as a player sees it mid-download: 2 MB/s chosen, the pointer on pause.
std::vector<MenuItemLook> ReferenceMenuItems() {
    const wchar_t* texts[] = {L"\u4E0D\u9650\u901F", L"1 MB/s", L"2 MB/s", L"5 MB/s", L"10 MB/s", L"20 MB/s", L"",
                              L"\u66AB\u505C\u4E0B\u8F09", L"\u6AA2\u67E5\u4E26\u4FEE\u5FA9\u904A\u6232\u6A94\u6848",
                              L"\u958B\u555F\u8A18\u9304\u8CC7\u6599\u593E"};
    std::vector<MenuItemLook> items;
    for (const wchar_t* text : texts) {
        MenuItemLook look;
        look.text = text;
        look.separator = text[0] == L'\0';
        items.push_back(look);
    }
    items[2].checked = true;
    items[7].selected = true;
    items[8].enabled = false;  // no check while a run is under way
    return items;
}

// The items stacked as the menu stacks them, each as wide as the widest.
Capture RenderMenu(const std::vector<MenuItemLook>& items, UINT dpi, std::vector<RECT>* rows) {
    HDC screen = GetDC(nullptr);
    int width = 0, height = 0;
    for (const MenuItemLook& look : items) {
        const SIZE size = MenuItemSize(screen, look, dpi);
        rows->push_back(RECT{0, height, 0, height + size.cy});
        width = std::max(width, static_cast<int>(size.cx));
        height += size.cy;
    }
    ReleaseDC(nullptr, screen);
    for (RECT& row : *rows) row.right = width;
    return testsupport::RenderOffscreen(width, height, [&](HDC dc) {
        for (std::size_t i = 0; i < items.size(); ++i) PaintMenuItem(dc, (*rows)[i], items[i], dpi);
    });
}

// Pixels of the check mark's gold in a row's check column.
int GoldIn(const Capture& frame, const RECT& row, UINT dpi) {
    int gold = 0;
    for (int y = row.top; y < row.bottom; ++y) {
        for (int x = row.left; x < row.left + ScaleToDpi(30, dpi); ++x) {
            const std::uint32_t px = frame.At(x, y);
            if (Red(px) > 200 && Green(px) > 140 && Blue(px) < 120) ++gold;
        }
    }
    return gold;
}

TEST(PaintLauncherMenu, ItemsMatchTheReferenceAndGrowWithTheDpi) {
    const std::vector<MenuItemLook> items = ReferenceMenuItems();
    std::vector<RECT> base;
    RenderMenu(items, 96, &base);
    for (UINT dpi : {96u, 144u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        std::vector<RECT> rows;
        const Capture frame = RenderMenu(items, dpi, &rows);
        SaveArtefact(frame, L"paint_menu_" + std::to_wstring(dpi) + L".png");
        for (std::size_t i = 0; i < rows.size(); ++i) {
            EXPECT_NEAR(rows[i].bottom - rows[i].top, ScaleToDpi(base[i].bottom - base[i].top, dpi), 1) << "row " << i;
        }
        EXPECT_GE(frame.width, ScaleToDpi(200, dpi));
        // The check mark on the chosen limit alone.
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(GoldIn(frame, rows[i], dpi) > ScaleToDpi(4, dpi), i == 2) << "row " << i;
        }
        // The selected row stands on the slate plate; the others on the dark ground.
        const std::uint32_t plate = frame.At(rows[7].right - ScaleToDpi(12, dpi), (rows[7].top + rows[7].bottom) / 2);
        const std::uint32_t ground = frame.At(rows[9].right - ScaleToDpi(12, dpi), (rows[9].top + rows[9].bottom) / 2);
        EXPECT_GT(Blue(plate), Blue(ground) + 30);
        if (dpi != 96) continue;
        const Capture reference = CaptureOfBitmap(LoadPngResource(kReferenceMenu).get());
        ASSERT_EQ(reference.width, frame.width) << "reference frame missing or of another size";
        ASSERT_EQ(reference.height, frame.height);
        int beyond = 0;
        for (int y = 0; y < frame.height; ++y) {
            for (int x = 0; x < frame.width; ++x) {
                if (ChannelDifference(frame.At(x, y), reference.At(x, y)) > kFrameTolerance) ++beyond;
            }
        }
        EXPECT_EQ(beyond, 0);
    }
}

// ---- painting only what changed ----

// A state with one moving particle of interest; the others sit still in the middle of the frame.
MainWindowState StillState() {
    MainWindowState state;
    for (Particle& p : state.particles) {
        p.x = 450;
        p.y = 270;
    }
    return state;
}


std::vector<std::uint32_t> PixelsOf(const PixelSurface& surface) {
    GdiFlush();
    std::vector<std::uint32_t> pixels;
    for (int y = 0; y < surface.Height(); ++y) {
        const std::uint32_t* row = surface.Row(y);
        for (int x = 0; x < surface.Width(); ++x) pixels.push_back(row[x] & 0x00FFFFFF);
    }
    return pixels;
}

// Regression guard for the kept frame: a tick paints only where particles were and are, so a particle
// that moved must leave no trace and none may be cut off. Many ticks of such paints must give the very
// pixels of one whole paint.
TEST(PaintMainWindow, TicksPaintingOnlyTheirDamageEqualAWholePaint) {
    for (UINT dpi : {96u, 192u}) {
        SCOPED_TRACE(testing::Message() << dpi << " DPI");
        SkinnedState skinned;
        MainWindowState& state = skinned.state;
        state.dpi = dpi;
        SetButtonLayout(state);
        state.progress = 30;
        state.statusText = L"\u4E0B\u8F09\u4E2D data\\pack01.pak";
        std::srand(11);
        for (Particle& p : state.particles) InitParticle(p, false);
        state.activityBoost = 2.2f;  // fast, to cross buttons, the bar and the edges within the run

        PixelSurface ticked, whole;
        ASSERT_TRUE(ticked.Create(ScaleToDpi(kMainWindowWidth, dpi), ScaleToDpi(kMainWindowHeight, dpi)));
        ASSERT_TRUE(whole.Create(ticked.Width(), ticked.Height()));
        PaintMainWindow(state, ticked.Dc());
        for (int tick = 0; tick < 150; ++tick) {
            state.lastProgressTick = GetTickCount();  // keeps the boost up
            StepParticles(state, 0.1f);
            ScopedGdiObject damage(CreateRectRgn(0, 0, 0, 0));
            AddParticleDamage(state, static_cast<HRGN>(damage.Get()));
            PaintMainWindow(state, ticked.Dc(), static_cast<HRGN>(damage.Get()));
        }
        PaintMainWindow(state, whole.Dc());
        const std::vector<std::uint32_t> a = PixelsOf(ticked), b = PixelsOf(whole);
        ASSERT_EQ(a.size(), b.size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < a.size(); ++i) differing += a[i] != b[i];
        EXPECT_EQ(differing, 0u);
    }
}

TEST(DrawParticles, GlowHaloAndCoreAtTheirRadiiAndOnlyInsideTheClip) {
    struct ParticleCase {
        const char* name;
        UINT dpi;
        std::vector<RECT> clip;  // empty: the whole surface
    };
    const ParticleCase cases[] = {
        {"96 DPI", 96, {}},
        {"192 DPI: every radius doubled", 192, {}},
        {"clipped left of x = 101", 96, {{0, 0, 101, 300}}},
    };
    for (const ParticleCase& c : cases) {
        SCOPED_TRACE(c.name);
        MainWindowState state = StillState();
        for (Particle& p : state.particles) p.x = p.y = -500;
        state.dpi = c.dpi;
        Particle& p = state.particles[0];
        p.x = 100;
        p.y = 100;
        p.radius = 3;
        p.twinklePhase = 1.5708f;  // brightest: b = 1
        p.bobAmplitude = 0;
        p.red = 255;
        p.green = 200;
        p.blue = 0;
        const float s = static_cast<float>(c.dpi) / 96.0f;
        PixelSurface surface;
        ASSERT_TRUE(surface.Create(ScaleToDpi(300, c.dpi), ScaleToDpi(300, c.dpi)));
        const std::vector<RECT> clip = c.clip.empty() ? std::vector<RECT>{{0, 0, surface.Width(), surface.Height()}} : c.clip;
        DrawParticles(surface, state, clip);
        auto at = [&](float designX, float designY) {
            return surface.Row(static_cast<int>(designY * s))[static_cast<int>(designX * s)] & 0x00FFFFFF;
        };
        const bool leftOnly = !c.clip.empty();
        // On black: the glow (radius 12) is the colour at 45 / 255, (45, 35, 0); the halo (radius 6) is the
        // colour at 115 / 255 over it, (140, 109, 0); the core (radius 3) is white.
        auto expectColour = [](std::uint32_t pixel, int red, int green, int blue) {
            EXPECT_NEAR(Red(pixel), red, 1);
            EXPECT_NEAR(Green(pixel), green, 1);
            EXPECT_NEAR(Blue(pixel), blue, 1);
        };
        expectColour(at(100, 100), 255, 255, 255);
        expectColour(at(96, 100), 140, 109, 0);
        expectColour(at(92, 100), 45, 35, 0);
        EXPECT_EQ(at(108, 100) == 0, leftOnly) << "right of the centre, in the glow";
        EXPECT_EQ(at(100, 86), 0u) << "past the glow";
        EXPECT_EQ(at(86, 100), 0u) << "past the glow";
        const RECT bounds = ParticleBounds(p, c.dpi);
        EXPECT_LE(bounds.left, static_cast<LONG>((100 - 12) * s) - 1);
        EXPECT_GE(bounds.right, static_cast<LONG>((100 + 12) * s) + 1);
    }
}

// ---- particles ----

TEST(StepParticles, CursorPushesAwayOnlyWithinNinetyPixels) {
    struct RepelCase {
        UINT dpi;
        bool mouseInside;
        float x, y;  // the particle, in 96-DPI pixels; the cursor is over (300, 200) of the design
        bool pushed;
    };
    const RepelCase cases[] = {
        {96, true, 350, 200, true},  {96, true, 389, 200, true},  {96, true, 390, 200, false},
        {96, true, 420, 200, false}, {96, false, 350, 200, false},
        // At 192 DPI the cursor's client position is twice the design's: (600, 400).
        {192, true, 350, 200, true}, {192, true, 389, 200, true}, {192, true, 390, 200, false},
        {192, true, 650, 400, false},
    };
    for (const RepelCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dpi << " DPI, inside=" << c.mouseInside << " at " << c.x << "," << c.y);
        MainWindowState state = StillState();
        state.dpi = c.dpi;
        state.mouseInside = c.mouseInside;
        state.mouseX = ScaleToDpi(300, c.dpi);
        state.mouseY = ScaleToDpi(200, c.dpi);
        state.particles[0].x = c.x;
        state.particles[0].y = c.y;
        StepParticles(state, 0.05f);
        if (c.pushed) {
            EXPECT_GT(state.particles[0].vx, 0.0f);
        } else {
            EXPECT_EQ(state.particles[0].vx, 0.0f);
        }
        EXPECT_EQ(state.particles[0].vy, 0.0f);
    }
}

TEST(StepParticles, SpeedLimitSlowsOnlyFastParticles) {
    MainWindowState state = StillState();
    state.particles[0].vx = 50;
    state.particles[1].vx = 20;
    state.particles[2].vx = 30;
    state.particles[2].vy = 30;
    StepParticles(state, 0.1f);
    EXPECT_FLOAT_EQ(state.particles[0].vx, 50 * (1 - 0.5f * 0.1f));
    EXPECT_FLOAT_EQ(state.particles[1].vx, 20);
    EXPECT_FLOAT_EQ(state.particles[2].vx, 30 * (1 - 0.5f * 0.1f));
    EXPECT_FLOAT_EQ(state.particles[2].vy, 30 * (1 - 0.5f * 0.1f));
    // Motion uses the velocity before damping: 50 px/s for 0.1 s.
    EXPECT_FLOAT_EQ(state.particles[0].x, 455);
}

TEST(StepParticles, ParticlesPastTheMarginReenterTenPixelsOutsideAnEdge) {
    struct Position {
        float x, y;
        bool replaced;
    };
    const Position cases[] = {{-21, 100, true},  {921, 100, true}, {100, -21, true}, {100, 561, true},
                              {-19, 100, false}, {919, 300, false}, {400, -19, false}, {400, 559, false}};
    for (const Position& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        for (int round = 0; round < 8; ++round) {  // random edges: a few rounds
            MainWindowState state = StillState();
            state.particles[0].x = c.x;
            state.particles[0].y = c.y;
            StepParticles(state, 0.0f);
            const Particle& p = state.particles[0];
            if (c.replaced) {
                const bool onEdge = p.x == -10.0f || p.x == 910.0f || p.y == -10.0f || p.y == 550.0f;
                EXPECT_TRUE(onEdge) << p.x << "," << p.y;
                EXPECT_TRUE(p.x >= -10.0f && p.x <= 910.0f && p.y >= -10.0f && p.y <= 550.0f);
                EXPECT_GT(p.radius, 0.0f);
            } else {
                EXPECT_EQ(p.x, c.x);
                EXPECT_EQ(p.y, c.y);
            }
        }
    }
}

TEST(StepParticles, BoostStaysWhileProgressIsRecentAndDecaysToOneAfter) {
    {
        MainWindowState state = StillState();
        state.activityBoost = 2.0f;
        state.lastProgressTick = GetTickCount();
        state.particles[0].vx = 10;
        StepParticles(state, 0.1f);
        EXPECT_FLOAT_EQ(state.activityBoost, 2.0f);
        EXPECT_FLOAT_EQ(state.particles[0].x, 450 + 10 * 0.1f * 2.0f);  // the boost speeds motion up
    }
    {
        MainWindowState state = StillState();
        state.activityBoost = 2.0f;
        state.lastProgressTick = 0;
        StepParticles(state, 0.1f);
        EXPECT_NEAR(state.activityBoost, 2.0f - 0.06f, 1e-5);
        StepParticles(state, 1.0f);
        EXPECT_NEAR(state.activityBoost, 2.0f - 0.66f, 1e-5);
        for (int i = 0; i < 5; ++i) StepParticles(state, 1.0f);
        EXPECT_FLOAT_EQ(state.activityBoost, 1.0f);
    }
    {
        MainWindowState state = StillState();
        state.activityBoost = 1.02f;
        state.lastProgressTick = 0;
        StepParticles(state, 0.1f);
        EXPECT_FLOAT_EQ(state.activityBoost, 1.0f);
    }
}

}  // namespace
