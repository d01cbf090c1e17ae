#include "stack/fleet.h"

#include <signal.h>

#include <algorithm>

namespace rv::stack {
namespace fs = std::filesystem;

std::unique_ptr<Fleet> Fleet::Start(const FleetOptions& options, std::string& error) {
    std::unique_ptr<Fleet> f(new Fleet);
    f->options_ = options;
    f->servers_.resize(options.servers);
    for (std::size_t i = 0; i < options.servers; ++i) {
        // Ports that are free now; the server refuses one taken meanwhile, and gets others then.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            f->servers_[i].port = FreeLoopbackPort();
            f->servers_[i].adminPort = FreeLoopbackPort();
            started = f->Launch(i, error);
            if (!started && error.find("Address already in use") == std::string::npos) {
                return nullptr;
            }
        }
        if (!started) {
            return nullptr;
        }
    }
    return f;
}

Fleet::~Fleet() {
    for (Server& s : servers_) {
        s.child.reset();
    }
}

std::vector<Backend> Fleet::Backends() const {
    std::vector<Backend> out;
    for (const Server& s : servers_) {
        out.push_back({s.port, s.adminPort});
    }
    return out;
}

fs::path Fleet::LogFile(std::size_t i) const {
    return options_.logFolder / ("server-" + std::to_string(i) + "." +
                                 std::to_string(std::max(servers_[i].starts, 1) - 1) + ".log");
}

std::string Fleet::AllLogs(std::size_t i) const {
    std::string text;
    for (int n = 0; n < servers_[i].starts; ++n) {
        text +=
            ReadFile(options_.logFolder / ("server-" + std::to_string(i) + "." + std::to_string(n) + ".log"));
    }
    return text;
}

bool Fleet::Launch(std::size_t i, std::string& error) {
    Server& s = servers_[i];
    std::vector<std::string> argv = {options_.program.string(),
                                     "serve",
                                     "--listen",
                                     "127.0.0.1",
                                     "--port",
                                     std::to_string(s.port),
                                     "--admin-listen",
                                     "127.0.0.1:" + std::to_string(s.adminPort),
                                     "--data",
                                     options_.data.string()};
    if (!options_.store.empty()) {
        argv.insert(argv.end(), {"--store", options_.store});
    }
    argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    const fs::path out = options_.logFolder / ("server-" + std::to_string(i) + ".out");
    // Each start has a log of its own: a kill -9 campaign reads them all at the end.
    ++s.starts;
    const fs::path thisStart = LogFile(i);
    s.child = Child::Start({argv, {}, false, out, thisStart}, error);
    if (!s.child) {
        return false;
    }
    std::string line;
    if (!WaitForLine(out, "admin listening on ", *s.child, std::chrono::seconds(60), line)) {
        error = "renvora-server " + std::to_string(i) + " did not start: " + Tail(thisStart);
        s.child.reset();
        return false;
    }
    return true;
}

bool Fleet::Running(std::size_t i) const {
    return servers_[i].child && servers_[i].child->Running();
}

void Fleet::Kill(std::size_t i) {
    if (servers_[i].child) {
        servers_[i].child->Kill();
    }
}

bool Fleet::Restart(std::size_t i, std::string& error) {
    Kill(i);
    return Launch(i, error);
}

int Fleet::Stop(std::size_t i) {
    if (!servers_[i].child) {
        return -1;
    }
    servers_[i].child->Signal(SIGTERM);
    return servers_[i].child->Wait(std::chrono::seconds(30));
}

} // namespace rv::stack
