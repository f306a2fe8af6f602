// Pack range plans from hostile member lists (a manifest's PACKED lines as they are), and range bodies split by
// them: ranges must not overlap, must lie within the pack and carry each planned member once, and the splitter
// must hand every member exactly its own bytes whatever the pieces.
#include "FuzzInput.h"
#include "common/PackPlan.h"

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>


extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::uint64_t packSize = in.Take(2);
    const std::uint64_t gap = in.Take(1) * 64;
    const std::size_t piece = 1 + static_cast<std::size_t>(in.Take(1));
    std::vector<PackMember> needed;
    while (!in.Empty() && needed.size() < 200) {
        PackMember m;
        m.offset = in.Take(2);
        m.length = in.Take(2) % 4096;
        m.id = needed.size();
        needed.push_back(m);
    }
    const PackRequestPlan plan = PlanPackRanges(needed, packSize, gap);
    std::size_t count = plan.unplanned.size();
    std::string pack(static_cast<std::size_t>(packSize), '\0');
    for (std::size_t i = 0; i < pack.size(); ++i) pack[i] = static_cast<char>(i * 131 + (i >> 8));
    std::uint64_t previousEnd = 0;
    for (const PackRange& range : plan.ranges) {
        if (range.members.empty() || range.offset < previousEnd || range.offset + range.length > packSize) std::abort();
        previousEnd = range.offset + range.length;
        count += range.members.size();
        std::vector<std::string> got(range.members.size());
        PackSplitter splitter(range, range.offset);
        const std::string body = pack.substr(static_cast<std::size_t>(range.offset), static_cast<std::size_t>(range.length));
        std::size_t ended = 0;
        for (std::size_t at = 0; at < body.size(); at += piece) {
            splitter.Feed(body.data() + at, std::min(piece, body.size() - at), [&](const MemberPiece& p) {
                got[p.member].append(p.data, p.size);
                ended += p.ends ? 1 : 0;
                return true;
            });
        }
        if (ended != range.members.size()) std::abort();
        for (std::size_t m = 0; m < got.size(); ++m) {
            const PackMember& member = range.members[m];
            if (member.offset < range.offset || member.offset + member.length > range.offset + range.length) std::abort();
            if (got[m] != pack.substr(static_cast<std::size_t>(member.offset), static_cast<std::size_t>(member.length))) {
                std::abort();
            }
        }
        const PackRange rest = RemainingRange(range, 1);
        if (!rest.members.empty() && rest.offset + rest.length != range.offset + range.length) std::abort();
    }
    if (count != needed.size()) std::abort();
    return 0;
}
