#include "GameTree.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "FileIo.h"
#include "PublishRules.h"
#include "common/PathRules.h"

namespace {

struct Walk {
    GameTree* tree;
    std::string* error;
    std::vector<fs::path> openDirs;  // canonical paths of the directories being walked, to spot link loops
};

bool WalkDirectory(Walk& walk, const fs::path& dir, const std::string& prefix) {
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        *walk.error = "cannot read directory " + DisplayPath(dir) + ": " + ec.message();
        return false;
    }
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& entry = it->path();
        std::string name;
        if (!PathToUtf8(entry.filename(), &name)) {
            walk.tree->refusals.push_back("'" + DisplayPath(entry) + "': name is not valid Unicode");
            continue;
        }
        std::string rel = prefix.empty() ? name : prefix + "/" + name;
        // Checked before touching the entry: on Windows, opening a device name such as CON.txt reaches the device.
        std::string problem = PathProblem(rel);
        if (!problem.empty()) {
            walk.tree->refusals.push_back("'" + DisplayText(rel) + "': " + problem);
            continue;
        }
        std::error_code sec;
        fs::file_status st = fs::status(entry, sec);
        if (sec) {
            if (fs::is_symlink(fs::symlink_status(entry, sec))) {
                walk.tree->refusals.push_back("'" + DisplayText(rel) + "': symbolic link to nothing");
                continue;
            }
            *walk.error = "cannot inspect " + DisplayPath(entry) + ": " + sec.message();
            return false;
        }
        if (fs::is_directory(st)) {
            fs::path canonical = fs::canonical(entry, sec);
            if (sec) {
                *walk.error = "cannot resolve " + DisplayPath(entry) + ": " + sec.message();
                return false;
            }
            if (std::find(walk.openDirs.begin(), walk.openDirs.end(), canonical) != walk.openDirs.end()) {
                walk.tree->refusals.push_back("'" + DisplayText(rel) + "': symbolic link loop");
                continue;
            }
            walk.openDirs.push_back(canonical);
            bool ok = WalkDirectory(walk, entry, rel);
            walk.openDirs.pop_back();
            if (!ok) return false;
        } else if (fs::is_regular_file(st)) {
            if (prefix.empty() && path_rules::IsTopLevelLauncher(std::string_view(name))) {
                walk.tree->notes.push_back("skipped " + DisplayText(rel) +
                                           ": the launcher is published from --launcher as files/Launcher.exe");
                continue;
            }
            std::uintmax_t size = fs::file_size(entry, sec);
            if (sec) {
                *walk.error = "cannot inspect " + DisplayPath(entry) + ": " + sec.message();
                return false;
            }
            walk.tree->files.push_back({rel, entry, static_cast<std::uint64_t>(size)});
        } else {
            walk.tree->refusals.push_back("'" + DisplayText(rel) + "': special file (not a regular file or directory)");
        }
    }
    if (ec) {
        *walk.error = "cannot read directory " + DisplayPath(dir) + ": " + ec.message();
        return false;
    }
    return true;
}

// Windows folds letter case, so two names with the same key (files, or the directories above them) would
// land on one file; the served Launcher.exe takes its key at the top level too.
void FindCaseClashes(GameTree* tree) {
    std::map<std::string, std::string> seen;
    seen["launcher.exe"] = "files/Launcher.exe (the served launcher)";
    auto note = [&](const std::string& path) {
        std::string key = path_rules::FileKey(std::string_view(path));
        auto [it, inserted] = seen.emplace(key, path);
        if (!inserted && it->second != path) {
            tree->refusals.push_back("'" + DisplayText(path) + "' and '" + it->second +
                                     "': names differ only in letter case, which Windows treats as one name");
        }
    };
    for (const GameFile& f : tree->files) {
        for (std::size_t slash = f.path.find('/'); slash != std::string::npos; slash = f.path.find('/', slash + 1)) {
            note(f.path.substr(0, slash));
        }
        note(f.path);
    }
}

}  // namespace

bool ScanGameTree(const fs::path& root, GameTree* tree, std::string* error) {
    *tree = GameTree{};
    std::error_code ec;
    if (!fs::is_directory(root, ec)) {
        *error = "game directory " + DisplayPath(root) + " is not a readable directory";
        return false;
    }
    Walk walk{tree, error, {fs::canonical(root, ec)}};
    if (!WalkDirectory(walk, root, "")) return false;
    std::sort(tree->files.begin(), tree->files.end(),
              [](const GameFile& a, const GameFile& b) { return a.path < b.path; });
    FindCaseClashes(tree);
    return true;
}
