#include "update/Http.h"

#include "Utf8.h"
#include "common/ManifestSignature.h"
#include "common/PathRules.h"
#include "common/PercentEncoding.h"
#include "common/ZstdFrames.h"
#include "update/DebugLog.h"
#include "update/LocalMirror.h"
#include "update/ProxyChoice.h"
#include "update/TransferGate.h"
#include "update/Sha256.h"

#include <algorithm>
#include <atomic>
#include <cwchar>
#include <vector>

namespace {

// The name of a step for the log line.
const char* HttpStepName(HttpOpenStep step) {
    switch (step) {
        case HttpOpenStep::CrackUrl: return "CrackUrl";
        case HttpOpenStep::WinHttpOpen: return "WinHttpOpen";
        case HttpOpenStep::WinHttpConnect: return "WinHttpConnect";
        case HttpOpenStep::WinHttpOpenRequest: return "WinHttpOpenRequest";
        case HttpOpenStep::WinHttpSendRequest: return "WinHttpSendRequest";
        case HttpOpenStep::WinHttpReceiveResponse: return "WinHttpReceiveResponse";
        case HttpOpenStep::ProxyAuthentication: return "proxy authentication";
        case HttpOpenStep::Done: break;
    }
    return "?";
}

constexpr wchar_t kUserAgent[] = L"KorvaneLauncher/1.0";
const std::wstring kManifestNameText = path_rules::FromAscii<wchar_t>(path_rules::kManifestName);
const wchar_t* const kManifestName = kManifestNameText.c_str();
const std::wstring kCompressedManifestNameText = path_rules::FromAscii<wchar_t>(path_rules::kCompressedManifestName);
const wchar_t* const kCompressedManifestName = kCompressedManifestNameText.c_str();
constexpr int kTimeoutMs = 30000;
constexpr DWORD kStatusProxyAuthRequired = 407;
constexpr DWORD kHostChars = 256;
constexpr DWORD kUrlPathChars = 2048;
std::atomic<long> sessionsOpened{0};

// Older Windows versions default to TLS 1.0, which the patch host refuses; ask for 1.2 and 1.3, or 1.2
// alone where the platform does not know 1.3.
void AllowModernTlsOnly(HINTERNET root) {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(root, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
        WinHttpSetOption(root, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols));
    }
}

}  // namespace

std::wstring PercentEncodePath(std::wstring_view path) {
    const std::string encoded = percent_encoding::EncodePath(ToUtf8(path));
    return std::wstring(encoded.begin(), encoded.end());
}

long WinHttpSessionsOpened() { return sessionsOpened.load(); }


void LogHttpStepFailure(const char* step, const wchar_t* name, DWORD error) {
    LogLine("[Launcher][http] %s failed for %s, GetLastError=%lu\n", step,
             ToAnsiForLog(name, kLogNameBytes).c_str(), error);
}

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

namespace {

HttpOpenStep OpenPatchRequest(const std::wstring& baseUrl, const wchar_t* suffix, HttpRequest& http) {
    UrlParts parts;
    const std::wstring encoded = suffix ? PercentEncodePath(suffix) : std::wstring();
    if (!CrackUrl(baseUrl, suffix ? encoded.c_str() : nullptr, parts)) return HttpOpenStep::CrackUrl;

    http.request.Reset();
    const bool mirror = IsLocalMirror(baseUrl);
    const int waitMs = mirror ? static_cast<int>(kLocalMirrorWaitMs) : kTimeoutMs;
    http.stall = mirror ? kLocalMirrorStallRule : kPatchHostStallRule;
    if (!http.root) {
        http.root = OpenSessionThroughProxy(kUserAgent, baseUrl);
        if (!http.root) return HttpOpenStep::WinHttpOpen;
        ++sessionsOpened;
        WinHttpSetTimeouts(http.root.Get(), waitMs, waitMs, waitMs, waitMs);
        AllowModernTlsOnly(http.root.Get());
        // A 3xx is an answer of its own: the host that sent it failed, and the next host is tried.
        DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(http.root.Get(), WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof(redirects));
    }
    if (!http.connection) {
        http.connection = WinHttpConnect(http.root.Get(), parts.host.c_str(), parts.port, 0);
        if (!http.connection) return HttpOpenStep::WinHttpConnect;
    }

    // The path is escaped already: WinHTTP must send it exactly as it is.
    http.request = WinHttpOpenRequest(http.connection.Get(), L"GET", parts.path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      WINHTTP_FLAG_ESCAPE_DISABLE | (parts.secure ? WINHTTP_FLAG_SECURE : 0));
    if (!http.request) return HttpOpenStep::WinHttpOpenRequest;
    RefuseWindowsLogon(http.request.Get());
    // The wait for the response headers has a time-out of its own. Some WinHTTP implementations leave it
    // unlimited, so a host that accepts the connection and never answers would hold the update at
    // "connecting" for ever; give it the same time as every other wait. The result is ignored like the
    // other time-outs'.
    DWORD responseTimeout = static_cast<DWORD>(waitMs);
    WinHttpSetOption(http.request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                     sizeof(responseTimeout));
    return HttpOpenStep::Done;
}

}  // namespace

HttpOpenStep RequestFromPatchHost(const std::wstring& baseUrl, const wchar_t* suffix, const std::wstring& headers,
                                  HttpRequest& http) {
    if (HostSkipped(baseUrl)) {
        SetLastError(ERROR_WINHTTP_CANNOT_CONNECT);
        return HttpOpenStep::WinHttpSendRequest;
    }
    HttpOpenStep step = OpenPatchRequest(baseUrl, suffix, http);
    if (step == HttpOpenStep::Done &&
        !WinHttpSendRequest(http.request.Get(), headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
        step = HttpOpenStep::WinHttpSendRequest;
    } else if (step == HttpOpenStep::Done && !WinHttpReceiveResponse(http.request.Get(), nullptr)) {
        step = HttpOpenStep::WinHttpReceiveResponse;
    } else if (step == HttpOpenStep::Done && QueryStatusCode(http.request.Get()) == kStatusProxyAuthRequired) {
        // A cache, and anything the player's proxy does not carry the request through, is never offered the
        // logon: on a LAN, whoever answers 407 or 401 with NTLM would collect the seat's exchange.
        const bool offered = !IsLocalMirror(baseUrl) && CarriedByPlayersProxy(baseUrl);
        if (!offered) LogLogonWithheld(http.request.Get(), baseUrl);
        if (!offered || !AnswerProxyLogin(http.request.Get(), baseUrl, headers)) {
            NoteMirrorStatus(baseUrl, kStatusProxyAuthRequired);
            return HttpOpenStep::ProxyAuthentication;
        }
    }
    if (step == HttpOpenStep::Done) {
        NoteMirrorStatus(baseUrl, QueryStatusCode(http.request.Get()));
        return step;
    }
    const DWORD error = GetLastError();
    LogHttpStepFailure(HttpStepName(step), suffix, error);
    const bool unreachable = step == HttpOpenStep::WinHttpConnect || step == HttpOpenStep::WinHttpSendRequest;
    DropLocalMirror(baseUrl, unreachable ? "unreachable" : "failed (no answer)");
    SetLastError(error);
    return step;
}

DWORD QueryStatusCode(HINTERNET request) {
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return 0;
    }
    return status;
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

BodyOutcome ReadBody(const HttpRequest& http, std::uint64_t limit, const wchar_t* name,
                     const std::function<bool(const char* data, std::size_t size)>& consume) {
    const HINTERNET request = http.request.Get();
    std::uint64_t announced = 0;
    const bool hasLength = QueryContentLength(request, announced);
    if (hasLength && announced > limit) {
        LogLine("[Launcher][http] %s announces %llu bytes, more than the %llu taken\n",
                 ToAnsiForLog(name, kLogNameBytes).c_str(), static_cast<unsigned long long>(announced),
                 static_cast<unsigned long long>(limit));
        return BodyOutcome::TooLong;
    }
    std::uint64_t received = 0;
    std::uint64_t windowBytes = 0;
    PassTransferGate(0);  // a paused run starts no body
    if (TransferStopped()) return BodyOutcome::Broken;
    DWORD windowStart = GetTickCount();
    DWORD windowHeld = 0;  // of the window's time, what the limit or a pause held the transfer
    std::vector<char> buffer;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            LogHttpStepFailure("WinHttpQueryDataAvailable", name, GetLastError());
            return BodyOutcome::Broken;
        }
        if (available == 0) break;
        if (available > limit - received) {
            LogLine("[Launcher][http] %s is longer than the %llu bytes taken\n",
                     ToAnsiForLog(name, kLogNameBytes).c_str(), static_cast<unsigned long long>(limit));
            return BodyOutcome::TooLong;
        }
        const DWORD want = SpeedLimit() != 0 ? std::min<DWORD>(available, kLimitedReadBytes) : available;
        if (buffer.size() < want) buffer.resize(want);
        DWORD read = 0;
        if (!WinHttpReadData(request, buffer.data(), want, &read)) {
            LogHttpStepFailure("WinHttpReadData", name, GetLastError());
            return BodyOutcome::Broken;
        }
        if (!consume(buffer.data(), read)) return BodyOutcome::Refused;
        received += read;
        windowBytes += read;
        // Time the limit or a pause held the transfer is not the host's: the window measures what it sent.
        windowHeld += PassTransferGate(read);
        if (TransferStopped()) {
            LogLine("[Launcher][http] %s: the pre-load stops here, the game starts\n", ToAnsiForLog(name, kLogNameBytes).c_str());
            return BodyOutcome::Broken;
        }
        // The gate measures its holds on the same tick count, each within the window: never more than passed.
        const DWORD now = GetTickCount();
        const DWORD hostMs = now - windowStart - windowHeld;
        if (hostMs >= http.stall.windowMs) {
            if (windowBytes < http.stall.minimumBytes) {
                LogLine("[Launcher][http] %s received %llu bytes in %lu s: too slow, broken off\n",
                         ToAnsiForLog(name, kLogNameBytes).c_str(), static_cast<unsigned long long>(windowBytes),
                         hostMs / 1000);
                return BodyOutcome::Broken;
            }
            windowStart = now;
            windowHeld = 0;
            windowBytes = 0;
        }
    }
    // Wine and some proxies report a connection closed early as a clean end of the body.
    if (hasLength && received != announced) {
        LogLine("[Launcher][http] %s ended after %llu of %llu bytes\n",
                 ToAnsiForLog(name, kLogNameBytes).c_str(), static_cast<unsigned long long>(received),
                 static_cast<unsigned long long>(announced));
        return BodyOutcome::Broken;
    }
    return BodyOutcome::Done;
}

BodyOutcome ReadBodyToMemory(const HttpRequest& http, std::uint64_t limit, const wchar_t* name, std::string* body) {
    return ReadBody(http, limit, name, [body](const char* data, std::size_t size) {
        body->append(data, size);
        return true;
    });
}

namespace {

// The manifest text as it arrives, hashed up to its signature line on the way.
struct ManifestText {
    std::string body;
    Sha256Stream digest;
    manifest_signature::SignedPartScanner scanner;
    std::size_t digested = 0;

    bool Append(const char* data, std::size_t size) {
        if (size > kMaxManifestBytes - body.size()) return false;
        body.append(data, size);
        const std::size_t signedSoFar = scanner.Advance(body);
        digest.Update(body.data() + digested, signedSoFar - digested);
        digested = signedSoFar;
        return true;
    }
    void Into(FetchedManifest* fetched) {
        fetched->digestedBytes = digested;
        fetched->digested = digest.Finish(fetched->digest);
        fetched->body = std::move(body);
    }
};

// manifest.zst, decoded as it arrives: true with `fetched` filled when it came whole, and also when the host
// could not be asked at all or a proxy refused (the plain manifest would fare the same, after as long a
// wait). False, quietly for a host that does not serve it, to ask for manifest.txt instead.
bool FetchCompressedManifest(const std::wstring& baseUrl, FetchedManifest* fetched) {
    HttpRequest http;
    const HttpOpenStep step = RequestFromPatchHost(baseUrl, kCompressedManifestName, std::wstring(), http);
    if (step != HttpOpenStep::Done) {
        fetched->proxyRefused = step == HttpOpenStep::ProxyAuthentication;
        return step != HttpOpenStep::CrackUrl;
    }
    if (QueryStatusCode(http.request.Get()) != 200) return false;
    FrameLimits limits;
    limits.outputSize = kMaxManifestBytes;
    limits.inputSize = kMaxManifestBytes;
    limits.windowLogMax = WindowLogFor(kMaxManifestBytes, 0);
    FrameDecoder decoder(limits);
    ManifestText text;
    const BodyOutcome outcome = ReadBody(http, kMaxManifestBytes, kCompressedManifestName, [&](const char* data, std::size_t size) {
        return decoder.Feed(data, size, [&](const char* plain, std::size_t n) { return text.Append(plain, n); });
    });
    if (outcome != BodyOutcome::Done || !decoder.AtFrameEnd() || text.body.empty()) {
        LogLine("[Launcher][http] %s unusable (%s): %s instead\n", path_rules::kCompressedManifestName,
                decoder.Error().empty() ? "the transfer broke off" : decoder.Error().c_str(), path_rules::kManifestName);
        return false;
    }
    text.Into(fetched);
    return true;
}

}  // namespace

FetchedManifest FetchManifest(const std::wstring& baseUrl) {
    FetchedManifest fetched;
    if (FetchCompressedManifest(baseUrl, &fetched)) return fetched;
    HttpRequest http;
    const HttpOpenStep step = RequestFromPatchHost(baseUrl, kManifestName, std::wstring(), http);
    fetched.proxyRefused = step == HttpOpenStep::ProxyAuthentication;
    if (step != HttpOpenStep::Done) return fetched;

    // A transfer that breaks off must not hand a shorter manifest to the parser: a cut-off file list
    // would look like a complete one.
    ManifestText text;
    const BodyOutcome outcome = ReadBody(http, kMaxManifestBytes, kManifestName,
                                         [&](const char* data, std::size_t size) { return text.Append(data, size); });
    if (outcome != BodyOutcome::Done) return fetched;
    text.Into(&fetched);
    return fetched;
}
