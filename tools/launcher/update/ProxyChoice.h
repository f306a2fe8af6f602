#pragma once
// Which proxy the requests to a patch host go through, and the answer to a proxy that asks for a login.
// The choice follows the player's browser: the current user's Internet settings (an explicit proxy, a
// configuration script, auto-detection); without them, Windows' own automatic choice where it has one
// (8.1 and later); otherwise WinHTTP's default. It is worked out once per host and remembered.

#include <windows.h>
#include <winhttp.h>

#include <string>

struct ProxyChoice {
    DWORD accessType = WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
    std::wstring proxy;   // with WINHTTP_ACCESS_TYPE_NAMED_PROXY: "host:port" or "http=host:port;https=..."
    std::wstring bypass;  // may be empty
    std::string source;   // where it came from, for the log line
};

// The choice for requests to `url`, from the cache when this host was looked at before.
ProxyChoice ChooseProxy(const std::wstring& url);

// WinHttpOpen for requests to `url` with its chosen proxy; null when WinHttpOpen fails.
HINTERNET OpenSessionThroughProxy(const wchar_t* agent, const std::wstring& url);

// Keeps WinHTTP from answering any challenge, 401 or 407, with the player's Windows logon on its own
// (autologon policy high); WinHTTP's default would answer proxies and intranet hosts.
void RefuseWindowsLogon(HINTERNET request);

// True when a proxy that the player's own settings name carries requests to `url`: the choice is a named
// proxy for the URL's scheme and its bypass list does not name the host (read generously: "*" and "?" are
// wildcards, "<local>" is every host without a dot, so a doubtful entry withholds the logon).
// False for a direct line and for Windows' automatic choice, which the player did not name.
bool CarriedByPlayersProxy(const std::wstring& url);

// Answers a 407 once with the player's Windows logon (NTLM or Negotiate), for this request and the proxy
// only, and sends the request again with `headers`. True when the answer that then arrived is not 407;
// false, with the proxy and the scheme it asked for logged, when the proxy asks for a scheme the logon
// cannot answer, refuses the logon, or the resend fails.
bool AnswerProxyLogin(HINTERNET request, const std::wstring& url, const std::wstring& headers);

// Logs a 407 for `url` that the logon is not offered to, with the scheme it asked for.
void LogLogonWithheld(HINTERNET request, const std::wstring& url);
