#pragma once
// The launcher's remembered values under HKEY_CURRENT_USER\Software\Korvane\Launcher: the only code
// that reads or writes the registry. An unreadable value counts as absent; a failed write is ignored.

#include <cstdint>
#include <string>

// BgmMuted: true only for a non-zero REG_DWORD.
bool ReadBgmMuted();
// Stores BgmMuted as a REG_DWORD of 1 or 0.
void WriteBgmMuted(bool muted);

// LastSelfUpdateSha as 64 lower-case hex digits (other characters dropped), or empty when absent,
// not REG_SZ, or not exactly 64 digits.
std::string ReadLastSelfUpdateSha();
// Stores a 64-character digest as LastSelfUpdateSha (REG_SZ); anything else is ignored.
void WriteLastSelfUpdateSha(const std::string& digest);

// LastManifestSequence: the highest SEQUENCE of a signed manifest this launcher accepted; 0 when absent
// or not a REG_QWORD.
std::uint64_t ReadLastManifestSequence();
// Stores it as a REG_QWORD.
void WriteLastManifestSequence(std::uint64_t sequence);
