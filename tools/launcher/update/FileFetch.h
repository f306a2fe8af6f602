#pragma once
// Brings one file of the manifest into place from the patch hosts: each host in turn, each with up to
// three attempts that resume what the last one received, the result checked against its digest before
// it takes the target's name.

#include "update/FetchTarget.h"
#include "update/Http.h"

#include <string>
#include <vector>

enum class FetchOutcome { Verified, DownloadFailed, VerifyFailed };

struct FetchResult {
    FetchOutcome outcome = FetchOutcome::DownloadFailed;
    std::string lastDigest;  // of the last file that arrived whole, empty when none did
};

// With a chunk index and a local copy, the file is first built from what the local copy shares with it and
// ranges of the served file (from the first host); when that does not work out, it is downloaded whole.
// Network errors, time-outs, stalls, cut-off bodies and 5xx answers are tried again on the same host, up to
// three attempts 1 s and then 3 s apart, each resuming; a retry shows briefly on the status line. A local
// mirror gets no second attempt: its first failure drops it for the run (LocalMirror.h). Another
// status, such as 404 or a redirect, or a wrong digest after a whole transfer moves on to the next host; a
// resumed file with a wrong digest is fetched once more, whole, first. A disk that refuses the ".part" ends
// the fetch at once. Bytes that fail their digest never take the target's name: the old file stays as it
// was. `hosts` are base URLs, the manifest's host first. With `connections`, every request goes over the
// session and connection kept there for its host; without, each transfer opens its own.
FetchResult FetchVerifiedFile(const std::vector<std::wstring>& hosts, const FetchTarget& target,
                              const FetchListener& listener, HostConnections* connections = nullptr);
