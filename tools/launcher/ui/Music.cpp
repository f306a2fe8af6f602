#include "ui/Music.h"

#include "Settings.h"
#include "TextFormat.h"
#include "ui/MainWindowState.h"
#include "update/LocalFiles.h"

#include <mmsystem.h>

namespace {

constexpr wchar_t kMusicFile[] = L"BGM\\BG.MP3";
constexpr int kMusicVolume = 200;
constexpr std::size_t kCommandChars = 1024;

MciCommandObserver g_observer = nullptr;

MCIERROR SendMci(const std::wstring& command) {
    if (g_observer) g_observer(command.c_str());
    return mciSendStringW(command.c_str(), nullptr, 0, nullptr);
}

}  // namespace

void SetMciCommandObserver(MciCommandObserver observer) {
    g_observer = observer;
}

void StartMusic(const std::wstring& launcherDir, bool muted) {
    const std::wstring path = launcherDir + kMusicFile;
    // MCI opens it by name in this elevated process: only a file that is itself, not one a link leads to.
    if (!local_files::OpenToRead(path).Valid()) return;
    if (SendMci(FormatWideCut(kCommandChars, L"open \"%ls\" type mpegvideo alias launcherbgm", path.c_str())) != 0) {
        return;
    }
    SendMci(FormatWideCut(kCommandChars, L"setaudio launcherbgm volume to %d", kMusicVolume));
    SendMci(L"play launcherbgm repeat");
    if (muted) SendMci(L"pause launcherbgm");
}

void StopMusic() {
    SendMci(L"setaudio launcherbgm volume to 0");
    SendMci(L"stop launcherbgm");
    SendMci(L"close launcherbgm");
}

void ToggleMusicMute(MainWindowState& state) {
    const bool wasMuted = state.bgmMuted;
    state.bgmMuted = !wasMuted;
    SendMci(wasMuted ? L"resume launcherbgm" : L"pause launcherbgm");
    WriteBgmMuted(state.bgmMuted);
}
