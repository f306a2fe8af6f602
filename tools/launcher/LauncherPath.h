#pragma once
// The launcher's own executable: the one place that asks Windows where it runs from.

#include <string>

// Full path of the running executable, however long; empty when it cannot be read.
std::wstring GetLauncherExePath();

// The path cut after its last backslash (keeps the backslash); empty when the path holds none.
std::wstring LauncherDirFromPath(const std::wstring& modulePath);
