#include "update/DiskSpace.h"

#include "LongPath.h"
#include "update/DebugLog.h"
#include "update/TransferReport.h"
#include "update/StatusChannel.h"

namespace {

constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogPathBytes = 259;

}  // namespace

bool EnoughDiskSpace(HWND window, const std::wstring& directory, std::uint64_t bytes) {
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExW(ForFileApi(directory).c_str(), &available, nullptr, nullptr)) return true;
    const std::uint64_t needed = bytes + kDiskSpaceMargin;
    if (available.QuadPart >= needed) return true;
    LogLineA(kLogLineBytes, "[Launcher][updater] not enough disk space in %s: %llu bytes needed, %llu free\n",
             ToAnsiForLog(directory.c_str(), kLogPathBytes).c_str(), static_cast<unsigned long long>(needed),
             static_cast<unsigned long long>(available.QuadPart));
    PostStatusText(window, L"磁碟空間不足：需要 %ls，可用 %ls", FormatByteSize(needed).c_str(),
                   FormatByteSize(available.QuadPart).c_str());
    return false;
}
