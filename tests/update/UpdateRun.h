#pragma once
// A game directory with the updater probe in it, a loopback patch host, and one recorded update run.

#include "LoopbackHttpServer.h"
#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestSigner.h"

#include <map>
#include <string>
#include <vector>

namespace updatetest {

struct RunResult {
    std::vector<std::string> messages;   // "S text", "P n", "F n", "R", in posting order (UTF-8)
    std::vector<std::string> debugLines; // the run's debugger output
    bool exited = false;
    unsigned long startError = 0;  // CreateProcessW's error when the probe could not be started
    bool flagCleared = false;

    std::vector<std::string> Texts() const;
    std::vector<std::string> Finished() const;  // the "F n" and "R" entries
    bool Logged(const std::string& fragment) const;
};

// Serves `files` (path as written in the manifest -> content) under /patch/files/ and a manifest
// listing them; `extraLines` go to the manifest too, and `signer` signs it when given. Returns the
// manifest text as served.
std::string Publish(testsupport::LoopbackHttpServer& server, const std::map<std::string, std::string>& files,
                    const std::string& extraLines = std::string(), const testsupport::TestSigner* signer = nullptr);

// FILE line for a content.
std::string FileLine(const std::string& path, const std::string& content);

// What a run is built with; empty: the probe's own (the loopback host, no keys).
struct RunOptions {
    std::vector<std::wstring> hosts;
    std::vector<std::string> keys;
    bool verify = false;  // the full check the player asks for
    bool secure = false;  // the game folder secured first, as the launcher does at every start
};

// Copies the updater probe into `dir` as `exeName` and runs it once under the debug API.
RunResult RunUpdate(const testsupport::TempDir& dir, const std::wstring& exeName = L"Launcher.exe",
                    const RunOptions& options = RunOptions());

// The same in a directory given by its path, ending in a separator (one deeper than MAX_PATH, say).
RunResult RunUpdateIn(const std::wstring& dir, const std::wstring& exeName = L"Launcher.exe",
                      const RunOptions& options = RunOptions());

// The probe executable's bytes (what a launcher in the game directory holds before an update).
std::string ProbeBytes();

// Starts the stand-in game client from `dir` and keeps it running until the returned process dies.
bool StartGameClient(testsupport::Process& process, const std::wstring& dir);


}  // namespace updatetest
