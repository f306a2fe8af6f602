#include "update/RolloutShare.h"

#include "Settings.h"
#include "common/HexText.h"
#include "common/ManifestFormat.h"
#include "update/DebugLog.h"
#include "update/Sha256.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<bool> outsideLogged{false};

}  // namespace

std::uint32_t RolloutSlot(const RolloutId& id, const std::string& launcherSha256) {
    unsigned char input[16 + 32];
    std::memcpy(input, id.data(), id.size());
    if (launcherSha256.size() != 64 || !hex_text::FromHex(launcherSha256, input + id.size(), 32)) {
        return static_cast<std::uint32_t>(manifest_format::kWholeShare);
    }
    unsigned char hash[32] = {};
    if (!Sha256OfBytes(input, sizeof(input), hash)) return static_cast<std::uint32_t>(manifest_format::kWholeShare);
    std::uint64_t number = 0;
    for (int i = 0; i < 8; ++i) number = (number << 8) | hash[i];
    return static_cast<std::uint32_t>(number % manifest_format::kWholeShare);
}

bool InRolloutShare(const std::string& launcherSha256, std::uint32_t share) {
    if (share >= manifest_format::kWholeShare) return true;
    RolloutId id{};
    const bool kept = ReadOrMakeRolloutId(&id);
    const std::uint32_t slot = kept ? RolloutSlot(id, launcherSha256) : static_cast<std::uint32_t>(manifest_format::kWholeShare);
    if (slot < share) return true;
    if (!outsideLogged.exchange(true)) {
        LogLine("[Launcher][self-update] launcher %s... is rolled out to %u.%02u %% of installations; this one (slot %u%s) "
                "keeps its launcher for now\n",
                DigestPrefix(launcherSha256).c_str(), share / 100, share % 100, slot, kept ? "" : ", no id could be kept");
    }
    return false;
}
