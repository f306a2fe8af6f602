#pragma once
// The local caches that a machine's administrator names (LocalMirrors, see Settings.h): a run's files,
// chunk indices and packs are asked of them before the patch hosts, the manifest never. What they serve is
// checked against the manifest like any host's bytes. A mirror that cannot be reached costs its connect
// time-out once: the run remembers it and asks it nothing more.

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

// True when `host` is a local mirror of this run whose connection failed: nothing more is asked of it.
bool HostSkipped(const std::wstring& host);

// Notes that a request to `host` could not be sent (no connection, TLS refused); remembered only for a
// local mirror.
void NoteConnectFailure(const std::wstring& host);

// Adds `bytes` of checked content that `host` delivered (whole files, chunk indices and ranges).
void NoteDeliveredBytes(const std::wstring& host, std::uint64_t bytes);

// One line per local mirror of the run: "[Launcher][updater] local mirror <url>: <n> bytes of <m>", m being
// what every host delivered. Nothing without local mirrors.
void LogMirrorShare();
