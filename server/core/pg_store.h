// The store in PostgreSQL (`--store postgresql://...`), for deployments with several servers on one
// database: the same tables, schema version and life of an issued set as the SQLite store, with every rule
// decided in the database, never in a server's memory. Each method is one transaction at READ COMMITTED
// that first takes the locks standing for what it decides about (the card's row; advisory locks for a
// source address and a card's failure counts), then reads and changes; unique indexes and triggers are
// the backstop. A conflict or a lost connection runs the transaction again (bounded); a commit whose
// outcome is unknown is reported as a failure, never retried. See docs/server-postgresql.md.
#pragma once

#include "core/pg.h"
#include "core/store.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace rv::server {

class PgStore : public Store {
public:
    PgStore() = default;
    ~PgStore() override;

    // Connects, creates the schema in an empty database (under an advisory lock: servers starting at once
    // make it once) and reads the random key. A database of another schema version is refused. `pool`:
    // connections (one per worker that may wait on the store).
    bool Open(const std::string& url, std::string& error, int pool = 8);
    // Connects to a database that already holds a store of this version; makes nothing.
    bool OpenReadOnly(const std::string& url, std::string& error);
    // True when the database holds no store, or a store without cards or sets (what `migrate` fills).
    bool Empty(std::string& error);

    const std::string& RandomKey() const override { return randomKey_; }
    // Every transaction here is committed (and, with a synchronous standby, on the standby's disk) before
    // it returns.
    bool RandomsOutliveRestarts() const override { return true; }
    bool PutCard(const CardRecord& card, bool replace, std::string& error) override;
    using Store::FindCard;
    Found FindCard(const std::string& certSeqNo, CardState& out, std::string& error) override;
    bool SourceFreeAt(const std::string& source, std::time_t now, const VerifyLimits& limits,
                      std::time_t& until, std::string& error) override;
    VerifyOutcome RecordVerification(const VerifyAttempt& attempt, const VerifyLimits& limits,
                                     std::time_t now, std::time_t& until, std::string& error) override;
    TakeOutcome TakeVerification(const std::string& opSeqNo, const std::string& random, std::time_t now,
                                 Verification& out, std::string& error) override;
    std::size_t VerificationCount() override;
    CommitOutcome CommitRenewal(const IssueRecord& issue, std::int64_t generation, const std::string& signer,
                                const RenewLimits& limits, std::time_t now, CommitInfo& info,
                                std::string& error) override;
    int WithdrawPending(const std::string& certSeqNo, std::time_t now, std::string& error) override;
    using Store::Issues;
    bool Issues(std::vector<IssueRecord>& out, std::string& error) override;
    std::size_t CardCount() override;
    std::size_t IssueCount() override;

    // The database answers a small read, at once (no retries): for /readyz.
    bool Ping(std::string& error);
    // The pool, for `migrate`, which copies whole tables in one transaction.
    pg::Pool& Pool() { return *pool_; }

private:
    bool Schema(pg::Connection& c, bool create, std::string& error);
    std::int64_t Count(const char* sql);
    void Prune(std::vector<pg::Connection::Step>& steps, std::time_t now, const VerifyLimits& limits);

    std::string url_;
    std::unique_ptr<pg::Pool> pool_;
    std::string randomKey_;
    std::atomic<unsigned> writes_{0};
};

} // namespace rv::server
