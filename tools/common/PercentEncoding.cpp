#include "common/PercentEncoding.h"

#include "common/HexText.h"

namespace percent_encoding {

namespace {

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

}  // namespace

std::string EncodePath(std::string_view utf8Path) {
    std::string out;
    out.reserve(utf8Path.size() * 3);
    for (char ch : utf8Path) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '/' || IsUnreserved(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out += hex_text::UpperHexByte(c);
        }
    }
    return out;
}

}  // namespace percent_encoding
