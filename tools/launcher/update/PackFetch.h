#pragma once
// Small files fetched as byte ranges of the packs they are in (PACK and PACKED lines), or of the containers
// that hold their compressed copies or patches (ZPACK, ZFILE and ZPATCH lines): one range per request, each
// member decoded (in a container) and written into its own ".part", checked against its own digest and moved
// into place the moment its last byte is in. A member that does not arrive right is left to its own fetch.

#include "common/PackPlan.h"
#include "update/FetchTarget.h"
#include "update/Http.h"
#include "update/ProgressSink.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How a member of a container decodes: its compressed copy, or a patch against its local copy.
struct MemberFrames {
    std::string baseSha256;  // the patch's base; empty for the compressed copy
    std::uint64_t baseSize = 0;
};

struct PackRangeFetch {
    std::wstring packUrl;  // below the base: "packs/<sha256>.kpak", or a container's "z/<sha256>.zst"
    std::uint64_t packSize = 0;
    PackRange range;
    // In a container, how each member (range.members[i]) decodes; empty for a pack of the files' own bytes.
    std::vector<MemberFrames> frames;
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
// answer, or a body that does not fit the range, leaves the members not yet placed to the caller. A member of
// a container is decoded within the limits of its lines (its file's size, its listed length, the window they
// allow); a patch's base, the local copy, is read whole before its first byte and used only with the base's
// digest, and the base and the decoder's window are reserved from the decode budget (DecodeBudget.h) while
// it is written. A member whose frames do not decode, or end early, is not placed.
PackRangeEnd FetchPackRange(HttpRequest& http, const std::wstring& host, const PackRangeFetch& job,
                            const std::vector<FetchTarget>& members, const PackRangeListener& listener);
