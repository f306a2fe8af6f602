#pragma once
// Downloads one file from the patch host through a ".part" file beside the target.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

// GET baseUrl + relativeUrl into targetPath: status 200 only, missing directories created, body
// written to targetPath + ".part", flushed, then moved over the target. Posts WM_UPDATE_PROGRESS when
// the percent changes and a transfer line at most every 250 ms to progressWindow (null: nothing posted).
// With sharedDone the percent is sharedDone / sharedTotal, otherwise bytes / expectedSize.
// False when the transfer failed, broke off, or the move failed; the target is then untouched and no
// ".part" file is left.
bool HttpDownloadToFile(const std::wstring& baseUrl, const wchar_t* relativeUrl, const std::wstring& targetPath,
                        HWND progressWindow,
                        std::uint64_t expectedSize, const wchar_t* label, std::atomic<std::uint64_t>* sharedDone,
                        std::uint64_t sharedTotal);

// "%llu B" below 1 KiB, "%.1f KB" below 1 MiB, "%.1f MB" from there on; at most 31 characters.
std::wstring FormatByteSize(std::uint64_t bytes);
