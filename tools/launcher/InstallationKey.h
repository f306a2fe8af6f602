#pragma once
// One key per game installation: every spelling of the installation's folder (relative, 8.3 names,
// letter case, deeper than MAX_PATH, with or without a trailing separator) gives the same key. The
// single-instance mutex, the client check and the registry's per-installation values all go by it.

#include <windows.h>

#include <string>

// The folder's full path with short (8.3) names expanded, one trailing separator, folded with the file
// names' case fold. A folder that does not exist keeps its spelling (full, folded).
std::wstring InstallationKey(const std::wstring& directory);

// 16 lower-case hex digits of a 64-bit FNV-1a hash of the key's UTF-16 units: short and stable enough
// for a mutex or a registry value name.
std::wstring InstallationDigest(const std::wstring& directory);

// The key of the folder the process's image runs from; empty when the process cannot be opened or its
// image path read.
std::wstring ProcessInstallationKey(DWORD processId);
