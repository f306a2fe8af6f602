#include "ReleaseHistory.h"

#include <algorithm>
#include <system_error>

#include "FileDigest.h"
#include "FileIo.h"
#include "Sha256Hasher.h"
#include "common/PathRules.h"

namespace {

constexpr char kReleasesName[] = "releases.txt";
constexpr char kManifestsDir[] = "manifests";
constexpr char kFilesDir[] = "files";
constexpr char kDeclinedName[] = "declined.txt";

fs::path ManifestPath(const fs::path& dir, std::string_view sha256) {
    return HistoryDir(dir) / kManifestsDir / (std::string(sha256) + ".txt");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end > at) lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

bool Listed(const PatchFileEntry& f, std::uint64_t limit) { return f.size > 0 && f.size <= limit; }

fs::path SourceOf(const EarlierRelease& release, const PatchFileEntry& f) {
    if (!release.byPath) return release.bytesRoot / f.sha256;
    return release.bytesRoot / PathFromUtf8(path_rules::ServedPath(std::string_view(f.path)));
}

// Gives `target` the bytes of `source`: a hard link where the file system allows, else a copy checked against
// the digest that names it. Nothing when the source is missing or the copy has other bytes.
bool KeepBytes(const fs::path& source, const fs::path& target, const std::string& sha256, std::string* error) {
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(target, ec))) return true;
    if (!fs::is_regular_file(fs::status(source, ec))) return true;
    return LinkOrCheckedCopy(source, target, sha256, error) != CheckedPlacement::NotMoved;
}

bool MakeDirectories(const fs::path& dir, std::string* error) {
    std::error_code ec;
    fs::create_directories(HistoryDir(dir) / kManifestsDir, ec);
    if (!ec) fs::create_directories(HistoryDir(dir) / kFilesDir, ec);
    if (ec) *error = "cannot create " + DisplayPath(HistoryDir(dir)) + ": " + ec.message();
    return !ec;
}

bool KeepManifest(const fs::path& dir, const std::string& sha256, std::string_view text, std::string* error) {
    const fs::path path = ManifestPath(dir, sha256);
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(path, ec))) return true;
    return WriteFileAtomically(path, text, error, false);
}

// Removes every entry of `dir` whose name `keep` does not hold.
bool RemoveOthers(const fs::path& dir, const std::set<std::string>& keep, std::string* error) {
    std::error_code ec;
    std::vector<fs::path> gone;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!keep.count(it->path().filename().string())) gone.push_back(it->path());
    }
    for (const fs::path& p : gone) {
        fs::remove_all(p, ec);
        if (ec) break;
    }
    if (ec) *error = "cannot clean " + DisplayPath(dir) + ": " + ec.message();
    return !ec;
}

}  // namespace

std::vector<EarlierRelease> ReadReleases(const fs::path& dir, std::size_t count) {
    std::vector<EarlierRelease> releases;
    if (count == 0) return releases;
    std::string list;
    if (!ReadWholeFile(HistoryDir(dir) / kReleasesName, &list, nullptr)) {
        EarlierRelease only;
        if (!ReadWholeFile(dir / path_rules::kManifestName, &only.manifestText, nullptr)) return releases;
        only.manifestSha256 = Sha256Hex(only.manifestText);
        only.manifest = ReadPatchManifest(only.manifestText, nullptr);
        only.bytesRoot = dir;
        only.byPath = true;
        releases.push_back(std::move(only));
        return releases;
    }
    for (const std::string& sha256 : Lines(list)) {
        if (releases.size() == count) break;
        EarlierRelease release;
        release.manifestSha256 = sha256;
        if (!ReadWholeFile(ManifestPath(dir, sha256), &release.manifestText, nullptr) ||
            Sha256Hex(release.manifestText) != sha256) {
            continue;
        }
        release.manifest = ReadPatchManifest(release.manifestText, nullptr);
        release.bytesRoot = HistoryDir(dir) / kFilesDir;
        releases.push_back(std::move(release));
    }
    return releases;
}

fs::path HistoryDir(const fs::path& patchDir) { return patchDir / kHistoryDirName; }

fs::path HistoryFilePath(const fs::path& patchDir, std::string_view sha256) {
    return HistoryDir(patchDir) / kFilesDir / std::string(sha256);
}

bool BringIntoHistory(const fs::path& patchDir, const std::vector<EarlierRelease>& releases, std::uint64_t limit,
                      std::string* error) {
    if (releases.empty()) return true;
    if (!MakeDirectories(patchDir, error)) return false;
    for (const EarlierRelease& release : releases) {
        if (!KeepManifest(patchDir, release.manifestSha256, release.manifestText, error)) return false;
        for (const PatchFileEntry& f : release.manifest.files) {
            if (Listed(f, limit) &&
                !KeepBytes(SourceOf(release, f), HistoryFilePath(patchDir, f.sha256), f.sha256, error))
                return false;
        }
    }
    return true;
}

bool RecordRelease(const fs::path& patchDir, std::string_view manifestText, const PatchManifest& manifest,
                   const std::vector<EarlierRelease>& earlier, std::uint64_t limit, std::string* error) {
    const std::string sha256 = Sha256Hex(manifestText);
    if (sha256.empty()) {
        *error = "cannot hash the manifest: the crypto library failed";
        return false;
    }
    if (!MakeDirectories(patchDir, error) || !KeepManifest(patchDir, sha256, manifestText, error)) return false;
    std::string list = sha256 + "\n";
    std::set<std::string> manifests = {sha256 + ".txt"};
    std::set<std::string> files;
    for (const PatchFileEntry& f : manifest.files) {
        if (!Listed(f, limit)) continue;
        const fs::path served = patchDir / PathFromUtf8(path_rules::ServedPath(std::string_view(f.path)));
        if (!KeepBytes(served, HistoryFilePath(patchDir, f.sha256), f.sha256, error)) return false;
        files.insert(f.sha256);
    }
    for (const EarlierRelease& release : earlier) {
        if (!manifests.insert(release.manifestSha256 + ".txt").second) continue;
        list += release.manifestSha256 + "\n";
        for (const PatchFileEntry& f : release.manifest.files) {
            if (Listed(f, limit)) files.insert(f.sha256);
        }
    }
    return WriteFileAtomically(HistoryDir(patchDir) / kReleasesName, list, error, false) &&
           RemoveOthers(HistoryDir(patchDir) / kManifestsDir, manifests, error) &&
           RemoveOthers(HistoryDir(patchDir) / kFilesDir, files, error);
}

bool TakeOverHistory(const fs::path& patchDir, const fs::path& from, std::string* error) {
    std::string theirs;
    if (!ReadWholeFile(HistoryDir(from) / kReleasesName, &theirs, nullptr)) return true;
    if (!MakeDirectories(patchDir, error)) return false;
    for (const char* folder : {kManifestsDir, kFilesDir}) {
        std::error_code ec;
        for (fs::directory_iterator it(HistoryDir(from) / folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            const fs::path stem = it->path().stem();
            if (it->path().extension() == kTempSuffix) continue;
            // Both are named after the digest of their bytes, manifests with ".txt".
            const std::string sha256 = folder == kFilesDir ? name : stem.string();
            if (!KeepBytes(it->path(), HistoryDir(patchDir) / folder / name, sha256, error)) return false;
        }
        if (ec) {
            *error = "cannot list " + DisplayPath(HistoryDir(from) / folder) + ": " + ec.message();
            return false;
        }
    }
    std::string ours, list;
    ReadWholeFile(HistoryDir(patchDir) / kReleasesName, &ours, nullptr);
    const std::vector<std::string> listed = Lines(theirs);
    for (const std::string& sha256 : listed) list += sha256 + "\n";
    for (const std::string& sha256 : Lines(ours)) {
        if (std::find(listed.begin(), listed.end(), sha256) == listed.end()) list += sha256 + "\n";
    }
    return WriteFileAtomically(HistoryDir(patchDir) / kReleasesName, list, error, false) &&
           WriteDeclined(patchDir, ReadDeclined(from), error);
}

std::set<std::string> ReadDeclined(const fs::path& dir) {
    std::string text;
    if (!ReadWholeFile(HistoryDir(dir) / kDeclinedName, &text, nullptr)) return {};
    const std::vector<std::string> lines = Lines(text);
    return std::set<std::string>(lines.begin(), lines.end());
}

bool WriteDeclined(const fs::path& patchDir, const std::set<std::string>& declined, std::string* error) {
    std::string text;
    for (const std::string& line : declined) text += line + "\n";
    return MakeDirectories(patchDir, error) &&
           WriteFileAtomically(HistoryDir(patchDir) / kDeclinedName, text, error, false);
}
