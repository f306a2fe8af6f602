#include "update/StatusChannel.h"

#include "TextFormat.h"

#include <cstdarg>
#include <cwchar>

void PostStatusText(HWND window, const wchar_t* format, ...) {
    if (!window) return;
    va_list args;
    va_start(args, format);
    const std::wstring text = FormatWideCutV(kStatusTextChars, format, args);
    va_end(args);
    wchar_t* copy = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, (text.size() + 1) * sizeof(wchar_t)));
    if (!copy) return;
    wmemcpy(copy, text.c_str(), text.size() + 1);
    if (!PostMessageW(window, WM_UPDATE_STATUS, reinterpret_cast<WPARAM>(copy), 0)) {
        HeapFree(GetProcessHeap(), 0, copy);
    }
}

void PostProgress(HWND window, unsigned percent) {
    PostMessageW(window, WM_UPDATE_PROGRESS, static_cast<WPARAM>(percent), 0);
}

void PostFinished(HWND window, bool gameMayStart) {
    PostMessageW(window, WM_UPDATE_FINISHED, gameMayStart ? 0 : 1, 0);
}

void PostRestart(HWND window) {
    PostMessageW(window, WM_UPDATE_RESTART, 0, 0);
}

void FreeStatusText(WPARAM text) {
    if (text) HeapFree(GetProcessHeap(), 0, reinterpret_cast<void*>(text));
}
