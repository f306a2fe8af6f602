// A patch host that accepts the connection, reads the request and never answers: how long the launcher
// waits before it gives up (the 30 s receive time-out), and that it then reports failure.
#include "update/PatchHost.h"
#include "update/Http.h"
#include "update/HttpDownload.h"

#include "BenchClock.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Accepts every connection on 127.0.0.1:port and keeps it open without a word until stopped.
class SilentServer {
public:
    explicit SilentServer(unsigned short port) {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && listen(listener_, 8) == 0;
        thread_ = std::thread([this] {
            for (;;) {
                SOCKET s = accept(listener_, nullptr, nullptr);
                if (s == INVALID_SOCKET) return;
                clients_.push_back(s);
            }
        });
    }
    ~SilentServer() {
        closesocket(listener_);
        thread_.join();
        for (SOCKET s : clients_) closesocket(s);
        WSACleanup();
    }
    bool Ok() const { return ok_; }

private:
    SOCKET listener_ = INVALID_SOCKET;
    bool ok_ = false;
    std::thread thread_;
    std::vector<SOCKET> clients_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_stall <port of the build's base URL> <directory for the target>\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IONBF, 0);
    SilentServer server(static_cast<unsigned short>(_wtoi(argv[1])));
    if (!server.Ok()) {
        std::fprintf(stderr, "cannot listen on the port\n");
        return 1;
    }
    double start = NowSeconds();
    const std::string body = FetchManifest(PatchBaseUrl).body;
    std::printf("FetchManifest against a silent host: %.1f s, %s\n", NowSeconds() - start,
                body.empty() ? "empty (reported as unreachable)" : "a body?");

    const std::wstring target = std::wstring(argv[2]) + L"\\stalled.bin";
    start = NowSeconds();
    HttpRequest http;
    const bool ok = static_cast<bool>(
        HttpDownloadToFile(http, PatchBaseUrl, L"files/stalled.bin", target, 100, std::string(64, '0'), nullptr));
    const bool partLeft = GetFileAttributesW((target + L".part").c_str()) != INVALID_FILE_ATTRIBUTES;
    std::printf("HttpDownloadToFile against a silent host: %.1f s, %s, %s\n", NowSeconds() - start,
                ok ? "true?" : "false", partLeft ? ".part left behind" : "no .part left");
    return 0;
}
