#include "BuildCommand.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <system_error>
#include <vector>

#include "ExitCodes.h"
#include "FileDigest.h"
#include "FileIo.h"
#include "GameTree.h"
#include "PatchManifest.h"
#include "PathRules.h"
#include "Progress.h"

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
                 Progress* progress, std::string* error) {
    BytesDone onBytes = [progress](std::uint64_t n) { ProgressAddBytes(progress, n); };
    std::error_code ec;
    fs::file_status st = fs::symlink_status(target, ec);
    if (fs::is_directory(st) && !RemoveLeftover(target, error)) return false;
    if (allowLink && fs::is_regular_file(st) && fs::equivalent(source, target, ec) && !ec)
        return HashFile(target, digest, error, onBytes);

    fs::path temp = target;
    temp += kTempSuffix;
    if (!RemoveLeftover(temp, error)) return false;
    bool linked = false;
    if (allowLink) {
        fs::create_hard_link(source, temp, ec);
        linked = !ec;
    }
    if (!linked && !CopyAndHashFile(source, temp, digest, error, onBytes)) {
        fs::remove(temp, ec);
        return false;
    }
    if (!ReplaceWith(temp, target, error)) {
        fs::remove(temp, ec);
        return false;
    }
    return linked ? HashFile(target, digest, error, onBytes) : true;
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

}  // namespace

int RunBuild(const BuildOptions& options) {
    bool valuesOk = CheckValue("--version", options.version);
    valuesOk = CheckValue("--status", options.status) && valuesOk;
    valuesOk = CheckValue("--news", options.news) && valuesOk;
    if (!valuesOk) return kExitRefused;

    std::error_code ec;
    fs::file_status launcherStatus = fs::status(options.launcher, ec);
    if (!fs::is_regular_file(launcherStatus)) {
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

    GameTree tree;
    std::string error;
    if (!ScanGameTree(options.game, &tree, &error)) {
        Say(error);
        return kExitIo;
    }
    if (!options.quiet) {
        for (const std::string& note : tree.notes) Say("note: " + note);
    }
    if (!tree.refusals.empty()) {
        for (const std::string& refusal : tree.refusals) Say("refused: " + refusal);
        Say("nothing written: " + std::to_string(tree.refusals.size()) + " path(s) cannot be published");
        return kExitRefused;
    }

    fs::path filesRoot = options.out / kFilesDir;
    fs::create_directories(filesRoot, ec);
    if (ec || !fs::is_directory(filesRoot)) {
        Say("cannot create " + DisplayPath(filesRoot) + (ec ? ": " + ec.message() : std::string()));
        return kExitIo;
    }

    std::uint64_t totalBytes = fs::file_size(options.launcher, ec);
    for (const GameFile& f : tree.files) totalBytes += f.size;
    Progress progress;
    ProgressStart(&progress, ProgressWanted(options.quiet, options.forceProgress), tree.files.size() + 1, totalBytes);

    Manifest manifest;
    manifest.version = options.version;
    manifest.status = options.status;
    manifest.news = options.news;
    std::set<std::string> served;
    std::uint64_t publishedBytes = 0;
    for (const GameFile& f : tree.files) {
        fs::path target = filesRoot / PathFromUtf8(f.path);
        FileDigest digest;
        if (!PrepareParentDirectories(filesRoot, target, &error) ||
            !PublishFile(f.source, target, true, &digest, &progress, &error)) {
            ProgressFinish(&progress);
            Say(error);
            return kExitIo;
        }
        manifest.files.push_back({f.path, digest.size, digest.sha256});
        served.insert(f.path);
        publishedBytes += digest.size;
        ProgressFileDone(&progress);
    }

    // A copy, not a link: the launcher build output is often rewritten in place by the next compile.
    FileDigest launcherDigest;
    if (!PublishFile(options.launcher, filesRoot / kLauncherName, false, &launcherDigest, &progress, &error)) {
        ProgressFinish(&progress);
        Say(error);
        return kExitIo;
    }
    ProgressFileDone(&progress);
    ProgressFinish(&progress);
    if (launcherDigest.size == 0) {
        Say("refused: launcher " + DisplayPath(options.launcher) + " became empty while it was copied");
        return kExitRefused;
    }
    manifest.launcherSelf = LauncherSelf{launcherDigest.size, launcherDigest.sha256};
    served.insert(kLauncherName);

    if (!WriteFileAtomically(options.out / kManifestName, FormatManifest(manifest), &error)) {
        Say(error);
        return kExitIo;
    }
    if (!RemoveStale(filesRoot, served, options.quiet, &error)) {
        Say(error);
        return kExitIo;
    }
    if (!options.quiet) {
        std::printf("published %zu file(s), %llu bytes, and Launcher.exe (%llu bytes, sha256 %s) to %s\n",
                    manifest.files.size(), static_cast<unsigned long long>(publishedBytes),
                    static_cast<unsigned long long>(launcherDigest.size), launcherDigest.sha256.c_str(),
                    DisplayPath(options.out).c_str());
    }
    return kExitOk;
}
