#include "update/HttpDownload.h"

#include "LongPath.h"
#include "Win32Handles.h"
#include "update/DebugLog.h"
#include "update/Http.h"
#include "update/PartTransfer.h"
#include "update/Sha256.h"
#include "update/StatusChannel.h"

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kHashBlock = 65536;

std::wstring DirectoryOf(const std::wstring& path) {
    const std::size_t sep = path.find_last_of(L"\\/");
    return sep == std::wstring::npos ? std::wstring() : path.substr(0, sep);
}

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

    result.status = QueryStatusCode(http.request.Get());
    std::uint64_t rangeStart = 0;
    if (result.status == 416) {
        DeleteFileW(ForFileApi(partPath).c_str());
        result.outcome = DownloadOutcome::RangeRefused;
        return result;
    }
    if (result.status == 206 && (!QueryRangeStart(http.request.Get(), &rangeStart) || rangeStart != existing)) {
        LogHttpStatus(result.status, relativeUrl);
        DeleteFileW(ForFileApi(partPath).c_str());
        return result;
    }
    if (result.status != 200 && result.status != 206) {
        LogHttpStatus(result.status, relativeUrl);
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
    switch (ReceiveBody(http.request.Get(), file.Get(), progress, &digest, relativeUrl)) {
        case BodyOutcome::Done: result.outcome = DownloadOutcome::Done; break;
        case BodyOutcome::Broken: result.outcome = DownloadOutcome::Broken; break;
        case BodyOutcome::LocalError: result.outcome = DownloadOutcome::LocalError; break;
    }
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
