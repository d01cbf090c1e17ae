// The server's store in PostgreSQL (`--store postgresql://...`), for deployments with several servers
// on one database: the same tables, schema versions and life of an issued set as the SQLite store, with
// every rule decided in the database (row locks taken by the transaction that checks and changes,
// unique constraints as the backstop), never in a server's memory. See docs/server-postgresql.md.
#pragma once

#include "core/pg.h"
#include "core/store.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace rv::server {

class PgStore {
public:
    PgStore() = default;
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    // Connects, creates the schema in an empty database or upgrades an older one (under an advisory
    // lock: servers starting at once do it once), and reads the random key. `pool` connections.
    bool Open(const std::string& url, std::string& error, int pool = 8);
    // Connects to a database that already holds a store of this version; makes nothing.
    bool OpenReadOnly(const std::string& url, std::string& error);

    bool PutCard(const CardRecord& card, bool replace, std::string& error);
    std::optional<CardState> FindCard(const std::string& certSeqNo);
    int UseRandom(const std::string& random, std::time_t expires, std::time_t now, std::string& error);
    bool ConfirmPending(const std::string& certSeqNo, const std::string& serial, std::time_t now,
                        std::string& error);
    bool CommitRenewal(const IssueRecord& issue, std::int64_t generation, SignedWith signedWith,
                       std::time_t now, std::string& error);

    const std::string& RandomKey() const { return randomKey_; }
    std::vector<IssueRecord> Issues();
    std::size_t CardCount();
    std::size_t IssueCount();
    // The database answers a small read.
    bool Ping(std::string& error);
    // True when the database holds no store tables, or they hold no row (a target `migrate` may fill).
    bool Empty(std::string& error);

private:
    bool Schema(pg::Connection& c, bool create, std::string& error);
    bool Transact(const char* operation, const std::function<bool(pg::Connection&, std::string&)>& body,
                  std::string& error);
    std::int64_t Count(const char* sql);

    std::unique_ptr<pg::Pool> pool_;
    std::string randomKey_;
    std::atomic<int> randomsSincePrune_{0};
};

} // namespace rv::server
