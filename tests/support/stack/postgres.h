// PostgreSQL clusters of the tests and benchmarks: a primary made with initdb in a temporary folder and a
// streaming standby made from it with pg_basebackup, each listening on a free loopback port, run by the
// daemon account (see process.h), stopped and removed on every way out. Trust authentication on
// 127.0.0.1 only; the database `renvora` belongs to the role `renvora`, which the servers use.
#pragma once

#include "stack/process.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rv::stack {

// The folder of PostgreSQL's programs (initdb, pg_ctl, pg_basebackup, postgres, psql): the newest
// /usr/lib/postgresql/*/bin, or $RENVORA_PG_BIN. "" when there is none.
std::string PostgresBin();

class PgCluster {
public:
    // initdb, start, and the role and database `renvora`. Null with the reason when any step fails.
    static std::unique_ptr<PgCluster> Primary(std::string& error);
    // A standby streaming from this cluster (pg_basebackup -R), started and streaming before it returns.
    std::unique_ptr<PgCluster> Standby(std::string& error);

    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    int Port() const { return port_; }
    // postgresql://renvora@127.0.0.1:PORT/DATABASE
    std::string Url(const std::string& database = "renvora") const;
    // One URL over both clusters that reaches whichever of them accepts writes (libpq's multi-host
    // form with target_session_attrs=read-write), as servers are configured for failover.
    static std::string FailoverUrl(const PgCluster& first, const PgCluster& second,
                                   const std::string& database = "renvora");

    // Runs SQL with psql as the superuser; `out` holds the unaligned, tuples-only result.
    bool Sql(const std::string& sql, std::string& out, std::string& error,
             const std::string& database = "renvora") const;
    // A further empty database owned by `renvora`.
    bool CreateDatabase(const std::string& name, std::string& error) const;

    // Commits on this primary wait until a standby has the transaction on its disk, so that a promoted
    // standby holds every commit that was reported.
    bool RequireSynchronousStandby(std::string& error) const;
    // The standby becomes a primary (pg_ctl promote) and accepts writes before this returns.
    bool Promote(std::string& error);

    bool Start(std::string& error);
    // pg_ctl stop: "fast" (sessions cut, a clean shutdown) or "immediate" (as a crash).
    bool Stop(const std::string& mode, std::string& error);
    // kill -9 of the postmaster and all its processes: the machine's failure as the cluster sees it.
    void Crash();
    bool Running() const;
    // The postmaster and the processes it started (backends, writers...), for what they cost.
    std::vector<pid_t> Processes() const;

    const std::filesystem::path& DataDir() const { return data_; }
    std::filesystem::path LogFile() const { return folder_ / "postgres.log"; }

private:
    PgCluster() = default;
    bool InitDb(std::string& error);
    bool StartOnFreePort(std::string& error);
    bool WaitUntil(const std::string& sql, const std::string& expected, std::chrono::seconds timeout,
                   std::string& error) const;
    pid_t PostmasterPid() const;

    std::filesystem::path folder_; // owned by the daemon account; holds data/ and the log
    std::filesystem::path data_;
    int port_ = 0;
    bool standby_ = false;
};

} // namespace rv::stack
