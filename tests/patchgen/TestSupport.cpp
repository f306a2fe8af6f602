#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

bool WriteBytes(const fs::path& path, const std::string& bytes) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string ReadBytes(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> ListTree(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        out.push_back(it->path().lexically_relative(root).string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

RunResult RunPatchgen(const std::vector<std::string>& args) {
    RunResult result;
    TempDir capture;
    fs::path outPath = capture.path() / "stdout";
    fs::path errPath = capture.path() / "stderr";

    std::vector<char*> argv;
    std::string exe = PATCHGEN_EXE;
    argv.push_back(exe.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(127);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }

    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 || std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.out = ReadBytes(outPath);
            result.err = ReadBytes(errPath) + "\n[test] patchgen did not finish in time and was killed";
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.out = ReadBytes(outPath);
    result.err = ReadBytes(errPath);
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}
