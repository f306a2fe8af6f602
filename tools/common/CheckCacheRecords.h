#pragma once
// The record lines of the launcher's check cache, read back from its file. Each line is
//     <sha256> <size> <last write> <volume> <file id> <name>
// with the digest as 64 lower-case hex digits, the numbers in decimal (the volume within 32 bits) and the
// name as UTF-8 up to the line feed. Portable C++17; the file's header, its END line and their digest stay
// with the launcher.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace check_cache_records {

struct Record {
    std::string sha256;
    std::uint64_t size = 0;
    std::uint64_t lastWrite = 0;
    std::uint32_t volume = 0;
    std::uint64_t fileId = 0;
    std::string name;  // UTF-8, never empty
};

// One line as the launcher writes it, line feed included.
std::string FormatRecordLine(const Record& record);

// Every line of `lines` (the text between the header and the END line); false, with *records unchanged,
// when any line is not exactly a record.
bool ParseRecordLines(std::string_view lines, std::vector<Record>* records);

}  // namespace check_cache_records
