#pragma once
// Replaces the launcher's own executable with the one the manifest names.

#include "update/Manifest.h"

#include <windows.h>

#include <string>
#include <vector>

// Downloads files/Launcher.exe (from the first of `hosts` that delivers it) to "<own path>.new", verifies
// it, swaps it in (keeping "<own path>.old") and posts WM_UPDATE_RESTART. True only then; false when up to
// date or on any failure, which always leaves a working executable at the own path.
bool RunSelfUpdate(HWND window, const Manifest& manifest, const std::vector<std::wstring>& hosts);
