#include "update/DiskSpace.h"

#include "LongPath.h"
#include "PlayerTexts.h"
#include "update/DebugLog.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

namespace {


}  // namespace

bool EnoughDiskSpace(HWND window, const std::wstring& directory, std::uint64_t bytes) {
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(ForFileApi(directory).c_str(), &available, nullptr, nullptr)) return true;
    const std::uint64_t needed = bytes + kDiskSpaceMargin;
    if (available.QuadPart >= needed) return true;
    LogLine("[Launcher][updater] not enough disk space in %s: %llu bytes needed, %llu free\n",
             ToAnsiForLog(directory.c_str(), kLogNameBytes).c_str(), static_cast<unsigned long long>(needed),
             static_cast<unsigned long long>(available.QuadPart));
    PostStatusText(window, player_texts::kDiskFull, FormatByteSize(needed).c_str(),
                   FormatByteSize(available.QuadPart).c_str());
    return false;
}
