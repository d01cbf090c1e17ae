// N renvora-server processes over one store, each on its own loopback port with its admin listener, as
// several stateless servers of one deployment. Any of them can be killed with SIGKILL and started again
// on the same ports (so a load balancer in front finds it where it was).
#pragma once

#include "stack/haproxy.h"
#include "stack/process.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rv::stack {

struct FleetOptions {
    std::size_t servers = 3;
    std::filesystem::path program; // renvora-server
    // The data folder (CA, and the store unless `store` names another), shared by all servers.
    std::filesystem::path data;
    std::string store; // `--store` (empty: the data folder's SQLite store)
    std::vector<std::string> extraArgs;
    std::filesystem::path logFolder; // where each server's stderr goes (server-N.log)
};

class Fleet {
public:
    static std::unique_ptr<Fleet> Start(const FleetOptions& options, std::string& error);
    ~Fleet();
    Fleet(const Fleet&) = delete;
    Fleet& operator=(const Fleet&) = delete;

    std::size_t Size() const { return servers_.size(); }
    int Port(std::size_t i) const { return servers_[i].port; }
    int AdminPort(std::size_t i) const { return servers_[i].adminPort; }
    std::vector<Backend> Backends() const;
    bool Running(std::size_t i) const;
    pid_t Pid(std::size_t i) const { return servers_[i].child ? servers_[i].child->Pid() : -1; }

    // kill -9: no chance to finish anything.
    void Kill(std::size_t i);
    // Starts server `i` again on its ports; waits until it serves.
    bool Restart(std::size_t i, std::string& error);
    // SIGTERM, waited for: a clean stop.
    int Stop(std::size_t i);
    // The stderr of server `i`'s current start, and of all its starts one after the other.
    std::filesystem::path LogFile(std::size_t i) const;
    std::string AllLogs(std::size_t i) const;

private:
    struct Server {
        int port = 0;
        int adminPort = 0;
        std::unique_ptr<Child> child;
        int starts = 0;
    };
    Fleet() = default;
    bool Launch(std::size_t i, std::string& error);
    FleetOptions options_;
    std::vector<Server> servers_;
};

} // namespace rv::stack
