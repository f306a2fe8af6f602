#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for the tests, on its own threads. Each connection answers one
// request the way its route says: normal, cut off, slow, chunked, or never.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The port that this test program's patch base URL names (set per test program by the build).
#ifdef KORVANE_TEST_PORT
constexpr unsigned short kLoopbackPort = KORVANE_TEST_PORT;
#else
constexpr unsigned short kLoopbackPort = 18431;
#endif

enum class Delivery {
    Normal,        // status, Content-Length, body, close
    CutOrderly,    // announces the whole length, sends half the body, closes normally
    CutReset,      // announces the whole length, sends half the body, resets the connection
    Slow,          // the body in small pieces with pauses between them
    Chunked,       // Transfer-Encoding: chunked
    Unsized,       // no Content-Length: the body, then the connection closes
    NeverAnswer,   // reads the request and stays silent until the server stops
    Endless,       // Transfer-Encoding: chunked, the body again and again until the client goes or 1 GiB passed
};

struct HttpResponse {
    int status = 200;
    std::string body;
    Delivery delivery = Delivery::Normal;
    int slowPieceBytes = 1024;
    int slowPauseMs = 20;
    // How many requests for the path get `delivery` before it is delivered Normal; -1: every one.
    int deliveryTimes = -1;
    // A "Range: bytes=a-" or "bytes=a-b" request of a 200 answer gets 206 with that part (416 past the
    // end), as nginx does; false answers 200 with the whole body, as a host that ignores ranges does.
    bool honourRange = true;
    // The first byte of every 206 part is changed, as a faulty cache in between might; whole answers stay.
    bool corruptRanges = false;
    // Where a cut delivery stops, in bytes of the body sent; -1: half of it.
    long long cutAfter = -1;
    // More header lines, each ending in "\r\n" ("Location: ...\r\n").
    std::string headers;
};

class LoopbackHttpServer {
public:
    // Starts listening at once; Started() tells whether the port could be bound.
    explicit LoopbackHttpServer(unsigned short port = kLoopbackPort);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool Started() const { return listener_ != ~static_cast<std::uintptr_t>(0); }

    // Serves `response` for GET `path` (exact, case-sensitive, after percent-decoding, as nginx matches).
    // Unknown paths get 404.
    void Route(const std::string& path, const HttpResponse& response);
    void RouteBody(const std::string& path, const std::string& body) { Route(path, HttpResponse{200, body}); }
    // Answers every request with this response instead of the routes.
    void AnswerAll(const HttpResponse& response);

    std::vector<std::string> RequestedPaths() const;  // percent-decoded
    std::vector<std::string> RequestLines() const;    // the raw request heads
    // Body bytes sent on every connection so far (headers not counted).
    std::uint64_t BodyBytesSent() const { return bodyBytesSent_.load(); }
    int MaxConcurrentRequests() const { return maxActive_.load(); }
    int CountRequests(const std::string& path) const;

private:
    void AcceptLoop();
    // One connection: read the request, answer it as its route says, close.
    void Serve(std::uintptr_t client);
    static bool ReadRequestHead(std::uintptr_t client, std::string* head);
    // Notes the request and returns its path.
    std::string RecordRequest(const std::string& head);
    HttpResponse Lookup(const std::string& path);
    void Respond(std::uintptr_t client, const HttpResponse& response, const std::string& head);
    bool SendBody(std::uintptr_t client, const char* data, std::size_t size);
    // Closes the socket and drops it from the open ones.
    void Forget(std::uintptr_t client);

    std::uintptr_t listener_;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;
    mutable std::mutex mutex_;
    std::map<std::string, HttpResponse> routes_;
    std::map<std::string, int> served_;  // requests answered per path, for deliveryTimes
    bool answerAll_ = false;
    HttpResponse all_;
    std::vector<std::string> paths_;
    std::vector<std::string> heads_;
    std::vector<std::thread> clients_;
    std::vector<std::uintptr_t> openSockets_;
    std::atomic<int> active_{0};
    std::atomic<int> maxActive_{0};
    std::atomic<std::uint64_t> bodyBytesSent_{0};
};

}  // namespace testsupport
