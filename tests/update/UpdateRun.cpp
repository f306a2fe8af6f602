#include "UpdateRun.h"

#include "ChildProcesses.h"
#include "TempDir.h"
#include "TestFiles.h"
#include "TestWindows.h"

namespace updatetest {

std::vector<std::string> RunResult::Texts() const {
    std::vector<std::string> texts;
    for (const std::string& m : messages) {
        if (m.rfind("S ", 0) == 0) texts.push_back(m.substr(2));
    }
    return texts;
}

std::vector<std::string> RunResult::Finished() const {
    std::vector<std::string> out;
    for (const std::string& m : messages) {
        if (m.rfind("F ", 0) == 0 || m == "R") out.push_back(m);
    }
    return out;
}

bool RunResult::Logged(const std::string& fragment) const {
    for (const std::string& line : debugLines) {
        if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
}

std::string FileLine(const std::string& path, const std::string& content) {
    return "FILE|" + path + "|" + std::to_string(content.size()) + "|" + testsupport::Sha256Hex(content) + "\n";
}

std::string Publish(testsupport::LoopbackHttpServer& server, const std::map<std::string, std::string>& files,
                    const std::string& extraLines, const testsupport::TestSigner* signer) {
    std::string manifest = "VERSION=test\n" + extraLines;
    for (const auto& file : files) {
        manifest += FileLine(file.first, file.second);
        std::string url = file.first;
        for (char& c : url) {
            if (c == '\\') c = '/';
        }
        server.RouteBody("/patch/files/" + url, file.second);
    }
    if (signer) manifest = signer->Sign(manifest);
    server.RouteBody("/patch/manifest.txt", manifest);
    return manifest;
}

std::string ProbeBytes() {
    return testsupport::ReadBytes(testsupport::BesideTestExe(L"updater_probe.exe"));
}

RunResult RunUpdate(const testsupport::TempDir& dir, const std::wstring& exeName, const RunOptions& options) {
    return RunUpdateIn(dir.Path(), exeName, options);
}

RunResult RunUpdateIn(const std::wstring& dir, const std::wstring& exeName, const RunOptions& options) {
    RunResult result;
    const std::wstring exe = dir + exeName;
    if (!testsupport::FileExists(exe)) CopyFileW(testsupport::BesideTestExe(L"updater_probe.exe").c_str(), exe.c_str(), FALSE);
    DeleteFileW((exe + L".messages.txt").c_str());
    std::wstring commandLine = L"\"" + exe + L"\"";
    for (const std::wstring& host : options.hosts) commandLine += L" --host \"" + host + L"\"";
    for (const std::string& key : options.keys) commandLine += L" --key " + testsupport::Wide(key);
    if (options.verify) commandLine += L" --verify";
    if (options.secure) commandLine += L" --secure";
    testsupport::ChildRun run = testsupport::RunCapturingDebugOutput(commandLine, 120000, dir);
    result.exited = run.exited;
    result.startError = run.startError;
    result.debugLines = run.debugLines;
    std::string log = testsupport::ReadBytes(exe + L".messages.txt");
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (line == "# updater flag cleared") {
            result.flagCleared = true;
        } else if (!line.empty() && line[0] != '#') {
            result.messages.push_back(line);
        }
        start = end + 1;
    }
    return result;
}

bool StartGameClient(testsupport::Process& process, const std::wstring& dir) {
    std::wstring exe = dir + L"Zorexe.exe";
    CopyFileW(testsupport::BesideTestExe(L"probe_child.exe").c_str(), exe.c_str(), FALSE);
    testsupport::WriteBytes(exe + L".stay", "1");
    if (!process.Start(exe)) return false;
    return testsupport::WaitUntil([&] { return testsupport::FileExists(exe + L".record.txt"); }, 30000);
}

}  // namespace updatetest
