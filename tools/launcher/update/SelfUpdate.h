#pragma once
// Replaces the launcher's own executable with the one the manifest names.

#include "update/Manifest.h"

#include <windows.h>

#include <string>
#include <vector>

// The first argument by which the new executable finishes a self-update: "--hand-over <process id>".
inline constexpr wchar_t kHandOverArgument[] = L"--hand-over";

// Downloads files/Launcher.exe (from the first of `hosts` that delivers it) to "<own path>.new", verifies
// it and posts WM_UPDATE_RESTART. True only then; false when up to date, after a failed hand-over (it posts
// the rollback status then and removes the new file) or on any failure. The own path is never touched.
bool RunSelfUpdate(HWND window, const Manifest& manifest, const std::vector<std::wstring>& hosts);

// Tells the update run of this process that the hand-over that started it could not replace it
// (ReadRestartSignal): the run says so once, removes the new file and tries again only at the next start.
void NoteRolledBackStart();

// Starts "<own path>.new --hand-over <this process id>", checked against the digest that RunSelfUpdate
// verified, and logs it. False when no new executable was verified in this process, or it could not be
// started.
bool StartHandOver();

// Run by "<path>.new" started with kHandOverArgument: waits for the launcher's installation claim and for
// oldProcessId to end (10 s at most each), replaces <path> with its own file in one rename (retried for
// about 3 s), writes LastSelfUpdateSha and starts <path> as a restart (SignalRestart). When the rename keeps
// failing it logs the rollback and starts the old <path> again, signalled so that its run reports it and
// removes the new file. Either file is started only with the digest it had while its process ran. False,
// having done nothing, when this process does not run from a ".new" file.
bool CompleteHandOver(DWORD oldProcessId);
