// A thin layer over libpq for the PostgreSQL store: connections that prepare each statement once, a pool
// with one connection per worker, and transactions that are run again when the database says so (a
// serialization failure, a deadlock, a connection lost before the commit) and never when the outcome of
// a commit is unknown. See docs/server-postgresql.md for the rules the store builds on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace rv::server::pg {

// What went wrong, as far as what to do next is concerned.
enum class Fault {
    None,
    Conflict,   // serialization failure or deadlock (40001, 40P01): run the transaction again
    Connection, // connection gone, database starting or stopping, or a standby reached (08*, 57P0*, 25006)
    Unknown,    // the connection broke during COMMIT: it may or may not have happened; never run again
    Unique,     // a unique constraint refused a row (23505)
    Other,
};
const char* FaultName(Fault fault);

using Params = std::vector<std::optional<std::string>>; // nullopt: SQL NULL

class Result {
public:
    Result() = default;
    explicit Result(pg_result* r);
    int Rows() const;
    bool Null(int row, int col) const;
    std::string Text(int row, int col) const;
    std::int64_t Int(int row, int col) const;
    bool Bool(int row, int col) const { return Text(row, col) == "t"; }
    // Rows an INSERT, UPDATE or DELETE touched.
    std::int64_t Affected() const;

private:
    std::shared_ptr<pg_result> r_;
};

// The connection text with the store's defaults where it sets none: a bounded connect timeout, and the
// application name operators see in pg_stat_activity.
std::string WithDefaults(const std::string& conninfo);

class Connection {
public:
    explicit Connection(std::string conninfo);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects when not connected (a dropped connection is made anew, which finds the primary of a
    // failover URL again). False with the reason.
    bool Ensure(std::string& error);
    bool Connected() const;
    void Drop();

    // One statement with text parameters, prepared on its first use on this connection. `out` may be
    // null.
    struct Step {
        const char* sql;
        Params params;
        Result* out = nullptr;
    };
    // Sends the statements at once and then reads their results in order: one round trip for all (libpq's
    // pipeline mode). A transaction's BEGIN (see BeginLater) goes first; with `commit`, COMMIT goes last.
    // False at the first statement that failed; the server skips the ones after it (and the COMMIT).
    bool Pipeline(const std::vector<Step>& steps, std::string& error, bool commit = false);
    bool Run(const char* sql, const Params& params, Result* out, std::string& error) {
        return Pipeline({{sql, params, out}}, error);
    }
    // A statement without parameters, not prepared (SET, LOCK, the schema...).
    bool Exec(const char* sql, std::string& error);

    // Transactions: BEGIN is sent with the first statement that follows; Finish commits what the last
    // Pipeline did not commit already, Abandon rolls back.
    void BeginLater();
    bool Finish(std::string& error);
    void Abandon();
    // The fault of the last failed call.
    Fault LastFault() const { return fault_; }
    // The fault's SQLSTATE, when the server gave one.
    const std::string& LastState() const { return state_; }

private:
    bool Failed(pg_result* r, const char* what, std::string& error);
    // The begin of a deferred transaction, when it is still to be sent.
    bool SendBegin(std::string& error);
    std::string conninfo_;
    pg_conn* conn_ = nullptr;
    std::vector<std::string> prepared_; // statement texts; the name of each is its position
    Fault fault_ = Fault::None;
    std::string state_;
    bool inCommit_ = false;
    bool beginPending_ = false; // BEGIN not sent yet
    bool inTransaction_ = false;
};

struct PoolOptions {
    int size = 8;
    // A transaction that meets a conflict or a lost connection is run again, this many times in all,
    // within about `budget` (reconnecting meanwhile).
    int attempts = 5;
    std::chrono::milliseconds budget{3000};
};

class Pool {
public:
    Pool(const std::string& conninfo, PoolOptions options = {});
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // Runs `body` between BEGIN and COMMIT on a connection of the pool; `body` returns false (with its
    // error) to roll back. Conflicts and lost connections run it again from the start, within the pool's
    // attempts and budget; an unknown commit outcome is reported (Fault::Unknown), not retried. `fault`
    // (may be null) tells why it failed: Fault::None when `body` itself said no.
    bool Transact(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
                  std::string& error, Fault* fault = nullptr);
    // A connection of the pool for reads outside a transaction (each statement on its own).
    bool Read(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
              std::string& error, Fault* fault = nullptr);
    // As Read, tried once: for a readiness check, which must answer at once.
    bool Once(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
              std::string& error);

private:
    bool Attempt(const char* operation, bool transaction, int attempts,
                 const std::function<bool(Connection&, std::string&)>& body, std::string& error,
                 Fault* fault);
    std::unique_ptr<Connection> Take();
    void Give(std::unique_ptr<Connection> c);

    std::string conninfo_;
    PoolOptions options_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Connection>> idle_;
    int made_ = 0;
};

} // namespace rv::server::pg
