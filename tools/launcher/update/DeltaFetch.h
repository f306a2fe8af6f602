#pragma once
// A file brought up to date from the chunks its local copy shares with the new version, with only the
// other bytes fetched, as ranges of the served file. The manifest names the file's chunk index (DELTA line);
// the index is fetched and checked against its digest, the local copy is cut the same way and hashed, and
// the new file is assembled in its ".part" in order, checked against the manifest's digest and moved into
// place. With chunk frames (a ZCHUNKS line) the index comes in the frame table and the other chunks come
// compressed: each range is a range of the chunks' frames in their container, decoded on its way into the
// ".part". Whatever goes wrong leaves the local copy as it was and the ".part" gone, for the next way
// (FileFetch) to take over.

#include "update/FetchTarget.h"
#include "update/Http.h"
#include "update/ProgressSink.h"

#include <cstddef>
#include <cstdint>
#include <string>

enum class DeltaOutcome {
    Done,        // the new file stands at the target, its digest checked
    NotTried,    // no index or frame table named, or no local copy to build from
    WholeFile,   // fall back on the whole-file download (the reason is logged)
    LocalError,  // the disk refused the ".part" (logged): a whole-file download would fail the same way
};

struct DeltaResult {
    DeltaOutcome outcome = DeltaOutcome::NotTried;
    std::string sha256;             // when Done
    bool frames = false;            // through the frame table and the chunks' frames
    std::uint64_t indexBytes = 0;   // what was fetched, index (or frame table) and ranges, when it got that far
    std::uint64_t rangeBytes = 0;   // the ranges' bytes of the file
    std::uint64_t frameBytes = 0;   // with frames: their bytes on the wire
    std::size_t ranges = 0;
    std::uint64_t copiedBytes = 0;  // taken from the local copy
    bool hostAtFault = false;       // WholeFile because of the host's answer (not a 404 for the index, not the copy)
};

// The largest chunk index a launcher fetches.
constexpr std::uint64_t kMaxChunkIndexBytes = 64ull * 1024 * 1024;

// Tries the delta update of target.targetPath from `host`, by its frames when it has them and by its raw
// bytes otherwise. Progress goes to `sink` (may be null) as for a download; when it falls back, the progress
// it counted is taken back. With `http`, the index and the ranges go over the session and connection it keeps
// for `host`; without, over one of their own. When its ranges would bring `ceiling` bytes or more (what
// another way costs), it gives way before fetching them.
DeltaResult FetchByDelta(const FetchTarget& target, const std::wstring& host, ProgressSink* sink,
                         HttpRequest* http = nullptr, std::uint64_t ceiling = UINT64_MAX);
