#pragma once
// The list of game files to publish, found by walking the game directory.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct GameFile {
    std::string path;  // UTF-8, relative to the game directory, '/' between segments
    std::filesystem::path source;
    std::uint64_t size = 0;  // as seen during the walk; the published size comes from hashing
};

struct GameTree {
    std::vector<GameFile> files;        // sorted by path, byte by byte
    std::vector<std::string> refusals;  // one message per path that cannot be published, naming it
    std::vector<std::string> notes;     // things skipped on purpose
};

// Walks `root` recursively, following symbolic links to files and directories. Names of files or
// directories (even empty ones) that the launcher or Windows cannot take, names differing only in ASCII
// letter case, special files, broken links and link loops go to refusals; a top-level Launcher.exe is
// skipped with a note. False with *error set only when a directory or entry cannot be read.
bool ScanGameTree(const std::filesystem::path& root, GameTree* tree, std::string* error);
