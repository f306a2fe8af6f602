#include "Settings.h"

#include "Win32Handles.h"
#include "common/ManifestFormat.h"

namespace {

constexpr wchar_t kLauncherRegistryKey[] = L"Software\\Korvane\\Launcher";
constexpr wchar_t kBgmMutedValue[] = L"BgmMuted";
constexpr wchar_t kLastSelfUpdateShaValue[] = L"LastSelfUpdateSha";
constexpr wchar_t kLastManifestSequenceValue[] = L"LastManifestSequence";
constexpr DWORD kDigestReadChars = 160;

struct RegKeyTraits {
    static bool IsValid(HKEY key) { return key != nullptr; }
    static void Close(HKEY key) { RegCloseKey(key); }
};
// A key opened or created under HKEY_CURRENT_USER.
using ScopedRegKey = ScopedResource<HKEY, RegKeyTraits>;

bool OpenForReading(ScopedRegKey& key) {
    return RegOpenKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, KEY_READ, key.Receive()) == ERROR_SUCCESS;
}

bool OpenForWriting(ScopedRegKey& key) {
    return RegCreateKeyExW(HKEY_CURRENT_USER, kLauncherRegistryKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(),
                           nullptr) == ERROR_SUCCESS;
}

}  // namespace

bool ReadBgmMuted() {
    ScopedRegKey key;
    if (!OpenForReading(key)) return false;
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.Get(), kBgmMutedValue, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return false;
    }
    return value != 0;
}

void WriteBgmMuted(bool muted) {
    ScopedRegKey key;
    if (!OpenForWriting(key)) return;
    const DWORD stored = muted ? 1 : 0;
    RegSetValueExW(key.Get(), kBgmMutedValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&stored), sizeof(stored));
}

std::string ReadLastSelfUpdateSha() {
    ScopedRegKey key;
    if (!OpenForReading(key)) return std::string();
    wchar_t value[kDigestReadChars] = {};
    DWORD type = 0;
    DWORD bytes = (kDigestReadChars - 1) * sizeof(wchar_t);  // the last character always stays zero
    LONG result = RegQueryValueExW(key.Get(), kLastSelfUpdateShaValue, nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &bytes);
    if (result != ERROR_SUCCESS || type != REG_SZ) return std::string();

    const std::string digest = manifest_format::FilterDigest(std::wstring_view(value));
    return digest.size() == manifest_format::kDigestHexLength ? digest : std::string();
}

void WriteLastSelfUpdateSha(const std::string& digest) {
    if (digest.size() != manifest_format::kDigestHexLength) return;
    ScopedRegKey key;
    if (!OpenForWriting(key)) return;
    std::wstring wide(digest.begin(), digest.end());
    RegSetValueExW(key.Get(), kLastSelfUpdateShaValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(wide.c_str()),
                   static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

std::uint64_t ReadLastManifestSequence() {
    ScopedRegKey key;
    if (!OpenForReading(key)) return 0;
    std::uint64_t value = 0;
    DWORD type = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key.Get(), kLastManifestSequenceValue, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS ||
        type != REG_QWORD || size != sizeof(value)) {
        return 0;
    }
    return value;
}

void WriteLastManifestSequence(std::uint64_t sequence) {
    ScopedRegKey key;
    if (!OpenForWriting(key)) return;
    RegSetValueExW(key.Get(), kLastManifestSequenceValue, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&sequence),
                   sizeof(sequence));
}
