#include "update/DownloadWorkers.h"

#include "PlayerTexts.h"
#include "TextFormat.h"
#include "common/PackPlan.h"
#include "common/PathRules.h"
#include "update/FileFetch.h"
#include "update/LocalFiles.h"
#include "update/LocalMirror.h"
#include "update/PackFetch.h"
#include "update/StatusChannel.h"
#include "update/TransferReport.h"

#include <algorithm>
#include <map>

namespace {

constexpr std::size_t kLabelChars = 256;

void RecordFailure(DownloadBatch& batch, const std::wstring& path, const wchar_t* reason) {
    std::lock_guard<std::mutex> hold(batch.lock);
    batch.lastFailedPath = path;
    batch.lastFailedReason = reason;
}

FetchTarget TargetOf(const DownloadBatch& batch, const ManifestFile& file) {
    FetchTarget target;
    target.relativeUrl = path_rules::ServedPath(std::wstring_view(file.path));
    target.targetPath = batch.launcherDir + file.path;
    target.size = file.size;
    target.sha256 = file.sha256;
    target.name = file.path;
    target.deltaIndexSha256 = file.deltaIndexSha256;
    target.deltaIndexSize = file.deltaIndexSize;
    return target;
}

void RecordInCache(DownloadBatch& batch, const ManifestFile& file, bool verified, const std::wstring& targetPath) {
    if (!batch.cache) return;
    const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
    local_files::FileStamp stamp;
    if (verified && local_files::ReadStamp(targetPath, batch.volume, &stamp)) {
        batch.cache->Record(key, file.sha256, stamp);
    } else {
        batch.cache->Drop(key);
    }
}

// Fetches one job; the outcome decides the failure text.
FetchOutcome FetchJob(DownloadBatch& batch, const ManifestFile& file, const std::wstring& label,
                      HostConnections& connections) {
    const FetchTarget target = TargetOf(batch, file);
    TransferReporter reporter(batch.notifyWindow, label, &batch.bytesDone, batch.totalBytes);
    const FetchOutcome outcome =
        FetchVerifiedFile(batch.hosts, target, FetchListener{batch.notifyWindow, &reporter}, &connections).outcome;
    RecordInCache(batch, file, outcome == FetchOutcome::Verified, target.targetPath);
    return outcome;
}

const ManifestFile& JobFile(const DownloadBatch& batch, std::size_t position) {
    return batch.manifest->files[(*batch.jobs)[position]];
}

// "下載中 (k/n) path" for a worker, "下載中 path" on the updater's own thread.
std::wstring JobLabel(const DownloadBatch& batch, const ManifestFile& file, bool counted) {
    if (!counted) return FormatWideCut(kLabelChars, player_texts::kDownloadingNamed, file.path.c_str());
    return FormatWideCut(kLabelChars, player_texts::kDownloadingCounted, static_cast<int>(batch.completed.load() + 1),
                         static_cast<int>(batch.jobCount), file.path.c_str());
}

// Counts a finished job and tells the player when it failed; on the updater's own thread (`post` false)
// only failures are counted.
void Settle(DownloadBatch& batch, const ManifestFile& file, FetchOutcome outcome, bool post) {
    if (!post) {
        if (outcome != FetchOutcome::Verified) ++batch.failed;
        return;
    }
    if (outcome == FetchOutcome::DownloadFailed) {
        ++batch.failed;
        PostStatusText(batch.notifyWindow, player_texts::kDownloadFailedNamed, file.path.c_str());
        RecordFailure(batch, file.path, player_texts::kDownloadFailed);
    } else if (outcome == FetchOutcome::VerifyFailed) {
        // Nothing of the wrong bytes took the file's place; the next run's check queues it again.
        ++batch.failed;
        PostStatusText(batch.notifyWindow, player_texts::kVerifyFailedNamed, file.path.c_str());
        RecordFailure(batch, file.path, player_texts::kVerifyFailed);
    }
    ++batch.completed;
}

// One pack range: the members that arrive right are done; each of the others is fetched whole at once.
void RunPackJob(DownloadBatch& batch, const PackRangeJob& job, HostConnections& connections, bool post) {
    std::vector<FetchTarget> members;
    members.reserve(job.range.members.size());
    for (const PackMember& m : job.range.members) members.push_back(TargetOf(batch, JobFile(batch, m.id)));
    std::vector<std::size_t> missing;
    if (batch.rangesIgnored.load()) {
        for (std::size_t i = 0; i < members.size(); ++i) missing.push_back(i);
    } else {
        const std::string served = PackServedPath(job.pack->sha256);
        PackRangeFetch fetch{std::wstring(served.begin(), served.end()), job.pack->size, job.range};
        TransferReporter reporter(batch.notifyWindow, JobLabel(batch, JobFile(batch, job.range.members[0].id), post),
                                  &batch.bytesDone, batch.totalBytes);
        bool diskRefused = false;
        PackRangeListener listener;
        listener.sink = &reporter;
        listener.onMember = [&](std::size_t i, PackMemberOutcome outcome) {
            const ManifestFile& file = JobFile(batch, job.range.members[i].id);
            if (outcome == PackMemberOutcome::Placed) {
                RecordInCache(batch, file, true, members[i].targetPath);
                Settle(batch, file, FetchOutcome::Verified, post);
            } else if (outcome == PackMemberOutcome::LocalError || diskRefused) {
                diskRefused = true;
                RecordInCache(batch, file, false, members[i].targetPath);
                Settle(batch, file, FetchOutcome::DownloadFailed, post);
            } else {
                missing.push_back(i);
            }
        };
        // The first host not found down this run: a café's cache that is down costs its time-out once.
        const auto usable = std::find_if(batch.hosts.begin(), batch.hosts.end(),
                                         [](const std::wstring& host) { return !HostSkipped(host); });
        const std::wstring& host = usable != batch.hosts.end() ? *usable : batch.hosts.front();
        // A cache that ignores ranges is dropped for that; the patch hosts may still honour them.
        if (FetchPackRange(connections.For(host), host, fetch, members, listener) == PackRangeEnd::RangesIgnored &&
            !IsLocalMirror(host)) {
            batch.rangesIgnored = true;
        }
    }
    for (std::size_t i : missing) {
        const ManifestFile& file = JobFile(batch, job.range.members[i].id);
        Settle(batch, file, FetchJob(batch, file, JobLabel(batch, file, post), connections), post);
    }
}

// The batch's work on one thread: pack ranges first, then the files no range carries.
void RunJobs(DownloadBatch& batch, bool post) {
    HostConnections connections;  // one session and connection per host for this thread's whole run
    for (;;) {
        const long k = batch.nextPackJob.fetch_add(1);
        if (k >= static_cast<long>(batch.packJobs.size())) break;
        RunPackJob(batch, batch.packJobs[static_cast<std::size_t>(k)], connections, post);
    }
    for (;;) {
        const long k = batch.nextJob.fetch_add(1);
        if (k >= static_cast<long>(batch.jobs->size())) return;
        const std::size_t position = static_cast<std::size_t>(k);
        if (position < batch.inPack.size() && batch.inPack[position]) continue;
        const ManifestFile& file = JobFile(batch, position);
        Settle(batch, file, FetchJob(batch, file, JobLabel(batch, file, post), connections), post);
    }
}

// Fewer ranges than transfer slots would leave slots idle, and one worker writing every member: the
// largest range is halved at a member boundary until each slot has one, while the pieces stay worth a
// request of their own.
void SpreadOverSlots(std::vector<PackRangeJob>& jobs) {
    while (!jobs.empty() && jobs.size() < static_cast<std::size_t>(kMaxDownloadWorkers)) {
        const auto largest = std::max_element(jobs.begin(), jobs.end(), [](const PackRangeJob& a, const PackRangeJob& b) {
            return a.range.length < b.range.length;
        });
        PackRangeJob first{largest->pack, {}};
        PackRangeJob second{largest->pack, {}};
        if (largest->range.length < 2 * kPackPieceMinBytes || !SplitRange(largest->range, &first.range, &second.range) ||
            first.range.length < kPackPieceMinBytes || second.range.length < kPackPieceMinBytes) {
            return;
        }
        *largest = std::move(first);
        jobs.push_back(std::move(second));
    }
}

}  // namespace

void PlanPackJobs(DownloadBatch& batch) {
    batch.packJobs.clear();
    batch.inPack.assign(batch.jobs->size(), 0);
    if (batch.hosts.empty() || batch.manifest->packs.empty()) return;
    std::map<std::string, std::vector<PackMember>> needed;
    for (std::size_t k = 0; k < batch.jobs->size(); ++k) {
        const ManifestFile& file = JobFile(batch, k);
        if (!file.packSha256.empty()) needed[file.packSha256].push_back(PackMember{file.packOffset, file.size, k});
    }
    for (const ManifestPack& pack : batch.manifest->packs) {
        const auto members = needed.find(pack.sha256);
        if (members == needed.end()) continue;
        PackRequestPlan plan = PlanPackRanges(members->second, pack.size);
        for (PackRange& range : plan.ranges) {
            for (const PackMember& m : range.members) batch.inPack[m.id] = 1;
            batch.packJobs.push_back(PackRangeJob{&pack, std::move(range)});
        }
    }
    SpreadOverSlots(batch.packJobs);
}

DWORD WINAPI RunDownloadWorker(void* param) {
    RunJobs(*static_cast<DownloadBatch*>(param), true);
    return 0;
}

void RunDownloadsSequentially(DownloadBatch& batch) {
    RunJobs(batch, false);
}
