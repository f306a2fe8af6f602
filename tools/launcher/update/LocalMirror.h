#pragma once
// The local caches that a machine's administrator names (LocalMirrors, see Settings.h): a run's files,
// chunk indices and packs are asked of them before the patch hosts, the manifest never. What they serve is
// checked against the manifest like any host's bytes. A cache is on the seat's own network and is held to
// that: shorter waits and a stricter stall rule than a patch host, and its first failure of any kind (no
// connection, no answer, an error status, a stall, a cut-off body, a wrong digest) drops it for the rest of
// the run, with no retry there; the file goes on to the patch hosts at once.

#include "update/Http.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// The entries of a LocalMirrors value that are http(s) URLs ending in '/', in order, blanks around each
// trimmed; every other non-empty entry is dropped with a log line.
std::vector<std::wstring> ParseLocalMirrors(const std::wstring& value);

// Starts the run's record of its hosts: `mirrors` are this run's local mirrors; no host is skipped, every
// count is 0.
void BeginHostRecord(const std::vector<std::wstring>& mirrors);

// A cache that has not answered a request's headers within this long has failed (also each of WinHTTP's
// waits for it: name, connection, sending, every read). A cache on the LAN answers a hit at once, and a miss
// after the origin's first byte, which it streams on as it arrives.
constexpr DWORD kLocalMirrorWaitMs = 10000;
// A cache's body that brings fewer than 64 KiB in any 10 s is broken: 6.4 KiB/s, which a miss that a cache
// streams from the origin still beats when fifty seats share a 4 Mbit/s shop line; a cache that trickles
// anything slower costs the seat more than the origin would.
constexpr StallRule kLocalMirrorStallRule{10000, 64 * 1024};

// True when `host` is one of this run's local mirrors.
bool IsLocalMirror(const std::wstring& host);

// True when `host` is a local mirror of this run that has failed: nothing more is asked of it.
bool HostSkipped(const std::wstring& host);

// Drops `host` for the rest of the run when it is a local mirror that has not failed before, with one line
// "[Launcher][updater] local mirror <url> <what>: skipped for the rest of this run"; nothing for a patch host.
void DropLocalMirror(const std::wstring& host, const std::string& what);

// Drops `host` (as above) on any status but 200, 206, 404 and 416: a cache passes on the origin's 404 for a
// file not published yet, and a 416 judges the ".part" asked to be continued; any other answer is its fault.
void NoteMirrorStatus(const std::wstring& host, DWORD status);

// Adds `bytes` of checked content that `host` delivered (whole files, chunk indices and ranges).
void NoteDeliveredBytes(const std::wstring& host, std::uint64_t bytes);

// One line per local mirror of the run: "[Launcher][updater] local mirror <url>: <n> bytes of <m>", m being
// what every host delivered. Nothing without local mirrors.
void LogMirrorShare();
