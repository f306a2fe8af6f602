#include "update/LocalMirror.h"

#include "common/PathRules.h"
#include "update/DebugLog.h"

#include <map>
#include <mutex>

namespace {

constexpr char kLogIgnoredEntry[] =
    "[Launcher][updater] LocalMirrors entry \"%s\" ignored: not an http(s) URL ending in '/'\n";
constexpr char kLogMirrorShare[] = "[Launcher][updater] local mirror %s: %llu bytes of %llu\n";
constexpr char kLogMirrorDropped[] = "[Launcher][updater] local mirror %s %s: skipped for the rest of this run\n";
constexpr wchar_t kHttpPrefix[] = L"http://";
constexpr wchar_t kHttpsPrefix[] = L"https://";

// ---- the run's record ----

struct MirrorRecord {
    bool skipped = false;
    std::uint64_t bytes = 0;
};

std::mutex recordLock;  // guards the three below
std::vector<std::wstring> mirrorOrder;
std::map<std::wstring, MirrorRecord> mirrors;
std::uint64_t deliveredBytes = 0;

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
    const std::wstring_view head(prefix);
    return text.size() >= head.size() &&
           path_rules::EqualsAsciiNoCase(std::wstring_view(text).substr(0, head.size()), head);
}

// An http(s) URL with a host and a path that ends in '/'.
bool IsMirrorUrl(const std::wstring& url) {
    std::size_t hostStart = 0;
    if (StartsWithNoCase(url, kHttpsPrefix)) {
        hostStart = std::wstring_view(kHttpsPrefix).size();
    } else if (StartsWithNoCase(url, kHttpPrefix)) {
        hostStart = std::wstring_view(kHttpPrefix).size();
    } else {
        return false;
    }
    const std::size_t pathStart = url.find(L'/', hostStart);
    if (pathStart == std::wstring::npos || pathStart == hostStart) return false;
    if (url.find_first_of(L" \t?#\\", hostStart) != std::wstring::npos) return false;
    return url.back() == L'/';
}

std::wstring Trimmed(const std::wstring& text) {
    const std::size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

}  // namespace

std::vector<std::wstring> ParseLocalMirrors(const std::wstring& value) {
    std::vector<std::wstring> urls;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t end = value.find(L';', start);
        if (end == std::wstring::npos) end = value.size();
        const std::wstring entry = Trimmed(value.substr(start, end - start));
        if (IsMirrorUrl(entry)) {
            urls.push_back(entry);
        } else if (!entry.empty()) {
            LogLine(kLogIgnoredEntry, ToAnsiForLog(entry.c_str(), kLogNameBytes).c_str());
        }
        start = end + 1;
    }
    return urls;
}

void BeginHostRecord(const std::vector<std::wstring>& urls) {
    std::lock_guard<std::mutex> hold(recordLock);
    mirrorOrder = urls;
    mirrors.clear();
    for (const std::wstring& url : urls) mirrors[url] = MirrorRecord();
    deliveredBytes = 0;
}

bool IsLocalMirror(const std::wstring& host) {
    std::lock_guard<std::mutex> hold(recordLock);
    return mirrors.count(host) != 0;
}

bool HostSkipped(const std::wstring& host) {
    std::lock_guard<std::mutex> hold(recordLock);
    const auto found = mirrors.find(host);
    return found != mirrors.end() && found->second.skipped;
}

void DropLocalMirror(const std::wstring& host, const std::string& what) {
    std::lock_guard<std::mutex> hold(recordLock);
    const auto found = mirrors.find(host);
    if (found == mirrors.end() || found->second.skipped) return;
    found->second.skipped = true;
    LogLine(kLogMirrorDropped, ToAnsiForLog(host.c_str(), kLogNameBytes).c_str(), what.c_str());
}

void NoteMirrorStatus(const std::wstring& host, DWORD status) {
    if (status == 200 || status == 206 || status == 404 || status == 416) return;
    DropLocalMirror(host, "failed (HTTP " + std::to_string(status) + ")");
}

void NoteDeliveredBytes(const std::wstring& host, std::uint64_t bytes) {
    std::lock_guard<std::mutex> hold(recordLock);
    deliveredBytes += bytes;
    const auto found = mirrors.find(host);
    if (found != mirrors.end()) found->second.bytes += bytes;
}

void LogMirrorShare() {
    std::lock_guard<std::mutex> hold(recordLock);
    for (const std::wstring& url : mirrorOrder) {
        LogLine(kLogMirrorShare, ToAnsiForLog(url.c_str(), kLogNameBytes).c_str(),
                 static_cast<unsigned long long>(mirrors[url].bytes), static_cast<unsigned long long>(deliveredBytes));
    }
}
