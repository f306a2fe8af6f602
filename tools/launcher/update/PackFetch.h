#pragma once
// Small files fetched as byte ranges of the packs they are in (PACK and PACKED lines): one range per request,
// each member written into its own ".part", checked against its own digest and moved into place the moment
// its last byte is in. A member that does not arrive right is left to its own whole-file download.

#include "common/PackPlan.h"
#include "update/FetchTarget.h"
#include "update/Http.h"
#include "update/ProgressSink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct PackRangeFetch {
    std::wstring packUrl;  // below the base: "packs/<sha256>.kpak"
    std::uint64_t packSize = 0;
    PackRange range;
};

enum class PackMemberOutcome {
    Placed,      // the member's digest matched and it stands at its target
    NotPlaced,   // it did not arrive, or arrived wrong: the target is as it was, fetch it whole
    LocalError,  // the disk refused its ".part" (logged)
};

struct PackRangeListener {
    ProgressSink* sink = nullptr;  // the range as one transfer: done of its members' bytes
    // Once per member, in range order, as soon as its outcome is known; `member` indexes range.members.
    std::function<void(std::size_t member, PackMemberOutcome outcome)> onMember;
};

enum class PackRangeEnd {
    Done,            // every member was reported
    RangesIgnored,   // the same, and the host answered with the whole pack when only a part was worth it
};

// Asks `host` over `http` for the range's bytes with one "Range: bytes=a-b" request and splits the answer
// into `members` (members[i] is range.members[i]). A transfer that breaks off is asked again from the first
// member not yet in place, up to three attempts 1 s and then 3 s apart; a local mirror is instead dropped
// at its first failure, a wrong member included (LocalMirror.h). A 200 answer (a host that ignores
// ranges) is read to its end when the range holds at least half of the pack, and otherwise left. Any other
// answer, or a body that does not fit the range, leaves the members not yet placed to the caller.
PackRangeEnd FetchPackRange(HttpRequest& http, const std::wstring& host, const PackRangeFetch& job,
                            const std::vector<FetchTarget>& members, const PackRangeListener& listener);
