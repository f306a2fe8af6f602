#pragma once
// Brings one file of the manifest into place from the patch hosts, by the cheapest way they offer: a patch
// against the local copy, the local copy's delta (by compressed chunks or raw ranges), the compressed copy,
// and in the end always the file itself, each host in turn with up to three attempts that resume what the
// last one received. Whatever way the bytes come, they are checked against the file's digest before they
// take the target's name.

#include "update/FetchTarget.h"
#include "update/Http.h"

#include <cstdint>
#include <string>
#include <vector>

enum class FetchOutcome { Verified, DownloadFailed, VerifyFailed };

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::DownloadFailed;
    std::string lastDigest;  // of the last file that arrived whole, empty when none did
};

// The ways, in the order they are tried; any failure of one falls through to the next:
// 1. a patch whose base is the local copy: one is taken only when the local copy's size is its base's, and
//    the copy, read whole, has its base's digest;
// 2. the delta update (DeltaFetch.h), by the chunks' frames when the file has them;
// 3. the compressed copy;
// 4. the file itself (files/<path>).
// A way whose bytes on the wire are known to be no fewer than a later way's (the compressed copy's listed
// length, or what a ".part" an earlier run left still lacks) is passed over: such a ".part" holds the file's
// first bytes, and the whole-file download finishes it. Ways 1 to 3 go to the first host that can be
// reached, and to the next one only when a local mirror fails there (LocalMirror.h); a transfer of frames
// that breaks off is tried again there up to three attempts, each from the last frame that arrived whole.
// Way 4: network errors, time-outs, stalls, cut-off bodies and 5xx answers are tried again on the same
// host, up to three attempts 1 s and then 3 s apart, each resuming; a retry shows briefly on the status
// line. A local mirror gets no second attempt: its first failure drops it for the run. Another status, such
// as 404 or a redirect, or a wrong digest after a whole transfer moves on to the next host; a resumed file
// with a wrong digest is fetched once more, whole, first. A disk that refuses the ".part" ends the fetch at
// once. Bytes that fail their digest never take the target's name: the old file stays as it was. `hosts`
// are base URLs, the manifest's host first. With `connections`, every request goes over the session and
// connection kept there for its host; without, each transfer opens its own.
FetchResult FetchVerifiedFile(const std::vector<std::wstring>& hosts, const FetchTarget& target,
                              const FetchListener& listener, HostConnections* connections = nullptr);

// "[Launcher][updater] <name>: <way>, <wire> bytes on the wire, <decoded> decoded": which way a file came.
void LogArrival(const std::wstring& name, const std::string& way, std::uint64_t wire, std::uint64_t decoded);

// The way text of a patch from the base with that digest: "patch from <its first 16 digits>...".
std::string PatchWay(const std::string& baseSha256);
