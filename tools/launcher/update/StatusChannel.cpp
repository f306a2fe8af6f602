#include "update/StatusChannel.h"

#include "TextFormat.h"

#include <cstdarg>
#include <cwchar>

namespace {

constexpr DWORD kFinalPostRetryMs = 5000;
constexpr DWORD kFinalPostPauseMs = 20;

// The last message of a run must arrive. Windows refuses a post while the window's queue is full (a UI
// thread busy in the shell for a second while four workers report); that passes, a destroyed window does
// not.
bool PostFinalMessage(HWND window, UINT message, WPARAM wParam) {
    if (!window) return false;
    const DWORD start = GetTickCount();
    for (;;) {
        if (PostMessageW(window, message, wParam, 0)) return true;
        if (!IsWindow(window) || GetTickCount() - start >= kFinalPostRetryMs) return false;
        Sleep(kFinalPostPauseMs);
    }
}

}  // namespace

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

void ProgressPoster::Post(HWND window, unsigned percent) {
    if (static_cast<long long>(percent) == lastPosted_) return;
    if (PostMessageW(window, WM_UPDATE_PROGRESS, static_cast<WPARAM>(percent), 0)) lastPosted_ = percent;
}

bool PostFinished(HWND window, bool gameMayStart) {
    return PostFinalMessage(window, WM_UPDATE_FINISHED, gameMayStart ? 0 : 1);
}

bool PostRestart(HWND window) {
    return PostFinalMessage(window, WM_UPDATE_RESTART, 0);
}

void PostProgramDigests(HWND window, const ProgramDigests& digests) {
    if (!window) return;
    auto copy = std::make_unique<ProgramDigests>(digests);
    if (PostMessageW(window, WM_UPDATE_PROGRAMS, reinterpret_cast<WPARAM>(copy.get()), 0)) copy.release();
}

std::unique_ptr<ProgramDigests> TakeProgramDigests(WPARAM digests) {
    return std::unique_ptr<ProgramDigests>(reinterpret_cast<ProgramDigests*>(digests));
}

void FreeStatusText(WPARAM text) {
    if (text) HeapFree(GetProcessHeap(), 0, reinterpret_cast<void*>(text));
}
