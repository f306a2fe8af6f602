#pragma once
// The looping background music (BGM\BG.MP3 beside the launcher) through MCI command strings.

#include <string>

struct MainWindowState;

// Opens and loops the music when the file exists; paused at once when muted.
void StartMusic(const std::wstring& launcherDir, bool muted);

// Volume to 0, stop, close; harmless when nothing is open.
void StopMusic();

// Flips state.bgmMuted, pauses or resumes, and stores BgmMuted as 0 or 1.
void ToggleMusicMute(MainWindowState& state);

// Observes every command string before it is sent (the command is still sent). For tests.
using MciCommandObserver = void (*)(const wchar_t* command);
void SetMciCommandObserver(MciCommandObserver observer);
