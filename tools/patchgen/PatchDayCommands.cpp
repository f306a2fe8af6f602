#include "PatchDayCommands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>
#include <system_error>
#include <vector>

#include "ExitCodes.h"
#include "FileIo.h"
#include "ManifestFiles.h"
#include "PatchManifest.h"
#include "ReleaseHistory.h"
#include "SharedObjects.h"
#include "SigningKey.h"
#include "common/ManifestFormat.h"
#include "common/PathRules.h"

namespace {

void Say(const std::string& line) { std::fprintf(stderr, "patchgen: %s\n", line.c_str()); }

std::string Number(std::uint64_t value) { return std::to_string(value); }

// ---- what every command reads first

// The operator's key, read before anything else so that a bad one stops the command at once.
int LoadKey(const fs::path& pem, SigningKey* key) {
    std::string text, error;
    if (!ReadWholeFile(pem, &text, &error)) {
        Say("cannot read --sign-key: " + error);
        return kExitIo;
    }
    if (!key->Load(pem, &error)) {
        Say("refused: --sign-key " + error);
        return kExitRefused;
    }
    return kExitOk;
}

// The manifest at `path`, which the key must have signed.
int ReadSignedManifest(const fs::path& path, const SigningKey& key, SignedManifestText* manifest) {
    std::string text, error;
    if (!ReadWholeFile(path, &text, &error)) {
        Say(error);
        return kExitIo;
    }
    if (!ReadSignedBy(key, std::move(text), manifest, &error)) {
        Say("refused: " + DisplayPath(path) + " " + error);
        return kExitRefused;
    }
    return kExitOk;
}

// The manifest of the coming release, at manifestPath below patchDir; one that is not there is refused.
int ReadAnnounced(const fs::path& patchDir, const std::string& manifestPath, const SigningKey& key,
                  SignedManifestText* manifest) {
    const fs::path path = patchDir / PathFromUtf8(manifestPath);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(path, ec))) {
        Say("refused: there is no " + DisplayPath(path) + "; build the coming release there first (patchgen build " +
            "--out " + DisplayPath(path.parent_path()) + " --previous " + DisplayPath(patchDir) + " --sign-key ...)");
        return kExitRefused;
    }
    return ReadSignedManifest(path, key, manifest);
}

// The SEQUENCE of the manifest to write: --sequence when it is above `floor`, else floor + 1.
bool NextSequence(const PatchDayOptions& options, std::uint64_t floor, const std::string& what,
                  std::uint64_t* sequence) {
    if (options.sequence && *options.sequence <= floor) {
        Say("refused: --sequence " + Number(*options.sequence) + " is not above " + Number(floor) + ", " + what);
        return false;
    }
    if (!options.sequence && floor == UINT64_MAX) {
        Say("refused: no SEQUENCE is above " + Number(floor) + ", " + what);
        return false;
    }
    *sequence = options.sequence ? *options.sequence : floor + 1;
    return true;
}

// Signs `body` and writes it into patchDir as manifest.zst (when `compressed`) and then manifest.txt.
int PublishManifest(const fs::path& patchDir, std::string body, const SigningKey& key, bool compressed) {
    std::string error;
    if (!AppendSignature(key, &body, &error) || !WriteManifestFiles(patchDir, body, compressed, &error)) {
        Say(error);
        return kExitIo;
    }
    return kExitOk;
}

// The operator's key and the current manifest, which must announce a coming release; `advice` follows the
// refusal of one that does not.
int ReadAnnouncing(const PatchDayOptions& options, const char* advice, SigningKey* key, SignedManifestText* current) {
    int result = LoadKey(options.signKey, key);
    if (result != kExitOk) return result;
    result = ReadSignedManifest(options.patchDir / path_rules::kManifestName, *key, current);
    if (result != kExitOk) return result;
    if (!current->manifest.next) {
        Say("refused: " + DisplayPath(options.patchDir / path_rules::kManifestName) +
            " announces no coming release (no NEXT line)" + advice);
        return kExitRefused;
    }
    return kExitOk;
}

// ---- announce

// "2026-12-17T03:00:00Z", or the same without seconds, as seconds since 1970.
bool ParseOpeningTime(const std::string& text, std::uint64_t* seconds) {
    static constexpr std::size_t kWithoutSeconds = sizeof("YYYY-MM-DDTHH:MMZ") - 1;
    std::string full = text;
    if (full.size() == kWithoutSeconds && full.back() == 'Z') full.insert(kWithoutSeconds - 1, ":00");
    return manifest_format::ParseUtcTime(std::string_view(full), seconds);
}

// The NEXT line's path for a folder, which must be one the line can name and none of the tree's own folders
// (whose names are served or kept for other things).
bool NextManifestPath(const std::string& folder, std::string* path) {
    *path = folder + "/" + manifest_format::kNextManifestName;
    if (!manifest_format::IsNextManifestPath(std::string_view(*path))) {
        Say("refused: --next " + DisplayText(folder) +
            ": give a folder below PATCHDIR of ASCII letters, digits, '-', '_' and '.', with '/' between folder names "
            "('.' and '..' are none)");
        return false;
    }
    static const char* const kOwnFolders[] = {path_rules::kFilesDir, path_rules::kDeltaDir, path_rules::kPacksDir,
                                               path_rules::kCompressedDir, kHistoryDirName};
    for (const fs::path& name : fs::path(folder)) {
        for (const char* own : kOwnFolders) {
            if (path_rules::EqualsAsciiNoCase(std::string_view(name.string()), own)) {
                Say("refused: --next " + DisplayText(folder) + ": " + own +
                    " is a folder of the patch tree itself; name the coming release's folder otherwise (next, say)");
                return false;
            }
        }
    }
    return true;
}

// ---- open

// A file a manifest serves: its path below the patch base, its size and digest.
struct ServedFile {
    std::string served;  // "files/<path>"
    std::uint64_t size = 0;
    std::string sha256;
};

std::vector<ServedFile> FilesOf(const PatchManifest& manifest) {
    std::vector<ServedFile> files;
    for (const PatchFileEntry& f : manifest.files) {
        files.push_back({path_rules::ServedPath(std::string_view(f.path)), f.size, f.sha256});
    }
    if (manifest.launcherSelf) {
        files.push_back({path_rules::ServedPath(std::string_view(path_rules::kLauncherExeName)),
                         manifest.launcherSelf->size, manifest.launcherSelf->sha256});
    }
    return files;
}

bool HasFileOfSize(const fs::path& path, std::uint64_t size) {
    std::error_code ec;
    return fs::is_regular_file(fs::status(path, ec)) && fs::file_size(path, ec) == size && !ec;
}

// Every file and object the coming release names must be at hand, of its size, before anything is written.
int CheckComplete(const fs::path& patchDir, const fs::path& nextDir, const PatchManifest& next) {
    std::vector<std::string> missing;
    for (const ServedFile& f : FilesOf(next)) {
        if (!HasFileOfSize(nextDir / PathFromUtf8(f.served), f.size)) missing.push_back(f.served);
    }
    for (const ServedObject& o : ObjectsOf(next)) {
        if (!HasObject(nextDir, o) && !HasObject(patchDir, o)) missing.push_back(o.served);
    }
    if (missing.empty()) return kExitOk;
    for (const std::string& served : missing) {
        Say("refused: " + DisplayPath(nextDir / PathFromUtf8(served)) +
            " is missing or not of the size its manifest says");
    }
    Say("nothing written: the coming release in " + DisplayPath(nextDir) +
        " is not complete; run patchgen verify on it");
    return kExitRefused;
}

struct OpenReport {
    std::size_t objectsLinked = 0;
    std::size_t objectsCopied = 0;
    std::size_t objectsThere = 0;
    std::size_t filesLinked = 0;
    std::size_t filesCopied = 0;
    std::size_t filesSame = 0;
    std::vector<std::string> changed;  // served paths whose bytes are new at open
    std::vector<std::string> left;     // served paths (files and objects) only the closed release uses
    std::vector<fs::path> written;
};

// Links or copies the coming release's `served` path to the same place in the current tree, making its parent
// folders below `root`, and counts it in *linked or *copied; false once it has said why it cannot.
bool BringServed(const fs::path& patchDir, const fs::path& root, const fs::path& nextDir, const std::string& served,
                 std::size_t* linked, std::size_t* copied, std::vector<fs::path>* written) {
    const fs::path target = patchDir / PathFromUtf8(served);
    std::string error;
    bool wasLinked = false;
    if (!PrepareParentDirectories(root, target, &error) ||
        !LinkOrCopyFile(nextDir / PathFromUtf8(served), target, &wasLinked, &error)) {
        Say(error);
        return false;
    }
    ++*(wasLinked ? linked : copied);
    written->push_back(target);
    return true;
}

// a. The coming release's objects that the current tree lacks: named after their content, they disturb no one.
int BringObjects(const fs::path& patchDir, const fs::path& nextDir, const PatchManifest& current,
                 const PatchManifest& next, OpenReport* report) {
    std::set<std::string> opened;
    for (const ServedObject& o : ObjectsOf(next)) opened.insert(o.served);
    for (const ServedObject& o : ObjectsOf(current)) {
        if (!opened.count(o.served)) report->left.push_back(o.served);
    }
    for (const ServedObject& o : ObjectsOf(next)) {
        if (HasObject(patchDir, o)) {
            ++report->objectsThere;
            continue;
        }
        if (!BringServed(patchDir, patchDir, nextDir, o.served, &report->objectsLinked, &report->objectsCopied,
                         &report->written)) {
            return kExitIo;
        }
    }
    return kExitOk;
}

// b. The coming release's files into files/, each in one rename; a file the current manifest lists with the same
// bytes stays as it is.
int BringFiles(const fs::path& patchDir, const fs::path& nextDir, const PatchManifest& current,
               const PatchManifest& next, OpenReport* report) {
    std::set<std::string> now;
    for (const ServedFile& f : FilesOf(current)) now.insert(f.served + "|" + Number(f.size) + "|" + f.sha256);
    const fs::path filesRoot = patchDir / path_rules::kFilesDir;
    for (const ServedFile& f : FilesOf(next)) {
        const fs::path target = patchDir / PathFromUtf8(f.served);
        if (now.count(f.served + "|" + Number(f.size) + "|" + f.sha256) && HasFileOfSize(target, f.size)) {
            ++report->filesSame;
            continue;
        }
        std::error_code ec;
        // A folder of the closed release where the opened one has a file.
        if (fs::is_directory(fs::symlink_status(target, ec))) {
            fs::remove_all(target, ec);
            if (ec) {
                Say("cannot remove " + DisplayPath(target) + ": " + ec.message());
                return kExitIo;
            }
        }
        if (!BringServed(patchDir, filesRoot, nextDir, f.served, &report->filesLinked, &report->filesCopied,
                         &report->written)) {
            return kExitIo;
        }
        report->changed.push_back(f.served);
    }
    // Compared as Windows compares names: on a disk that folds letter case, a path whose case alone changed is the
    // opened release's file, which must never be listed for removal. One that made way for a folder is gone.
    std::set<std::string> opened;
    for (const ServedFile& f : FilesOf(next)) opened.insert(path_rules::FileKey(std::string_view(f.served)));
    for (const ServedFile& f : FilesOf(current)) {
        std::error_code ec;
        if (!opened.count(path_rules::FileKey(std::string_view(f.served))) &&
            fs::is_regular_file(fs::symlink_status(patchDir / PathFromUtf8(f.served), ec))) {
            report->left.push_back(f.served);
        }
    }
    return kExitOk;
}

void PrintOpenReport(const fs::path& nextDir, const OpenReport& report, const SignedManifestText& next,
                     const SigningKey& key, std::uint64_t sequence) {
    for (const std::string& served : report.changed) std::printf("changed %s\n", DisplayText(served).c_str());
    for (const std::string& served : report.left) {
        std::printf("left %s (only the closed release uses it)\n", DisplayText(served).c_str());
    }
    const std::string version = next.manifest.version ? " (version " + DisplayText(*next.manifest.version) + ")" : "";
    std::printf("opened %s%s: %zu object(s) brought in (%zu linked, %zu copied), %zu already there; %zu file(s) "
                "changed (%zu linked, %zu copied), %zu unchanged; history taken over\n",
                DisplayPath(nextDir).c_str(), version.c_str(), report.objectsLinked + report.objectsCopied,
                report.objectsLinked, report.objectsCopied, report.objectsThere, report.changed.size(),
                report.filesLinked, report.filesCopied, report.filesSame);
    std::printf("manifest.txt signed by key %s, sequence %llu, without a NEXT line\n", key.KeyId().c_str(),
                static_cast<unsigned long long>(sequence));
    std::printf("once launchers have moved on, remove the %zu path(s) listed as left and %s\n", report.left.size(),
                DisplayPath(nextDir).c_str());
}

}  // namespace

int RunAnnounce(const PatchDayOptions& options) {
    std::uint64_t opensAt = 0;
    if (!ParseOpeningTime(options.opens, &opensAt)) {
        Say("refused: --opens " + DisplayText(options.opens) +
            ": give the UTC time as YYYY-MM-DDTHH:MM:SSZ (or YYYY-MM-DDTHH:MMZ), a real date from 1970 on");
        return kExitRefused;
    }
    const std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
    if (opensAt <= now) {
        Say("refused: --opens " + UtcTimeText(opensAt) + " is not in the future (it is " + UtcTimeText(now) +
            " now): launchers would not pre-load it; to open the release now, announce it and run patchgen open");
        return kExitRefused;
    }
    std::string manifestPath;
    if (!NextManifestPath(options.next, &manifestPath)) return kExitRefused;
    SigningKey key;
    int result = LoadKey(options.signKey, &key);
    if (result != kExitOk) return result;
    SignedManifestText current, next;
    result = ReadSignedManifest(options.patchDir / path_rules::kManifestName, key, &current);
    if (result != kExitOk) return result;
    std::uint64_t sequence = 0;
    if (!NextSequence(options, current.Sequence(), "the current manifest's SEQUENCE", &sequence)) return kExitRefused;
    result = ReadAnnounced(options.patchDir, manifestPath, key, &next);
    if (result != kExitOk) return result;
    if (next.Sequence() <= sequence) {
        Say("refused: " + DisplayText(manifestPath) + " has SEQUENCE " + Number(next.Sequence()) +
            ", not above the current manifest's new " + Number(sequence) +
            ": launchers would refuse it; build the coming release again with --sequence " + Number(sequence + 1) +
            " or higher");
        return kExitRefused;
    }

    const std::string body = WithSequenceAndNext(current.SignedPart(), sequence, FormatNextLine(manifestPath, opensAt));
    result = PublishManifest(options.patchDir, body, key, HasCompressedManifest(options.patchDir));
    if (result != kExitOk) return result;
    if (!options.quiet) {
        std::printf("announced %s (sequence %llu), opening %s\n", DisplayText(manifestPath).c_str(),
                    static_cast<unsigned long long>(next.Sequence()), UtcTimeText(opensAt).c_str());
        std::printf("manifest.txt signed by key %s, sequence %llu\n", key.KeyId().c_str(),
                    static_cast<unsigned long long>(sequence));
    }
    return kExitOk;
}

int RunWithdraw(const PatchDayOptions& options) {
    SigningKey key;
    SignedManifestText current;
    int result = ReadAnnouncing(options, "", &key, &current);
    if (result != kExitOk) return result;
    std::uint64_t sequence = 0;
    if (!NextSequence(options, current.Sequence(), "the current manifest's SEQUENCE", &sequence)) return kExitRefused;
    result = PublishManifest(options.patchDir, WithSequenceAndNext(current.SignedPart(), sequence, ""), key,
                             HasCompressedManifest(options.patchDir));
    if (result != kExitOk) return result;
    if (!options.quiet) {
        std::printf("withdrew %s; manifest.txt signed by key %s, sequence %llu, without a NEXT line\n",
                    DisplayText(current.manifest.next->manifestPath).c_str(), key.KeyId().c_str(),
                    static_cast<unsigned long long>(sequence));
        std::printf("the coming release's folder is left as it is\n");
    }
    return kExitOk;
}

int RunOpen(const PatchDayOptions& options) {
    SigningKey key;
    SignedManifestText current, next;
    int result = ReadAnnouncing(options, "; announce it first", &key, &current);
    if (result != kExitOk) return result;
    const PatchNext announced = *current.manifest.next;
    const fs::path nextDir = (options.patchDir / PathFromUtf8(announced.manifestPath)).parent_path();
    result = ReadAnnounced(options.patchDir, announced.manifestPath, key, &next);
    if (result != kExitOk) return result;
    std::uint64_t sequence = 0;
    if (!NextSequence(options, std::max(current.Sequence(), next.Sequence()), "both manifests' SEQUENCE",
                      &sequence)) {
        return kExitRefused;
    }
    result = CheckComplete(options.patchDir, nextDir, next.manifest);
    if (result != kExitOk) return result;
    if (!options.quiet && announced.opensAt > static_cast<std::uint64_t>(std::time(nullptr))) {
        Say("note: opening before the announced time " + UtcTimeText(announced.opensAt));
    }

    // In this order, so that a launcher reading either manifest at any moment finds what it names.
    OpenReport report;
    std::string error;
    result = BringObjects(options.patchDir, nextDir, current.manifest, next.manifest, &report);
    if (result == kExitOk) result = BringFiles(options.patchDir, nextDir, current.manifest, next.manifest, &report);
    if (result != kExitOk) return result;
    if (!TakeOverHistory(options.patchDir, nextDir, &error) || !SyncWrittenFiles(report.written, &error)) {
        Say(error);
        return kExitIo;
    }
    result = PublishManifest(options.patchDir, WithSequenceAndNext(next.SignedPart(), sequence, ""), key,
                             HasCompressedManifest(nextDir));
    if (result != kExitOk) return result;
    if (!options.quiet) PrintOpenReport(nextDir, report, next, key, sequence);
    return kExitOk;
}
