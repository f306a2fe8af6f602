// The background music: the remembered mute switch in the registry and the MCI commands sent.
#include "Settings.h"
#include "ui/MainWindowState.h"
#include "ui/Music.h"

#include "TempDir.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <mmsystem.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::wstring> g_commands;

void RecordCommand(const wchar_t* command) {
    g_commands.push_back(command);
}

void DeleteBgmMuted() {
    testsupport::DeleteRegistryValue(L"BgmMuted");
}

bool SetValue(DWORD type, const void* data, DWORD size) {
    return testsupport::WriteRegistryValue(L"BgmMuted", type, data, size);
}

bool SetDword(DWORD value) {
    return SetValue(REG_DWORD, &value, sizeof(value));
}

// The stored value: its type and, for a DWORD, its number.
struct Stored {
    bool present = false;
    DWORD type = 0;
    DWORD value = 0;
};
Stored ReadStored() {
    const testsupport::RegistryValue raw = testsupport::ReadRegistryValue(L"BgmMuted");
    Stored stored;
    stored.present = raw.present;
    stored.type = raw.type;
    if (raw.bytes.size() >= sizeof(DWORD)) std::memcpy(&stored.value, raw.bytes.data(), sizeof(DWORD));
    return stored;
}

// A tiny valid RIFF/WAVE file: 0.2 s of 8 kHz 8-bit mono silence.
// A real MP3 (one second of a tone) from the test program's resources.
std::string ToneMp3() {
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1000), MAKEINTRESOURCEW(10));
    if (!resource) return std::string();
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    return std::string(bytes, SizeofResource(module, resource));
}

class MusicTest : public testing::Test {
protected:
    void SetUp() override {
        DeleteBgmMuted();
        g_commands.clear();
        SetMciCommandObserver(RecordCommand);
    }
    void TearDown() override {
        SetMciCommandObserver(nullptr);
        mciSendStringW(L"close launcherbgm", nullptr, 0, nullptr);
        DeleteBgmMuted();
    }
};

TEST_F(MusicTest, ReadsMutedOnlyFromANonZeroDword) {
    EXPECT_FALSE(ReadBgmMuted()) << "absent";
    const wchar_t one[] = L"1";
    ASSERT_TRUE(SetValue(REG_SZ, one, sizeof(one)));
    EXPECT_FALSE(ReadBgmMuted()) << "REG_SZ \"1\"";
    struct DwordCase {
        DWORD value;
        bool muted;
    };
    for (const DwordCase& c : {DwordCase{0, false}, DwordCase{1, true}, DwordCase{7, true}}) {
        ASSERT_TRUE(SetDword(c.value));
        EXPECT_EQ(ReadBgmMuted(), c.muted) << "DWORD " << c.value;
    }
}

TEST_F(MusicTest, ToggleStoresZeroOrOneAsDword) {
    ASSERT_TRUE(SetDword(7));
    MainWindowState state;
    state.bgmMuted = ReadBgmMuted();
    ASSERT_TRUE(state.bgmMuted);

    ToggleMusicMute(state);
    EXPECT_FALSE(state.bgmMuted);
    Stored stored = ReadStored();
    ASSERT_TRUE(stored.present);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored.value, 0u);

    ToggleMusicMute(state);
    EXPECT_TRUE(state.bgmMuted);
    stored = ReadStored();
    ASSERT_TRUE(stored.present);
    EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(stored.value, 1u);

    EXPECT_EQ(g_commands, (std::vector<std::wstring>{L"resume launcherbgm", L"pause launcherbgm"}));
}

TEST_F(MusicTest, MissingFileSendsNothingAtStartButToggleStillWorks) {
    testsupport::TempDir dir;
    StartMusic(dir.Path(), false);
    StartMusic(dir.Path(), true);
    EXPECT_TRUE(g_commands.empty()) << testsupport::Utf8(g_commands.empty() ? L"" : g_commands[0]);

    MainWindowState state;
    ToggleMusicMute(state);
    EXPECT_EQ(g_commands, std::vector<std::wstring>{L"pause launcherbgm"});
    const Stored stored = ReadStored();
    EXPECT_TRUE(stored.present);
    EXPECT_EQ(stored.value, 1u);
}

TEST_F(MusicTest, PresentFileIsOpenedPlayedPausedAndClosed) {
    for (bool muted : {false, true}) {
        SCOPED_TRACE(muted ? "muted" : "playing");
        testsupport::TempDir dir;
        ASSERT_TRUE(CreateDirectoryW((dir / L"BGM").c_str(), nullptr));
        ASSERT_TRUE(testsupport::WriteBytes(dir / L"BGM\\BG.MP3", ToneMp3()));
        g_commands.clear();

        StartMusic(dir.Path(), muted);
        ASSERT_FALSE(g_commands.empty());
        EXPECT_EQ(g_commands[0], L"open \"" + dir.Path() + L"BGM\\BG.MP3\" type mpegvideo alias launcherbgm");

        // The device is really open and playing (or paused), as the product asked.
        wchar_t mode[64] = {};
        ASSERT_EQ(mciSendStringW(L"status launcherbgm mode", mode, 64, nullptr), 0u) << "the open failed";
        EXPECT_EQ(std::wstring(mode), muted ? L"paused" : L"playing");
        std::vector<std::wstring> expected = {g_commands[0], L"setaudio launcherbgm volume to 200",
                                              L"play launcherbgm repeat"};
        if (muted) expected.push_back(L"pause launcherbgm");
        EXPECT_EQ(g_commands, expected);

        // Unmute and mute again through the toggle: resume, then pause.
        MainWindowState state;
        state.bgmMuted = muted;
        g_commands.clear();
        ToggleMusicMute(state);
        EXPECT_EQ(g_commands, (std::vector<std::wstring>{muted ? L"resume launcherbgm" : L"pause launcherbgm"}));
        ASSERT_EQ(mciSendStringW(L"status launcherbgm mode", mode, 64, nullptr), 0u);
        EXPECT_EQ(std::wstring(mode), muted ? L"playing" : L"paused");

        g_commands.clear();
        StopMusic();
        EXPECT_EQ(g_commands, (std::vector<std::wstring>{L"setaudio launcherbgm volume to 0", L"stop launcherbgm",
                                                         L"close launcherbgm"}));
        EXPECT_NE(mciSendStringW(L"status launcherbgm mode", mode, 64, nullptr), 0u) << "alias still open";
    }
}

}  // namespace
