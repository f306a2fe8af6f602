#pragma once
// The launcher's log for support: every debug line also goes, with its local date and time, to
// logs\launcher.log below the game folder (UTF-8). Three files of at most kLogFileBytes each are kept
// (launcher.log, launcher.log.1, launcher.log.2). Lines written before the file is open are kept in memory
// (up to kLogBacklogBytes) and written first. The file is written through the file layer, never through a
// link; a log that cannot be opened leaves the lines to the debugger alone.

#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint64_t kLogFileBytes = 1024 * 1024;
constexpr int kLogFilesKept = 3;
constexpr std::size_t kLogBacklogBytes = 64 * 1024;
inline constexpr wchar_t kLogFolderName[] = L"logs";
inline constexpr wchar_t kLogFileName[] = L"launcher.log";

// Opens the log of the game folder `launcherDir` (ending in a separator) and begins it with one line: the
// launcher's version and digest, the Windows version, the folder and the patch hosts `hosts`. False when
// the file cannot be made or opened.
bool OpenLauncherLog(const std::wstring& launcherDir, const std::vector<std::wstring>& hosts);

// Appends one line as the debugger received it (in the ANSI code page, or wide), with its date and time.
void AppendToLog(const char* line);
void AppendToLog(const wchar_t* line);

// A text that never reaches the log file (the run token): replaced by "***" in every line written after.
void KeepOutOfLog(const std::wstring& secret);
