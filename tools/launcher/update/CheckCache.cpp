#include "update/CheckCache.h"

#include "Utf8.h"
#include "common/CheckCacheRecords.h"
#include "update/LocalFiles.h"
#include "update/Sha256.h"

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
    std::vector<check_cache_records::Record> lines;
    if (!check_cache_records::ParseRecordLines(
            std::string_view(content).substr(sizeof(kHeader) - 1, endLine - (sizeof(kHeader) - 1)), &lines)) {
        return;  // not a file of ours
    }
    std::map<std::wstring, Entry> records;
    for (const check_cache_records::Record& r : lines) {
        records[FromUtf8(r.name)] = Entry{r.sha256, FileStamp{r.size, r.lastWrite, r.volume, r.fileId}};
    }
    records_ = std::move(records);
}

bool CheckCache::Save(const std::wstring& path) const {
    std::string content = kHeader;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const auto& record : records_) {
            const FileStamp& s = record.second.stamp;
            content += check_cache_records::FormatRecordLine(
                {record.second.sha256, s.size, s.lastWrite, s.volume, s.fileId, ToUtf8(record.first)});
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
