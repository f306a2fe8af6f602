#pragma once
// Packs of small files: a pack is its members' bytes one after another, served at "packs/<its sha256>.kpak".
// Which byte ranges of a pack a launcher asks for, one range per request, and how the body of such a range
// splits into its members. Portable C++17, no platform headers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Files under this many bytes go into packs, unless patchgen is told another threshold.
inline constexpr std::uint64_t kDefaultPackMemberLimit = 256 * 1024;
// A pack is closed once it holds this many bytes or more; the member that crosses it is its last.
inline constexpr std::uint64_t kPackTargetBytes = 8 * 1024 * 1024;
// Two members needed from a pack go into one range when at most this many bytes lie between them: fetching
// the gap costs less than another request's round trip.
inline constexpr std::uint64_t kPackGapBytes = 64 * 1024;

// "packs/<hex>.kpak"; empty when `packSha256Hex` is not 64 lower-case hex digits.
std::string PackServedPath(std::string_view packSha256Hex);

// A file that a run needs from a pack. `id` is the caller's, carried through untouched.
struct PackMember {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::size_t id = 0;
};

// One request: bytes [offset, offset + length) of the pack, holding `members` in offset order.
struct PackRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::vector<PackMember> members;
    std::uint64_t MemberBytes() const;
};

struct PackRequestPlan {
    std::vector<PackRange> ranges;  // in pack order, not overlapping
    // Members no range can carry: empty ones, ones that reach past the pack, ones that overlap another;
    // the caller fetches them file by file.
    std::vector<PackMember> unplanned;
};

// The ranges for the members needed from a pack of `packSize` bytes: sorted by offset, each member joins the
// range before it when at most `maxGap` bytes lie between them.
PackRequestPlan PlanPackRanges(std::vector<PackMember> needed, std::uint64_t packSize,
                               std::uint64_t maxGap = kPackGapBytes);

// The same range without its first `done` members: where a broken transfer resumes. Empty members when
// `done` covers them all.
PackRange RemainingRange(const PackRange& range, std::size_t done);

// A range is split for a transfer slot that would stay idle only when each piece keeps at least this many
// bytes: below it, a slot's connection saves less than its own round trip.
inline constexpr std::uint64_t kPackPieceMinBytes = 512 * 1024;

// Splits `range` at the member boundary nearest to the middle of its bytes into `first` and `second` (the
// bytes between the two members on either side of the cut are left out). False, with nothing set, when the
// range holds fewer than two members.
bool SplitRange(const PackRange& range, PackRange* first, PackRange* second);

// Whether a host that answers a range with the whole pack should be read to the end: when the members the
// range carries are at least half of the pack.
bool WorthTheWholePack(const PackRange& range, std::uint64_t packSize);

// One member's share of a piece of body.
struct MemberPiece {
    std::size_t member = 0;  // index into the range's members
    const char* data = nullptr;
    std::size_t size = 0;
    bool ends = false;  // this piece holds the member's last byte
};

// Splits a body whose first byte is pack byte `bodyOffset` (the range's offset for a 206 answer, 0 for the
// whole pack) into the range's members. Bytes between members and outside the range are passed over.
class PackSplitter {
public:
    PackSplitter(const PackRange& range, std::uint64_t bodyOffset) : range_(range), position_(bodyOffset) {}

    // Hands out the members' shares of the next `size` body bytes in order; stops and returns false as soon
    // as `onPiece(const MemberPiece&)` returns false.
    template <typename OnPiece>
    bool Feed(const char* data, std::size_t size, OnPiece&& onPiece);

private:
    const PackRange& range_;
    std::uint64_t position_;
    std::size_t next_ = 0;
};

template <typename OnPiece>
bool PackSplitter::Feed(const char* data, std::size_t size, OnPiece&& onPiece) {
    while (size > 0 && next_ < range_.members.size()) {
        const PackMember& m = range_.members[next_];
        const std::uint64_t end = m.offset + m.length;
        if (position_ >= end) {  // only when a member is passed over by a body that starts past it
            ++next_;
            continue;
        }
        if (position_ < m.offset) {
            const std::uint64_t skip = m.offset - position_ < size ? m.offset - position_ : size;
            position_ += skip;
            data += skip;
            size -= static_cast<std::size_t>(skip);
            continue;
        }
        const std::uint64_t room = end - position_;
        const std::size_t take = room < size ? static_cast<std::size_t>(room) : size;
        MemberPiece piece;
        piece.member = next_;
        piece.data = data;
        piece.size = take;
        piece.ends = take == room;
        position_ += take;
        data += take;
        size -= take;
        if (piece.ends) ++next_;
        if (!onPiece(piece)) return false;
    }
    position_ += size;
    return true;
}
