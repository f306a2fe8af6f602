#pragma once
// The content-named objects of a patch tree (chunk indices under delta/, packs under packs/, containers and frame
// tables under z/), which two trees on one machine hold once: a release built beside the one players have now
// (`build --previous`) hard-links the objects of the same name instead of writing them again, and `open` brings
// the announced release's objects into the current tree the same way. Objects are never written in place, so a
// shared one stays right for both trees.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "PatchManifest.h"

// The tree a build in patchDir (which exists) takes objects from: previousDir when it is another folder that exists,
// else none (empty).
std::filesystem::path ShareSource(const std::filesystem::path& previousDir, const std::filesystem::path& patchDir);

// Puts at patchDir/served a hard link to shareFrom/served by way of a temporary name, when shareFrom is not empty
// and holds there a regular file of `size` bytes (holding exactly *bytes, when given). False, with nothing
// changed, when it does not or the file system cannot link the two: the caller then writes the object itself.
bool ShareObject(const std::filesystem::path& shareFrom, const std::filesystem::path& patchDir,
                 const std::string& served, std::uint64_t size, const std::string* bytes = nullptr);

// An object a manifest names: its path below the patch base and its size.
struct ServedObject {
    std::string served;
    std::uint64_t size = 0;
};

// Every object the manifest names (DELTA, PACK and ZPACK lines, and ZCHUNKS lines' frame tables), each once.
std::vector<ServedObject> ObjectsOf(const PatchManifest& manifest);

// True when patchDir/served is a regular file of `size` bytes.
bool HasObject(const std::filesystem::path& patchDir, const ServedObject& object);
