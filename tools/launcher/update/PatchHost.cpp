#include "update/PatchHost.h"

namespace {

template <typename CharT>
std::vector<std::basic_string<CharT>> SplitList(const CharT* text) {
    std::vector<std::basic_string<CharT>> items;
    std::basic_string<CharT> item;
    for (const CharT* p = text;; ++p) {
        if (*p == static_cast<CharT>(';') || *p == 0) {
            const std::size_t first = item.find_first_not_of(static_cast<CharT>(' '));
            if (first != std::basic_string<CharT>::npos) {
                items.push_back(item.substr(first, item.find_last_not_of(static_cast<CharT>(' ')) - first + 1));
            }
            item.clear();
            if (*p == 0) break;
        } else {
            item.push_back(*p);
        }
    }
    return items;
}

}  // namespace

std::vector<std::wstring> PatchHostList() {
    return SplitList(PatchBaseUrl);
}

std::vector<std::string> ManifestKeyList() {
    return SplitList(ManifestPublicKeys);
}
