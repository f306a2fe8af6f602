#include "PublishRules.h"

#include "common/PathRules.h"

#include <cstdint>

namespace {

// Device names beyond the launcher's own list that Windows also reserves: COM0/LPT0, the superscript
// digit forms, and the console names.
bool IsExtraReservedName(std::string_view segment) {
    std::string_view base = segment.substr(0, segment.find('.'));
    static const char* const kNames[] = {"COM0",  "LPT0", "COM\xC2\xB9", "COM\xC2\xB2", "COM\xC2\xB3", "LPT\xC2\xB9",
                                         "LPT\xC2\xB2", "LPT\xC2\xB3", "CONIN$", "CONOUT$"};
    for (const char* name : kNames) {
        if (path_rules::EqualsAsciiNoCase(base, name)) return true;
    }
    return false;
}

std::string SegmentProblem(std::string_view segment) {
    for (char c : segment) {
        switch (c) {
            case '<': case '>': case ':': case '"': case '|': case '?': case '*': case '\\':
                return std::string("character '") + c + "' is not allowed in Windows file names";
            default:
                break;
        }
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return "control character in name";
    }
    if (IsExtraReservedName(segment)) return "reserved device name";
    return {};
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t n;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            n = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            n = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += n;
    }
    return true;
}

std::string PathProblem(std::string_view path) {
    if (!IsValidUtf8(path)) return "name is not valid UTF-8";
    // The launcher's own check first, so the message matches what it would log.
    if (const char* reason = path_rules::UnsafePathReason(path)) return std::string("launcher refuses it: ") + reason;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/') continue;
        std::string problem = SegmentProblem(path.substr(start, i - start));
        if (!problem.empty()) return problem;
        start = i + 1;
    }
    return {};
}

std::string HeaderValueProblem(std::string_view value) {
    if (!IsValidUtf8(value)) return "not valid UTF-8";
    for (char c : value) {
        if (c == '\n' || c == '\r') return "contains a line break";
        if (c == '|') return "contains '|'";
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\t') return "contains a control character";
        if (u == 0x7F) return "contains a control character";
    }
    if (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
        return "ends in a space or tab, which the launcher would trim";
    return {};
}
