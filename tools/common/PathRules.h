#pragma once
// File names both programs agree on: which manifest paths are safe to write below the launcher's
// directory, where the patch host serves a path, the launcher's own name, and the one ASCII case fold.
// Portable C++17, no platform headers; each rule is written once for 8-bit (patchgen) and UTF-16
// (launcher) text.

#include <cstddef>
#include <string>
#include <string_view>

namespace path_rules {

// An ASCII text in the caller's character type ("Launcher.exe" as a wide string, say).
template <typename CharT>
std::basic_string<CharT> FromAscii(const char* text) {
    std::basic_string<CharT> out;
    for (const char* p = text; *p; ++p) out.push_back(static_cast<CharT>(static_cast<unsigned char>(*p)));
    return out;
}

// 'A'..'Z' lowered; every other character unchanged. Windows file names ignore ASCII case only.
template <typename CharT>
CharT AsciiLower(CharT c) {
    return (c >= static_cast<CharT>('A') && c <= static_cast<CharT>('Z')) ? static_cast<CharT>(c - 'A' + 'a') : c;
}

// The launcher executable's name in the file list and on the patch host, whatever it is called locally.
inline constexpr char kLauncherExeName[] = "Launcher.exe";
// The folder below the patch base that holds every served file.
inline constexpr char kFilesDir[] = "files";
// The manifest's name below the patch base.
inline constexpr char kManifestName[] = "manifest.txt";
// The same manifest's bytes as one zstd frame, beside it: what launchers that know it ask for first.
inline constexpr char kCompressedManifestName[] = "manifest.zst";
// The folder below the patch base that holds the chunk indexes.
inline constexpr char kDeltaDir[] = "delta";
// Packs of small files, named after their own SHA-256.
inline constexpr char kPacksDir[] = "packs";
// Compressed copies, patches and frame tables, each named after its own SHA-256.
inline constexpr char kCompressedDir[] = "z";

template <typename CharT>
bool EqualsAsciiNoCase(std::basic_string_view<CharT> a, std::basic_string_view<CharT> b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    }
    return true;
}

template <typename CharT>
bool EqualsAsciiNoCase(std::basic_string_view<CharT> a, const char* b) {
    return EqualsAsciiNoCase(a, std::basic_string_view<CharT>(FromAscii<CharT>(b)));
}

// One key per file on Windows: ASCII letters lowered and '\' written as '/'. Two paths with the same
// key name the same file.
template <typename CharT>
std::basic_string<CharT> FileKey(std::basic_string_view<CharT> path) {
    std::basic_string<CharT> key(path);
    for (CharT& c : key) {
        c = AsciiLower(c);
        if (c == static_cast<CharT>('\\')) c = static_cast<CharT>('/');
    }
    return key;
}

// True for "Launcher.exe" in any letter case with no folder: the launcher's own file, which is updated
// through LAUNCHER_SELF and never as a FILE entry.
template <typename CharT>
bool IsTopLevelLauncher(std::basic_string_view<CharT> path) {
    return EqualsAsciiNoCase(path, kLauncherExeName);
}

// Where the patch host serves a manifest path, relative to the patch base: "files/" + path, '\' as '/'.
template <typename CharT>
std::basic_string<CharT> ServedPath(std::basic_string_view<CharT> manifestPath) {
    std::basic_string<CharT> out = FromAscii<CharT>(kFilesDir);
    out.push_back(static_cast<CharT>('/'));
    for (CharT c : manifestPath) out.push_back(c == static_cast<CharT>('\\') ? static_cast<CharT>('/') : c);
    return out;
}

namespace detail {
template <typename CharT>
bool IsReservedDeviceName(std::basic_string_view<CharT> segment) {
    // Windows maps these names to devices in every directory, with or without an extension.
    std::basic_string_view<CharT> base = segment.substr(0, segment.find(static_cast<CharT>('.')));
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL", "COM1", "COM2", "COM3", "COM4", "COM5",
                                         "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3", "LPT4",
                                         "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    for (const char* name : kNames) {
        if (EqualsAsciiNoCase(base, name)) return true;
    }
    return false;
}
}  // namespace detail

// Why a manifest path would leave the launcher's directory or name something other than a plain file,
// or nullptr when the path is safe to append to the launcher's directory.
template <typename CharT>
const char* UnsafePathReason(std::basic_string_view<CharT> path) {
    if (path.empty()) return "empty path";
    auto isSep = [](CharT c) { return c == static_cast<CharT>('\\') || c == static_cast<CharT>('/'); };
    if (isSep(path[0])) return "absolute path (starts with a separator)";
    for (CharT c : path) {
        if (c == static_cast<CharT>(':')) return "drive letter or colon";
        if ((c >= 0 && c < 0x20) || c == 0x7F) return "control character";
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && !isSep(path[i])) continue;
        std::basic_string_view<CharT> segment = path.substr(start, i - start);
        start = i + 1;
        if (segment.empty()) continue;
        if (segment.size() == 2 && segment[0] == static_cast<CharT>('.') && segment[1] == static_cast<CharT>('.'))
            return "'..' segment";
        CharT last = segment.back();
        if (last == static_cast<CharT>('.') || last == static_cast<CharT>(' '))
            return "segment ends in a dot or a space";
        if (detail::IsReservedDeviceName(segment)) return "reserved device name";
    }
    return nullptr;
}

}  // namespace path_rules
