#pragma once
// What the launcher hands to the signed-in user's own desktop shell. The launcher runs as administrator,
// and a browser it started itself would run so too, with every page it then opens.

#include <string>

// Opens `target` (a web address) through the desktop's shell window, in the process of the shell that the
// user signed in to, so that the browser runs with the user's own rights. False when there is no such
// shell (another shell program, none running) or it refused: the caller must then not open it itself.
bool OpenAsDesktopUser(const std::wstring& target);
