#include "update/Preload.h"

#include "LongPath.h"
#include "PlayerTexts.h"
#include "TextFormat.h"
#include "Threads.h"
#include "Win32Handles.h"
#include "common/PathRules.h"
#include "update/DebugLog.h"
#include "update/DownloadWorkers.h"
#include "update/FileCheck.h"
#include "update/HeldFiles.h"
#include "update/LocalFiles.h"
#include "update/ManifestTrust.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"
#include "update/TransferGate.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace {

constexpr wchar_t kPartSuffix[] = L".part";
// A file listed under several paths is copied, from memory, to the others up to this size; a larger one is
// fetched for them.
constexpr std::uint64_t kCopiedInMemoryBytes = 64ull * 1024 * 1024;

std::wstring StagingDir(const std::wstring& launcherDir) {
    return launcherDir + kStagingFolderName + L"\\";
}

std::wstring StagedName(const std::string& sha256) {
    return std::wstring(sha256.begin(), sha256.end());
}

// True when the manifest lists the staging folder itself or a file below it: the folder is the game's then.
bool ListsStagingFolder(const Manifest& manifest) {
    const std::wstring folder = path_rules::FileKey(std::wstring_view(kStagingFolderName));
    for (const ManifestFile& file : manifest.files) {
        const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
        if (key == folder || key.compare(0, folder.size() + 1, folder + L"/") == 0) return true;
    }
    return false;
}

// False when the staging folder is a link or is reached through one; a missing one is plain.
bool StagingIsPlain(const std::wstring& launcherDir) {
    return !local_files::CrossesLink(launcherDir, std::wstring(kStagingFolderName) + L"\\probe");
}

std::uint64_t SecondsSince1970() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t ticks = (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    constexpr std::uint64_t kTicksTo1970 = 116444736000000000ull;
    return ticks > kTicksTo1970 ? (ticks - kTicksTo1970) / 10000000 : 0;
}

// "YYYY-MM-DD HH:MM:SS UTC" for the log.
std::string FormatUtc(std::uint64_t seconds) {
    const std::uint64_t ticks = seconds * 10000000 + 116444736000000000ull;
    FILETIME time = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc = {};
    if (!FileTimeToSystemTime(&time, &utc)) return std::to_string(seconds);
    char text[32] = {};
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay, utc.wHour,
                  utc.wMinute, utc.wSecond);
    return text;
}

// The files of `next` that the installed release (every file of `current`, as listed) lacks: a path it does not
// list, or lists with another digest. Each content once.
std::vector<std::size_t> ChangedFiles(const Manifest& current, const Manifest& next) {
    std::map<std::wstring, std::string> installed;
    for (const ManifestFile& file : current.files) installed[path_rules::FileKey(std::wstring_view(file.path))] = file.sha256;
    std::set<std::string> contents;
    std::vector<std::size_t> changed;
    for (std::size_t i = 0; i < next.files.size(); ++i) {
        const ManifestFile& file = next.files[i];
        const auto found = installed.find(path_rules::FileKey(std::wstring_view(file.path)));
        if (found != installed.end() && found->second == file.sha256) continue;
        if (contents.insert(file.sha256).second) changed.push_back(i);
    }
    return changed;
}

// Deletes every entry of the staging folder but the staged files named in `needed` and their ".part" files.
// Folders in it are left (the pre-load makes none). Returns how many entries went.
std::size_t CleanStaging(const std::wstring& staging, const std::set<std::wstring>& needed) {
    WIN32_FIND_DATAW entry;
    ScopedFindHandle find(FindFirstFileExW(ForFileApi(staging + L"*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find.Valid()) return 0;
    std::size_t removed = 0;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const DWORD attributes = entry.dwFileAttributes;
        const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (folder && !link) continue;
        std::wstring content = name;
        const std::size_t suffix = sizeof(kPartSuffix) / sizeof(wchar_t) - 1;
        if (content.size() > suffix && content.compare(content.size() - suffix, suffix, kPartSuffix) == 0) {
            content.resize(content.size() - suffix);
        }
        if (!link && needed.count(content)) continue;
        // A link goes as itself, never what it points to.
        const bool gone = folder ? RemoveDirectoryW(ForFileApi(staging + name).c_str()) != 0
                                 : local_files::DeleteOrGone(staging + name);
        if (gone) ++removed;
    } while (FindNextFileW(find.Get(), &entry));
    return removed;
}

// The staged copy of `file`, held alone (no sharing) so that the bytes hashed here are the bytes later moved,
// when it is there with its size and digest; invalid otherwise. One with other bytes, or one that is a link or
// has a second name, is deleted, and the log line ends with `then`.
ScopedHandle HoldStaged(const std::wstring& staging, const ManifestFile& file, const wchar_t* then) {
    const std::wstring path = staging + StagedName(file.sha256);
    std::uint64_t size = 0;
    if (!local_files::QuerySize(path, &size)) return ScopedHandle();
    if (size == file.size) {
        ScopedHandle held = local_files::OpenPart(path, size);
        if (held.Valid() && OpenFileSha256Hex(held.Get()) == file.sha256) return held;
        if (held.Valid() && local_files::DeleteOpen(held.Get())) {
            LogLineW(L"[Launcher][preload] the staged copy of %ls changed on disk: deleted%ls\n", file.path.c_str(), then);
            return ScopedHandle();
        }
    }
    local_files::DeleteOrGone(path);
    LogLineW(L"[Launcher][preload] the staged copy of %ls is not as fetched: deleted%ls\n", file.path.c_str(), then);
    return ScopedHandle();
}

// The hosts below which the announced release lies: each base URL followed by the announced folder.
std::vector<std::wstring> Below(const std::vector<std::wstring>& hosts, const std::wstring& folder) {
    std::vector<std::wstring> out;
    for (const std::wstring& host : hosts) out.push_back(host + folder);
    return out;
}

}  // namespace

void RunPreload(HWND window, const Manifest& current, const std::wstring& launcherDir, const PreloadSource& source) {
    // This thread's transfers, the announced manifest's too, end when the game starts.
    MarkPreloadThread();
    const std::wstring staging = StagingDir(launcherDir);
    if (!StagingIsPlain(launcherDir)) {
        LogLine("[Launcher][preload] %s is a link or reached through one: nothing pre-loaded, nothing taken from it\n",
                ToAnsiForLog(staging.c_str(), kLogNameBytes).c_str());
        return;
    }
    if (ListsStagingFolder(current)) {
        LogLine("[Launcher][preload] the manifest lists files in %ls: no pre-load\n", kStagingFolderName);
        return;
    }
    const NextRelease& announced = current.next;
    if (announced.manifestPath.empty()) {
        const std::size_t removed = CleanStaging(staging, {});
        if (removed > 0) LogLine("[Launcher][preload] no release announced: %zu staged file(s) removed\n", removed);
        RemoveDirectoryW(ForFileApi(staging).c_str());  // only when empty
        return;
    }
    const std::string opens = FormatUtc(announced.opensAt);
    const std::uint64_t now = SecondsSince1970();
    if (announced.opensAt <= now) {
        LogLine("[Launcher][preload] the announced release was to open at %s, before now (%s): nothing pre-loaded\n",
                opens.c_str(), FormatUtc(now).c_str());
        return;
    }
    const std::wstring folder =
        announced.manifestPath.substr(0, announced.manifestPath.size() - (sizeof(manifest_format::kNextManifestName) - 1));
    Manifest next;
    const ManifestRefusal refusal = FetchAnnouncedManifest(Below(source.manifestHosts, folder), source.keys,
                                                           current.sequence, &next);
    if (refusal != ManifestRefusal::None) {
        LogLineW(L"[Launcher][preload] the manifest announced at %ls cannot be used: nothing pre-loaded\n",
                 announced.manifestPath.c_str());
        return;
    }
    if (ListsStagingFolder(next)) {
        LogLine("[Launcher][preload] the announced manifest lists files in %ls: no pre-load\n", kStagingFolderName);
        return;
    }

    std::vector<std::size_t> changed = ChangedFiles(current, next);
    std::set<std::wstring> needed;
    for (std::size_t index : changed) needed.insert(StagedName(next.files[index].sha256));
    const std::size_t removed = CleanStaging(staging, needed);
    if (removed > 0) LogLine("[Launcher][preload] %zu staged file(s) that nothing announced needs removed\n", removed);

    std::vector<char> staged(changed.size(), 0);
    std::atomic<std::size_t> nextCheck{0};
    RunOnThreads(CheckThreadCount(changed.size()), [&] {
        for (std::size_t k = nextCheck.fetch_add(1); k < changed.size(); k = nextCheck.fetch_add(1)) {
            staged[k] = HoldStaged(staging, next.files[changed[k]], L"").Valid() ? 1 : 0;
        }
    });
    std::vector<std::size_t> jobs;
    std::uint64_t total = 0;
    std::uint64_t stagedBytes = 0;
    std::uint64_t left = 0;
    for (std::size_t k = 0; k < changed.size(); ++k) {
        const ManifestFile& file = next.files[changed[k]];
        total += file.size;
        if (staged[k]) {
            stagedBytes += file.size;
            continue;
        }
        jobs.push_back(changed[k]);
        const std::uint64_t part = local_files::SizeOrZero(staging + StagedName(file.sha256) + kPartSuffix);
        left += part <= file.size ? file.size - part : file.size;
    }
    LogLineW(L"[Launcher][preload] release %ls, opening %hs: %zu changed file(s), %llu bytes; %zu staged already\n",
             next.version.c_str(), opens.c_str(), changed.size(), static_cast<unsigned long long>(total),
             changed.size() - jobs.size());
    if (jobs.empty()) {
        PostStatusText(window, player_texts::kNextReady);
        LogLine("[Launcher][preload] the next release is ready\n");
        return;
    }
    ULARGE_INTEGER available = {};
    if (GetDiskFreeSpaceExW(ForFileApi(launcherDir).c_str(), &available, nullptr, nullptr) &&
        available.QuadPart < left + kPreloadSpareBytes) {
        LogLine("[Launcher][preload] waits for disk space: %llu bytes free, %llu still to fetch and %llu kept free\n",
                static_cast<unsigned long long>(available.QuadPart), static_cast<unsigned long long>(left),
                static_cast<unsigned long long>(kPreloadSpareBytes));
        return;
    }
    if (!local_files::CreateParentFolders(staging + L"probe")) {
        LogLine("[Launcher][preload] cannot make %s: nothing pre-loaded\n", ToAnsiForLog(staging.c_str(), kLogNameBytes).c_str());
        return;
    }

    auto batch = std::make_unique<DownloadBatch>();
    batch->notifyWindow = window;
    batch->manifest = &next;
    batch->jobs = &jobs;
    batch->launcherDir = launcherDir;
    batch->stagingDir = staging;
    batch->hosts = Below(source.downloadHosts, folder);
    batch->totalBytes = total;
    batch->bytesDone = stagedBytes;
    batch->jobCount = static_cast<long>(jobs.size());
    const int percent = total > 0 ? static_cast<int>(stagedBytes * 100 / total) : 0;
    batch->postedPercent = percent;
    PostStatusText(window, player_texts::kPreloading, percent);
    RunDownloadBatch(*batch);

    if (TransferStopped()) {
        LogLine("[Launcher][preload] stopped: the game starts; the next start goes on from here\n");
    } else if (batch->failed.load() > 0) {
        LogLine("[Launcher][preload] %ld file(s) could not be fetched; the next start tries again\n", batch->failed.load());
    } else {
        PostStatusText(window, player_texts::kNextReady);
        LogLine("[Launcher][preload] the next release is ready\n");
    }
}

std::set<std::string> StagedDigests(const Manifest& manifest, const std::wstring& launcherDir) {
    const std::wstring staging = StagingDir(launcherDir);
    std::set<std::string> digests;
    if (GetFileAttributesW(ForFileApi(staging).c_str()) == INVALID_FILE_ATTRIBUTES) return digests;
    if (!StagingIsPlain(launcherDir) || ListsStagingFolder(manifest)) return digests;
    std::map<std::string, std::uint64_t> listed;
    for (const ManifestFile& file : manifest.files) listed.emplace(file.sha256, file.size);
    WIN32_FIND_DATAW entry;
    ScopedFindHandle find(FindFirstFileExW(ForFileApi(staging + L"*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find.Valid()) return digests;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        const std::wstring name = entry.cFileName;
        if (std::any_of(name.begin(), name.end(), [](wchar_t c) { return c > 0x7F; })) continue;
        const std::string digest(name.begin(), name.end());
        const auto found = listed.find(digest);
        const std::uint64_t size = (static_cast<std::uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        if (name.size() == manifest_format::kDigestHexLength && found != listed.end() && found->second == size) {
            digests.insert(digest);
        }
    } while (FindNextFileW(find.Get(), &entry));
    return digests;
}

std::size_t TakeStagedFiles(const Manifest& manifest, const std::wstring& launcherDir, CheckCache* cache,
                            std::vector<std::size_t>* jobs) {
    const std::wstring staging = StagingDir(launcherDir);
    if (jobs->empty() || GetFileAttributesW(ForFileApi(staging).c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
    if (!StagingIsPlain(launcherDir) || ListsStagingFolder(manifest)) return 0;
    std::uint32_t volume = 0;
    if (cache && !local_files::ReadVolumeSerial(launcherDir, &volume)) cache = nullptr;

    // One staged copy per content: the first job of a content takes it by a move, the others (a file listed
    // under two paths) a copy of the file it became.
    std::map<std::string, std::vector<std::size_t>> byContent;
    for (std::size_t k = 0; k < jobs->size(); ++k) byContent[manifest.files[(*jobs)[k]].sha256].push_back(k);
    std::vector<const std::vector<std::size_t>*> contents;
    for (const auto& content : byContent) contents.push_back(&content.second);

    std::vector<char> taken(jobs->size(), 0);
    const auto record = [&](std::size_t k, const std::wstring& target) {
        const ManifestFile& file = manifest.files[(*jobs)[k]];
        local_files::DeleteOrGone(target + kPartSuffix);
        local_files::FileStamp stamp;
        if (cache && local_files::ReadStamp(target, volume, &stamp)) {
            cache->Record(path_rules::FileKey(std::wstring_view(file.path)), file.sha256, stamp);
        }
        taken[k] = 1;
    };
    std::atomic<std::size_t> nextContent{0};
    RunOnThreads(CheckThreadCount(contents.size()), [&] {
        // The folders this thread found or made: most files share one with others, and asking again costs a
        // round trip to the file system for each file (several under Wine).
        std::set<std::wstring> folders;
        const auto folderFor = [&folders](const std::wstring& target) {
            const std::wstring folder = target.substr(0, target.find_last_of(L"\\/") + 1);
            if (folders.count(folder)) return true;
            if (!local_files::CreateParentFolders(target)) return false;
            folders.insert(folder);
            return true;
        };
        for (std::size_t c = nextContent.fetch_add(1); c < contents.size(); c = nextContent.fetch_add(1)) {
            const std::vector<std::size_t>& positions = *contents[c];
            const ManifestFile& file = manifest.files[(*jobs)[positions.front()]];
            ScopedHandle held = HoldStaged(staging, file, L", fetched again");
            if (!held.Valid()) continue;
            const std::wstring target = launcherDir + file.path;
            if (!folderFor(target) || !PlaceWhenReleased(held.Get(), target, file.path.c_str())) {
                continue;
            }
            held.Reset();
            record(positions.front(), target);
            if (positions.size() == 1 || file.size > kCopiedInMemoryBytes) continue;
            std::string bytes;
            unsigned char digest[32] = {};
            if (!local_files::ReadWhole(target, file.size, &bytes) || !Sha256OfBytes(bytes.data(), bytes.size(), digest) ||
                DigestHex(digest) != file.sha256) {
                continue;
            }
            for (std::size_t i = 1; i < positions.size(); ++i) {
                const std::wstring copy = launcherDir + manifest.files[(*jobs)[positions[i]]].path;
                if (folderFor(copy) && local_files::WriteAtomically(copy, bytes)) {
                    record(positions[i], copy);
                }
            }
        }
    });
    std::vector<std::size_t> left;
    std::size_t count = 0;
    std::uint64_t bytes = 0;
    for (std::size_t k = 0; k < jobs->size(); ++k) {
        if (!taken[k]) {
            left.push_back((*jobs)[k]);
            continue;
        }
        ++count;
        bytes += manifest.files[(*jobs)[k]].size;
    }
    *jobs = std::move(left);
    if (count > 0) {
        LogLine("[Launcher][preload] %zu file(s), %llu bytes, taken from the pre-load\n", count,
                static_cast<unsigned long long>(bytes));
    }
    return count;
}
