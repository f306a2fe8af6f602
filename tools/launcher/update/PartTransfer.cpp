#include "update/PartTransfer.h"

#include "update/DebugLog.h"
#include "update/HeldFiles.h"
#include "update/LocalFiles.h"

#include <cwchar>
#include <vector>

namespace {

constexpr DWORD kHashBlock = 65536;

}  // namespace

void LogHttpStatus(DWORD status, const wchar_t* name) {
    LogLine("[Launcher][http] HTTP %lu for %s -- 操作員確認 server 上有沒有這支檔, 路徑跟 case 對不對.\n",
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

PartFile::~PartFile() {
    // A ".part" left open by a transfer that broke off stays on the disk for the next attempt.
    file_.Reset();
}

bool PartFile::Open(const std::wstring& path, std::uint64_t existing) {
    path_ = path;
    file_ = local_files::OpenPart(path, existing);
    if (!file_.Valid()) {
        LogHttpStepFailure("CreateFile .part", name_, GetLastError());
        return false;
    }
    std::vector<unsigned char> buffer(kHashBlock);
    for (std::uint64_t left = existing; left > 0;) {
        const DWORD want = left < kHashBlock ? static_cast<DWORD>(left) : kHashBlock;
        DWORD read = 0;
        if (!ReadFile(file_.Get(), buffer.data(), want, &read, nullptr) || read == 0) {
            LogHttpStepFailure("ReadFile .part", name_, GetLastError());
            file_.Reset();
            return false;
        }
        digest_.Update(buffer.data(), read);
        left -= read;
    }
    bytes_ = existing;
    if (sink_) sink_->OnBytes(bytes_, total_, false);
    return true;
}

bool PartFile::Reopen(std::uint64_t keep) {
    file_.Reset();  // the ".part" is held alone: the new handle cannot open it while this one lives
    bytes_ = 0;
    if (!digest_.Restart()) return false;
    return Open(path_, keep);
}

bool PartFile::Append(const void* data, std::size_t size, bool received) {
    DWORD written = 0;
    if (!WriteFile(file_.Get(), data, static_cast<DWORD>(size), &written, nullptr) || written != size) {
        LogHttpStepFailure("WriteFile .part", name_, GetLastError());
        diskRefused_ = true;
        return false;
    }
    digest_.Update(data, size);
    bytes_ += size;
    if (sink_) sink_->OnBytes(bytes_, total_, received);
    return true;
}

BodyOutcome PartFile::Receive(const HttpRequest& http) {
    const std::uint64_t room = total_ > bytes_ ? total_ - bytes_ : 0;
    return ReadBody(http, room, name_, [this](const char* data, std::size_t size) { return Append(data, size, true); });
}

bool PartFile::AppendDecoded(FrameDecoder& decoder, const void* data, std::size_t size) {
    const bool fed =
        decoder.Feed(data, size, [this](const char* decoded, std::size_t n) { return Append(decoded, n, false); });
    if (sink_) sink_->OnWireBytes(size);
    return fed;
}

BodyOutcome PartFile::Receive(const HttpRequest& http, FrameDecoder& decoder, std::uint64_t limit) {
    return ReadBody(http, limit, name_,
                    [this, &decoder](const char* data, std::size_t size) { return AppendDecoded(decoder, data, size); });
}

SealOutcome PartFile::Seal(const std::string& sha256, const std::wstring& target) {
    // The data must be on the disk before the move makes it the target: a power cut right after the
    // rename must not leave a short file in the target's place.
    if (!FlushFileBuffers(file_.Get())) {
        LogHttpStepFailure("FlushFileBuffers .part", name_, GetLastError());
        Discard();
        return SealOutcome::LocalError;
    }
    unsigned char digest[32] = {};
    digestHex_ = digest_.Finish(digest) ? DigestHex(digest) : std::string();
    if (digestHex_.empty() || digestHex_ != sha256) {
        Discard();
        return SealOutcome::WrongDigest;
    }
    if (!PlaceWhenReleased(file_.Get(), target, name_)) {
        LogHttpStepFailure("MoveFileEx .part", name_, GetLastError());
        Discard();
        return SealOutcome::LocalError;
    }
    file_.Reset();
    return SealOutcome::Placed;
}

void PartFile::Discard() {
    if (!file_.Valid()) return;
    local_files::DeleteOpen(file_.Get());
    file_.Reset();
    bytes_ = 0;
    if (sink_) sink_->OnBytes(0, total_, false);
}
