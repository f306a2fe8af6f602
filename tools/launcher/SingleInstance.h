#pragma once
// One launcher per installation: a named mutex per launcher directory, the hand-off from a second start
// to the launcher that holds it, and the mark by which a launcher restarted after a self-update knows to
// wait for its predecessor instead of handing off to it.

#include "Win32Handles.h"

#include <windows.h>

#include <string>

// Inherited by the launcher that a self-update starts; removed by that launcher at once.
inline constexpr wchar_t kEnvRestartMark[] = L"KORVANE_LAUNCHER_RESTART";

// "Local\KorvaneLauncher-" and the directory's installation digest (InstallationKey.h): every spelling of
// one directory gives one name.
std::wstring InstanceMutexName(const std::wstring& launcherDir);

// This process's hold on its installation; let go on destruction.
class InstallationClaim {
public:
    InstallationClaim() = default;
    ~InstallationClaim() { Release(); }
    InstallationClaim(const InstallationClaim&) = delete;
    InstallationClaim& operator=(const InstallationClaim&) = delete;

    // Takes the mutex of launcherDir, waiting up to waitMs for a holder to let go (a holder that died
    // counts as gone). False while another launcher holds it. When the mutex cannot be made at all,
    // true without it: a launcher that cannot tell is better than none.
    bool Claim(const std::wstring& launcherDir, DWORD waitMs);
    // Lets go now, so that a launcher waiting for this one can go on.
    void Release();

private:
    ScopedHandle mutex_;
    bool owned_ = false;
};

// The event by which a second start asks a self-update's hand-over (running for launcherDir) to bring the
// restarted launcher to the front: InstanceMutexName followed by "-hand-over".
std::wstring HandOverEventName(const std::wstring& launcherDir);

// The event by which a hand-over's new executable tells the launcher that started it that it holds the
// hand-over's event too: InstanceMutexName followed by "-hand-over-ready".
std::wstring HandOverReadyEventName(const std::wstring& launcherDir);

// True while a self-update hands over for launcherDir (its event exists).
bool HandOverInProgress(const std::wstring& launcherDir);

// The event by which the launcher that a hand-over restarted says it holds the installation:
// InstanceMutexName followed by "-restarted". Until then the hand-over keeps its own event, so that a start
// in between hands off instead of running an update beside the restarted launcher.
std::wstring RestartClaimedEventName(const std::wstring& launcherDir);

// Says so, from the launcher a hand-over restarted, once it holds the installation; nothing when no
// hand-over waits.
void AnnounceRestartClaimed(const std::wstring& launcherDir);

// Waits up to waitMs for the visible main window of a launcher of another process running from
// launcherDir, then restores it if minimised and brings it to the front. During a hand-over it sets the
// hand-over's event instead and returns at once. False when neither appeared.
bool ShowRunningLauncher(const std::wstring& launcherDir, DWORD waitMs);

// Marks this process's environment, so that the launcher it starts next (which inherits it) knows that it
// is the restart after a self-update.
void MarkNextStartAsRestart();

// True when this process carries the restart mark; removes it, so that nothing it starts inherits it.
bool TakeRestartMark();
