#include "update/PatchHost.h"

// Each executable compiles this file with its own base URL.
#ifndef KORVANE_PATCH_BASE_URL_W
#error "KORVANE_PATCH_BASE_URL_W must be defined by the build"
#endif

extern const wchar_t PatchBaseUrl[] = KORVANE_PATCH_BASE_URL_W;
