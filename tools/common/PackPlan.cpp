#include "common/PackPlan.h"

#include "common/PathRules.h"

#include <algorithm>
#include <cstdint>

std::string PackServedPath(std::string_view packSha256Hex) {
    if (packSha256Hex.size() != 64) return {};
    for (char c : packSha256Hex) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    }
    return std::string(path_rules::kPacksDir) + "/" + std::string(packSha256Hex) + ".kpak";
}

std::uint64_t PackRange::MemberBytes() const {
    std::uint64_t bytes = 0;
    for (const PackMember& m : members) bytes += m.length;
    return bytes;
}

PackRequestPlan PlanPackRanges(std::vector<PackMember> needed, std::uint64_t packSize, std::uint64_t maxGap) {
    PackRequestPlan plan;
    std::stable_sort(needed.begin(), needed.end(),
                     [](const PackMember& a, const PackMember& b) { return a.offset < b.offset; });
    std::uint64_t covered = 0;  // the end of the last member taken
    for (const PackMember& m : needed) {
        if (m.length == 0 || m.offset > packSize || m.length > packSize - m.offset ||
            (!plan.ranges.empty() && m.offset < covered)) {
            plan.unplanned.push_back(m);
            continue;
        }
        const std::uint64_t end = m.offset + m.length;
        if (!plan.ranges.empty() && m.offset - covered <= maxGap) {
            PackRange& last = plan.ranges.back();
            last.length = end - last.offset;
            last.members.push_back(m);
        } else {
            plan.ranges.push_back(PackRange{m.offset, m.length, {m}});
        }
        covered = end;
    }
    return plan;
}

PackRange RemainingRange(const PackRange& range, std::size_t done) {
    PackRange rest;
    if (done >= range.members.size()) {
        rest.offset = range.offset + range.length;
        return rest;
    }
    rest.members.assign(range.members.begin() + static_cast<std::ptrdiff_t>(done), range.members.end());
    rest.offset = rest.members.front().offset;
    rest.length = range.offset + range.length - rest.offset;
    return rest;
}

bool SplitRange(const PackRange& range, PackRange* first, PackRange* second) {
    if (range.members.size() < 2) return false;
    const std::uint64_t middle = range.offset + range.length / 2;
    std::size_t cut = 1;  // the first member of the second piece
    std::uint64_t nearest = UINT64_MAX;
    for (std::size_t i = 1; i < range.members.size(); ++i) {
        const std::uint64_t at = range.members[i].offset;
        const std::uint64_t distance = at > middle ? at - middle : middle - at;
        if (distance < nearest) {
            cut = i;
            nearest = distance;
        }
    }
    const PackMember& lastOfFirst = range.members[cut - 1];
    first->members.assign(range.members.begin(), range.members.begin() + static_cast<std::ptrdiff_t>(cut));
    first->offset = range.offset;
    first->length = lastOfFirst.offset + lastOfFirst.length - range.offset;
    second->members.assign(range.members.begin() + static_cast<std::ptrdiff_t>(cut), range.members.end());
    second->offset = second->members.front().offset;
    second->length = range.offset + range.length - second->offset;
    return true;
}

bool WorthTheWholePack(const PackRange& range, std::uint64_t packSize) {
    return range.MemberBytes() >= packSize - packSize / 2;
}
