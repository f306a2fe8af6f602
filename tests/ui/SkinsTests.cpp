// The skins compiled into the executable and the premultiplied copies the layered splash is made of.
#include "res/resource.h"
#include "ui/Skins.h"

#include <objidl.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace {

// ---- CopyPremultiplied ----

std::unique_ptr<Gdiplus::Bitmap> SolidBitmap(int width, int height, const Gdiplus::Color& colour) {
    auto bitmap = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppARGB);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) bitmap->SetPixel(x, y, colour);
    }
    return bitmap;
}

struct PixelCase {
    const char* name;
    BYTE alpha, red, green, blue;
    BYTE opacity;
    BYTE expectB, expectG, expectR, expectA;
};

TEST(CopyPremultiplied, ScalesColourAndAlphaByPixelAlphaAndOpacity) {
    const PixelCase cases[] = {
        {"opaque white at half opacity", 255, 255, 255, 255, 128, 128, 128, 128, 128},
        {"half-alpha white at full opacity", 128, 255, 255, 255, 255, 128, 128, 128, 128},
        {"half-alpha white at zero opacity", 128, 255, 255, 255, 0, 0, 0, 0, 0},
        {"opaque colour at full opacity", 255, 200, 100, 50, 255, 50, 100, 200, 255},
        {"transparent pixel at full opacity", 0, 255, 255, 255, 255, 0, 0, 0, 0},
    };
    for (const PixelCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto bitmap = SolidBitmap(1, 1, Gdiplus::Color(c.alpha, c.red, c.green, c.blue));
        BYTE out[4] = {7, 7, 7, 7};
        CopyPremultiplied(bitmap.get(), out, 1, 1, c.opacity);
        EXPECT_EQ(out[0], c.expectB);
        EXPECT_EQ(out[1], c.expectG);
        EXPECT_EQ(out[2], c.expectR);
        EXPECT_EQ(out[3], c.expectA);
    }
}

TEST(CopyPremultiplied, LargerDestinationKeepsItsFillOutsideTheImage) {
    auto bitmap = SolidBitmap(2, 2, Gdiplus::Color(255, 255, 255, 255));
    const int w = 4, h = 3;
    std::vector<std::uint32_t> dest(w * h, 0);
    CopyPremultiplied(bitmap.get(), dest.data(), w, h, 255);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            SCOPED_TRACE(testing::Message() << "x=" << x << " y=" << y);
            const bool inside = x < 2 && y < 2;
            EXPECT_EQ(dest[y * w + x], inside ? 0xFFFFFFFFu : 0u);
        }
    }
}

TEST(CopyPremultiplied, SmallerDestinationGetsOnlyItsOwnRowsAndColumns) {
    auto bitmap = SolidBitmap(5, 4, Gdiplus::Color(255, 255, 255, 255));
    const int w = 2, h = 3;
    // The destination, then a guard region that must stay untouched.
    std::vector<std::uint32_t> buffer(w * h + 64, 0xABABABABu);
    for (int i = 0; i < w * h; ++i) buffer[i] = 0;
    CopyPremultiplied(bitmap.get(), buffer.data(), w, h, 255);
    for (int i = 0; i < w * h; ++i) EXPECT_EQ(buffer[i], 0xFFFFFFFFu) << "pixel " << i;
    for (std::size_t i = w * h; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xABABABABu) << "guard " << i;
}

// ---- skins ----

TEST(LoadPngResource, EverySkinLoadsWithItsSize) {
    struct SkinCase {
        int id;
        UINT width, height;
    };
    const SkinCase skins[] = {
        {IDR_LOGO_PNG, 700, 300},
        {IDR_BACKGROUND_PNG, 924, 574},
        {IDR_COMMUNITY_NORMAL_PNG, 300, 95},
        {IDR_COMMUNITY_HOVER_PNG, 300, 95},
        {IDR_COMMUNITY_PRESSED_PNG, 300, 95},
        {IDR_SETTINGS_NORMAL_PNG, 109, 97},
        {IDR_SETTINGS_HOVER_PNG, 109, 97},
        {IDR_SETTINGS_PRESSED_PNG, 109, 97},
        {IDR_START_NORMAL_PNG, 363, 108},
        {IDR_START_HOVER_PNG, 363, 108},
        {IDR_START_PRESSED_PNG, 363, 108},
        {IDR_CLOSE_NORMAL_PNG, 32, 38},
        {IDR_CLOSE_HOVER_PNG, 32, 38},
        {IDR_CLOSE_PRESSED_PNG, 32, 38},
        {IDR_MENU_NORMAL_PNG, 40, 30},
        {IDR_MENU_HOVER_PNG, 40, 30},
        {IDR_MENU_PRESSED_PNG, 40, 30},
        {IDR_PROGRESS_TRACK_PNG, 527, 13},
        {IDR_PROGRESS_FILL_PNG, 527, 13},
    };
    for (const SkinCase& skin : skins) {
        SCOPED_TRACE(testing::Message() << "id " << skin.id);
        SkinBitmap bitmap = LoadPngResource(skin.id);
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->GetWidth(), skin.width);
        EXPECT_EQ(bitmap->GetHeight(), skin.height);
    }
}

TEST(LoadPngResource, MissingIdGivesNull) {
    ASSERT_EQ(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(4321), MAKEINTRESOURCEW(10)), nullptr);
    EXPECT_EQ(LoadPngResource(4321), nullptr);
}

TEST(LoadPngResource, DataThatIsNotAnImageGivesNull) {
    // 999 is an RCDATA of plain text compiled into the test program (TestResources.rc).
    ASSERT_NE(FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(999), MAKEINTRESOURCEW(10)), nullptr);
    EXPECT_EQ(LoadPngResource(999), nullptr);
}

}  // namespace
