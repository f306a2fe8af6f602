#pragma once
// Replaces the launcher's own executable with the one the manifest names.

#include "Manifest.h"

#include <windows.h>

#include <string>

// Downloads files/Launcher.exe to "<own path>.new", verifies it, swaps it in (keeping "<own path>.old")
// and posts WM_UPDATE_RESTART. True only then; false when up to date or on any failure, which always
// leaves a working executable at the own path.
bool RunSelfUpdate(HWND window, const Manifest& manifest);

// Full path of the running executable; empty when it cannot be read.
std::wstring GetLauncherExePath();

// LastSelfUpdateSha as 64 lower-case hex digits, or empty when absent or malformed.
std::string ReadLastSelfUpdateSha();

// Stores a 64-character digest as LastSelfUpdateSha; anything else is ignored.
void WriteLastSelfUpdateSha(const std::string& digest);
