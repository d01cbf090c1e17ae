#include "stack/haproxy.h"

#include "stack/http.h"

#include <fstream>
#include <sstream>
#include <thread>

namespace rv::stack {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// What HAProxy answers itself (no server ready, a server that died with the request, a server too slow):
// the protocol's own refusal, so that the holder's client shows "busy, try again" rather than a
// transport failure. Nothing was issued for a request answered so; a set committed by a server that
// died before answering stays pending, like any set whose answer was lost.
std::string BusyAnswer() {
    const std::string body = std::string("{\"code\":\"10\",\"msg\":\"") +
                             reinterpret_cast<const char*>(u8"服务器繁忙，请稍后重试！") + "\"}";
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json;charset=UTF-8\r\nCache-Control: no-store\r\n"
           "Content-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string Config(const std::vector<Backend>& backends, int port, int statsPort, const fs::path& busy) {
    std::ostringstream c;
    c << "# Written by the Renvora test harness.\n"
         "global\n"
         "    maxconn 2000\n"
         "    hard-stop-after 5s\n"
         "    log stderr format raw local0\n"
         "defaults\n"
         "    mode http\n"
         "    log global\n"
         "    option httplog\n"
         // Only what went wrong is logged: a 5xx, a cut connection, a retry.
         "    option dontlog-normal\n"
         "    timeout connect 1s\n"
         "    timeout client 30s\n"
         "    timeout server 30s\n"
         "    timeout http-request 10s\n"
         "    timeout check 1s\n"
         // A connection that could not be made is tried again, on another server; a request that was
         // sent is never sent again (retry-on stays at its default, connection failures only).
         "    retries 3\n"
         "    option redispatch 1\n"
         // Each request is balanced on its own: one holder's three requests may reach three servers.
         "    option http-server-close\n"
         "    errorfile 502 "
      << busy.string() << "\n    errorfile 503 " << busy.string() << "\n    errorfile 504 " << busy.string()
      << "\n"
         "frontend renewals\n"
         "    bind 127.0.0.1:"
      << port
      << "\n"
         "    default_backend servers\n"
         "backend servers\n"
         "    balance roundrobin\n"
         "    option httpchk GET /readyz\n"
         "    http-check expect status 200\n"
         "    default-server inter 300ms fastinter 200ms downinter 300ms rise 2 fall 2\n";
    for (std::size_t i = 0; i < backends.size(); ++i) {
        c << "    server s" << i << " 127.0.0.1:" << backends[i].port << " check port "
          << backends[i].adminPort << "\n";
    }
    c << "listen stats\n"
         "    bind 127.0.0.1:"
      << statsPort
      << "\n"
         "    stats enable\n"
         "    stats uri /stats\n";
    return c.str();
}

} // namespace

std::unique_ptr<Haproxy> Haproxy::Start(const std::vector<Backend>& backends, std::string& error) {
    const std::string exe = Which("haproxy");
    if (exe.empty()) {
        error = "no haproxy (scripts/setup installs it)";
        return nullptr;
    }
    std::unique_ptr<Haproxy> h(new Haproxy);
    h->backends_ = backends.size();
    h->folder_ = MakeDaemonFolder("haproxy", error);
    if (h->folder_.empty()) {
        return nullptr;
    }
    const fs::path config = h->folder_ / "haproxy.cfg";
    const fs::path busy = h->folder_ / "busy.http";
    std::ofstream(busy, std::ios::trunc | std::ios::binary) << BusyAnswer();
    // Ports are free when chosen; when another program takes one first, HAProxy is started again on others.
    for (int attempt = 0; attempt < 5; ++attempt) {
        h->port_ = FreeLoopbackPort();
        h->statsPort_ = FreeLoopbackPort();
        std::ofstream(config, std::ios::trunc) << Config(backends, h->port_, h->statsPort_, busy);
        std::string out;
        if (Run({exe, "-c", "-q", "-f", config.string()}, out, true, 30s) != 0) {
            error = "haproxy refuses its configuration: " + out;
            return nullptr;
        }
        h->child_ = Child::Start({{exe, "-db", "-f", config.string()}, {}, true, {}, h->LogFile()}, error);
        if (!h->child_) {
            return nullptr;
        }
        // Up once its statistics answer (both listeners are bound before either serves).
        for (auto deadline = Clock::now() + 30s; Clock::now() < deadline && h->child_->Running();) {
            HttpAnswer a = HttpGet(h->statsPort_, "/stats;csv");
            if (a.status == 200) {
                return h;
            }
            std::this_thread::sleep_for(50ms);
        }
        const std::string log = ReadFile(h->LogFile());
        h->child_.reset();
        if (log.find("cannot bind") == std::string::npos) {
            error = "haproxy did not start: " + log;
            return nullptr;
        }
    }
    error = "haproxy found no free port";
    return nullptr;
}

Haproxy::~Haproxy() {
    child_.reset();
    if (!folder_.empty()) {
        RemoveDaemonFolder(folder_);
    }
}

std::string Haproxy::State(std::size_t i) const {
    HttpAnswer a = HttpGet(statsPort_, "/stats;csv");
    std::istringstream lines(a.body);
    std::string line;
    std::size_t statusColumn = 0;
    const std::string name = "s" + std::to_string(i);
    while (std::getline(lines, line)) {
        std::vector<std::string> cells;
        std::istringstream fields(line);
        std::string cell;
        while (std::getline(fields, cell, ',')) {
            cells.push_back(cell);
        }
        if (line.rfind("# ", 0) == 0) {
            for (std::size_t c = 0; c < cells.size(); ++c) {
                statusColumn = cells[c] == "status" ? c : statusColumn;
            }
        } else if (cells.size() > statusColumn && cells[0] == "servers" && cells[1] == name) {
            return cells[statusColumn];
        }
    }
    return "";
}

bool Haproxy::WaitState(std::size_t i, const std::string& state, std::chrono::milliseconds timeout) const {
    for (auto deadline = Clock::now() + timeout; Clock::now() < deadline; std::this_thread::sleep_for(50ms)) {
        if (State(i) == state) {
            return true;
        }
    }
    return false;
}

} // namespace rv::stack
