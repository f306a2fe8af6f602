#include "update/CheckCache.h"

#include "LongPath.h"
#include "Utf8.h"
#include "Win32Handles.h"
#include "common/CheckCacheRecords.h"
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

bool ReadWhole(const std::wstring& path, std::string* content) {
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > static_cast<LONGLONG>(kMaxCacheBytes)) {
        return false;
    }
    content->resize(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    return content->empty() || (ReadFile(file.Get(), &(*content)[0], static_cast<DWORD>(content->size()), &read, nullptr) &&
                                read == content->size());
}

}  // namespace

bool ReadFileStamp(const std::wstring& path, FileStamp* stamp) {
    ScopedHandle file(CreateFileW(ForFileApi(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info)) return false;
    stamp->size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    stamp->lastWrite = (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                       info.ftLastWriteTime.dwLowDateTime;
    stamp->volume = info.dwVolumeSerialNumber;
    stamp->fileId = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

void CheckCache::Load(const std::wstring& path) {
    std::lock_guard<std::mutex> hold(lock_);
    records_.clear();
    changed_ = false;
    std::string content;
    if (!ReadWhole(path, &content) || content.compare(0, sizeof(kHeader) - 1, kHeader) != 0) return;
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

    const std::wstring temporary = path + L".tmp";
    {
        ScopedHandle file(CreateFileW(ForFileApi(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        if (!file.Valid() ||
            !WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
            written != content.size() || !FlushFileBuffers(file.Get())) {
            file.Reset();
            DeleteFileW(ForFileApi(temporary).c_str());
            return false;
        }
    }
    if (MoveFileExW(ForFileApi(temporary).c_str(), ForFileApi(path).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    DeleteFileW(ForFileApi(temporary).c_str());
    return false;
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

std::size_t CheckCache::Size() const {
    std::lock_guard<std::mutex> hold(lock_);
    return records_.size();
}
