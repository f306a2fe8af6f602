#pragma once
// Names of the outside programs and of the values handed to them; fixed at build time.

// The game client and the settings program, both in the launcher's directory.
inline constexpr wchar_t kGameClientExe[] = L"Zorexe.exe";
inline constexpr wchar_t kSettingsExe[] = L"Setup.exe";

// Published in normal mode and inherited by every program the launcher starts.
inline constexpr wchar_t kEnvLauncherToken[] = L"KORVANE_LAUNCHER_TOKEN";
inline constexpr wchar_t kEnvLauncherPath[] = L"KORVANE_LAUNCHER_PATH";

// Read in notice mode.
inline constexpr wchar_t kEnvKickTitle[] = L"KORVANE_KICK_TITLE";
inline constexpr wchar_t kEnvKickBody[] = L"KORVANE_KICK_BODY";
inline constexpr wchar_t kEnvKickPid[] = L"KORVANE_KICK_PID";
