// The operators' listener, apart from the public one (`--admin-listen`): GET /healthz (the process
// answers), GET /readyz (the store answers: for a load balancer's health check) and GET /metrics (the
// Prometheus text format). What it costs is bounded whoever calls: a few connections, each with a short
// deadline and a small head; no request bodies; a readiness check reaches the store at most once per
// `readyCache`; /metrics is rendered at most `scrapesPerSecond` times a second (HTTP 429 beyond).
#pragma once

#include "core/metrics.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace rv::server {

class ServerMetrics;

struct AdminOptions {
    std::string listen = "127.0.0.1";
    int port = 0; // 0: any free port
    // True when the store answers a small read; otherwise false with the reason.
    std::function<bool(std::string& reason)> ready;
    int maxConnections = 16;
    int maxConnectionsPerAddress = 8;
    int timeoutSeconds = 5;
    int scrapesPerSecond = 10;
    std::chrono::milliseconds readyCache{500};
};

class AdminServer {
public:
    // `serverMetrics` (may be null) is told each readiness outcome.
    AdminServer(const metrics::Registry& registry, ServerMetrics* serverMetrics, AdminOptions options);
    ~AdminServer();
    AdminServer(const AdminServer&) = delete;
    AdminServer& operator=(const AdminServer&) = delete;

    // Binds and starts serving on threads of its own; afterwards Port() is the port bound.
    bool Bind(std::string& error);
    int Port() const { return port_; }
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

} // namespace rv::server
