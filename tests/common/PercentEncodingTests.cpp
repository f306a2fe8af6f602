#include <gtest/gtest.h>

#include "common/PercentEncoding.h"

namespace {

TEST(PercentEncoding, EveryByteButSlashAndUnreservedIsEscapedInUpperCase) {
    struct Case {
        std::string path;
        std::string sent;
    };
    const Case cases[] = {
        {"data/a-b_c.d~e.pak", "data/a-b_c.d~e.pak"},
        {"100%.pak", "100%25.pak"},
        {"a b\\c?#", "a%20b%5Cc%3F%23"},
        {"\xE7\xA9\xBA", "%E7%A9%BA"},
        {std::string("\0\x7F\xFF", 3), "%00%7F%FF"},
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(percent_encoding::EncodePath(c.path), c.sent) << c.sent;
}

}  // namespace
