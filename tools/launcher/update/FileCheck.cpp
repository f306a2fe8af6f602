#include "update/FileCheck.h"

#include "PlayerTexts.h"
#include "Threads.h"
#include "common/PathRules.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

constexpr unsigned kMaxCheckThreads = 4;

// For a file the folder listings did not show.
bool SizeAndDigestMatch(const std::wstring& local, const ManifestFile& file) {
    std::uint64_t size = 0;
    if (!local_files::QuerySize(local, &size) || size != file.size) return false;  // the digest only for files whose size already matches
    return FileSha256Hex(local) == file.sha256;
}

// What one listing of each folder of the listed files tells: every file's stamp and which files have a
// ".part" beside them, both by FileKey. Opening each file, or asking for each ".part" by name, costs far
// more per file than listing its folder.
struct FolderScan {
    std::map<std::wstring, FileStamp> stamps;
    std::set<std::wstring> withPart;
    std::uint32_t volume = 0;  // the game folder's, asked once (ReadVolumeSerial)
};

void ScanFolder(const std::wstring& launcherDir, const std::wstring& folderKey, FolderScan* scan) {
    std::wstring path = launcherDir + folderKey;
    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    ScopedHandle folder = local_files::OpenFolderToList(path);
    if (!folder.Valid()) return;
    static constexpr wchar_t kPart[] = L".part";
    constexpr std::size_t kPartChars = 5;
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));  // 8-byte aligned entries
    for (FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
         GetFileInformationByHandleEx(folder.Get(), kind, buffer.data(), static_cast<DWORD>(buffer.size() * 8));
         kind = FileIdBothDirectoryInfo) {
        const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            // A link is not stamped: it is asked for by name, which refuses it.
            if (!(entry->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
                const std::wstring key = folderKey + path_rules::FileKey(name);
                if (key.size() > folderKey.size() + kPartChars && key.compare(key.size() - kPartChars, kPartChars, kPart) == 0) {
                    scan->withPart.insert(key.substr(0, key.size() - kPartChars));
                } else {
                    scan->stamps[key] = FileStamp{static_cast<std::uint64_t>(entry->EndOfFile.QuadPart),
                                                  static_cast<std::uint64_t>(entry->LastWriteTime.QuadPart),
                                                  scan->volume,
                                                  static_cast<std::uint64_t>(entry->FileId.QuadPart)};
                }
            }
            if (entry->NextEntryOffset == 0) break;
            at += entry->NextEntryOffset;
        }
    }
}

FolderScan ScanFolders(const Manifest& manifest, const std::wstring& launcherDir) {
    std::set<std::wstring> folders;
    for (const ManifestFile& file : manifest.files) {
        const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
        folders.insert(key.substr(0, key.find_last_of(L'/') + 1));  // "" or "a/b/"
    }
    FolderScan scan;
    // No listing without the volume: every file is then asked for by name.
    if (!local_files::ReadVolumeSerial(launcherDir, &scan.volume)) return scan;
    for (const std::wstring& folder : folders) ScanFolder(launcherDir, folder, &scan);
    return scan;
}

// Shared by the check's threads.
struct CheckRun {
    const Manifest* manifest;
    const std::wstring* launcherDir;
    CheckCache* cache;
    bool trustCache;
    HWND window;
    const FolderScan* scan;
    const std::set<std::string>* staged;
    std::vector<char> intact;  // per file, written by the one thread that examined it
    std::atomic<std::size_t> next{0};
    std::size_t examined = 0;  // guarded by progressLock, with progress
    ProgressPoster progress;
    std::mutex progressLock;

    bool Examine(const ManifestFile& file) {
        const std::wstring local = *launcherDir + file.path;
        const std::wstring key = path_rules::FileKey(std::wstring_view(file.path));
        const auto stamp = scan->stamps.find(key);
        const bool stamped = stamp != scan->stamps.end();
        if (staged && staged->count(file.sha256)) {
            // Its bytes are hashed once, as they are taken from the staging folder.
            if (cache) cache->Drop(key);
            return false;
        }
        bool whole = false;
        if (!stamped) {
            whole = SizeAndDigestMatch(local, file);  // not in its folder's listing: asked for by name
        } else if (stamp->second.size == file.size) {
            if (cache && trustCache && cache->Matches(key, file.sha256, stamp->second)) return true;
            const ScopedHandle listed = local_files::OpenListedToRead(local);
            whole = listed.Valid() && OpenFileSha256Hex(listed.Get()) == file.sha256;
        }
        if (cache) {
            // Stamped before hashing: a file changed meanwhile gets another stamp and is hashed again next time.
            if (whole && stamped) {
                cache->Record(key, file.sha256, stamp->second);
            } else {
                cache->Drop(key);
            }
        }
        return whole;
    }

    void CountExamined() {
        std::lock_guard<std::mutex> hold(progressLock);
        progress.Post(window, static_cast<unsigned>(++examined * 100 / manifest->files.size()));
    }

    void Work() {
        for (std::size_t i = next.fetch_add(1); i < manifest->files.size(); i = next.fetch_add(1)) {
            const ManifestFile& file = manifest->files[i];
            intact[i] = Examine(file) ? 1 : 0;
            CountExamined();
        }
    }
};

}  // namespace

unsigned CheckThreadCount(std::size_t files) {
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(std::min<std::size_t>({kMaxCheckThreads, processors, std::max<std::size_t>(files, 1)}));
}

std::vector<std::size_t> CheckFiles(HWND window, const Manifest& manifest, const std::wstring& launcherDir,
                                    CheckCache* cache, bool trustCache, const std::set<std::string>* staged) {
    PostStatusText(window, player_texts::kChecking);
    const FolderScan scan = ScanFolders(manifest, launcherDir);
    CheckRun run{&manifest, &launcherDir, cache, trustCache, window, &scan, staged,
                 std::vector<char>(manifest.files.size(), 0)};
    RunOnThreads(CheckThreadCount(manifest.files.size()), [&run] { run.Work(); });

    // What a download broken off earlier left beside a file that is whole now.
    for (std::size_t i = 0; i < manifest.files.size() && !scan.withPart.empty(); ++i) {
        if (run.intact[i] && scan.withPart.count(path_rules::FileKey(std::wstring_view(manifest.files[i].path)))) {
            local_files::DeleteOrGone(launcherDir + manifest.files[i].path + L".part");
        }
    }

    std::vector<std::size_t> jobs;
    std::set<std::wstring> queued;
    for (std::size_t i = 0; i < manifest.files.size(); ++i) {
        // Two workers must never write one file: a path listed twice is queued once.
        if (!run.intact[i] && queued.insert(path_rules::FileKey(std::wstring_view(manifest.files[i].path))).second) {
            jobs.push_back(i);
        }
    }
    return jobs;
}
