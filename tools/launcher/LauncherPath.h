#pragma once
// The launcher's own executable: the one place that asks Windows where it runs from.

#include <windows.h>

#include <string>

// Appended to the launcher's own path: the new executable that a self-update downloads and runs from for
// its hand-over.
inline constexpr wchar_t kNewLauncherSuffix[] = L".new";

// Full path of the running executable as the file system names it (long names, links resolved: the game
// folder itself may be a link), however long; empty when it cannot be read.
std::wstring GetLauncherExePath();

// The path of an open file or folder as the file system names it, without "\\?\"; empty when Windows
// cannot tell.
std::wstring FinalPathOfHandle(HANDLE file);

// The path without a leading "\\?\" ("\\?\UNC\" becomes "\\").
std::wstring WithoutLongPrefix(const std::wstring& path);

// The path cut after its last backslash (keeps the backslash); empty when the path holds none.
std::wstring LauncherDirFromPath(const std::wstring& modulePath);
