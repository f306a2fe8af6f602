#pragma once
// Whether what an update is about to download fits on the player's disk.

#include <windows.h>

#include <cstdint>
#include <string>

// Room kept free beyond what is downloaded.
constexpr std::uint64_t kDiskSpaceMargin = 64ull * 1024 * 1024;

// True when `bytes` plus the margin fit in the free space of the disk that holds `directory`, or when the
// free space cannot be read (the writes then tell). Otherwise posts "磁碟空間不足：需要 %ls，可用 %ls" with
// both sizes, logs one line and returns false.
bool EnoughDiskSpace(HWND window, const std::wstring& directory, std::uint64_t bytes);
