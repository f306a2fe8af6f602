#include "update/CheckCache.h"

#include "Utf8.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace {

constexpr char kHeader[] = "KORVANE-CHECK-CACHE 1\n";
constexpr char kEnd[] = "END ";
constexpr std::size_t kMaxCacheBytes = 256ull * 1024 * 1024;

std::string ContentDigest(const std::string& content) {
    unsigned char digest[32] = {};
    return Sha256OfBytes(content.data(), content.size(), digest) ? DigestHex(digest) : std::string();
}

}  // namespace

void CheckCache::Load(const std::wstring& path) {
    std::lock_guard<std::mutex> hold(lock_);
    records_.clear();
    changed_ = false;
    std::string content;
    if (!local_files::ReadWhole(path, kMaxCacheBytes, &content) || content.compare(0, sizeof(kHeader) - 1, kHeader) != 0) return;
    // The last line names the digest of everything before it: a cut or altered file counts as none.
    const std::size_t endLine = content.rfind(kEnd);
    if (endLine == std::string::npos || content.back() != '\n' ||
        content.substr(endLine + sizeof(kEnd) - 1, 64) != ContentDigest(content.substr(0, endLine))) {
        return;
    }
    std::map<std::wstring, Entry> records;
    std::istringstream lines(content.substr(sizeof(kHeader) - 1, endLine - (sizeof(kHeader) - 1)));
    std::string line;
    while (std::getline(lines, line)) {
        Entry entry;
        char digest[65] = {};
        unsigned long long size = 0, lastWrite = 0, fileId = 0;
        unsigned long volume = 0;
        int consumed = 0;
        if (std::sscanf(line.c_str(), "%64s %llu %llu %lu %llu %n", digest, &size, &lastWrite, &volume, &fileId,
                        &consumed) != 5 ||
            consumed <= 0 || static_cast<std::size_t>(consumed) >= line.size()) {
            return;  // not a file of ours
        }
        entry.sha256 = digest;
        entry.stamp = FileStamp{size, lastWrite, static_cast<std::uint32_t>(volume), fileId};
        records[FromUtf8(std::string_view(line).substr(static_cast<std::size_t>(consumed)))] = entry;
    }
    records_ = std::move(records);
}

bool CheckCache::Save(const std::wstring& path) const {
    std::string content = kHeader;
    {
        std::lock_guard<std::mutex> hold(lock_);
        char numbers[160];
        for (const auto& record : records_) {
            const FileStamp& s = record.second.stamp;
            std::snprintf(numbers, sizeof(numbers), " %llu %llu %lu %llu ", static_cast<unsigned long long>(s.size),
                          static_cast<unsigned long long>(s.lastWrite), static_cast<unsigned long>(s.volume),
                          static_cast<unsigned long long>(s.fileId));
            content += record.second.sha256 + numbers + ToUtf8(record.first) + "\n";
        }
    }
    content += kEnd + ContentDigest(content) + "\n";

    return local_files::WriteAtomically(path, content);
}

bool CheckCache::Matches(const std::wstring& key, const std::string& sha256, const FileStamp& stamp) const {
    std::lock_guard<std::mutex> hold(lock_);
    const auto it = records_.find(key);
    return it != records_.end() && it->second.sha256 == sha256 && it->second.stamp == stamp;
}

void CheckCache::Record(const std::wstring& key, const std::string& sha256, const FileStamp& stamp) {
    std::lock_guard<std::mutex> hold(lock_);
    Entry& entry = records_[key];
    if (entry.sha256 == sha256 && entry.stamp == stamp) return;
    entry = Entry{sha256, stamp};
    changed_ = true;
}

void CheckCache::Drop(const std::wstring& key) {
    std::lock_guard<std::mutex> hold(lock_);
    if (records_.erase(key) > 0) changed_ = true;
}

bool CheckCache::Changed() const {
    std::lock_guard<std::mutex> hold(lock_);
    return changed_;
}
