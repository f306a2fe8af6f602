#include "update/HttpDownload.h"

#include "Win32Handles.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/StatusChannel.h"

#include <shlobj.h>

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kSampleMs = 250;
constexpr std::size_t kLogLineBytes = 512;
constexpr std::size_t kLogNameBytes = 255;
constexpr wchar_t kDefaultLabel[] = L"下載中";

const char* StepName(HttpOpenStep step) {
    switch (step) {
        case HttpOpenStep::CrackUrl: return "CrackUrl";
        case HttpOpenStep::WinHttpOpen: return "WinHttpOpen";
        case HttpOpenStep::WinHttpConnect: return "WinHttpConnect";
        case HttpOpenStep::WinHttpOpenRequest: return "WinHttpOpenRequest";
        case HttpOpenStep::Done: break;
    }
    return "?";
}

void LogStepFailure(const char* step, const wchar_t* relativeUrl, DWORD error) {
    LogLineA(kLogLineBytes, "[Launcher][http] %s failed for %s, GetLastError=%lu\n", step,
             ToAnsiForLog(relativeUrl, kLogNameBytes).c_str(), error);
}

void CreateParentDirectories(const std::wstring& targetPath) {
    std::size_t sep = targetPath.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return;
    // The shell splits directory chains at backslashes only; manifest paths may use forward slashes.
    std::wstring directory = targetPath.substr(0, sep);
    for (wchar_t& c : directory) {
        if (c == L'/') c = L'\\';
    }
    SHCreateDirectoryExW(nullptr, directory.c_str(), nullptr);
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

// Writes the body into the open .part file. False when the transfer failed or broke off early.
bool ReceiveBody(HINTERNET request, HANDLE file, TransferProgress& progress) {
    std::uint64_t announced = 0;
    bool hasLength = QueryContentLength(request, announced);
    std::vector<char> buffer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) return false;
        if (available == 0) break;
        if (buffer.size() < available) buffer.resize(available);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), available, &read)) return false;
        DWORD written = 0;
        if (!WriteFile(file, buffer.data(), read, &written, nullptr) || written != read) return false;
        progress.OnChunk(written);
    }
    // Wine and some proxies report a connection closed early as a clean end of the body.
    return !hasLength || progress.bytesDone == announced;
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

bool HttpDownloadToFile(const std::wstring& baseUrl, const wchar_t* relativeUrl, const std::wstring& targetPath,
                        HWND progressWindow,
                        std::uint64_t expectedSize, const wchar_t* label, std::atomic<std::uint64_t>* sharedDone,
                        std::uint64_t sharedTotal) {
    HttpRequest http;
    HttpOpenStep opened = OpenPatchRequest(baseUrl, relativeUrl, http);
    if (opened != HttpOpenStep::Done) {
        LogStepFailure(StepName(opened), relativeUrl, GetLastError());
        return false;
    }
    const std::wstring partPath = targetPath + L".part";

    if (!WinHttpSendRequest(http.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        LogStepFailure("WinHttpSendRequest", relativeUrl, GetLastError());
        return false;
    }
    if (!WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        LogStepFailure("WinHttpReceiveResponse", relativeUrl, GetLastError());
        return false;
    }

    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    WinHttpQueryHeaders(http.request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX);
    if (status != 200) {
        LogLineA(kLogLineBytes,
                 "[Launcher][http] HTTP %lu for %s -- 操作員確認 server 上有沒有這支檔, 路徑跟 case 對不對.\n", status,
                 ToAnsiForLog(relativeUrl, kLogNameBytes).c_str());
        return false;
    }

    CreateParentDirectories(targetPath);
    ScopedHandle file(CreateFileW(partPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file.Valid()) return false;

    TransferProgress progress{progressWindow, expectedSize, label, sharedDone, sharedTotal};
    progress.lastSpeedTick = GetTickCount();
    bool complete = ReceiveBody(http.request.Get(), file.Get(), progress);
    // The data must be on the disk before the move makes it the target: a power cut right after the
    // rename must not leave a short file in the target's place.
    if (complete && !FlushFileBuffers(file.Get())) complete = false;
    file.Reset();
    if (!complete) {
        DeleteFileW(partPath.c_str());
        return false;
    }
    if (!MoveFileExW(partPath.c_str(), targetPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(partPath.c_str());
        return false;
    }
    return true;
}
