// A plain HTTP/1.1 GET on loopback for the operators' endpoints (HAProxy's statistics, a server's
// /healthz, /readyz and /metrics): one request per connection, bounded in time and size.
#pragma once

#include <chrono>
#include <string>

namespace rv::stack {

struct HttpAnswer {
    int status = 0; // 0: no answer
    std::string body;
};

HttpAnswer HttpGet(int port, const std::string& path,
                   std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace rv::stack
