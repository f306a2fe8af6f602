#include "update/DiskSpace.h"

#include "LongPath.h"
#include "PlayerTexts.h"
#include "TextFormat.h"
#include "update/DebugLog.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

bool EnoughDiskSpace(HWND window, const std::wstring& directory, std::uint64_t bytes) {
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(ForFileApi(directory).c_str(), &available, nullptr, nullptr)) return true;
    const std::uint64_t needed = bytes + kDiskSpaceMargin;
    if (available.QuadPart >= needed) return true;
    LogLine("[Launcher][updater] not enough disk space in %s: %llu bytes needed, %llu free\n",
             ToAnsiForLog(directory.c_str(), kLogNameBytes).c_str(), static_cast<unsigned long long>(needed),
             static_cast<unsigned long long>(available.QuadPart));
    const std::wstring text = FormatWideCut(kStatusTextChars, player_texts::kDiskFull, FormatByteSize(needed).c_str(),
                                            FormatByteSize(available.QuadPart).c_str());
    PostStatusText(window, L"%ls", text.c_str());
    LogLineW(L"[Launcher][updater] run ended: %ls -- not enough disk space for the files to fetch\n", text.c_str());
    return false;
}
