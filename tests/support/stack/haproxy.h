// HAProxy (Debian's) in front of renvora-server processes on loopback, as a deployment runs it: round
// robin per request, a server taken out when its /readyz on the admin listener fails and put back when it
// answers again, a request whose connection could not be made sent to another server. It never retries
// a request once sent: a renewal request sent twice would be refused the second time (its operation
// number is used) and confuse the holder. What HAProxy answers itself (no server ready, a server gone
// with the request) is the protocol's "busy" refusal, code 10.
#pragma once

#include "stack/process.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rv::stack {

struct Backend {
    int port = 0;      // the public listener
    int adminPort = 0; // where /readyz is asked
};

class Haproxy {
public:
    static std::unique_ptr<Haproxy> Start(const std::vector<Backend>& backends, std::string& error);
    ~Haproxy();
    Haproxy(const Haproxy&) = delete;
    Haproxy& operator=(const Haproxy&) = delete;

    int Port() const { return port_; }
    pid_t Pid() const { return child_ ? child_->Pid() : -1; }
    // How HAProxy sees backend `i` now: "UP", "DOWN", "UP 1/2" (going down), "DOWN 1/2" (coming up)...
    std::string State(std::size_t i) const;
    // Waits until the state of backend `i` is `state` ("UP", "DOWN").
    bool WaitState(std::size_t i, const std::string& state, std::chrono::milliseconds timeout) const;
    std::filesystem::path LogFile() const { return folder_ / "haproxy.log"; }

private:
    Haproxy() = default;
    std::filesystem::path folder_;
    std::unique_ptr<Child> child_;
    int port_ = 0;
    int statsPort_ = 0;
    std::size_t backends_ = 0;
};

} // namespace rv::stack
