#include "Settings.h"

#include "InstallationKey.h"
#include "LauncherPath.h"
#include "Win32Handles.h"
#include "common/ManifestFormat.h"
#include "update/DebugLog.h"

#include <bcrypt.h>

#include <cwchar>

namespace {

constexpr wchar_t kLauncherRegistryKey[] = L"Software\\Korvane\\Launcher";
constexpr wchar_t kBgmMutedValue[] = L"BgmMuted";
constexpr wchar_t kMaxDownloadValue[] = L"MaxDownloadKBps";
constexpr wchar_t kRolloutIdValue[] = L"RolloutId";
constexpr wchar_t kLastSelfUpdateShaValue[] = L"LastSelfUpdateSha";
constexpr wchar_t kLastManifestSequenceValue[] = L"LastManifestSequence";
constexpr wchar_t kLocalMirrorsValue[] = L"LocalMirrors";
constexpr DWORD kDigestReadChars = 160;
constexpr DWORD kMirrorsReadChars = 4096;

struct RegKeyTraits {
    static bool IsValid(HKEY key) { return key != nullptr; }
    static void Close(HKEY key) { RegCloseKey(key); }
};
// The launcher's key, opened or created under HKEY_CURRENT_USER or HKEY_LOCAL_MACHINE.
using ScopedRegKey = ScopedResource<HKEY, RegKeyTraits>;

bool OpenForReading(ScopedRegKey& key, HKEY root = HKEY_CURRENT_USER) {
    return RegOpenKeyExW(root, kLauncherRegistryKey, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

bool OpenForWriting(ScopedRegKey& key, HKEY root = HKEY_CURRENT_USER) {
    return RegCreateKeyExW(root, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr) ==
           ERROR_SUCCESS;
}

// ---- values per installation ----

// The name and the installation digest of the launcher's own folder: one value per installation, well
// inside a value name's limit.
std::wstring InstallationValueName(const wchar_t* name) {
    return std::wstring(name) + L" " + InstallationDigest(LauncherDirFromPath(GetLauncherExePath()));
}

// A REG_SZ digest as 64 lower-case hex digits; empty when it is not one.
std::string ReadDigest(HKEY root, const wchar_t* name) {
    ScopedRegKey key;
    if (!OpenForReading(key, root)) return std::string();
    wchar_t value[kDigestReadChars] = {};
    DWORD type = 0;
    DWORD bytes = (kDigestReadChars - 1) * sizeof(wchar_t);  // the last character always stays zero
    LONG result = RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();
    const std::string digest = manifest_format::FilterDigest(std::wstring_view(value));
    return digest.size() == manifest_format::kDigestHexLength ? digest : std::string();
}

void WriteDigest(HKEY root, const wchar_t* name, const std::string& digest) {
    ScopedRegKey key;
    if (!OpenForWriting(key, root)) return;
    std::wstring wide(digest.begin(), digest.end());
    RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

bool ReadSequence(HKEY root, const wchar_t* name, std::uint64_t* sequence) {
    ScopedRegKey key;
    if (!OpenForReading(key, root)) return false;
    std::uint64_t value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_QWORD || size != sizeof(value)) {
        return false;
    }
    *sequence = value;
    return true;
}

void WriteMachineSequence(const std::wstring& name, std::uint64_t sequence) {
    ScopedRegKey key;
    if (!OpenForWriting(key, HKEY_LOCAL_MACHINE)) return;
    RegSetValueExW(key.Get(), name.c_str(), 0, REG_QWORD, reinterpret_cast<const BYTE*>(&sequence), sizeof(sequence));
}

// A REG_DWORD of the player's key; false when absent or of another type.
bool ReadUserDword(const wchar_t* name, DWORD* value) {
    ScopedRegKey key;
    if (!OpenForReading(key)) return false;
    DWORD type = 0;
    DWORD size = sizeof(*value);
    return RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
           type == REG_DWORD && size == sizeof(*value);
}

void WriteUserDword(const wchar_t* name, DWORD value) {
    ScopedRegKey key;
    if (!OpenForWriting(key)) return;
    RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

}  // namespace

bool ReadBgmMuted() {
    DWORD value = 0;
    return ReadUserDword(kBgmMutedValue, &value) && value != 0;
}

void WriteBgmMuted(bool muted) {
    WriteUserDword(kBgmMutedValue, muted ? 1 : 0);
}

std::uint32_t ReadMaxDownloadKBps() {
    DWORD value = 0;
    return ReadUserDword(kMaxDownloadValue, &value) ? value : 0;
}

void WriteMaxDownloadKBps(std::uint32_t kibPerSecond) {
    WriteUserDword(kMaxDownloadValue, kibPerSecond);
}

std::string ReadLastSelfUpdateSha() {
    return ReadDigest(HKEY_LOCAL_MACHINE, InstallationValueName(kLastSelfUpdateShaValue).c_str());
}

void WriteLastSelfUpdateSha(const std::string& digest) {
    if (digest.size() != manifest_format::kDigestHexLength) return;
    WriteDigest(HKEY_LOCAL_MACHINE, InstallationValueName(kLastSelfUpdateShaValue).c_str(), digest);
    WriteDigest(HKEY_CURRENT_USER, kLastSelfUpdateShaValue, digest);
}

std::uint64_t ReadLastManifestSequence(std::uint64_t offered) {
    const std::wstring name = InstallationValueName(kLastManifestSequenceValue);
    std::uint64_t sequence = 0;
    if (ReadSequence(HKEY_LOCAL_MACHINE, name.c_str(), &sequence)) return sequence;
    // Launchers before kept it under the user's key, where any program the user runs could change it:
    // taken over once when it could be true, and from then on only the machine's value counts.
    if (!ReadSequence(HKEY_CURRENT_USER, kLastManifestSequenceValue, &sequence)) return 0;
    if (sequence > offered) {
        LogLine("[Launcher][updater] the user's LastManifestSequence %llu is higher than the manifest's %llu: "
                "ignored, not carried over\n",
                static_cast<unsigned long long>(sequence), static_cast<unsigned long long>(offered));
        return 0;
    }
    WriteMachineSequence(name, sequence);
    return sequence;
}

void WriteLastManifestSequence(std::uint64_t sequence) {
    WriteMachineSequence(InstallationValueName(kLastManifestSequenceValue), sequence);
}

std::wstring ReadLocalMirrors() {
    ScopedRegKey key;
    if (!OpenForReading(key, HKEY_LOCAL_MACHINE)) return std::wstring();
    std::wstring value(kMirrorsReadChars, L'\0');
    DWORD type = 0;
    DWORD bytes = (kMirrorsReadChars - 1) * sizeof(wchar_t);  // the last character always stays zero
    if (RegQueryValueExW(key.Get(), kLocalMirrorsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::wstring();
    }
    value.resize(wcslen(value.c_str()));
    return value;
}

// ---- the record that the game folder's tree was made safe ----

namespace {

constexpr wchar_t kGameFolderSecuredValue[] = L"GameFolderSecured";
constexpr DWORD kFolderIdentityBytes = sizeof(std::uint32_t) + sizeof(std::uint64_t);

// "GameFolderSecured " and the installation digest of the launcher's own folder.
std::wstring SecuredValueName() {
    return std::wstring(kGameFolderSecuredValue) + L" " + InstallationDigest(LauncherDirFromPath(GetLauncherExePath()));
}

}  // namespace

bool ReadGameFolderSecured(std::uint32_t* volumeSerial, std::uint64_t* fileIndex) {
    ScopedRegKey key;
    if (!OpenForReading(key, HKEY_LOCAL_MACHINE)) return false;
    BYTE value[kFolderIdentityBytes] = {};
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.Get(), SecuredValueName().c_str(), nullptr, &type, value, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size != sizeof(value)) {
        return false;
    }
    CopyMemory(volumeSerial, value, sizeof(*volumeSerial));
    CopyMemory(fileIndex, value + sizeof(*volumeSerial), sizeof(*fileIndex));
    return true;
}

void WriteGameFolderSecured(std::uint32_t volumeSerial, std::uint64_t fileIndex) {
    BYTE value[kFolderIdentityBytes] = {};
    CopyMemory(value, &volumeSerial, sizeof(volumeSerial));
    CopyMemory(value + sizeof(volumeSerial), &fileIndex, sizeof(fileIndex));
    ScopedRegKey key;
    if (!OpenForWriting(key, HKEY_LOCAL_MACHINE)) return;
    RegSetValueExW(key.Get(), SecuredValueName().c_str(), 0, REG_BINARY, value, sizeof(value));
}

void ForgetGameFolderSecured() {
    ScopedRegKey key;
    if (!OpenForWriting(key, HKEY_LOCAL_MACHINE)) return;
    RegDeleteValueW(key.Get(), SecuredValueName().c_str());
}

bool ReadOrMakeRolloutId(std::array<unsigned char, 16>* id) {
    const std::wstring name = InstallationValueName(kRolloutIdValue);
    ScopedRegKey reading;
    if (OpenForReading(reading, HKEY_LOCAL_MACHINE)) {
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(id->size());
        if (RegQueryValueExW(reading.Get(), name.c_str(), nullptr, &type, id->data(), &size) == ERROR_SUCCESS &&
            type == REG_BINARY && size == id->size()) {
            return true;
        }
    }
    if (BCryptGenRandom(nullptr, id->data(), static_cast<ULONG>(id->size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
        return false;
    }
    ScopedRegKey writing;
    return OpenForWriting(writing, HKEY_LOCAL_MACHINE) &&
           RegSetValueExW(writing.Get(), name.c_str(), 0, REG_BINARY, id->data(), static_cast<DWORD>(id->size())) ==
               ERROR_SUCCESS;
}
