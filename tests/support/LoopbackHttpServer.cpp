#include "LoopbackHttpServer.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
        case 206: return "Partial Content";
        case 302: return "Found";
        case 404: return "Not Found";
        case 416: return "Range Not Satisfiable";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string PercentDecoded(const std::string& path) {
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && HexDigit(path[i + 1]) >= 0 && HexDigit(path[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexDigit(path[i + 1]) * 16 + HexDigit(path[i + 2])));
            i += 2;
        } else {
            out.push_back(path[i]);
        }
    }
    return out;
}

// The range a request asks for: "Range: bytes=first-" or "bytes=first-last". False without one.
bool RequestedRange(const std::string& head, unsigned long long* first, long long* last) {
    static const char kRange[] = "\r\nRange: bytes=";
    const std::size_t at = head.find(kRange);
    if (at == std::string::npos) return false;
    const char* p = head.c_str() + at + sizeof(kRange) - 1;
    char* end = nullptr;
    *first = std::strtoull(p, &end, 10);
    if (end == p || *end != '-') return false;
    *last = std::isdigit(static_cast<unsigned char>(end[1])) ? std::strtoll(end + 1, nullptr, 10) : -1;
    return true;
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
    served_[path] = 0;
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

HttpResponse LoopbackHttpServer::Lookup(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (answerAll_) return all_;
    auto it = routes_.find(path);
    if (it == routes_.end()) return HttpResponse{404, "not found\n"};
    HttpResponse response = it->second;
    const int served = served_[path]++;
    if (response.deliveryTimes >= 0 && served >= response.deliveryTimes) {
        response.delivery = Delivery::Normal;
        if (response.status >= 500) response.status = 200;
    }
    return response;
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
    Respond(s, response, head);
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
    path = PercentDecoded(path);
    std::lock_guard<std::mutex> lock(mutex_);
    paths_.push_back(path);
    heads_.push_back(head.substr(0, head.find("\r\n\r\n")));
    return path;
}

bool LoopbackHttpServer::SendBody(std::uintptr_t client, const char* data, std::size_t size) {
    const bool sent = SendAll(static_cast<SOCKET>(client), data, size, stopping_);
    if (sent) bodyBytesSent_ += size;
    return sent;
}

void LoopbackHttpServer::Respond(std::uintptr_t client, const HttpResponse& original, const std::string& head) {
    SOCKET s = static_cast<SOCKET>(client);
    HttpResponse response = original;
    std::string extra;
    unsigned long long first = 0;
    long long last = -1;
    if (response.status == 200 && response.honourRange && RequestedRange(head, &first, &last)) {
        const unsigned long long size = response.body.size();
        if (first >= size) {
            response = HttpResponse{416, ""};
            extra = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        } else {
            const unsigned long long end = last < 0 || static_cast<unsigned long long>(last) >= size ? size - 1 : last;
            extra = "Content-Range: bytes " + std::to_string(first) + "-" + std::to_string(end) + "/" +
                    std::to_string(size) + "\r\n";
            response.status = 206;
            response.body = original.body.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(end - first + 1));
            if (response.corruptRanges) response.body[0] = static_cast<char>(response.body[0] ^ 0x5A);
        }
    }
    char status[128];
    std::snprintf(status, sizeof(status), "HTTP/1.1 %d %s\r\nConnection: close\r\n", response.status,
                  Reason(response.status));
    const std::string headers = status + extra + response.headers;
    const std::string& body = response.body;
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    switch (response.delivery) {
        case Delivery::NeverAnswer:
            while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            break;
        case Delivery::Chunked: {
            std::string out = headers + "Transfer-Encoding: chunked\r\n\r\n";
            SendAll(s, out.data(), out.size(), stopping_);
            for (std::size_t i = 0; i < body.size(); i += 1000) {
                std::size_t n = std::min<std::size_t>(1000, body.size() - i);
                char size[32];
                std::snprintf(size, sizeof(size), "%zx\r\n", n);
                SendAll(s, size, std::strlen(size), stopping_);
                SendBody(client, body.data() + i, n);
                SendAll(s, "\r\n", 2, stopping_);
            }
            SendAll(s, "0\r\n\r\n", 5, stopping_);
            break;
        }
        case Delivery::Endless: {
            std::string out = headers + "Transfer-Encoding: chunked\r\n\r\n";
            SendAll(s, out.data(), out.size(), stopping_);
            char size[32];
            std::snprintf(size, sizeof(size), "%zx\r\n", body.size());
            const unsigned long long limit = 1ull << 30;
            for (unsigned long long sent = 0; sent < limit && !body.empty() && !stopping_; sent += body.size()) {
                if (!SendAll(s, size, std::strlen(size), stopping_) || !SendBody(client, body.data(), body.size()) ||
                    !SendAll(s, "\r\n", 2, stopping_)) {
                    break;
                }
            }
            break;
        }
        case Delivery::CutOrderly:
        case Delivery::CutReset: {
            const std::string out = headers + length;
            SendAll(s, out.data(), out.size(), stopping_);
            const std::size_t cut = response.cutAfter < 0 ? body.size() / 2
                                                           : std::min<std::size_t>(body.size(), response.cutAfter);
            SendBody(client, body.data(), cut);
            if (response.delivery == Delivery::CutReset) {
                // Give the client time to take what was sent, then reset instead of closing.
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                linger hard = {1, 0};
                setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
            }
            break;
        }
        case Delivery::Slow: {
            const std::string out = headers + length;
            SendAll(s, out.data(), out.size(), stopping_);
            for (std::size_t i = 0; i < body.size() && !stopping_; i += response.slowPieceBytes) {
                std::size_t n = std::min<std::size_t>(response.slowPieceBytes, body.size() - i);
                for (int waited = 0; i > 0 && waited < response.slowPauseMs && !stopping_;) {
                    const int step = std::min(20, response.slowPauseMs - waited);
                    std::this_thread::sleep_for(std::chrono::milliseconds(step));
                    waited += step;
                }
                if (!SendBody(client, body.data() + i, n)) break;
            }
            break;
        }
        case Delivery::Unsized: {
            const std::string out = headers + "\r\n";
            SendAll(s, out.data(), out.size(), stopping_);
            SendBody(client, body.data(), body.size());
            break;
        }
        case Delivery::Normal: {
            const std::string out = headers + length;
            SendAll(s, out.data(), out.size(), stopping_);
            SendBody(client, body.data(), body.size());
            break;
        }
    }
}

void LoopbackHttpServer::Forget(std::uintptr_t handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    openSockets_.erase(std::remove(openSockets_.begin(), openSockets_.end(), handle), openSockets_.end());
    closesocket(static_cast<SOCKET>(handle));
}

}  // namespace testsupport
