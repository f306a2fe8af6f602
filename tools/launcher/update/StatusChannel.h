#pragma once
// The messages by which update code on any thread reports to the main window, and the only code in the
// update engine that posts them. Messages are only posted, never sent: no sender waits for the window.

#include <windows.h>

#include <map>
#include <memory>
#include <string>

// wParam: percent 0..100.
constexpr UINT WM_UPDATE_PROGRESS = WM_APP + 1;
// wParam: heap text (HeapAlloc on the process heap); the window frees it with FreeStatusText.
constexpr UINT WM_UPDATE_STATUS = WM_APP + 2;
// wParam: 0 = the game may be started, 1 = it may not.
constexpr UINT WM_UPDATE_FINISHED = WM_APP + 3;
// The launcher replaced itself; the window starts the new executable and quits.
constexpr UINT WM_UPDATE_RESTART = WM_APP + 5;
// wParam: heap ProgramDigests (new); the window takes it with TakeProgramDigests.
constexpr UINT WM_UPDATE_PROGRAMS = WM_APP + 6;

// The digests the accepted manifest gives the programs that the window starts, by their file name.
using ProgramDigests = std::map<std::wstring, std::string>;

// The longest status text, in characters, terminator included; longer texts are cut.
constexpr int kStatusTextChars = 1024;

// Formats a status text (swprintf rules, cut at 1023 characters) and posts a heap copy as
// WM_UPDATE_STATUS. Does nothing for a null window; frees the copy itself when the post fails.
void PostStatusText(HWND window, const wchar_t* format, ...);

// Posts WM_UPDATE_PROGRESS with the percent; a failed post is simply lost.
void PostProgress(HWND window, unsigned percent);

// One sender's progress (one download, one file check): posts WM_UPDATE_PROGRESS only when the percent
// differs from the last one this sender posted, so a sender reports at most 101 times however often it
// is called. A failed post is not remembered: the next call tries that percent again.
class ProgressPoster {
public:
    void Post(HWND window, unsigned percent);

private:
    long long lastPosted_ = -1;
};

// Posts WM_UPDATE_FINISHED: wParam 0 when the game may be started, 1 when it may not. A post refused by a
// full queue is tried again for up to 5 s, because a lost one would leave the start button disabled for
// good; a window that is gone is not waited for. False when it was not posted (or the window is null).
bool PostFinished(HWND window, bool gameMayStart);

// Posts WM_UPDATE_RESTART, the last message of a run that replaced the launcher, retried like
// PostFinished. False when it was not posted.
bool PostRestart(HWND window);

// Posts WM_UPDATE_PROGRAMS with a heap copy of `digests`, freed here when the post fails.
void PostProgramDigests(HWND window, const ProgramDigests& digests);

// Takes ownership of the digests received with WM_UPDATE_PROGRAMS; null stays null.
std::unique_ptr<ProgramDigests> TakeProgramDigests(WPARAM digests);

// Releases a text received with WM_UPDATE_STATUS; null is harmless.
void FreeStatusText(WPARAM text);
