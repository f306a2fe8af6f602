#pragma once
// URL splitting and the one request sequence that every transfer to the patch host uses.

#include "Win32Handles.h"

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

// One request URL split into the pieces WinHTTP wants.
struct UrlParts {
    std::wstring host;
    INTERNET_PORT port = 443;
    std::wstring path;
    bool secure = true;
};

// Splits `url` and appends `suffix` (may be null) to its path as plain text. False, with `parts`
// unchanged, when WinHttpCrackUrl refuses the URL.
bool CrackUrl(const std::wstring& url, const wchar_t* suffix, UrlParts& parts);

// A path below the patch base as a request sends it: each '/'-separated segment percent-encoded as UTF-8
// (letters, digits and "-._~" stay), so that "100%.pak" or "a%20b.pak" reach the host as their own names.
std::wstring PercentEncodePath(std::wstring_view path);

// The largest manifest a launcher takes; a bigger body is a failed fetch, not an exhausted memory.
constexpr std::uint64_t kMaxManifestBytes = 32ull * 1024 * 1024;

// The manifest from baseUrl: "manifest.zst" decoded (one zstd frame, at most kMaxManifestBytes either way)
// when the host serves it, else the body of GET baseUrl + "manifest.txt", whatever the status; with the SHA-256
// of its bytes before any line that starts with SIGNATURE|, hashed while they arrived so that the signature
// check need not read them again. A host that cannot be asked for the first is not asked for the second.
struct FetchedManifest {
    std::string body;  // empty when nothing arrived or the transfer broke off before the announced length
    std::size_t digestedBytes = 0;
    unsigned char digest[32] = {};
    bool digested = false;  // false when CNG could not hash
    bool proxyRefused = false;  // the proxy in between asked for a login that the Windows logon did not satisfy
};
FetchedManifest FetchManifest(const std::wstring& baseUrl);

// A transfer that receives fewer than `minimumBytes` in any `windowMs` is broken: a host that trickles a
// byte now and then never trips the waits for each read, and would hold the player for ever.
struct StallRule {
    DWORD windowMs;
    std::uint64_t minimumBytes;
};
// A patch host's: a slow but working line (a few KB/s) brings far more than 4 KiB a minute.
constexpr StallRule kPatchHostStallRule{60000, 4096};

// An owned WinHTTP handle.
using WinHttpHandle = ScopedResource<HINTERNET, NullEmptyTraits<HINTERNET, WinHttpCloseHandle>>;

// The three handles of one GET, and the stall rule of the host they were opened for. Declared root first so
// that destruction closes the request, then the connection, then the root.
struct HttpRequest {
    WinHttpHandle root;
    WinHttpHandle connection;
    WinHttpHandle request;
    StallRule stall = kPatchHostStallRule;
};

// The connections one download worker keeps for a whole run: one WinHTTP session and connection per base
// URL, so that every file, range and pack it fetches from a host goes over the same kept-alive connection
// (Windows pools connections per session only). Used by one thread.
class HostConnections {
public:
    HttpRequest& For(const std::wstring& baseUrl) { return byHost_[baseUrl]; }

private:
    std::map<std::wstring, HttpRequest> byHost_;
};

// How many WinHTTP sessions this process has opened so far (WinHttpOpen calls that succeeded).
long WinHttpSessionsOpened();

// Where a request stopped; Done means its response headers have arrived.
enum class HttpOpenStep {
    CrackUrl,
    WinHttpOpen,
    WinHttpConnect,
    WinHttpOpenRequest,
    WinHttpSendRequest,
    WinHttpReceiveResponse,
    ProxyAuthentication,  // a 407 that the Windows logon was not offered to, or did not satisfy (logged)
    Done
};

// Splits baseUrl + the percent-encoded suffix, opens root (agent, four 30 s time-outs, 10 s for a local
// mirror, TLS 1.2 and 1.3 only, redirects never followed: a patch host serves a file where it is named),
// connection and GET request, sends it with `headers` (empty: none) and receives the response headers.
// Root and connection already open in `http` are kept (they must be for the same base URL): the next
// request then goes over the connection the last one left open. No request offers the Windows logon; a
// 407 is answered with it once, and only when the proxy of the player's settings carries the request to a
// patch host (ProxyChoice.h). A failed step is logged with `suffix` as the name; a local mirror is dropped
// for the run on a failed step or an error status (LocalMirror.h).
HttpOpenStep RequestFromPatchHost(const std::wstring& baseUrl, const wchar_t* suffix, const std::wstring& headers,
                                  HttpRequest& http);

// "[Launcher][http] <step> failed for <name>, GetLastError=<error>".
void LogHttpStepFailure(const char* step, const wchar_t* name, DWORD error);

// The status code of a received response; 0 when it cannot be read.
DWORD QueryStatusCode(HINTERNET request);

// The Content-Length header of a received response; false when it is absent (chunked) or unreadable.
bool QueryContentLength(HINTERNET request, std::uint64_t& length);

enum class BodyOutcome {
    Done,      // the body ended at its announced length, or (without one) where the host ended it
    Broken,    // the transfer failed, ended before its announced length or stalled
    TooLong,   // more than the limit arrived, or was announced
    Refused,   // the consumer refused a piece (it logs why)
};

// Reads the response body of a received request piece by piece into `consume`, never more than `limit`
// bytes in all, under the stall rule of its host. Every outcome but Refused is logged with `name`.
BodyOutcome ReadBody(const HttpRequest& http, std::uint64_t limit, const wchar_t* name,
                     const std::function<bool(const char* data, std::size_t size)>& consume);

// The body into memory, at most `limit` bytes.
BodyOutcome ReadBodyToMemory(const HttpRequest& http, std::uint64_t limit, const wchar_t* name, std::string* body);
