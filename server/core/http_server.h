// The renewal service over HTTP(S) (cpp-httplib): the four paths the client posts to, a body-size limit,
// one log line per request on stderr.
#pragma once

#include "core/service.h"

#include <memory>
#include <string>
#include <thread>

namespace rv::server {

struct HttpOptions {
    std::string listen = "127.0.0.1";
    int port = 0;         // 0: any free port
    std::string certFile; // both set: HTTPS
    std::string keyFile;
    std::size_t maxBody = std::size_t{64} * 1024;
    int threads = 16; // each keep-alive connection holds one while it stays open
    bool log = true;
};

class HttpServer {
public:
    HttpServer(RenewalService& service, HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds the address and port; afterwards Port() is the port bound. False with a reason otherwise.
    bool Bind(std::string& error);
    int Port() const { return port_; }
    bool Tls() const;
    // Serves until Stop(); blocks.
    void Run();
    // Serves on a thread of its own (tests, benchmarks).
    void RunInBackground();
    // Safe from any thread and from a signal-watching thread; returns once the listener has ended.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
    std::thread thread_;
};

} // namespace rv::server
