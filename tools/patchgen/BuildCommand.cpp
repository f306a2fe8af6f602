#include "BuildCommand.h"

#include <algorithm>
#include <cstdio>
#include <thread>
#include <ctime>
#include <set>
#include <system_error>
#include <vector>

#include "ByteRelay.h"
#include "CompressedFiles.h"
#include "DeltaIndexFiles.h"
#include "ExitCodes.h"
#include "FileDigest.h"
#include "FileIo.h"
#include "GameTree.h"
#include "ManifestFiles.h"
#include "PackFiles.h"
#include "PatchManifest.h"
#include "Progress.h"
#include "PublishRules.h"
#include "ReleaseHistory.h"
#include "SharedObjects.h"
#include "SigningKey.h"
#include "common/PathRules.h"

namespace {

void Say(const std::string& line) { std::fprintf(stderr, "patchgen: %s\n", line.c_str()); }

bool IsWithin(const fs::path& inner, const fs::path& outer) {
    auto o = outer.begin(), i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end()) break;  // trailing separator
        if (i == inner.end() || *i != *o) return false;
    }
    return true;
}

bool RemoveLeftover(const fs::path& path, std::string* error) {
    std::error_code ec;
    fs::file_status st = fs::symlink_status(path, ec);
    if (!fs::exists(st)) return true;
    if (fs::is_directory(st)) fs::remove_all(path, ec);
    else fs::remove(path, ec);
    if (ec) *error = "cannot remove " + DisplayPath(path) + ": " + ec.message();
    return !ec;
}

// Puts the content of `source` at `target` by way of a temporary name, as a hard link when the file
// system allows and as a copy otherwise, and hashes what is served.
bool PublishFile(const fs::path& source, const fs::path& target, bool allowLink, FileDigest* digest,
                 Progress* progress, std::string* error, const ReadAlong& along = {}) {
    BytesDone onBytes = [progress](std::uint64_t n) { ProgressAddBytes(progress, n); };
    std::error_code ec;
    fs::file_status st = fs::symlink_status(target, ec);
    if (fs::is_directory(st) && !RemoveLeftover(target, error)) return false;
    if (allowLink && fs::is_regular_file(st) && fs::equivalent(source, target, ec) && !ec)
        return HashFile(target, digest, error, onBytes, along);

    fs::path temp = target;
    temp += kTempSuffix;
    if (!RemoveLeftover(temp, error)) return false;
    bool linked = false;
    if (allowLink) {
        fs::create_hard_link(source, temp, ec);
        linked = !ec;
    }
    if (!linked && !CopyAndHashFile(source, temp, digest, error, onBytes, along)) {
        fs::remove(temp, ec);
        return false;
    }
    if (!ReplaceWith(temp, target, error)) {
        fs::remove(temp, ec);
        return false;
    }
    return linked ? HashFile(target, digest, error, onBytes, along) : true;
}

std::string RelativeUtf8(const fs::path& root, const fs::path& path) {
    std::string utf8;
    PathToUtf8(path.lexically_relative(root), &utf8);
#ifdef _WIN32
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
#endif
    return utf8;
}

// Removes what an earlier build left under files/ that this build does not serve, then empty directories.
bool RemoveStale(const fs::path& filesRoot, const std::set<std::string>& served, bool quiet, std::string* error) {
    std::error_code ec;
    std::vector<fs::path> stale;
    std::vector<fs::path> dirs;
    for (fs::recursive_directory_iterator it(filesRoot, ec), end; !ec && it != end; it.increment(ec)) {
        fs::file_status st = it->symlink_status(ec);
        if (ec) break;
        if (fs::is_directory(st)) dirs.push_back(it->path());
        else if (!served.count(RelativeUtf8(filesRoot, it->path()))) stale.push_back(it->path());
    }
    if (ec) {
        *error = "cannot list " + DisplayPath(filesRoot) + ": " + ec.message();
        return false;
    }
    for (const fs::path& p : stale) {
        if (!quiet) Say("removed stale " + DisplayPath(p));
        if (!fs::remove(p, ec) && ec) {
            *error = "cannot remove " + DisplayPath(p) + ": " + ec.message();
            return false;
        }
    }
    // Deepest first, so a directory emptied by its children goes too.
    std::sort(dirs.begin(), dirs.end(), [](const fs::path& a, const fs::path& b) {
        return std::distance(a.begin(), a.end()) > std::distance(b.begin(), b.end());
    });
    for (const fs::path& d : dirs) {
        if (fs::is_empty(d, ec) && !ec) fs::remove(d, ec);
    }
    return true;
}

bool CheckValue(const char* option, const std::optional<std::string>& value) {
    if (!value) return true;
    std::string problem = HeaderValueProblem(*value);
    if (problem.empty()) return true;
    Say(std::string("refused: ") + option + " value " + problem);
    return false;
}

// What one build has put under files/ and delta/ so far, and the manifest that describes it.
struct Publication {
    fs::path filesRoot;
    PatchManifest manifest;
    std::set<std::string> served;   // paths below files/, as the launcher asks for them
    std::set<std::string> indices;  // names below delta/
    std::set<std::string> packs;    // names below packs/
    std::set<std::string> objects;  // names below z/
    std::uint64_t gameBytes = 0;
    FileDigest launcher;
};

// The signing key, read before anything is published so that a bad one stops the build at once.
int LoadSigningKey(const BuildOptions& options, SigningKey* key) {
    std::string text, error;
    if (!ReadWholeFile(*options.signKey, &text, &error)) {
        Say("cannot read --sign-key: " + error);
        return kExitIo;
    }
    if (!key->Load(*options.signKey, &error)) {
        Say("refused: --sign-key " + error);
        return kExitRefused;
    }
    return kExitOk;
}

// The values, the launcher file and the two directories, before anything is read or written.
int CheckInputs(const BuildOptions& options) {
    bool valuesOk = CheckValue("--version", options.version);
    valuesOk = CheckValue("--status", options.status) && valuesOk;
    valuesOk = CheckValue("--news", options.news) && valuesOk;
    if (!valuesOk) return kExitRefused;

    std::error_code ec;
    if (!fs::is_regular_file(fs::status(options.launcher, ec))) {
        Say("cannot use launcher " + DisplayPath(options.launcher) + ": not a readable regular file");
        return kExitIo;
    }
    if (fs::file_size(options.launcher, ec) == 0 && !ec) {
        Say("refused: launcher " + DisplayPath(options.launcher) + " is empty; LAUNCHER_SELF needs a non-zero size");
        return kExitRefused;
    }

    fs::path gameAbs = fs::weakly_canonical(fs::absolute(options.game, ec), ec);
    fs::path outAbs = fs::weakly_canonical(fs::absolute(options.out, ec), ec);
    if (IsWithin(outAbs, gameAbs) || IsWithin(gameAbs, outAbs)) {
        Say("--out and --game must not contain one another (" + DisplayPath(outAbs) + ", " + DisplayPath(gameAbs) +
            ")");
        return kExitUsage;
    }
    return kExitOk;
}

// Walks the game directory; every name that cannot be published is reported and refuses the build.
int ScanGame(const BuildOptions& options, GameTree* tree) {
    std::string error;
    if (!ScanGameTree(options.game, tree, &error)) {
        Say(error);
        return kExitIo;
    }
    if (!options.quiet) {
        for (const std::string& note : tree->notes) Say("note: " + note);
    }
    if (!tree->refusals.empty()) {
        for (const std::string& refusal : tree->refusals) Say("refused: " + refusal);
        Say("nothing written: " + std::to_string(tree->refusals.size()) + " path(s) cannot be published");
        return kExitRefused;
    }
    return kExitOk;
}

// The chunk indices of one build: made on the relay's thread from the bytes read for the files' digests,
// written here in file order as they become ready, then synced in one go before the manifest names them.
struct IndexWriter {
    std::vector<MadeIndex> made;   // one per game file; never resized, as the relay's jobs point into it
    std::vector<std::size_t> jobs;  // the files that have a job, in order
    std::size_t placed = 0;         // jobs[0, placed) are written
    std::vector<fs::path> written;
};

// Writes the indices whose jobs are done, up to the first that is not (every one when `all`, after the
// relay's Wait), and puts their DELTA lines into the manifest.
int PlaceIndices(const fs::path& out, const fs::path& shareFrom, IndexWriter* writer, bool all,
                 Publication* publication) {
    std::string error;
    for (; writer->placed < writer->jobs.size(); ++writer->placed) {
        const std::size_t file = writer->jobs[writer->placed];
        const MadeIndex& made = writer->made[file];
        if (!all && !made.ready.load(std::memory_order_acquire)) break;
        if (!made.error.empty()) {
            Say(made.error);
            return kExitIo;
        }
        if (made.bytes.empty()) continue;
        bool wrote = false;
        if (!PlaceIndex(out, shareFrom, made, &wrote, &error)) {
            Say(error);
            return kExitIo;
        }
        if (wrote) writer->written.push_back(out / PathFromUtf8(ChunkIndexServedPath(made.fileSha256)));
        publication->manifest.files[file].delta = made.delta;
        publication->indices.insert(fs::path(ChunkIndexServedPath(made.fileSha256)).filename().string());
    }
    if (all && !SyncWrittenFiles(writer->written, &error)) {
        Say(error);
        return kExitIo;
    }
    return kExitOk;
}

// Serves every game file and the launcher under files/, hashing what is served, and their chunk indices
// under delta/ (linked from the release players have now where it has the same).
int PublishFiles(const BuildOptions& options, const fs::path& previousDir, const GameTree& tree,
                 Publication* publication) {
    std::error_code ec;
    publication->filesRoot = options.out / path_rules::kFilesDir;
    fs::create_directories(publication->filesRoot, ec);
    if (ec || !fs::is_directory(publication->filesRoot)) {
        Say("cannot create " + DisplayPath(publication->filesRoot) + (ec ? ": " + ec.message() : std::string()));
        return kExitIo;
    }
    const fs::path shareFrom = ShareSource(previousDir, options.out);

    std::uint64_t totalBytes = fs::file_size(options.launcher, ec);
    for (const GameFile& f : tree.files) totalBytes += f.size;
    Progress progress;
    ProgressStart(&progress, ProgressWanted(options.quiet, options.forceProgress), tree.files.size() + 1, totalBytes);

    std::string error;
    IndexWriter indices;
    indices.made = std::vector<MadeIndex>(tree.files.size());
    ByteRelay relay;  // after `indices`: going first, it lets the jobs that write into indices.made finish
    for (std::size_t i = 0; i < tree.files.size(); ++i) {
        const GameFile& f = tree.files[i];
        fs::path target = publication->filesRoot / PathFromUtf8(f.path);
        FileDigest digest;
        ReadAlong along;
        if (f.size >= kChunkIndexMinFileSize) {
            along = {&relay, MakeIndexJob(&indices.made[i])};
            indices.jobs.push_back(i);
        }
        if (!PrepareParentDirectories(publication->filesRoot, target, &error) ||
            !PublishFile(f.source, target, true, &digest, &progress, &error, along)) {
            ProgressFinish(&progress);
            Say(error);
            return kExitIo;
        }
        publication->manifest.files.push_back(
            {f.path, digest.size, digest.sha256, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {}});
        publication->served.insert(f.path);
        publication->gameBytes += digest.size;
        ProgressFileDone(&progress);
        const int placed = PlaceIndices(options.out, shareFrom, &indices, false, publication);
        if (placed != kExitOk) {
            ProgressFinish(&progress);
            return placed;
        }
    }

    // A copy, not a link: the launcher build output is often rewritten in place by the next compile.
    if (!PublishFile(options.launcher, publication->filesRoot / path_rules::kLauncherExeName, false,
                     &publication->launcher, &progress, &error)) {
        ProgressFinish(&progress);
        Say(error);
        return kExitIo;
    }
    ProgressFileDone(&progress);
    ProgressFinish(&progress);
    if (publication->launcher.size == 0) {
        Say("refused: launcher " + DisplayPath(options.launcher) + " became empty while it was copied");
        return kExitRefused;
    }
    publication->manifest.launcherSelf = PatchLauncherEntry{publication->launcher.size, publication->launcher.sha256};
    publication->served.insert(path_rules::kLauncherExeName);
    relay.Wait();
    return PlaceIndices(options.out, shareFrom, &indices, true, publication);
}

// The manifest text, signed when there is a key: the signature covers every byte before its line.
bool ManifestText(const Publication& publication, const SigningKey* key, std::string* text) {
    *text = FormatPatchManifest(publication.manifest);
    std::string error;
    if (key && !AppendSignature(*key, text, &error)) {
        Say(error);
        return false;
    }
    return true;
}

// Removes what a directory below the patch tree holds that this build does not name, and the directory when
// that leaves it empty.
bool RemoveStaleBelow(const fs::path& root, const std::set<std::string>& names, bool quiet, std::string* error) {
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec))) return true;
    if (!RemoveStale(root, names, quiet, error)) return false;
    if (fs::is_empty(root, ec) && !ec) fs::remove(root, ec);
    return true;
}

// The manifest goes last, so that a player never sees one that names files not yet served; its compressed copy
// (manifest.zst: the manifest's bytes, signature line and all, as one frame, which launchers that know it ask for
// first) just before it. Without compressed copies there is none.
int WriteManifest(const BuildOptions& options, const Publication& publication, const SigningKey* key, std::string* text) {
    std::string error;
    if (!ManifestText(publication, key, text)) return kExitIo;
    if (!WriteManifestFiles(options.out, *text, options.level > 0, &error)) {
        Say(error);
        return kExitIo;
    }
    if (!RemoveStale(publication.filesRoot, publication.served, options.quiet, &error)) {
        Say(error);
        return kExitIo;
    }
    // Indices, packs and compressed copies go the same way as files: named after their content, an old one is
    // simply one the manifest no longer names.
    if (!RemoveStaleBelow(options.out / path_rules::kDeltaDir, publication.indices, options.quiet, &error) ||
        !RemoveStaleBelow(options.out / path_rules::kPacksDir, publication.packs, options.quiet, &error) ||
        !RemoveStaleBelow(options.out / path_rules::kCompressedDir, publication.objects, options.quiet, &error)) {
        Say(error);
        return kExitIo;
    }
    return kExitOk;
}

// The compressed copies of every file and the patches from the earlier releases, on every core.
int Compress(const BuildOptions& options, const fs::path& previousDir, const PatchManifest& previous,
             const std::vector<EarlierRelease>& earlier, const std::set<std::string>& declined,
             Publication* publication, CompressionReport* report) {
    CompressionSettings settings;
    settings.level = options.level;
    settings.packUnder = options.packUnder;
    settings.patchLimit = options.patchLimit;
    settings.threads = std::max(1u, std::thread::hardware_concurrency());
    settings.progress = ProgressWanted(options.quiet, options.forceProgress);
    const CompressionSources sources{previousDir, &previous, &earlier, &declined};
    std::string error;
    if (!WriteCompressedCopies(options.out, settings, sources, &publication->manifest, &publication->objects, report,
                               &error)) {
        Say(error);
        return kExitIo;
    }
    if (!options.quiet) {
        for (const std::string& note : report->notes) Say("note: " + note);
    }
    return kExitOk;
}

// The manifest of the release players have now, read as launchers read it. Without one in the folder being
// built over, that is the first release (empty); one named with --previous must be there.
bool ReadPreviousManifest(const fs::path& dir, bool named, PatchManifest* manifest, std::string* error) {
    std::string text;
    if (!ReadWholeFile(dir / path_rules::kManifestName, &text, error)) {
        if (named) *error = "--previous: " + *error;
        return !named;
    }
    *manifest = ReadPatchManifest(text, nullptr);
    return true;
}

}  // namespace

int RunBuild(const BuildOptions& options) {
    int result = CheckInputs(options);
    if (result != kExitOk) return result;
    SigningKey key;
    if (options.signKey) {
        result = LoadSigningKey(options, &key);
        if (result != kExitOk) return result;
    }
    GameTree tree;
    result = ScanGame(options, &tree);
    if (result != kExitOk) return result;

    // Read before anything is written: the manifest in `out` is about to be replaced.
    const fs::path previousDir = options.previous.value_or(options.out);
    PatchManifest previous;
    std::string previousError;
    if (!ReadPreviousManifest(previousDir, options.previous.has_value(), &previous, &previousError)) {
        Say(previousError);
        return kExitIo;
    }

    // The earlier releases patches start from, kept in history/; taken in before files/ is rewritten, as a tree
    // built before history/ existed keeps its release only there.
    const std::vector<EarlierRelease> earlier = ReadReleases(previousDir, options.patchReleases);
    const std::set<std::string> declined = ReadDeclined(previousDir);
    if (!BringIntoHistory(options.out, earlier, options.patchLimit, &previousError)) {
        Say(previousError);
        return kExitIo;
    }
    if (!options.quiet && options.patchLimit > kPatchBaseLimit && options.level > 0 && options.patchReleases > 0) {
        Say("note: --patch-limit is above " + std::to_string(kPatchBaseLimit) +
            " bytes: launchers never use a patch from a larger earlier version");
    }

    Publication publication;
    publication.manifest.version = options.version;
    publication.manifest.status = options.status;
    publication.manifest.news = options.news;
    publication.manifest.quickCheck = options.quickCheck;
    publication.manifest.launcherShare = options.launcherShare;
    if (options.signKey) {
        publication.manifest.sequence =
            options.sequence ? *options.sequence : static_cast<std::uint64_t>(std::time(nullptr));
    }
    result = PublishFiles(options, previousDir, tree, &publication);
    if (result != kExitOk) return result;
    std::string packError;
    if (options.packUnder > 0 && !WritePacks(options.out, options.packUnder, previousDir, previous,
                                             &publication.manifest, &publication.packs, &packError)) {
        Say(packError);
        return kExitIo;
    }
    CompressionReport compression;
    if (options.level > 0) {
        result = Compress(options, previousDir, previous, earlier, declined, &publication, &compression);
        if (result != kExitOk) return result;
    } else {
        compression.declinedNow = declined;
    }
    std::string manifestText;
    result = WriteManifest(options, publication, options.signKey ? &key : nullptr, &manifestText);
    if (result != kExitOk) return result;
    std::string historyError;
    if (!RecordRelease(options.out, manifestText, publication.manifest, earlier, options.patchLimit, &historyError) ||
        !WriteDeclined(options.out, compression.declinedNow, &historyError)) {
        Say(historyError);
        return kExitIo;
    }

    if (!options.quiet) {
        std::printf("published %zu file(s) (%zu pack(s)), %llu bytes, and Launcher.exe (%llu bytes, sha256 %s) to %s\n",
                    publication.manifest.files.size(), publication.manifest.packs.size(),
                    static_cast<unsigned long long>(publication.gameBytes),
                    static_cast<unsigned long long>(publication.launcher.size), publication.launcher.sha256.c_str(),
                    DisplayPath(options.out).c_str());
        if (options.level > 0) {
            std::printf("compressed copies and patches: %zu made, %zu reused, %zu not worth publishing (%zu more known "
                        "from before), %zu container(s); %zu job(s) on %u thread(s) in %.1f s\n",
                        compression.made, compression.reused, compression.declined, compression.skipped,
                        publication.manifest.containers.size(), compression.jobs, compression.threads,
                        compression.seconds);
        }
        if (options.signKey) {
            std::printf("signed by key %s, sequence %llu\n", key.KeyId().c_str(),
                        static_cast<unsigned long long>(*publication.manifest.sequence));
        }
    }
    return kExitOk;
}
