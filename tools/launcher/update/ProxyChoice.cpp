#include "update/ProxyChoice.h"

#include "common/PathRules.h"
#include "update/DebugLog.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>
#include <vector>

namespace {

constexpr char kLogChoice[] = "[Launcher][http] proxy for %s: %s\n";
constexpr char kLogLoginRefused[] =
    "[Launcher][http] proxy %s asks for %s authentication; the Windows logon did not satisfy it\n";
constexpr char kLogLogonWithheld[] =
    "[Launcher][http] %s asks for %s authentication; the Windows logon goes only to the proxy of the player's "
    "settings\n";
constexpr DWORD kHostChars = 256;
constexpr DWORD kStatusProxyAuth = 407;

// ---- what the player's settings say ----

// Frees the strings WinHttpGetIEProxyConfigForCurrentUser allocated.
struct UserProxySettings {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
    bool read = false;
    UserProxySettings() { read = WinHttpGetIEProxyConfigForCurrentUser(&config) != FALSE; }
    ~UserProxySettings() {
        if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
        if (config.lpszProxy) GlobalFree(config.lpszProxy);
        if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
    }
    UserProxySettings(const UserProxySettings&) = delete;
    UserProxySettings& operator=(const UserProxySettings&) = delete;
};

std::string Narrow(const std::wstring& text) { return ToAnsiForLog(text.c_str(), kLogNameBytes); }

// Runs the configuration script (or auto-detection when `scriptUrl` is null) for `url`.
bool ProxyFromScript(const std::wstring& url, const wchar_t* scriptUrl, ProxyChoice* choice) {
    HINTERNET session = WinHttpOpen(L"KorvaneLauncher/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session) return false;
    WINHTTP_AUTOPROXY_OPTIONS options = {};
    if (scriptUrl) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = scriptUrl;
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info = {};
    const bool found = WinHttpGetProxyForUrl(session, url.c_str(), &options, &info) != FALSE;
    WinHttpCloseHandle(session);
    if (!found) return false;
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy) {
        choice->accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        choice->proxy = info.lpszProxy;
        choice->bypass = info.lpszProxyBypass ? info.lpszProxyBypass : L"";
    } else {
        choice->accessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    }
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
    return true;
}

// Steps 1 to 3: script, auto-detection, explicit proxy, as the browser applies them.
bool ProxyFromUserSettings(const std::wstring& url, ProxyChoice* choice) {
    const UserProxySettings settings;
    if (!settings.read) return false;
    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& config = settings.config;
    if (config.lpszAutoConfigUrl && *config.lpszAutoConfigUrl &&
        ProxyFromScript(url, config.lpszAutoConfigUrl, choice)) {
        choice->source = "configuration script " + Narrow(config.lpszAutoConfigUrl);
        return true;
    }
    if (config.fAutoDetect && ProxyFromScript(url, nullptr, choice)) {
        choice->source = "auto-detected";
        return true;
    }
    if (config.lpszProxy && *config.lpszProxy) {
        choice->accessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        choice->proxy = config.lpszProxy;
        choice->bypass = config.lpszProxyBypass ? config.lpszProxyBypass : L"";
        choice->source = "the user's proxy";
        return true;
    }
    return false;
}

// A URL's scheme, host and port.
struct UrlHost {
    INTERNET_SCHEME scheme = INTERNET_SCHEME_HTTPS;
    std::wstring host;
    INTERNET_PORT port = 0;
};

bool CrackHost(const std::wstring& url, UrlHost* parts) {
    wchar_t host[kHostChars] = {};
    URL_COMPONENTS components = {};
    components.dwStructSize = sizeof(components);
    components.lpszHostName = host;
    components.dwHostNameLength = kHostChars;
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &components)) return false;
    parts->scheme = components.nScheme;
    parts->host = host;
    parts->port = components.nPort;
    return true;
}

// The host part of a URL, the key of the cache.
std::wstring HostKey(const std::wstring& url) {
    UrlHost parts;
    if (!CrackHost(url, &parts)) return url;
    return std::to_wstring(parts.scheme) + L"://" + parts.host + L":" + std::to_wstring(parts.port);
}

std::mutex choicesLock;  // guards the map below
std::map<std::wstring, ProxyChoice> choices;

void Remember(const std::wstring& url, const ProxyChoice& choice) {
    std::lock_guard<std::mutex> hold(choicesLock);
    choices[HostKey(url)] = choice;
}

const char* SchemeName(DWORD scheme) {
    switch (scheme) {
        case WINHTTP_AUTH_SCHEME_BASIC: return "Basic";
        case WINHTTP_AUTH_SCHEME_NTLM: return "NTLM";
        case WINHTTP_AUTH_SCHEME_PASSPORT: return "Passport";
        case WINHTTP_AUTH_SCHEME_DIGEST: return "Digest";
        case WINHTTP_AUTH_SCHEME_NEGOTIATE: return "Negotiate";
        default: return "an unknown";
    }
}

// ---- whether the player's proxy carries a request ----

// The list's entries, separated by ';' or blanks as WinHTTP reads proxy and bypass lists.
std::vector<std::wstring_view> ListEntries(std::wstring_view list) {
    std::vector<std::wstring_view> entries;
    std::size_t start = 0;
    while (start < list.size()) {
        const std::size_t end = std::min(list.find_first_of(L"; \t", start), list.size());
        if (end > start) entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

// "*" stands for any run of characters and "?" for one, ASCII letters in either case.
bool WildcardMatches(std::wstring_view pattern, std::wstring_view text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::wstring_view::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == L'?' || path_rules::AsciiLower(pattern[p]) == path_rules::AsciiLower(text[t]))) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*') ++p;
    return p == pattern.size();
}

// A proxy list of "scheme=" entries serves only the schemes it names; a bare entry serves every scheme.
bool ProxyServesScheme(const std::wstring& proxy, bool secure) {
    for (const std::wstring_view entry : ListEntries(proxy)) {
        const std::size_t equals = entry.find(L'=');
        if (equals == std::wstring_view::npos ||
            path_rules::EqualsAsciiNoCase(entry.substr(0, equals), secure ? "https" : "http")) {
            return true;
        }
    }
    return false;
}

// Whether a bypass list sends `host` (or "host:port") past the proxy; "<local>" names every host without a dot.
bool BypassNames(const std::wstring& bypass, const std::wstring& host, INTERNET_PORT port) {
    const std::wstring withPort = host + L":" + std::to_wstring(port);
    for (std::wstring_view entry : ListEntries(bypass)) {
        for (const char* scheme : {"http://", "https://"}) {
            const std::size_t length = std::char_traits<char>::length(scheme);
            if (entry.size() > length && path_rules::EqualsAsciiNoCase(entry.substr(0, length), scheme)) {
                entry.remove_prefix(length);
            }
        }
        if (path_rules::EqualsAsciiNoCase(entry, "<local>")) {
            if (host.find(L'.') == std::wstring::npos) return true;
        } else if (WildcardMatches(entry, host) || WildcardMatches(entry, withPort)) {
            return true;
        }
    }
    return false;
}

std::string ProxyName(const std::wstring& url) {
    const ProxyChoice choice = ChooseProxy(url);
    return choice.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY ? Narrow(choice.proxy) : choice.source;
}

}  // namespace

ProxyChoice ChooseProxy(const std::wstring& url) {
    {
        std::lock_guard<std::mutex> hold(choicesLock);
        const auto found = choices.find(HostKey(url));
        if (found != choices.end()) return found->second;
    }
    ProxyChoice choice;
    if (!ProxyFromUserSettings(url, &choice)) {
        choice.accessType = WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
        choice.source = "Windows' automatic choice";
    }
    // Logged only when a proxy carries the requests: a direct line, or Windows' own choice, is the ordinary
    // case and would add a line to every run.
    if (choice.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
        LogLine(kLogChoice, Narrow(url).c_str(), (Narrow(choice.proxy) + " (" + choice.source + ")").c_str());
    }
    Remember(url, choice);
    return choice;
}

HINTERNET OpenSessionThroughProxy(const wchar_t* agent, const std::wstring& url) {
    ProxyChoice choice = ChooseProxy(url);
    const bool named = choice.accessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY;
    HINTERNET session = WinHttpOpen(agent, choice.accessType, named ? choice.proxy.c_str() : WINHTTP_NO_PROXY_NAME,
                                    named && !choice.bypass.empty() ? choice.bypass.c_str() : WINHTTP_NO_PROXY_BYPASS, 0);
    if (session || choice.accessType != WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY) return session;
    // Before 8.1 WinHTTP refuses the automatic type: its own default then, for the rest of the run.
    choice.accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    choice.source = "WinHTTP's default";
    Remember(url, choice);
    return WinHttpOpen(agent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
}

void RefuseWindowsLogon(HINTERNET request) {
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy));
}

bool CarriedByPlayersProxy(const std::wstring& url) {
    const ProxyChoice choice = ChooseProxy(url);
    UrlHost parts;
    if (choice.accessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY || !CrackHost(url, &parts)) return false;
    return ProxyServesScheme(choice.proxy, parts.scheme == INTERNET_SCHEME_HTTPS) &&
           !BypassNames(choice.bypass, parts.host, parts.port);
}

bool AnswerProxyLogin(HINTERNET request, const std::wstring& url, const std::wstring& headers) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
        LogLine(kLogLoginRefused, ProxyName(url).c_str(), "no named");
        return false;
    }
    const DWORD scheme = (supported & WINHTTP_AUTH_SCHEME_NEGOTIATE) ? WINHTTP_AUTH_SCHEME_NEGOTIATE
                         : (supported & WINHTTP_AUTH_SCHEME_NTLM)    ? WINHTTP_AUTH_SCHEME_NTLM
                                                                     : 0;
    // High forbids the logon even where it is set as the credentials. Medium, WinHTTP's default, gives it to
    // a proxy that asks but to a host only on the intranet, which a host behind the proxy is not (it is on
    // no bypass list); low would also give it to that host if it answered the resend with 401.
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM;
    // The logon answers only NTLM and Negotiate; a proxy that wants a password (Basic, Digest) gets none.
    const bool answered =
        scheme != 0 &&
        WinHttpSetOption(request, WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy)) &&
        WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) &&
        WinHttpSendRequest(request, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                           headers.empty() ? 0 : static_cast<DWORD>(-1L), WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, nullptr);
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (answered && WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
        status != kStatusProxyAuth) {
        return true;
    }
    LogLine(kLogLoginRefused, ProxyName(url).c_str(), SchemeName(scheme ? scheme : first));
    return false;
}

void LogLogonWithheld(HINTERNET request, const std::wstring& url) {
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    const bool named = WinHttpQueryAuthSchemes(request, &supported, &first, &target) != FALSE;
    LogLine(kLogLogonWithheld, Narrow(url).c_str(), named ? SchemeName(first) : "no named");
}
