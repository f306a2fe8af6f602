// Manifest paths as request paths: any bytes give printable ASCII that decodes back to the same bytes.
#include "common/PercentEncoding.h"

#include <cstdlib>

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);
    const std::string encoded = percent_encoding::EncodePath(path);
    std::string decoded;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c <= 0x20 || c >= 0x7F) std::abort();
        if (c != '%') {
            decoded.push_back(c);
            continue;
        }
        if (i + 2 >= encoded.size()) std::abort();
        const int high = HexValue(encoded[i + 1]);
        const int low = HexValue(encoded[i + 2]);
        if (high < 0 || low < 0) std::abort();
        decoded.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    if (decoded != path) std::abort();
    return 0;
}
