// The check cache's record lines as a damaged or forged file holds them; accepted records write back to
// records equal to them.
#include "common/CheckCacheRecords.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    const std::string_view lines(reinterpret_cast<const char*>(data), size);
    std::vector<check_cache_records::Record> records;
    if (!check_cache_records::ParseRecordLines(lines, &records)) return 0;
    std::string again;
    for (const check_cache_records::Record& r : records) {
        if (r.name.empty() || r.sha256.size() != 64) std::abort();
        again += check_cache_records::FormatRecordLine(r);
    }
    std::vector<check_cache_records::Record> reread;
    if (!check_cache_records::ParseRecordLines(again, &reread) || reread.size() != records.size()) std::abort();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const check_cache_records::Record& a = records[i];
        const check_cache_records::Record& b = reread[i];
        if (a.sha256 != b.sha256 || a.size != b.size || a.lastWrite != b.lastWrite || a.volume != b.volume ||
            a.fileId != b.fileId || a.name != b.name) {
            std::abort();
        }
    }
    return 0;
}
