#pragma once
// The update run on its own thread: manifest, self-update, file check, downloads, outcome.

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

// Handed to UpdaterThread on the heap; the thread owns and deletes it.
struct UpdaterThreadArgs {
    HWND notifyWindow = nullptr;
    std::wstring launcherDir;               // with its trailing backslash
    std::vector<std::wstring> patchHosts;   // base URLs, in the order to try them
    std::vector<std::string> manifestKeys;  // public keys the manifest must be signed with; empty: not checked
    bool fullCheck = false;                 // hash every file even when the manifest allows the quick check
};

// True while an update run is active: set by whoever starts the thread with a compare-exchange from
// false, cleared by the run at every end after its last message.
extern std::atomic<bool> UpdaterRunning;

// Thread routine: one whole update run reported to args->notifyWindow; ends with WM_UPDATE_FINISHED
// (or WM_UPDATE_RESTART after a self-update) and clears UpdaterRunning. Always returns 0.
DWORD WINAPI UpdaterThread(void* args);

// True when a "Zorexe.exe" (ASCII case ignored) runs from this executable's installation, however either
// path is spelled (InstallationKey.h).
bool CheckGameRunning();
