#include "common/CheckCacheRecords.h"

#include <limits>

namespace check_cache_records {

namespace {

// Reads a decimal number without sign up to the next space; false for no digits or a value above `max`.
bool TakeNumber(std::string_view& rest, std::uint64_t max, std::uint64_t* value) {
    std::size_t i = 0;
    std::uint64_t result = 0;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i) {
        const std::uint64_t digit = static_cast<std::uint64_t>(rest[i] - '0');
        if (result > (max - digit) / 10) return false;
        result = result * 10 + digit;
    }
    if (i == 0 || i >= rest.size() || rest[i] != ' ') return false;
    rest.remove_prefix(i + 1);
    *value = result;
    return true;
}

bool ParseRecordLine(std::string_view line, Record* record) {
    constexpr std::size_t kDigestChars = 64;
    if (line.size() <= kDigestChars || line[kDigestChars] != ' ') return false;
    for (std::size_t i = 0; i < kDigestChars; ++i) {
        const char c = line[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    record->sha256.assign(line.substr(0, kDigestChars));
    std::string_view rest = line.substr(kDigestChars + 1);
    const std::uint64_t any = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t volume = 0;
    if (!TakeNumber(rest, any, &record->size) || !TakeNumber(rest, any, &record->lastWrite) ||
        !TakeNumber(rest, std::numeric_limits<std::uint32_t>::max(), &volume) ||
        !TakeNumber(rest, any, &record->fileId) || rest.empty()) {
        return false;
    }
    record->volume = static_cast<std::uint32_t>(volume);
    record->name.assign(rest);
    return true;
}

}  // namespace

std::string FormatRecordLine(const Record& record) {
    return record.sha256 + " " + std::to_string(record.size) + " " + std::to_string(record.lastWrite) + " " +
           std::to_string(record.volume) + " " + std::to_string(record.fileId) + " " + record.name + "\n";
}

bool ParseRecordLines(std::string_view lines, std::vector<Record>* records) {
    std::vector<Record> parsed;
    std::size_t start = 0;
    while (start < lines.size()) {
        std::size_t end = lines.find('\n', start);
        if (end == std::string_view::npos) end = lines.size();
        Record record;
        if (!ParseRecordLine(lines.substr(start, end - start), &record)) return false;
        parsed.push_back(std::move(record));
        start = end + 1;
    }
    *records = std::move(parsed);
    return true;
}

}  // namespace check_cache_records
