#pragma once
// The launcher's remembered values under Software\Korvane\Launcher: the only code that reads or writes
// the registry. The player's choices (BgmMuted, MaxDownloadKBps) live under HKEY_CURRENT_USER; whatever steers an update
// run lives under HKEY_LOCAL_MACHINE, out of reach of programs that are not elevated. An unreadable value
// counts as absent; a failed write is ignored.

#include <array>
#include <cstdint>
#include <string>

// BgmMuted: true only for a non-zero REG_DWORD.
bool ReadBgmMuted();
// Stores BgmMuted as a REG_DWORD of 1 or 0.
void WriteBgmMuted(bool muted);

// MaxDownloadKBps: the player's download speed limit in KiB/s (REG_DWORD under HKEY_CURRENT_USER; 0 or
// absent: no limit). A preference of the player's, not a decision of trust.
std::uint32_t ReadMaxDownloadKBps();
// Stores it.
void WriteMaxDownloadKBps(std::uint32_t kibPerSecond);

// LastSelfUpdateSha: the digest of the launcher a hand-over last put in place, which keeps a manifest naming
// that launcher from fetching it again. Kept per installation under HKEY_LOCAL_MACHINE, as
// "LastSelfUpdateSha " + the installation digest of the launcher's folder (InstallationKey.h), where no
// program without administrator rights can set it and so stop every self-update. 64 lower-case hex digits
// (other characters dropped), or empty when absent, not REG_SZ, or not exactly 64 digits.
std::string ReadLastSelfUpdateSha();
// Stores a 64-character digest there (REG_SZ), and under HKEY_CURRENT_USER as "LastSelfUpdateSha" for
// whatever reads it there; that copy never decides anything. Anything else is ignored.
void WriteLastSelfUpdateSha(const std::string& digest);

// LastManifestSequence: the highest SEQUENCE of a signed manifest this installation accepted, a REG_QWORD
// under HKEY_LOCAL_MACHINE named "LastManifestSequence " + the installation digest of the launcher's folder.
// When that is absent, the HKEY_CURRENT_USER value "LastManifestSequence" of earlier launchers is carried
// over into it, but only when it is no higher than `offered`, the sequence of the manifest being judged:
// any program of the user could have raised it to stop every update. A higher one is ignored with a log
// line. 0 when there is nothing to go by.
std::uint64_t ReadLastManifestSequence(std::uint64_t offered);
// Stores it as this installation's REG_QWORD under HKEY_LOCAL_MACHINE; the user's value is left alone.
void WriteLastManifestSequence(std::uint64_t sequence);

// LocalMirrors: the machine's local caches as the administrator wrote them (REG_SZ under HKEY_LOCAL_MACHINE,
// base URLs separated by ';'), unchecked; empty when absent or not REG_SZ.
std::wstring ReadLocalMirrors();

// GameFolderSecured: the identity of the game folder (its volume's serial number and its file index there)
// when the launcher last judged or made its whole tree safe, a REG_BINARY of 12 bytes (serial, then index,
// little-endian) under HKEY_LOCAL_MACHINE named "GameFolderSecured " + the installation digest of the
// launcher's folder, out of reach of programs that are not elevated. False when absent or of another type or
// size.
bool ReadGameFolderSecured(std::uint32_t* volumeSerial, std::uint64_t* fileIndex);
// Stores it.
void WriteGameFolderSecured(std::uint32_t volumeSerial, std::uint64_t fileIndex);
// Deletes it: the tree is judged again at the next start.
void ForgetGameFolderSecured();

// RolloutId: this installation's random 128-bit id for launchers rolled out to a share of installations
// (RolloutShare.h), a REG_BINARY of 16 bytes under HKEY_LOCAL_MACHINE named "RolloutId " + the installation
// digest of the launcher's folder. Read, or made once (BCryptGenRandom) and stored when absent or of another type
// or size. False when none could be read or stored.
bool ReadOrMakeRolloutId(std::array<unsigned char, 16>* id);
