#include "update/Http.h"

#include "common/ManifestSignature.h"
#include "update/Sha256.h"

#include <cwchar>
#include <vector>

namespace {

constexpr wchar_t kUserAgent[] = L"KorvaneLauncher/1.0";
constexpr int kTimeoutMs = 30000;
constexpr DWORD kHostChars = 256;
constexpr DWORD kUrlPathChars = 2048;

}  // namespace

bool CrackUrl(const std::wstring& url, const wchar_t* suffix, UrlParts& parts) {
    std::vector<wchar_t> host(kHostChars, L'\0');
    std::vector<wchar_t> path(kUrlPathChars, L'\0');
    URL_COMPONENTS components;
    ZeroMemory(&components, sizeof(components));
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host.data();
    components.dwHostNameLength = kHostChars;
    components.lpszUrlPath = path.data();
    components.dwUrlPathLength = kUrlPathChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &components)) return false;

    parts.host = host.data();
    parts.port = components.nPort;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.path = path.data();
    if (suffix) parts.path += suffix;
    return true;
}

HttpOpenStep OpenPatchRequest(const std::wstring& baseUrl, const wchar_t* suffix, HttpRequest& http) {
    UrlParts parts;
    if (!CrackUrl(baseUrl, suffix, parts)) return HttpOpenStep::CrackUrl;

    http.root = WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                            WINHTTP_NO_PROXY_BYPASS, 0);
    if (!http.root) return HttpOpenStep::WinHttpOpen;
    WinHttpSetTimeouts(http.root.Get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs);

    http.connection = WinHttpConnect(http.root.Get(), parts.host.c_str(), parts.port, 0);
    if (!http.connection) return HttpOpenStep::WinHttpConnect;

    http.request = WinHttpOpenRequest(http.connection.Get(), L"GET", parts.path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      parts.secure ? WINHTTP_FLAG_SECURE : 0);
    if (!http.request) return HttpOpenStep::WinHttpOpenRequest;
    // The wait for the response headers has a time-out of its own. Some WinHTTP implementations leave it
    // unlimited, so a host that accepts the connection and never answers would hold the update at
    // "connecting" for ever; give it the same 30 s as every other wait. The result is ignored like the
    // other time-outs'.
    DWORD responseTimeout = kTimeoutMs;
    WinHttpSetOption(http.request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    return HttpOpenStep::Done;
}

bool QueryContentLength(HINTERNET request, std::uint64_t& length) {
    wchar_t text[32] = {};
    DWORD bytes = sizeof(text);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    wchar_t* end = nullptr;
    unsigned long long value = std::wcstoull(text, &end, 10);
    if (end == text) return false;
    length = value;
    return true;
}

FetchedManifest FetchManifest(const std::wstring& baseUrl) {
    FetchedManifest fetched;
    HttpRequest http;
    if (OpenPatchRequest(baseUrl, L"manifest.txt", http) != HttpOpenStep::Done) return fetched;
    if (!WinHttpSendRequest(http.request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        return fetched;
    }

    std::uint64_t announced = 0;
    bool hasLength = QueryContentLength(http.request.Get(), announced);

    // A transfer that breaks off must not hand a shorter manifest to the parser: a cut-off file list
    // would look like a complete one.
    std::string body;
    Sha256Stream digest;
    manifest_signature::SignedPartScanner scanner;
    std::size_t digested = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(http.request.Get(), &available)) return fetched;
        if (available == 0) break;
        std::vector<char> chunk(available, '\0');
        DWORD read = 0;
        if (!WinHttpReadData(http.request.Get(), chunk.data(), available, &read)) return fetched;
        body.append(chunk.data(), read);
        const std::size_t signedSoFar = scanner.Advance(body);
        digest.Update(body.data() + digested, signedSoFar - digested);
        digested = signedSoFar;
    }
    if (hasLength && body.size() != announced) return fetched;
    fetched.digestedBytes = digested;
    fetched.digested = digest.Finish(fetched.digest);
    fetched.body = std::move(body);
    return fetched;
}
