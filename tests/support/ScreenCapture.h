#pragma once
// Pixels for the Windows test programs: screen and off-screen captures, their colours, PNG files, and real
// mouse and keyboard input through SendInput.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// Captures a screen rectangle as 32-bit BGRA rows (top-down); empty on failure.
struct Capture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;  // 0x00RRGGBB
    std::uint32_t At(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};
Capture CaptureScreen(const RECT& rect);
// Lets `paint` draw into an off-screen 32-bit bitmap of the given size and returns its pixels.
Capture RenderOffscreen(int width, int height, const std::function<void(HDC)>& paint);
// Writes a capture as PNG through GDI+ (GDI+ must be running).
bool SavePng(const Capture& capture, const std::wstring& path);
// Mean of red, green, blue and "saturation" (max-min of the channels) over a rectangle of a capture.
struct ColourStats {
    double red = 0, green = 0, blue = 0, saturation = 0, brightness = 0;
};
ColourStats Stats(const Capture& capture, const RECT& rect);

// Real input through SendInput: move the cursor to a screen point, press, release.
void MoveMouseTo(int x, int y);
void MouseDown();
void MouseUp();
// The right button pressed and released where the cursor is.
void RightClick();
// A key pressed and released, with Alt held around it on request.
void PressKey(WORD virtualKey, bool withAlt = false);
// A key pressed and released with `modifier` (VK_SHIFT, VK_MENU, ...; 0: none) held around it.
void PressKeyWith(WORD modifier, WORD virtualKey);

}  // namespace testsupport
