#pragma once
// The patch host's base URL, fixed when the executable is built (KORVANE_PATCH_BASE_URL).

// An http(s) URL whose path ends in "/patch/"; every request appends its suffix to it.
extern const wchar_t PatchBaseUrl[];
