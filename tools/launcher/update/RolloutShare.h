#pragma once
// A new launcher rolled out to a share of installations. Each installation keeps a random 128-bit id (Settings.h,
// RolloutId); it may take a listed launcher when its slot for that launcher is below the manifest's
// LAUNCHER_SHARE. The slot is the first eight bytes of SHA-256(id || the launcher's 32-byte digest), read as a
// big-endian number, mod 10,000: the same installation has the same slot for one launcher whatever the share, so
// raising the share never drops one that was in, and a share of 0 lets none in.

#include <array>
#include <cstdint>
#include <string>

using RolloutId = std::array<unsigned char, 16>;

// The slot of `id` for the launcher with that digest (64 hex digits), 0..9,999; 10,000 when the digest is not
// 64 hex digits or CNG failed (in no share but the whole).
std::uint32_t RolloutSlot(const RolloutId& id, const std::string& launcherSha256);

// Whether this installation may take the launcher with that digest under `share` (hundredths of a percent):
// always for the whole share (10,000); otherwise by its slot, with its id read or made once (an installation
// whose id cannot be kept stays out). An installation left out is logged once per process.
bool InRolloutShare(const std::string& launcherSha256, std::uint32_t share);
