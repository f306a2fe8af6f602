#pragma once
// What the file check knows of files it hashed or downloaded before: for each path, the digest it had and
// the file's size, last-write time and identity at that moment. With CHECK=quick a file whose three still
// match is taken as intact without hashing it again. Kept in one file in the launcher directory.

#include "update/LocalFiles.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

using local_files::FileStamp;

// The records; safe to use from several threads at once.
class CheckCache {
public:
    // Reads the cache file; one that is missing, unreadable, damaged or of another format leaves it empty.
    void Load(const std::wstring& path);
    // Writes it atomically: a temporary file beside it, flushed, then renamed over it. False on failure.
    bool Save(const std::wstring& path) const;

    // True when `key` has a record with this digest and this stamp.
    bool Matches(const std::wstring& key, const std::string& sha256, const FileStamp& stamp) const;
    void Record(const std::wstring& key, const std::string& sha256, const FileStamp& stamp);
    void Drop(const std::wstring& key);
    // True when a record was added, altered or dropped since Load: only then is there anything to save.
    bool Changed() const;

private:
    struct Entry {
        std::string sha256;
        FileStamp stamp;
    };
    mutable std::mutex lock_;  // guards records_ and changed_
    std::map<std::wstring, Entry> records_;
    bool changed_ = false;
};

// The cache's file name in the launcher directory.
inline constexpr wchar_t kCheckCacheName[] = L"korvane-check.cache";
