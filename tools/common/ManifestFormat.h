#pragma once
// The manifest's lines, written once for both programs: the launcher reads UTF-16 text decoded from the
// body, the operators' publisher reads and writes UTF-8 bytes. Portable C++17, no platform headers.

#include "common/PathRules.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace manifest_format {

// What a PACK line says of a pack of small files, served at "packs/<sha256>.kpak".
struct PackLine {
    std::string sha256;
    std::uint64_t size = 0;
};

inline constexpr char kVersionKey[] = "VERSION=";
inline constexpr char kStatusKey[] = "STATUS=";
inline constexpr char kNewsKey[] = "NEWS=";
inline constexpr char kLauncherSelfKey[] = "LAUNCHER_SELF|";
inline constexpr char kFileKey[] = "FILE|";
// How new a signed manifest is: a plain decimal 64-bit number; launchers refuse one lower than they saw.
inline constexpr char kSequenceKey[] = "SEQUENCE=";
// How the launcher checks the installed files: "quick" lets it skip hashing a file whose size, time and
// identity match what it recorded when it last hashed or downloaded it; anything else means a full check.
inline constexpr char kCheckKey[] = "CHECK=";
inline constexpr char kQuickCheck[] = "quick";
// LAUNCHER_SHARE=<0..10000>: the share of installations, in hundredths of a percent, that may take the listed
// LAUNCHER_SELF (RolloutShare.h). Without the line all may; 0 halts the rollout. Launchers that do not know the
// line skip it; a value outside 0..10000 is malformed.
inline constexpr char kLauncherShareKey[] = "LAUNCHER_SHARE=";
inline constexpr std::uint64_t kWholeShare = 10000;
// NEXT|<folder>/manifest.txt|<YYYY-MM-DDTHH:MM:SSZ>: the coming release, published below the base in that folder
// with its own signed manifest, opens at that UTC time; launchers pre-load what it changes. The path is one or
// more folder names of ASCII letters, digits, '-', '_' and '.' (never "." or ".."), each followed by '/', then
// "manifest.txt". Launchers that do not know the line skip it.
inline constexpr char kNextKey[] = "NEXT|";
inline constexpr char kNextManifestName[] = "manifest.txt";
// DELTA|<path>|<index sha256>|<index size>: the chunk index of the FILE entry with that path, served at
// "delta/<the file's sha256>.kcix" (see ChunkIndex.h). Launchers that do not know the line skip it.
inline constexpr char kDeltaKey[] = "DELTA|";
// PACK|<pack sha256>|<pack size>: a pack of small files, served at "packs/<pack sha256>.kpak" (see PackPlan.h).
// PACKED|<path>|<pack sha256>|<offset>: the FILE entry with that path is also the bytes
// [offset, offset + its size) of that pack. Launchers that do not know the lines skip them.
inline constexpr char kPackKey[] = "PACK|";
inline constexpr char kPackedKey[] = "PACKED|";
// The compressed copies (ZstdFrames.h), which launchers that do not know the lines skip:
// ZPACK|<sha256>|<size>: a container of zstd frames, served at "z/<sha256>.zst".
// ZFILE|<path>|<container sha256>|<offset>|<length>: container bytes [offset, offset + length) are zstd frames
// that decode to the FILE with that path.
// ZCHUNKS|<path>|<frame table sha256>|<frame table size>|<container sha256>|<offset>|<length>: the same file as
// one frame per chunk of its chunk index, in chunk order; the frame table, served at "z/<sha256>.kzix", holds the
// index and each frame's length (ChunkFrames.h).
// ZPATCH|<path>|<base sha256>|<base size>|<container sha256>|<offset>|<length>: one zstd frame that decodes to the
// FILE with that path when the file of that digest and size is its reference (a prefix, zstd's patch-from).
inline constexpr char kZPackKey[] = "ZPACK|";
inline constexpr char kZFileKey[] = "ZFILE|";
inline constexpr char kZChunksKey[] = "ZCHUNKS|";
inline constexpr char kZPatchKey[] = "ZPATCH|";
inline constexpr std::size_t kDigestHexLength = 64;
// The UTF-8 byte order mark that may open a manifest; no other one is recognised.
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

// The length of the byte order mark at the start of `body`: 3, or 0 when it has none.
inline std::size_t ByteOrderMarkLength(std::string_view body) {
    return body.compare(0, sizeof(kByteOrderMark) - 1, kByteOrderMark) == 0 ? sizeof(kByteOrderMark) - 1 : 0;
}

// True when `line` starts with the ASCII key (compared character by character, case-sensitive).
template <typename CharT>
bool StartsWithKey(std::basic_string_view<CharT> line, const char* key) {
    std::size_t n = std::char_traits<char>::length(key);
    if (line.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (line[i] != static_cast<CharT>(static_cast<unsigned char>(key[i]))) return false;
    }
    return true;
}

// Splits at every '|'; empty fields count, an empty text gives one empty field.
template <typename CharT>
std::vector<std::basic_string_view<CharT>> SplitFields(std::basic_string_view<CharT> rest) {
    std::vector<std::basic_string_view<CharT>> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        if (i == rest.size() || rest[i] == static_cast<CharT>('|')) {
            fields.push_back(rest.substr(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

// Keeps the hexadecimal digits, lower-cased; every other character is dropped.
template <typename CharT>
std::string FilterDigest(std::basic_string_view<CharT> field) {
    std::string out;
    out.reserve(kDigestHexLength);
    for (CharT c : field) {
        if (c >= static_cast<CharT>('0') && c <= static_cast<CharT>('9')) {
            out.push_back(static_cast<char>(c));
        } else if (c >= static_cast<CharT>('a') && c <= static_cast<CharT>('f')) {
            out.push_back(static_cast<char>(c));
        } else if (c >= static_cast<CharT>('A') && c <= static_cast<CharT>('F')) {
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        }
    }
    return out;
}

// strtoull-style decimal: leading white space, optional sign, digits up to the first non-digit;
// no digits gives 0, overflow gives the largest 64-bit value. A '-' negates modulo 2^64 as strtoull does.
template <typename CharT>
std::uint64_t ParseSizeField(std::basic_string_view<CharT> field) {
    std::size_t i = 0;
    auto isSpace = [](CharT c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    };
    while (i < field.size() && isSpace(field[i])) ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == static_cast<CharT>('+') || field[i] == static_cast<CharT>('-'))) {
        negative = field[i] == static_cast<CharT>('-');
        ++i;
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (; i < field.size() && field[i] >= static_cast<CharT>('0') && field[i] <= static_cast<CharT>('9'); ++i) {
        std::uint64_t digit = static_cast<std::uint64_t>(field[i] - static_cast<CharT>('0'));
        if (value > (UINT64_MAX - digit) / 10) overflow = true;
        if (!overflow) value = value * 10 + digit;
    }
    if (overflow) return UINT64_MAX;
    return negative ? static_cast<std::uint64_t>(0) - value : value;
}

// What one line of a manifest is, after trimming. `kind` Ignored covers blank lines, comments and
// unknown keys; Malformed covers keyed records that fail their field rules.
enum class LineKind {
    Ignored, Version, Status, News, LauncherSelf, File, Sequence, Check, Delta, Pack, Packed, ZPack, ZFile, ZChunks,
    ZPatch, LauncherShare, Next, Malformed, UnsafePath
};

// Where encoded bytes are: [offset, offset + length) of the container with that digest.
struct EncodedAt {
    std::string containerSha256;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

template <typename CharT>
struct ParsedLine {
    LineKind kind = LineKind::Ignored;
    LineKind claimed = LineKind::Ignored;  // the record the line's key names, also when it is Malformed
    std::basic_string_view<CharT> text;  // VERSION/STATUS/NEWS/CHECK value, FILE/DELTA/PACKED path, or the
                                         // NEXT manifest's path
    std::uint64_t size = 0;  // FILE and LAUNCHER_SELF size, the DELTA index size, the PACK size, the PACKED
                             // offset, the SEQUENCE number, the LAUNCHER_SHARE, or the NEXT opening time in
                             // seconds since 1970 (UTC)
    std::string sha256;      // FILE and LAUNCHER_SELF digest, the DELTA index digest, the pack's or container's
                             // digest, the ZCHUNKS frame table's digest (with its size), or the ZPATCH base's digest
                             // (with its size)
    EncodedAt encoded;       // ZFILE, ZCHUNKS and ZPATCH: where the frames are
    const char* unsafeReason = nullptr;
};

// A SEQUENCE value: 1 to 20 decimal digits and nothing else, within 64 bits. False otherwise.
template <typename CharT>
bool ParseSequenceValue(std::basic_string_view<CharT> text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20) return false;
    std::uint64_t result = 0;
    for (CharT c : text) {
        if (c < static_cast<CharT>('0') || c > static_cast<CharT>('9')) return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - static_cast<CharT>('0'));
        if (result > (UINT64_MAX - digit) / 10) return false;
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

// Removes trailing CR, space and tab in any mix; leading white space stays.
template <typename CharT>
std::basic_string_view<CharT> TrimLineEnd(std::basic_string_view<CharT> line) {
    while (!line.empty()) {
        CharT c = line.back();
        if (c != static_cast<CharT>('\r') && c != static_cast<CharT>(' ') && c != static_cast<CharT>('\t')) break;
        line.remove_suffix(1);
    }
    return line;
}

// A FILE or DELTA record: the path first, then a digest and a size at the given field positions. Malformed
// unless the path is not empty, the digest has 64 hex digits and (with sizeRequired) the size is not 0;
// UnsafePath when the path would leave the launcher's directory.
template <typename CharT>
void ParsePathRecord(std::basic_string_view<CharT> rest, LineKind kind, std::size_t digestField, std::size_t sizeField,
                     bool sizeRequired, ParsedLine<CharT>& out) {
    out.claimed = kind;
    out.kind = LineKind::Malformed;
    auto fields = SplitFields(rest);
    if (fields.size() < 3) return;
    out.text = fields[0];
    out.sha256 = FilterDigest(fields[digestField]);
    out.size = ParseSizeField(fields[sizeField]);
    if (out.sha256.size() != kDigestHexLength || out.text.empty() || (sizeRequired && out.size == 0)) return;
    out.unsafeReason = path_rules::UnsafePathReason(out.text);
    out.kind = out.unsafeReason ? LineKind::UnsafePath : kind;
}

// A 64-hex-digit digest field exactly as written: the digests of the compressed copies are names of served
// objects and of files, so nothing in them is dropped or folded.
template <typename CharT>
bool ExactDigest(std::basic_string_view<CharT> field, std::string* digest) {
    if (field.size() != kDigestHexLength) return false;
    digest->clear();
    for (CharT c : field) {
        const bool hex = (c >= static_cast<CharT>('0') && c <= static_cast<CharT>('9')) ||
                         (c >= static_cast<CharT>('a') && c <= static_cast<CharT>('f'));
        if (!hex) return false;
        digest->push_back(static_cast<char>(c));
    }
    return true;
}

// A plain decimal field of 1 to 20 digits within 64 bits.
template <typename CharT>
bool ExactNumber(std::basic_string_view<CharT> field, std::uint64_t* value) {
    return ParseSequenceValue(field, value);
}

// ZFILE, ZCHUNKS and ZPATCH: the path, `extra` fields of a digest and a size (ZCHUNKS' frame table, ZPATCH's
// base), then the container's digest, offset and length. Malformed unless every field is exact, the length and
// the extra size are not 0, and offset + length fits in 64 bits; UnsafePath as for FILE.
template <typename CharT>
void ParseEncodedRecord(std::basic_string_view<CharT> rest, LineKind kind, bool extra, ParsedLine<CharT>& out) {
    out.claimed = kind;
    out.kind = LineKind::Malformed;
    const auto fields = SplitFields(rest);
    const std::size_t at = extra ? 3 : 1;
    if (fields.size() != at + 3 || fields[0].empty()) return;
    out.text = fields[0];
    if (extra && (!ExactDigest(fields[1], &out.sha256) || !ExactNumber(fields[2], &out.size) || out.size == 0)) return;
    EncodedAt& e = out.encoded;
    if (!ExactDigest(fields[at], &e.containerSha256) || !ExactNumber(fields[at + 1], &e.offset) ||
        !ExactNumber(fields[at + 2], &e.length) || e.length == 0 || e.offset > UINT64_MAX - e.length) {
        return;
    }
    out.unsafeReason = path_rules::UnsafePathReason(out.text);
    out.kind = out.unsafeReason ? LineKind::UnsafePath : kind;
}

// Days from 1970-01-01 to the given date of the proleptic Gregorian calendar.
constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// "YYYY-MM-DDTHH:MM:SSZ" (exactly so, a real date and time from 1970 on) as seconds since 1970 (UTC).
template <typename CharT>
bool ParseUtcTime(std::basic_string_view<CharT> text, std::uint64_t* seconds) {
    static constexpr char kShape[] = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != sizeof(kShape) - 1) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const CharT c = text[i];
        const bool digit = c >= static_cast<CharT>('0') && c <= static_cast<CharT>('9');
        if (kShape[i] == 'd' ? !digit : c != static_cast<CharT>(kShape[i])) return false;
    }
    const auto number = [&](std::size_t at, std::size_t length) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + static_cast<unsigned>(text[i] - '0');
        return value;
    };
    const unsigned year = number(0, 4), month = number(5, 2), day = number(8, 2);
    const unsigned hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
    static constexpr unsigned kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kMonthDays[month - 1] ||
        (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    *seconds = static_cast<std::uint64_t>(DaysFromCivil(year, month, day)) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

// The NEXT line's manifest path: folder names of [A-Za-z0-9._-] (not "." or ".."), each ending in '/', then
// "manifest.txt".
template <typename CharT>
bool IsNextManifestPath(std::basic_string_view<CharT> path) {
    const std::size_t nameLength = sizeof(kNextManifestName) - 1;
    if (path.size() <= nameLength + 1) return false;
    for (std::size_t i = 0; i < nameLength; ++i) {
        if (path[path.size() - nameLength + i] != static_cast<CharT>(kNextManifestName[i])) return false;
    }
    const std::basic_string_view<CharT> folders = path.substr(0, path.size() - nameLength);
    std::size_t start = 0;
    for (std::size_t i = 0; i < folders.size(); ++i) {
        const CharT c = folders[i];
        if (c != static_cast<CharT>('/')) {
            const bool plain = (c >= static_cast<CharT>('a') && c <= static_cast<CharT>('z')) ||
                               (c >= static_cast<CharT>('A') && c <= static_cast<CharT>('Z')) ||
                               (c >= static_cast<CharT>('0') && c <= static_cast<CharT>('9')) ||
                               c == static_cast<CharT>('-') || c == static_cast<CharT>('_') ||
                               c == static_cast<CharT>('.');
            if (!plain) return false;
            continue;
        }
        const std::basic_string_view<CharT> name = folders.substr(start, i - start);
        const bool dots = !name.empty() && name.size() <= 2 &&
                          name.find_first_not_of(static_cast<CharT>('.')) == std::basic_string_view<CharT>::npos;
        if (name.empty() || dots) return false;
        start = i + 1;
    }
    return true;
}

// Classifies one untrimmed line (without its line feed).
template <typename CharT>
ParsedLine<CharT> ParseLine(std::basic_string_view<CharT> rawLine) {
    ParsedLine<CharT> out;
    std::basic_string_view<CharT> line = TrimLineEnd(rawLine);
    if (line.empty() || line[0] == static_cast<CharT>('#')) return out;
    if (StartsWithKey(line, kVersionKey)) {
        out.kind = out.claimed = LineKind::Version;
        out.text = line.substr(sizeof(kVersionKey) - 1);
    } else if (StartsWithKey(line, kStatusKey)) {
        out.kind = out.claimed = LineKind::Status;
        out.text = line.substr(sizeof(kStatusKey) - 1);
    } else if (StartsWithKey(line, kNewsKey)) {
        out.kind = out.claimed = LineKind::News;
        out.text = line.substr(sizeof(kNewsKey) - 1);
    } else if (StartsWithKey(line, kCheckKey)) {
        out.kind = out.claimed = LineKind::Check;
        out.text = line.substr(sizeof(kCheckKey) - 1);
    } else if (StartsWithKey(line, kSequenceKey)) {
        out.claimed = LineKind::Sequence;
        out.text = line.substr(sizeof(kSequenceKey) - 1);
        out.kind = ParseSequenceValue(out.text, &out.size) ? LineKind::Sequence : LineKind::Malformed;
    } else if (StartsWithKey(line, kLauncherShareKey)) {
        out.claimed = LineKind::LauncherShare;
        out.text = line.substr(sizeof(kLauncherShareKey) - 1);
        const bool read = out.text.size() <= 5 && ParseSequenceValue(out.text, &out.size) && out.size <= kWholeShare;
        out.kind = read ? LineKind::LauncherShare : LineKind::Malformed;
    } else if (StartsWithKey(line, kNextKey)) {
        out.claimed = LineKind::Next;
        out.kind = LineKind::Malformed;
        const auto fields = SplitFields(line.substr(sizeof(kNextKey) - 1));
        if (fields.size() == 2 && IsNextManifestPath(fields[0]) && ParseUtcTime(fields[1], &out.size)) {
            out.text = fields[0];
            out.kind = LineKind::Next;
        }
    } else if (StartsWithKey(line, kLauncherSelfKey)) {
        out.claimed = LineKind::LauncherSelf;
        auto fields = SplitFields(line.substr(sizeof(kLauncherSelfKey) - 1));
        out.kind = LineKind::Malformed;
        if (fields.size() >= 2) {
            out.size = ParseSizeField(fields[0]);
            out.sha256 = FilterDigest(fields[1]);
            if (out.sha256.size() == kDigestHexLength && out.size != 0) out.kind = LineKind::LauncherSelf;
        }
    } else if (StartsWithKey(line, kFileKey)) {
        ParsePathRecord(line.substr(sizeof(kFileKey) - 1), LineKind::File, 2, 1, false, out);
    } else if (StartsWithKey(line, kDeltaKey)) {
        ParsePathRecord(line.substr(sizeof(kDeltaKey) - 1), LineKind::Delta, 1, 2, true, out);
    } else if (StartsWithKey(line, kPackedKey)) {
        ParsePathRecord(line.substr(sizeof(kPackedKey) - 1), LineKind::Packed, 1, 2, false, out);
    } else if (StartsWithKey(line, kZPackKey)) {
        out.claimed = LineKind::ZPack;
        out.kind = LineKind::Malformed;
        const auto fields = SplitFields(line.substr(sizeof(kZPackKey) - 1));
        if (fields.size() == 2 && ExactDigest(fields[0], &out.sha256) && ExactNumber(fields[1], &out.size) && out.size != 0) {
            out.kind = LineKind::ZPack;
        }
    } else if (StartsWithKey(line, kZFileKey)) {
        ParseEncodedRecord(line.substr(sizeof(kZFileKey) - 1), LineKind::ZFile, false, out);
    } else if (StartsWithKey(line, kZChunksKey)) {
        ParseEncodedRecord(line.substr(sizeof(kZChunksKey) - 1), LineKind::ZChunks, true, out);
    } else if (StartsWithKey(line, kZPatchKey)) {
        ParseEncodedRecord(line.substr(sizeof(kZPatchKey) - 1), LineKind::ZPatch, true, out);
    } else if (StartsWithKey(line, kPackKey)) {
        out.claimed = LineKind::Pack;
        out.kind = LineKind::Malformed;
        auto fields = SplitFields(line.substr(sizeof(kPackKey) - 1));
        if (fields.size() >= 2) {
            out.sha256 = FilterDigest(fields[0]);
            out.size = ParseSizeField(fields[1]);
            if (out.sha256.size() == kDigestHexLength && out.size != 0) out.kind = LineKind::Pack;
        }
    }
    return out;
}

// Calls `onRawLine(std::basic_string_view<CharT>)` for every line of the text, untrimmed and without its line
// feed, split at each line feed; the text after the last line feed is a line too.
template <typename CharT, typename OnRawLine>
void ForEachRawLine(std::basic_string_view<CharT> text, OnRawLine&& onRawLine) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != static_cast<CharT>('\n')) continue;
        onRawLine(text.substr(start, i - start));
        start = i + 1;
    }
}

}  // namespace manifest_format
