#include "update/HttpDownload.h"

#include "LongPath.h"
#include "Win32Handles.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kSampleMs = 250;
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogNameBytes = 255;
constexpr DWORD kHashBlock = 65536;
constexpr wchar_t kDefaultLabel[] = L"下載中";

void LogStatus(DWORD status, const wchar_t* relativeUrl) {
    LogLineA(kLogLineBytes, "[Launcher][http] HTTP %lu for %s -- 操作員確認 server 上有沒有這支檔, 路徑跟 case 對不對.\n",
             status, ToAnsiForLog(relativeUrl, kLogNameBytes).c_str());
}

std::wstring DirectoryOf(const std::wstring& path) {
    const std::size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? std::wstring() : path.substr(0, sep);
}

// The start of the range a 206 answer carries ("bytes <start>-<end>/<total>"); false when unreadable.
bool QueryRangeStart(HINTERNET request, std::uint64_t* start) {
    wchar_t text[128] = {};
    DWORD bytes = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CUSTOM, L"Content-Range", text, &bytes, WINHTTP_NO_HEADER_INDEX) ||
        std::wcsncmp(text, L"bytes ", 6) != 0) {
        return false;
    }
    wchar_t* end = nullptr;
    *start = std::wcstoull(text + 6, &end, 10);
    return end != text + 6 && *end == L'-';
}

// The per-call progress clock: the percent whenever it changes, speed and the transfer line every 250 ms.
struct TransferProgress {
    HWND window;
    std::uint64_t expectedSize;
    const wchar_t* label;
    std::atomic<std::uint64_t>* sharedDone;
    std::uint64_t sharedTotal;
    std::uint64_t bytesDone = 0;
    std::uint64_t windowBytes = 0;
    DWORD lastSpeedTick = 0;
    double speed = 0.0;
    DWORD lastTextTick = 0;
    ProgressPoster percentPoster;

    void OnChunk(DWORD written) {
        bytesDone += written;
        windowBytes += written;
        std::uint64_t shared = 0;
        if (sharedDone) shared = sharedDone->fetch_add(written) + written;
        if (window) {
            std::uint64_t done = sharedDone ? shared : bytesDone;
            std::uint64_t base = sharedDone ? sharedTotal : expectedSize;
            if (base > 0) {
                std::uint64_t percent = done * 100 / base;
                if (percent > 100) percent = 100;
                percentPoster.Post(window, static_cast<unsigned>(percent));
            }
        }
        DWORD now = GetTickCount();
        if (now - lastSpeedTick >= kSampleMs) {
            speed = static_cast<double>(windowBytes) * 1000.0 / static_cast<double>(now - lastSpeedTick);
            lastSpeedTick = now;
            windowBytes = 0;
        }
        if (window && now - lastTextTick >= kSampleMs) {
            lastTextTick = now;
            std::wstring total = expectedSize > 0 ? FormatByteSize(expectedSize) : std::wstring(L"?");
            PostStatusText(window, L"%ls  %ls / %ls  (%ls/s)", label ? label : kDefaultLabel,
                           FormatByteSize(bytesDone).c_str(), total.c_str(),
                           FormatByteSize(static_cast<std::uint64_t>(speed)).c_str());
        }
    }
};

// Feeds the first `size` bytes of an open file into the digest, leaving the file position at their end.
bool HashExisting(HANDLE file, std::uint64_t size, Sha256Stream* digest) {
    std::vector<unsigned char> buffer(kHashBlock);
    while (size > 0) {
        const DWORD want = size < kHashBlock ? static_cast<DWORD>(size) : kHashBlock;
        DWORD read = 0;
        if (!ReadFile(file, buffer.data(), want, &read, nullptr) || read == 0) return false;
        digest->Update(buffer.data(), read);
        size -= read;
    }
    return true;
}

// Opens the ".part" to append after its `existing` bytes (hashing them), or anew. Logs a failure.
ScopedHandle OpenPart(const std::wstring& partPath, std::uint64_t existing, Sha256Stream* digest,
                      const wchar_t* relativeUrl) {
    const std::wstring path = ForFileApi(partPath);
    ScopedHandle file(existing > 0 ? CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr)
                                   : CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        LogHttpStepFailure("CreateFile .part", relativeUrl, GetLastError());
        return file;
    }
    if (existing > 0 && !HashExisting(file.Get(), existing, digest)) {
        LogHttpStepFailure("ReadFile .part", relativeUrl, GetLastError());
        file.Reset();
    }
    return file;
}

// Writes the body into the open ".part". Broken when the transfer failed or ended before its length,
// LocalError when the disk refused a write.
DownloadOutcome ReceiveBody(HINTERNET request, HANDLE file, TransferProgress& progress, Sha256Stream* digest,
                            const wchar_t* relativeUrl) {
    std::uint64_t announced = 0;
    const bool hasLength = QueryContentLength(request, announced);
    std::uint64_t received = 0;
    std::vector<char> buffer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            LogHttpStepFailure("WinHttpQueryDataAvailable", relativeUrl, GetLastError());
            return DownloadOutcome::Broken;
        }
        if (available == 0) break;
        if (buffer.size() < available) buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read)) {
            LogHttpStepFailure("WinHttpReadData", relativeUrl, GetLastError());
            return DownloadOutcome::Broken;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
            LogHttpStepFailure("WriteFile .part", relativeUrl, GetLastError());
            return DownloadOutcome::LocalError;
        }
        digest->Update(buffer.data(), read);
        received += read;
        progress.OnChunk(written);
    }
    // Wine and some proxies report a connection closed early as a clean end of the body.
    if (hasLength && received != announced) {
        LogLineA(kLogLineBytes, "[Launcher][http] %s ended after %llu of %llu bytes\n",
                 ToAnsiForLog(relativeUrl, kLogNameBytes).c_str(), static_cast<unsigned long long>(received),
                 static_cast<unsigned long long>(announced));
        return DownloadOutcome::Broken;
    }
    return DownloadOutcome::Done;
}

// Moves the finished ".part" over the target; a read-only target (a copy from a disc) is made writable first.
bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& targetPath, const wchar_t* relativeUrl) {
    const std::wstring target = ForFileApi(targetPath);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (MoveFileExW(ForFileApi(partPath).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    LogHttpStepFailure("MoveFileEx .part", relativeUrl, GetLastError());
    DeleteFileW(ForFileApi(partPath).c_str());
    return false;
}

// A ".part" of exactly the expected size: an earlier attempt received all of it but did not move it.
DownloadResult FinishCompletePart(const std::wstring& partPath, const std::wstring& targetPath,
                                  std::uint64_t size, const wchar_t* relativeUrl) {
    DownloadResult result;
    result.resumed = true;
    Sha256Stream digest;
    ScopedHandle file(CreateFileW(ForFileApi(partPath).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid() || !HashExisting(file.Get(), size, &digest)) {
        LogHttpStepFailure("ReadFile .part", relativeUrl, GetLastError());
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    file.Reset();
    unsigned char sha[32] = {};
    if (!MoveIntoPlace(partPath, targetPath, relativeUrl)) {
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    result.outcome = DownloadOutcome::Done;
    if (digest.Finish(sha)) result.sha256 = DigestHex(sha);
    return result;
}

}  // namespace

std::wstring FormatByteSize(std::uint64_t bytes) {
    wchar_t text[32] = {};
    if (bytes < 1024) {
        std::swprintf(text, 32, L"%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes <= 0xFFFFF) {
        std::swprintf(text, 32, L"%.1f KB", static_cast<double>(bytes) * 0.0009765625);
    } else {
        std::swprintf(text, 32, L"%.1f MB", static_cast<double>(bytes) * 9.5367431640625e-07);
    }
    return text;
}

std::uint64_t FileSizeOrZero(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(ForFileApi(path).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

DownloadResult HttpDownloadToFile(const std::wstring& baseUrl, const wchar_t* relativeUrl,
                                  const std::wstring& targetPath, HWND progressWindow, std::uint64_t expectedSize,
                                  const wchar_t* label, std::atomic<std::uint64_t>* sharedDone,
                                  std::uint64_t sharedTotal) {
    DownloadResult result;
    const std::wstring partPath = targetPath + L".part";
    std::uint64_t existing = FileSizeOrZero(partPath);
    if (expectedSize > 0 && existing > expectedSize) {
        DeleteFileW(ForFileApi(partPath).c_str());
        existing = 0;
    }
    if (expectedSize > 0 && existing == expectedSize) return FinishCompletePart(partPath, targetPath, existing, relativeUrl);

    HttpRequest http;
    const HttpOpenStep opened = OpenPatchRequest(baseUrl, relativeUrl, http);
    if (opened != HttpOpenStep::Done) {
        LogHttpStepFailure(HttpStepName(opened), relativeUrl, GetLastError());
        result.outcome = opened == HttpOpenStep::CrackUrl ? DownloadOutcome::Refused : DownloadOutcome::Broken;
        return result;
    }
    const std::wstring range = existing > 0 ? L"Range: bytes=" + std::to_wstring(existing) + L"-\r\n" : std::wstring();
    if (!WinHttpSendRequest(http.request.Get(), existing > 0 ? range.c_str() : WINHTTP_NO_ADDITIONAL_HEADERS,
                            existing > 0 ? static_cast<DWORD>(-1L) : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        LogHttpStepFailure("WinHttpSendRequest", relativeUrl, GetLastError());
        return result;
    }
    if (!WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        LogHttpStepFailure("WinHttpReceiveResponse", relativeUrl, GetLastError());
        return result;
    }

    DWORD statusSize = sizeof(result.status);
    WinHttpQueryHeaders(http.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &result.status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    std::uint64_t rangeStart = 0;
    if (result.status == 416) {
        DeleteFileW(ForFileApi(partPath).c_str());
        result.outcome = DownloadOutcome::RangeRefused;
        return result;
    }
    if (result.status == 206 && (!QueryRangeStart(http.request.Get(), &rangeStart) || rangeStart != existing)) {
        LogStatus(result.status, relativeUrl);
        DeleteFileW(ForFileApi(partPath).c_str());
        return result;
    }
    if (result.status != 200 && result.status != 206) {
        LogStatus(result.status, relativeUrl);
        if (result.status < 500) result.outcome = DownloadOutcome::Refused;
        return result;
    }
    if (result.status == 200) existing = 0;  // the whole file again: whatever the ".part" held goes
    result.resumed = existing > 0;

    CreateDirectoryChain(DirectoryOf(targetPath));
    Sha256Stream digest;
    ScopedHandle file = OpenPart(partPath, existing, &digest, relativeUrl);
    if (!file.Valid()) {
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    TransferProgress progress{progressWindow, expectedSize, label, sharedDone, sharedTotal};
    progress.bytesDone = existing;
    progress.lastSpeedTick = GetTickCount();
    result.outcome = ReceiveBody(http.request.Get(), file.Get(), progress, &digest, relativeUrl);
    // The data must be on the disk before the move makes it the target: a power cut right after the
    // rename must not leave a short file in the target's place.
    if (result.outcome == DownloadOutcome::Done && !FlushFileBuffers(file.Get())) {
        LogHttpStepFailure("FlushFileBuffers .part", relativeUrl, GetLastError());
        result.outcome = DownloadOutcome::LocalError;
    }
    file.Reset();
    if (result.outcome != DownloadOutcome::Done) return result;  // the ".part" stays for the next attempt
    if (!MoveIntoPlace(partPath, targetPath, relativeUrl)) {
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    unsigned char sha[32] = {};
    if (digest.Finish(sha)) result.sha256 = DigestHex(sha);
    return result;
}
