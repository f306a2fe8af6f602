#pragma once
// manifest.txt as patchgen writes it and reads it back, with the launcher's line rules (ManifestRules.h).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ManifestFile {
    std::string path;  // as written in the FILE line, relative to the game directory
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
};

struct LauncherSelf {
    std::uint64_t size = 0;
    std::string sha256;
};

struct Manifest {
    std::optional<std::string> version;
    std::optional<std::string> status;
    std::optional<std::string> news;
    std::optional<LauncherSelf> launcherSelf;
    std::vector<ManifestFile> files;
};

// One line the launcher would not use as written, with its 1-based line number.
struct ManifestIssue {
    std::size_t line = 0;
    std::string message;
};

inline constexpr char kManifestName[] = "manifest.txt";
inline constexpr char kFilesDir[] = "files";
inline constexpr char kLauncherName[] = "Launcher.exe";

// The manifest text: a comment, VERSION/STATUS/NEWS when set, LAUNCHER_SELF when set, then the FILE lines
// in the given order; UTF-8 without BOM, LF line ends. Values are written as given (check them first).
std::string FormatManifest(const Manifest& manifest);

// Reads manifest bytes the way the launcher does (BOM skipped, later VERSION/STATUS/NEWS/LAUNCHER_SELF win).
// Malformed records, unsafe FILE paths and FILE lines the launcher drops are reported in *issues and left
// out of the result; never fails.
Manifest ParseManifest(std::string_view text, std::vector<ManifestIssue>* issues);

// Where the launcher requests a FILE path, relative to the patch root: "files/" + path with '\' as '/'.
std::string ServedPath(std::string_view manifestPath);
