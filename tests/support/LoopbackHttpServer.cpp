#include "LoopbackHttpServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace testsupport {

namespace {

constexpr std::uintptr_t kNoSocket = ~static_cast<std::uintptr_t>(0);

// The answer goes out on a non-blocking socket: under Wine a blocking send to a client that was killed
// in the middle of a body can wait for ever, and the destructor would wait for that thread.
bool SendAll(SOCKET s, const char* data, std::size_t size, const std::atomic<bool>& stopping) {
    while (size > 0) {
        int n = send(s, data, static_cast<int>(std::min<std::size_t>(size, 1 << 20)), 0);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || stopping) return false;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval wait = {0, 100 * 1000};
        select(0, nullptr, &writable, nullptr, &wait);
    }
    return true;
}

const char* Reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(unsigned short port) : listener_(kNoSocket) {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A server of the previous test may still be releasing the port: retry for a moment.
    bool bound = false;
    for (int attempt = 0; attempt < 50 && !bound; ++attempt) {
        bound = bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
        if (!bound) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!bound || listen(s, 64) != 0) {
        closesocket(s);
        return;
    }
    listener_ = static_cast<std::uintptr_t>(s);
    acceptThread_ = std::thread([this] { AcceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
    stopping_ = true;
    if (listener_ != kNoSocket) closesocket(static_cast<SOCKET>(listener_));
    if (acceptThread_.joinable()) acceptThread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::uintptr_t s : openSockets_) shutdown(static_cast<SOCKET>(s), SD_BOTH);
    }
    for (std::thread& t : clients_) {
        if (t.joinable()) t.join();
    }
    WSACleanup();
}

void LoopbackHttpServer::Route(const std::string& path, const HttpResponse& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = response;
}

void LoopbackHttpServer::AnswerAll(const HttpResponse& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    answerAll_ = true;
    all_ = response;
}

std::vector<std::string> LoopbackHttpServer::RequestedPaths() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return paths_;
}

std::vector<std::string> LoopbackHttpServer::RequestLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
}

int LoopbackHttpServer::CountRequests(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
}

HttpResponse LoopbackHttpServer::Lookup(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answerAll_) return all_;
    auto it = routes_.find(path);
    if (it != routes_.end()) return it->second;
    return HttpResponse{404, "not found\n"};
}

void LoopbackHttpServer::AcceptLoop() {
    for (;;) {
        SOCKET client = accept(static_cast<SOCKET>(listener_), nullptr, nullptr);
        if (client == INVALID_SOCKET) {
            if (stopping_) return;
            continue;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        openSockets_.push_back(static_cast<std::uintptr_t>(client));
        clients_.emplace_back([this, client] { Serve(static_cast<std::uintptr_t>(client)); });
    }
}

void LoopbackHttpServer::Serve(std::uintptr_t handle) {
    SOCKET s = static_cast<SOCKET>(handle);
    std::string head;
    if (!ReadRequestHead(s, &head)) {
        Forget(handle);
        return;
    }
    const HttpResponse response = Lookup(RecordRequest(head));
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const int now = ++active_;
    for (int seen = maxActive_.load(); now > seen && !maxActive_.compare_exchange_weak(seen, now);) {
    }
    Respond(s, response);
    --active_;
    if (response.delivery != Delivery::CutReset) shutdown(s, SD_SEND);
    Forget(handle);
}

bool LoopbackHttpServer::ReadRequestHead(std::uintptr_t handle, std::string* head) {
    char buffer[4096];
    while (head->find("\r\n\r\n") == std::string::npos) {
        int n = recv(static_cast<SOCKET>(handle), buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        head->append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

std::string LoopbackHttpServer::RecordRequest(const std::string& head) {
    std::string path;
    std::size_t sp1 = head.find(' ');
    std::size_t sp2 = head.find(' ', sp1 + 1);
    if (sp1 != std::string::npos && sp2 != std::string::npos) path = head.substr(sp1 + 1, sp2 - sp1 - 1);
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(path);
    heads_.push_back(head.substr(0, head.find("\r\n\r\n")));
    return path;
}

void LoopbackHttpServer::Respond(std::uintptr_t handle, const HttpResponse& response) {
    SOCKET s = static_cast<SOCKET>(handle);
    char status[128];
    std::snprintf(status, sizeof(status), "HTTP/1.1 %d %s\r\nConnection: close\r\n", response.status,
                  Reason(response.status));
    std::string out = status;
    const std::string& body = response.body;
    switch (response.delivery) {
        case Delivery::NeverAnswer:
            while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            break;
        case Delivery::Chunked:
            out += "Transfer-Encoding: chunked\r\n\r\n";
            for (std::size_t i = 0; i < body.size(); i += 1000) {
                std::size_t n = std::min<std::size_t>(1000, body.size() - i);
                char size[32];
                std::snprintf(size, sizeof(size), "%zx\r\n", n);
                out += size;
                out.append(body, i, n);
                out += "\r\n";
            }
            out += "0\r\n\r\n";
            SendAll(s, out.data(), out.size(), stopping_);
            break;
        case Delivery::CutOrderly:
        case Delivery::CutReset:
            out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
            out.append(body, 0, body.size() / 2);
            SendAll(s, out.data(), out.size(), stopping_);
            if (response.delivery == Delivery::CutReset) {
                // Give the client time to take what was sent, then reset instead of closing.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                linger hard = {1, 0};
                setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
            }
            break;
        case Delivery::Slow:
            out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
            SendAll(s, out.data(), out.size(), stopping_);
            for (std::size_t i = 0; i < body.size() && !stopping_; i += response.slowPieceBytes) {
                std::size_t n = std::min<std::size_t>(response.slowPieceBytes, body.size() - i);
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(response.slowPauseMs));
                if (!SendAll(s, body.data() + i, n, stopping_)) break;
            }
            break;
        case Delivery::Normal:
            out += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
            out += body;
            SendAll(s, out.data(), out.size(), stopping_);
            break;
    }
}

void LoopbackHttpServer::Forget(std::uintptr_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), handle), openSockets_.end());
    closesocket(static_cast<SOCKET>(handle));
}

}  // namespace testsupport
