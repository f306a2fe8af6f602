#include "update/PartTransfer.h"

#include "LongPath.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/HttpDownload.h"

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kSampleMs = 250;
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogNameBytes = 255;
constexpr wchar_t kDefaultLabel[] = L"下載中";

}  // namespace

void TransferProgress::OnChunk(DWORD bytes, bool received) {
    bytesDone += bytes;
    if (received) windowBytes += bytes;
    std::uint64_t shared = 0;
    if (sharedDone) shared = sharedDone->fetch_add(bytes) + bytes;
    if (window) {
        const std::uint64_t done = sharedDone ? shared : bytesDone;
        const std::uint64_t base = sharedDone ? sharedTotal : expectedSize;
        if (base > 0) {
            std::uint64_t percent = done * 100 / base;
            if (percent > 100) percent = 100;
            percentPoster.Post(window, static_cast<unsigned>(percent));
        }
    }
    const DWORD now = GetTickCount();
    if (now - lastSpeedTick >= kSampleMs) {
        speed = static_cast<double>(windowBytes) * 1000.0 / static_cast<double>(now - lastSpeedTick);
        lastSpeedTick = now;
        windowBytes = 0;
    }
    if (window && now - lastTextTick >= kSampleMs) {
        lastTextTick = now;
        const std::wstring total = expectedSize > 0 ? FormatByteSize(expectedSize) : std::wstring(L"?");
        PostStatusText(window, L"%ls  %ls / %ls  (%ls/s)", label ? label : kDefaultLabel,
                       FormatByteSize(bytesDone).c_str(), total.c_str(),
                       FormatByteSize(static_cast<std::uint64_t>(speed)).c_str());
    }
}

void LogHttpStatus(DWORD status, const wchar_t* name) {
    LogLineA(kLogLineBytes, "[Launcher][http] HTTP %lu for %s -- 操作員確認 server 上有沒有這支檔, 路徑跟 case 對不對.\n",
             status, ToAnsiForLog(name, kLogNameBytes).c_str());
}

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

BodyOutcome ReceiveBody(HINTERNET request, HANDLE file, TransferProgress& progress, Sha256Stream* digest,
                        const wchar_t* name) {
    std::uint64_t announced = 0;
    const bool hasLength = QueryContentLength(request, announced);
    std::uint64_t received = 0;
    std::vector<char> buffer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            LogHttpStepFailure("WinHttpQueryDataAvailable", name, GetLastError());
            return BodyOutcome::Broken;
        }
        if (available == 0) break;
        if (buffer.size() < available) buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read)) {
            LogHttpStepFailure("WinHttpReadData", name, GetLastError());
            return BodyOutcome::Broken;
        }
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) {
            LogHttpStepFailure("WriteFile .part", name, GetLastError());
            return BodyOutcome::LocalError;
        }
        digest->Update(buffer.data(), read);
        received += read;
        progress.OnChunk(written);
    }
    // Wine and some proxies report a connection closed early as a clean end of the body.
    if (hasLength && received != announced) {
        LogLineA(kLogLineBytes, "[Launcher][http] %s ended after %llu of %llu bytes\n",
                 ToAnsiForLog(name, kLogNameBytes).c_str(), static_cast<unsigned long long>(received),
                 static_cast<unsigned long long>(announced));
        return BodyOutcome::Broken;
    }
    return BodyOutcome::Done;
}

bool MoveIntoPlace(const std::wstring& partPath, const std::wstring& targetPath, const wchar_t* name) {
    const std::wstring target = ForFileApi(targetPath);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) {
        SetFileAttributesW(target.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (MoveFileExW(ForFileApi(partPath).c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
    LogHttpStepFailure("MoveFileEx .part", name, GetLastError());
    DeleteFileW(ForFileApi(partPath).c_str());
    return false;
}
