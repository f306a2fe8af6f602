#pragma once
// Targets that another program holds open. On Windows a virus scanner opens each new file for a moment, and a
// running program's files cannot be replaced while it runs: such a move is tried again with back-off, each
// file for up to kHeldFileWaitMs and all files of a run together for up to kHeldRunWaitMs. A file still held
// then is put down with the program that holds it (asked of the Restart Manager), for the run's status line.

#include <windows.h>

#include <string>

constexpr DWORD kHeldFileWaitMs = 10000;
constexpr DWORD kHeldRunWaitMs = 60000;

// The waiting budget of a new run, and no file held; the updater calls it as a run begins.
void BeginHeldFilesRun();

// Moves the open ".part" `file` over `target` (local_files::MoveIntoPlace). While Windows refuses because the
// target is in use (a sharing violation, a lock, or access denied for a target that is not read-only), waits
// and tries again within the budgets. False, with GetLastError set, when the move never succeeded; a target
// still in use is then recorded with its holder (HeldBy) and logged with the holder's process id.
bool PlaceWhenReleased(HANDLE file, const std::wstring& target, const wchar_t* name);

// The name of the program that held `target` when this run gave it up; false when no move to it was given up
// for being in use. A holder that the Restart Manager cannot name reads as kUnknownHolder.
bool HeldBy(const std::wstring& target, std::wstring* program);
