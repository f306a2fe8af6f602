#include "update/HttpDownload.h"

#include "update/Http.h"
#include "update/LocalFiles.h"
#include "update/PartTransfer.h"

namespace {

DownloadOutcome OutcomeOfSeal(SealOutcome sealed) {
    switch (sealed) {
        case SealOutcome::Placed: return DownloadOutcome::Done;
        case SealOutcome::WrongDigest: return DownloadOutcome::WrongDigest;
        case SealOutcome::LocalError: break;
    }
    return DownloadOutcome::LocalError;
}

// A ".part" of exactly the expected size: an earlier attempt received all of it but did not move it.
DownloadResult FinishCompletePart(const std::wstring& partPath, const std::wstring& targetPath, std::uint64_t size,
                                  const std::string& sha256, ProgressSink* sink, const wchar_t* relativeUrl) {
    DownloadResult result;
    result.resumed = true;
    PartFile part(sink, size, relativeUrl);
    if (!part.Open(partPath, size)) {
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    result.outcome = OutcomeOfSeal(part.Seal(sha256, targetPath));
    result.sha256 = part.Digest();
    return result;
}

}  // namespace

DownloadResult HttpDownloadToFile(HttpRequest& http, const std::wstring& baseUrl, const wchar_t* relativeUrl,
                                  const std::wstring& targetPath, std::uint64_t size, const std::string& sha256,
                                  ProgressSink* sink) {
    DownloadResult result;
    const std::wstring partPath = targetPath + L".part";
    std::uint64_t existing = local_files::SizeOrZero(partPath);
    if (existing > size) {
        local_files::DeleteOrGone(partPath);
        existing = 0;
    }
    if (size > 0 && existing == size) {
        return FinishCompletePart(partPath, targetPath, size, sha256, sink, relativeUrl);
    }

    const std::wstring range = existing > 0 ? L"Range: bytes=" + std::to_wstring(existing) + L"-\r\n" : std::wstring();
    const HttpOpenStep sent = RequestFromPatchHost(baseUrl, relativeUrl, range, http);
    if (sent != HttpOpenStep::Done) {
        const bool refused = sent == HttpOpenStep::CrackUrl || sent == HttpOpenStep::ProxyAuthentication;
        result.outcome = refused ? DownloadOutcome::Refused : DownloadOutcome::Broken;
        return result;
    }

    result.status = QueryStatusCode(http.request.Get());
    std::uint64_t rangeStart = 0;
    if (result.status == 416) {
        local_files::DeleteOrGone(partPath);
        result.outcome = DownloadOutcome::RangeRefused;
        return result;
    }
    if (result.status == 206 && (!QueryRangeStart(http.request.Get(), &rangeStart) || rangeStart != existing)) {
        LogHttpStatus(result.status, relativeUrl);
        local_files::DeleteOrGone(partPath);
        return result;
    }
    if (result.status != 200 && result.status != 206) {
        LogHttpStatus(result.status, relativeUrl);
        if (result.status < 500) result.outcome = DownloadOutcome::Refused;
        return result;
    }
    if (result.status == 200) existing = 0;  // the whole file again: whatever the ".part" held goes
    result.resumed = existing > 0;

    local_files::CreateParentFolders(targetPath);
    PartFile part(sink, size, relativeUrl);
    if (!part.Open(partPath, existing)) {
        result.outcome = DownloadOutcome::LocalError;
        return result;
    }
    switch (part.Receive(http)) {
        case BodyOutcome::Done: break;
        case BodyOutcome::Broken: return result;  // the ".part" stays for the next attempt
        case BodyOutcome::TooLong:
            part.Discard();  // a body that runs past the file is no part of it
            return result;
        case BodyOutcome::Refused:
            result.outcome = DownloadOutcome::LocalError;
            return result;
    }
    // A body without a length that stopped short: what came is kept, as for any transfer broken off.
    if (part.Bytes() != size) return result;
    result.outcome = OutcomeOfSeal(part.Seal(sha256, targetPath));
    result.sha256 = part.Digest();
    return result;
}
