#include <gtest/gtest.h>

#include "common/CheckCacheRecords.h"

#include <string>
#include <vector>

namespace {

const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(CheckCacheRecords, WrittenLinesReadBackAndAnyDamagedLineRefusesTheWhole) {
    const check_cache_records::Record record{kDigest, 18446744073709551615ull, 133000000000000000ull, 4294967295u, 7,
                                             " sub/\xE7\xA9\xBA name.bin"};
    const std::string line = check_cache_records::FormatRecordLine(record);
    std::vector<check_cache_records::Record> read;
    ASSERT_TRUE(check_cache_records::ParseRecordLines(line + line, &read));
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].sha256, kDigest);
    EXPECT_EQ(read[1].size, record.size);
    EXPECT_EQ(read[1].lastWrite, record.lastWrite);
    EXPECT_EQ(read[1].volume, record.volume);
    EXPECT_EQ(read[1].fileId, record.fileId);
    EXPECT_EQ(read[1].name, record.name) << "the name's leading space is part of it";

    const std::vector<std::string> damaged = {
        kDigest + " 1 2 3 4\n",                   // no name
        kDigest + " 1 2 3 4 \n",                  // empty name
        kDigest + " 1 2 4294967296 4 a\n",        // volume beyond 32 bits
        kDigest + " 18446744073709551616 2 3 4 a\n",  // size beyond 64 bits
        kDigest + " -1 2 3 4 a\n",
        kDigest + "  1 2 3 4 a\n",
        kDigest.substr(1) + " 1 2 3 4 a\n",
        "0123456789ABCDEF" + kDigest.substr(16) + " 1 2 3 4 a\n",
        "\n",
    };
    for (const std::string& bad : damaged) {
        std::vector<check_cache_records::Record> kept = read;
        EXPECT_FALSE(check_cache_records::ParseRecordLines(line + bad, &kept)) << bad;
        EXPECT_EQ(kept.size(), 2u) << "left unchanged: " << bad;
    }
}

}  // namespace
