#include "update/DownloadWorkers.h"

#include "PlayerTexts.h"
#include "TextFormat.h"
#include "Threads.h"
#include "common/ChunkFrames.h"
#include "common/PackPlan.h"
#include "common/PathRules.h"
#include "common/ZstdFrames.h"
#include "update/DecodeBudget.h"
#include "update/FileFetch.h"
#include "update/HeldFiles.h"
#include "update/LocalFiles.h"
#include "update/LocalMirror.h"
#include "update/PackFetch.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"
#include "update/TransferGate.h"
#include "update/TransferReport.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <set>

namespace {

constexpr std::size_t kLabelChars = 256;

void RecordFailure(DownloadBatch& batch, const std::wstring& path, const wchar_t* reason,
                   const std::wstring& holder = std::wstring()) {
    std::lock_guard<std::mutex> hold(batch.lock);
    batch.lastFailedPath = path;
    batch.lastFailedReason = reason;
    batch.lastFailedHolder = holder;
}

// The program that held the file when this run gave its move up; false when it was not held.
bool HeldFile(const DownloadBatch& batch, const ManifestFile& file, std::wstring* holder) {
    return !batch.Preloading() && HeldBy(batch.launcherDir + file.path, holder);
}

FetchTarget TargetOf(const DownloadBatch& batch, const ManifestFile& file) {
    FetchTarget target;
    target.relativeUrl = path_rules::ServedPath(std::wstring_view(file.path));
    target.localCopyPath = batch.launcherDir + file.path;
    target.targetPath = batch.Preloading() ? batch.stagingDir + std::wstring(file.sha256.begin(), file.sha256.end())
                                           : target.localCopyPath;
    target.size = file.size;
    target.sha256 = file.sha256;
    target.name = file.path;
    target.offers = file.offers;
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

// What the player sees of one transfer: the run's bar and transfer line, or the pre-load's one line.
std::unique_ptr<ProgressSink> ReporterFor(DownloadBatch& batch, const std::wstring& label) {
    if (batch.Preloading()) {
        return std::make_unique<PercentLineReporter>(batch.notifyWindow, player_texts::kPreloading, &batch.bytesDone,
                                                     batch.totalBytes, &batch.postedPercent);
    }
    return std::make_unique<TransferReporter>(batch.notifyWindow, label, &batch.bytesDone, batch.totalBytes);
}

// Fetches one job; the outcome decides the failure text.
FetchOutcome FetchJob(DownloadBatch& batch, const ManifestFile& file, const FetchTarget& target, const std::wstring& label,
                      HostConnections& connections) {
    const std::unique_ptr<ProgressSink> reporter = ReporterFor(batch, label);
    // The pre-load's retries stay off the status line: the game may start meanwhile.
    const FetchListener listener{batch.Preloading() ? nullptr : batch.notifyWindow, reporter.get()};
    const FetchOutcome outcome = FetchVerifiedFile(batch.hosts, target, listener, &connections).outcome;
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
    std::wstring holder;
    if (outcome == FetchOutcome::DownloadFailed && HeldFile(batch, file, &holder)) {
        ++batch.failed;
        PostStatusText(batch.notifyWindow, player_texts::kFileInUse, file.path.c_str(), holder.c_str());
        RecordFailure(batch, file.path, player_texts::kDownloadFailed, holder);
    } else if (outcome == FetchOutcome::DownloadFailed) {
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

// How a container range's member decodes, and the way the file's own fetch is not to try again.
MemberFrames FramesOf(const DownloadBatch& batch, std::size_t position) {
    const int patch = batch.rangePatch[position];
    if (patch < 0) return MemberFrames();
    const PatchOffer& offer = JobFile(batch, position).offers.patches[static_cast<std::size_t>(patch)];
    return MemberFrames{offer.baseSha256, offer.baseSize};
}

void WithoutRangeWay(const DownloadBatch& batch, std::size_t position, FetchTarget* target) {
    const int patch = batch.rangePatch[position];
    if (patch < 0) {
        target->offers.compressed = EncodedPlace();
    } else {
        target->offers.patches.erase(target->offers.patches.begin() + patch);
    }
}

// One pack or container range: the members that arrive right are done; each of the others is fetched on its
// own at once.
void RunPackJob(DownloadBatch& batch, const PackRangeJob& job, HostConnections& connections, bool post) {
    std::vector<FetchTarget> members;
    members.reserve(job.range.members.size());
    for (const PackMember& m : job.range.members) members.push_back(TargetOf(batch, JobFile(batch, m.id)));
    std::vector<std::size_t> missing;
    if (batch.rangesIgnored.load()) {
        for (std::size_t i = 0; i < members.size(); ++i) missing.push_back(i);
    } else {
        const std::string served = job.frames ? ContainerServedPath(job.pack->sha256) : PackServedPath(job.pack->sha256);
        PackRangeFetch fetch{std::wstring(served.begin(), served.end()), job.pack->size, job.range, {}};
        if (job.frames) {
            for (const PackMember& m : job.range.members) fetch.frames.push_back(FramesOf(batch, m.id));
        }
        const std::unique_ptr<ProgressSink> reporter =
            ReporterFor(batch, JobLabel(batch, JobFile(batch, job.range.members[0].id), post));
        bool diskRefused = false;
        PackRangeListener listener;
        listener.sink = reporter.get();
        listener.onMember = [&](std::size_t i, PackMemberOutcome outcome) {
            const ManifestFile& file = JobFile(batch, job.range.members[i].id);
            std::wstring holder;
            if (outcome == PackMemberOutcome::Placed) {
                if (job.frames) {
                    const MemberFrames& frames = fetch.frames[i];
                    LogArrival(file.path, frames.baseSha256.empty() ? "compressed file" : PatchWay(frames.baseSha256),
                               job.range.members[i].length, file.size);
                }
                RecordInCache(batch, file, true, members[i].targetPath);
                Settle(batch, file, FetchOutcome::Verified, post);
            } else if (outcome == PackMemberOutcome::LocalError && HeldFile(batch, file, &holder)) {
                // Another program holds this one; the disk took it and takes the others.
                RecordInCache(batch, file, false, members[i].targetPath);
                Settle(batch, file, FetchOutcome::DownloadFailed, post);
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
        const std::size_t position = job.range.members[i].id;
        const ManifestFile& file = JobFile(batch, position);
        if (job.frames) WithoutRangeWay(batch, position, &members[i]);
        Settle(batch, file, FetchJob(batch, file, members[i], JobLabel(batch, file, post), connections), post);
    }
}

// The batch's work on one thread: pack ranges first, then the files no range carries.
void RunJobs(DownloadBatch& batch, bool post) {
    if (batch.Preloading()) MarkPreloadThread();
    post = post && !batch.Preloading();  // the pre-load's failures are logged, never shown
    HostConnections connections;  // one session and connection per host for this thread's whole run
    for (;;) {
        if (TransferStopped()) return;
        const long k = batch.nextPackJob.fetch_add(1);
        if (k >= static_cast<long>(batch.packJobs.size())) break;
        RunPackJob(batch, batch.packJobs[static_cast<std::size_t>(k)], connections, post);
    }
    for (;;) {
        if (TransferStopped()) return;
        const long k = batch.nextJob.fetch_add(1);
        if (k >= static_cast<long>(batch.jobs->size())) return;
        const std::size_t position = static_cast<std::size_t>(k);
        if (position < batch.inPack.size() && batch.inPack[position]) continue;
        const ManifestFile& file = JobFile(batch, position);
        Settle(batch, file, FetchJob(batch, file, TargetOf(batch, file), JobLabel(batch, file, post), connections), post);
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
        PackRangeJob first{largest->pack, largest->frames, {}};
        PackRangeJob second{largest->pack, largest->frames, {}};
        if (largest->range.length < 2 * kPackPieceMinBytes || !SplitRange(largest->range, &first.range, &second.range) ||
            first.range.length < kPackPieceMinBytes || second.range.length < kPackPieceMinBytes) {
            return;
        }
        *largest = std::move(first);
        jobs.push_back(std::move(second));
    }
}

// In PatchesOfLocalCopies' answer: no patch of the file in a shared container has the local copy as its base,
// but one that fills a container of its own has the base's size: the file's own fetch reads that base.
constexpr int kOwnFetch = -2;

// Per position in jobs: the patch in a shared container whose base is the local copy, -1 when there is none, or
// kOwnFetch. The local copies are read and hashed on four threads, each holding its base in the decode budget.
std::vector<int> PatchesOfLocalCopies(const DownloadBatch& batch) {
    std::vector<int> chosen(batch.jobs->size(), -1);
    std::vector<std::size_t> toHash;
    for (std::size_t k = 0; k < batch.jobs->size(); ++k) {
        const ManifestFile& file = JobFile(batch, k);
        std::uint64_t size = 0;
        if (file.offers.patches.empty() || !local_files::QuerySize(batch.launcherDir + file.path, &size)) continue;
        bool shared = false;
        for (const PatchOffer& p : file.offers.patches) {
            if (p.baseSize != size || p.baseSize > kPatchBaseLimit) continue;
            if (p.frames.FillsContainer()) chosen[k] = kOwnFetch;
            shared = shared || !p.frames.FillsContainer();
        }
        if (shared) toHash.push_back(k);
    }
    if (toHash.empty()) return chosen;
    std::atomic<std::size_t> next{0};
    RunOnThreads(kMaxDownloadWorkers, [&] {
        for (std::size_t i = next.fetch_add(1); i < toHash.size(); i = next.fetch_add(1)) {
            const std::size_t k = toHash[i];
            const ManifestFile& file = JobFile(batch, k);
            const std::uint64_t size = local_files::SizeOrZero(batch.launcherDir + file.path);
            if (size > kPatchBaseLimit) continue;
            const DecodeReservation memory(size);
            std::string base;
            unsigned char digest[32] = {};
            if (!local_files::ReadWhole(batch.launcherDir + file.path, size, &base) ||
                !Sha256OfBytes(base.data(), base.size(), digest)) {
                continue;
            }
            const std::string sha256 = DigestHex(digest);
            for (std::size_t p = 0; p < file.offers.patches.size(); ++p) {
                const PatchOffer& offer = file.offers.patches[p];
                if (offer.baseSha256 == sha256 && offer.baseSize == base.size() && !offer.frames.FillsContainer()) {
                    chosen[k] = static_cast<int>(p);
                }
            }
        }
    });
    return chosen;
}

// The ranges of each pack or container (in `listed`) that members are needed from.
void AddRanges(DownloadBatch& batch, const std::vector<ManifestPack>& listed,
               std::map<std::string, std::vector<PackMember>>& needed, bool frames) {
    for (const ManifestPack& pack : listed) {
        const auto members = needed.find(pack.sha256);
        if (members == needed.end()) continue;
        PackRequestPlan plan = PlanPackRanges(members->second, pack.size);
        for (PackRange& range : plan.ranges) {
            for (const PackMember& m : range.members) batch.inPack[m.id] = 1;
            batch.packJobs.push_back(PackRangeJob{&pack, frames, std::move(range)});
        }
    }
}

// Members that come as frames (`inContainers`) while their raw bytes lie inside a range already asked of their
// pack, between two members needed from it: those bytes cross the line anyway, so the member is taken from
// the pack and its frames are not asked for. The pack's ranges stay as they were.
void TakeWhatPackRangesCarry(DownloadBatch& batch, std::map<std::string, std::vector<PackMember>>& inPacks,
                             std::map<std::string, std::vector<PackMember>>& inContainers) {
    std::map<std::string, std::vector<PackMember>> framedInPacks;  // by pack: the framed members' raw places
    for (const auto& container : inContainers) {
        for (const PackMember& m : container.second) {
            const ManifestFile& file = JobFile(batch, m.id);
            if (file.packSha256.empty()) continue;
            framedInPacks[file.packSha256].push_back(PackMember{file.packOffset, file.size, m.id});
        }
    }
    std::set<std::size_t> moved;
    for (const ManifestPack& pack : batch.manifest->packs) {
        const auto needed = inPacks.find(pack.sha256);
        const auto framed = framedInPacks.find(pack.sha256);
        if (needed == inPacks.end() || framed == framedInPacks.end()) continue;
        const PackRequestPlan plan = PlanPackRanges(needed->second, pack.size);
        for (const PackMember& m : framed->second) {
            const bool carried = std::any_of(plan.ranges.begin(), plan.ranges.end(), [&](const PackRange& r) {
                return m.length > 0 && m.offset >= r.offset && m.offset + m.length <= r.offset + r.length;
            });
            if (carried && moved.insert(m.id).second) needed->second.push_back(m);
        }
    }
    if (moved.empty()) return;
    for (const std::size_t k : moved) batch.rangePatch[k] = -1;  // a patch it had is not asked for either
    for (auto& container : inContainers) {
        std::vector<PackMember>& members = container.second;
        const auto taken = [&](const PackMember& m) { return moved.count(m.id) != 0; };
        members.erase(std::remove_if(members.begin(), members.end(), taken), members.end());
    }
}

}  // namespace

void PlanPackJobs(DownloadBatch& batch) {
    batch.packJobs.clear();
    batch.inPack.assign(batch.jobs->size(), 0);
    batch.rangePatch.assign(batch.jobs->size(), -1);
    if (batch.hosts.empty()) return;
    const std::vector<int> patches = PatchesOfLocalCopies(batch);
    std::map<std::string, std::vector<PackMember>> inPacks;
    std::map<std::string, std::vector<PackMember>> inContainers;
    for (std::size_t k = 0; k < batch.jobs->size(); ++k) {
        const ManifestFile& file = JobFile(batch, k);
        if (patches[k] >= 0) {
            const EncodedPlace& place = file.offers.patches[static_cast<std::size_t>(patches[k])].frames;
            inContainers[place.containerSha256].push_back(PackMember{place.offset, place.length, k});
            batch.rangePatch[k] = patches[k];
        } else if (patches[k] == kOwnFetch) {
            continue;
        } else if (file.offers.compressed.Listed() &&
                   (!file.offers.compressed.FillsContainer() || !file.packSha256.empty())) {
            // A file in a pack is small: its compressed copy comes as a member even when it is alone in its
            // container. A big file's comes by itself, after its patch and its delta.
            const EncodedPlace& place = file.offers.compressed;
            inContainers[place.containerSha256].push_back(PackMember{place.offset, place.length, k});
        } else if (!file.packSha256.empty()) {
            inPacks[file.packSha256].push_back(PackMember{file.packOffset, file.size, k});
        }
    }
    TakeWhatPackRangesCarry(batch, inPacks, inContainers);
    AddRanges(batch, batch.manifest->packs, inPacks, false);
    AddRanges(batch, batch.manifest->containers, inContainers, true);
    SpreadOverSlots(batch.packJobs);
}

DWORD WINAPI RunDownloadWorker(void* param) {
    RunJobs(*static_cast<DownloadBatch*>(param), true);
    return 0;
}

void RunDownloadsSequentially(DownloadBatch& batch) {
    RunJobs(batch, false);
}

void RunDownloadBatch(DownloadBatch& batch) {
    PlanPackJobs(batch);
    const int workers = batch.jobCount < kMaxDownloadWorkers ? static_cast<int>(batch.jobCount) : kMaxDownloadWorkers;
    SetDownloadsUnderway(true);
    {
        ThreadGroup threads;
        for (int i = 0; i < workers; ++i) threads.Start(RunDownloadWorker, &batch);
        if (threads.Count() == 0) RunDownloadsSequentially(batch);
    }
    SetDownloadsUnderway(false);
}
