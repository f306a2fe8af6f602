#pragma once
// One launcher per installation: a named mutex per launcher directory, the hand-off from a second start
// to the launcher that holds it, and the signal by which a launcher restarted after a self-update knows to
// wait for its predecessor instead of handing off to it. Every object here is one that only an
// administrator can have made (NamedObjects.h): one that another program made under the name is ignored.

#include "Win32Handles.h"

#include <windows.h>

#include <string>

// "Local\KorvaneLauncher-" and the directory's installation digest (InstallationKey.h): every spelling of
// one directory gives one name.
std::wstring InstanceMutexName(const std::wstring& launcherDir);

// The lock file that stands in for the mutex when another program holds its name, in the launcher directory.
inline constexpr wchar_t kInstanceLockName[] = L"korvane-launcher.lock";

// This process's hold on its installation; let go on destruction.
class InstallationClaim {
public:
    InstallationClaim() = default;
    ~InstallationClaim() { Release(); }
    InstallationClaim(const InstallationClaim&) = delete;
    InstallationClaim& operator=(const InstallationClaim&) = delete;

    // Takes the mutex of launcherDir, waiting up to waitMs for a holder to let go (a holder that died
    // counts as gone). False while another launcher holds it. When a program that is not a launcher holds
    // the mutex's name, it logs so and holds kInstanceLockName in launcherDir instead, with the same wait;
    // a lock file held by no running launcher of the folder does not stop it. When neither can be made at
    // all, true without them: a launcher that cannot tell is better than none.
    bool Claim(const std::wstring& launcherDir, DWORD waitMs);
    // Lets go now, so that a launcher waiting for this one can go on.
    void Release();

private:
    bool ClaimLockFile(const std::wstring& launcherDir, DWORD waitMs);

    ScopedHandle mutex_;
    ScopedHandle lockFile_;
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

// How the process was started: by the user, or by a self-update's hand-over.
enum class RestartKind {
    None,
    Restarted,   // the new launcher, after the hand-over replaced the old one
    RolledBack   // the old launcher again, after the hand-over could not replace it
};

// In the hand-over, for the process `processId` it has made suspended: an event named after that process,
// InstanceMutexName followed by "-restarted-<id>" or "-rolled-back-<id>", made by an administrator. It
// lasts while `*signal` holds it. False when it could not be made (the name was taken).
bool SignalRestart(const std::wstring& launcherDir, DWORD processId, RestartKind kind, ScopedHandle* signal);

// What the hand-over that started this process said of it; None for every other start, whatever the
// environment or the command line. Read once, at the start of the process.
RestartKind ReadRestartSignal(const std::wstring& launcherDir);
