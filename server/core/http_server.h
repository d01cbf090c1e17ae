// The renewal service over HTTP(S) on libmicrohttpd: the four paths the client posts to, with every
// resource a peer can make the server hold bounded. One event loop (epoll) reads all connections, so an
// idle or slow connection costs a socket and a little memory, never a thread; whole requests go to a
// pool of workers. Limits (see docs/server.md): request body size whatever its framing and the bodies of
// all connections together, one deadline for a whole request, connections per client address and in all.
// One log line per answer, and one per refused, cut or closed connection (limited per second), on stderr;
// what peers sent is escaped there.
#pragma once

#include "core/server_metrics.h"
#include "core/service.h"

#include <memory>
#include <string>
#include <vector>

struct sockaddr;

namespace rv::server {

struct HttpOptions {
    std::string listen = "127.0.0.1";
    int port = 0;         // 0: any free port
    std::string certFile; // both set: HTTPS
    std::string keyFile;
    std::size_t maxBody = std::size_t{64} * 1024;
    int threads = 8; // workers running the service's requests
    // A request must arrive whole within this many seconds of its connection's start (or of the end of
    // the answer before it on a kept-alive connection); otherwise the connection is cut.
    int requestTimeoutSeconds = 10;
    // Connections in all, and per client address (an IPv6 client: per /64). When all are taken, a
    // newcomer evicts the longest-waiting unfinished connection of the address holding the most, if
    // that address holds more than the newcomer's.
    int maxConnections = 2000;
    int maxConnectionsPerAddress = 32;
    // Body bytes all connections together may hold while their requests arrive (at least maxBody).
    std::size_t bodyBudget = std::size_t{16} << 20;
    bool log = true;
    // Figures for operators (null: none).
    ServerMetrics* metrics = nullptr;
    // Load balancers in front (their addresses): for a request from one of them, the client is the last
    // address of its X-Forwarded-For header, which the verification limits then count. Any other peer's
    // header is ignored (anyone can send one).
    std::vector<std::string> trustedProxies;
};

// The key a client's connections are counted under: its IPv4 address, or the /64 of its IPv6 address.
std::string ConnectionGroup(const sockaddr* addr);

class HttpServer {
public:
    HttpServer(RenewalService& service, HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address and port and starts serving; afterwards Port() is the port bound. False with a
    // reason otherwise.
    bool Bind(std::string& error);
    int Port() const { return port_; }
    bool Tls() const;
    // Blocks until Stop().
    void Run();
    // Kept for callers that serve on a thread of their own: serving already runs after Bind().
    void RunInBackground() {}
    // Safe from any thread, also a signal-watching one; returns once the server has ended.
    void Stop();

    // The descriptors the server may hold for connections with `maxConnections`: room above the limit
    // for connections cut and not closed yet (see Bind).
    static std::size_t DescriptorsFor(int maxConnections);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

} // namespace rv::server
