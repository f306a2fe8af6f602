#include "ScreenCapture.h"

#include <objidl.h>
#include <gdiplus.h>

namespace testsupport {

Capture RenderOffscreen(int width, int height, const std::function<void(HDC)>& paint) {
    Capture capture;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib && bits) {
        HGDIOBJ old = SelectObject(memory, dib);
        paint(memory);
        GdiFlush();
        SelectObject(memory, old);
        capture.width = width;
        capture.height = height;
        const std::uint32_t* p = static_cast<const std::uint32_t*>(bits);
        capture.pixels.assign(p, p + static_cast<std::size_t>(width) * height);
        for (std::uint32_t& px : capture.pixels) px &= 0x00FFFFFF;
    }
    if (dib) DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return capture;
}

Capture CaptureScreen(const RECT& rect) {
    HDC screen = GetDC(nullptr);
    Capture capture = RenderOffscreen(rect.right - rect.left, rect.bottom - rect.top, [&](HDC memory) {
        BitBlt(memory, 0, 0, rect.right - rect.left, rect.bottom - rect.top, screen, rect.left, rect.top, SRCCOPY);
    });
    ReleaseDC(nullptr, screen);
    return capture;
}

bool SavePng(const Capture& capture, const std::wstring& path) {
    if (capture.width == 0) return false;
    std::vector<std::uint32_t> opaque(capture.pixels);
    for (std::uint32_t& px : opaque) px |= 0xFF000000;
    Gdiplus::Bitmap bitmap(capture.width, capture.height, capture.width * 4, PixelFormat32bppARGB,
                           reinterpret_cast<BYTE*>(opaque.data()));
    CLSID png;
    CLSIDFromString(L"{557CF406-1A04-11D3-9A73-0000F81EF32E}", &png);
    return bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
}

ColourStats Stats(const Capture& capture, const RECT& rect) {
    ColourStats stats;
    double n = 0;
    for (int y = rect.top; y < rect.bottom; ++y) {
        for (int x = rect.left; x < rect.right; ++x) {
            std::uint32_t px = capture.At(x, y);
            int r = (px >> 16) & 255, g = (px >> 8) & 255, b = px & 255;
            stats.red += r;
            stats.green += g;
            stats.blue += b;
            stats.saturation += std::max(r, std::max(g, b)) - std::min(r, std::min(g, b));
            n += 1;
        }
    }
    if (n > 0) {
        stats.red /= n;
        stats.green /= n;
        stats.blue /= n;
        stats.saturation /= n;
        stats.brightness = (stats.red + stats.green + stats.blue) / 3;
    }
    return stats;
}

void MoveMouseTo(int x, int y) {
    SetCursorPos(x, y);
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dx = x * 65535 / (GetSystemMetrics(SM_CXSCREEN) - 1);
    input.mi.dy = y * 65535 / (GetSystemMetrics(SM_CYSCREEN) - 1);
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    SendInput(1, &input, sizeof(input));
}

void MouseDown() {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    SendInput(1, &input, sizeof(input));
}

void MouseUp() {
    INPUT input = {};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(1, &input, sizeof(input));
}

void RightClick() {
    INPUT inputs[2] = {};
    inputs[0].type = inputs[1].type = INPUT_MOUSE;
    inputs[0].mi.dwFlags = MOUSEEVENTF_RIGHTDOWN;
    inputs[1].mi.dwFlags = MOUSEEVENTF_RIGHTUP;
    SendInput(2, inputs, sizeof(INPUT));
}

void PressKey(WORD virtualKey, bool withAlt) {
    PressKeyWith(withAlt ? VK_MENU : 0, virtualKey);
}

void PressKeyWith(WORD modifier, WORD virtualKey) {
    std::vector<INPUT> inputs;
    auto key = [&](WORD vk, bool up) {
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(input);
    };
    if (modifier) key(modifier, false);
    key(virtualKey, false);
    key(virtualKey, true);
    if (modifier) key(modifier, true);
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

}  // namespace testsupport
