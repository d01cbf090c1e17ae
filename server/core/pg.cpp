#include "core/pg.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

namespace rv::server::pg {
namespace {

using Clock = std::chrono::steady_clock;

Fault FaultOf(const std::string& state, bool connectionBad) {
    if (state == "40001" || state == "40P01") {
        return Fault::Conflict;
    }
    if (state == "23505") {
        return Fault::Unique;
    }
    // Connection exceptions; administrator shutdown, crash shutdown, cannot connect now; a read-only
    // transaction (the URL led to a standby); too many connections.
    if (state.rfind("08", 0) == 0 || state == "57P01" || state == "57P02" || state == "57P03" ||
        state == "25006" || state == "53300" || connectionBad) {
        return Fault::Connection;
    }
    return Fault::Other;
}

bool HasKey(const std::string& conninfo, const char* key) {
    return conninfo.find(std::string(key) + "=") != std::string::npos;
}

} // namespace

const char* FaultName(Fault fault) {
    switch (fault) {
    case Fault::None:
        return "none";
    case Fault::Conflict:
        return "conflict";
    case Fault::Connection:
        return "connection";
    case Fault::Unknown:
        return "unknown commit outcome";
    case Fault::Unique:
        return "unique violation";
    default:
        return "error";
    }
}

// ---- Result ----

Result::Result(pg_result* r) : r_(r, &PQclear) {}

int Result::Rows() const {
    return r_ ? PQntuples(r_.get()) : 0;
}

bool Result::Null(int row, int col) const {
    return !r_ || row >= Rows() || PQgetisnull(r_.get(), row, col) != 0;
}

std::string Result::Text(int row, int col) const {
    if (Null(row, col)) {
        return {};
    }
    return std::string(PQgetvalue(r_.get(), row, col),
                       static_cast<std::size_t>(PQgetlength(r_.get(), row, col)));
}

std::int64_t Result::Int(int row, int col) const {
    return Null(row, col) ? 0 : std::strtoll(PQgetvalue(r_.get(), row, col), nullptr, 10);
}

std::int64_t Result::Affected() const {
    const char* n = r_ ? PQcmdTuples(r_.get()) : "";
    return *n != '\0' ? std::strtoll(n, nullptr, 10) : 0;
}

std::string WithDefaults(const std::string& conninfo) {
    const bool uri = conninfo.rfind("postgresql://", 0) == 0 || conninfo.rfind("postgres://", 0) == 0;
    std::string out = conninfo;
    const auto add = [&](const char* key, const char* value) {
        if (HasKey(conninfo, key)) {
            return;
        }
        if (uri) {
            out += (out.find('?') == std::string::npos ? "?" : "&") + std::string(key) + "=" + value;
        } else {
            out += " " + std::string(key) + "=" + value;
        }
    };
    // A primary that is gone must not hold a request for long: the failover URL's next host is tried.
    add("connect_timeout", "3");
    add("application_name", "renvora-server");
    return out;
}

// ---- Connection ----

Connection::Connection(std::string conninfo) : conninfo_(std::move(conninfo)) {}

Connection::~Connection() {
    Drop();
}

bool Connection::Connected() const {
    return conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK;
}

void Connection::Drop() {
    if (conn_ != nullptr) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
    prepared_.clear();
    beginPending_ = false;
    inTransaction_ = false;
}

bool Connection::Ensure(std::string& error) {
    fault_ = Fault::None;
    state_.clear();
    if (Connected()) {
        return true;
    }
    Drop();
    conn_ = PQconnectdb(conninfo_.c_str());
    if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
        error = std::string("cannot connect to the database: ") +
                (conn_ ? PQerrorMessage(conn_) : "out of memory");
        while (!error.empty() && error.back() == '\n') {
            error.pop_back();
        }
        fault_ = Fault::Connection;
        Drop();
        return false;
    }
    // A statement or a lock wait that hangs must not hold a worker for ever; nor an idle transaction a lock.
    // The store's statements are short lookups by key: each is planned once for the connection, not
    // again for every execution.
    return Exec("SET statement_timeout = '20s'; SET lock_timeout = '15s'; "
                "SET idle_in_transaction_session_timeout = '60s'; SET plan_cache_mode = force_generic_plan",
                error);
}

bool Connection::Failed(pg_result* r, const char* what, std::string& error) {
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    state_ = state ? state : "";
    const bool bad = conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK;
    fault_ = FaultOf(state_, bad);
    if (fault_ == Fault::Connection && inCommit_) {
        fault_ = Fault::Unknown;
    }
    error = std::string("database: ") + what + ": " +
            (r && PQresultErrorMessage(r)[0] != '\0' ? PQresultErrorMessage(r)
             : conn_                                 ? PQerrorMessage(conn_)
                                                     : "not connected");
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) {
        error.pop_back();
    }
    if (r != nullptr) {
        PQclear(r);
    }
    if (fault_ == Fault::Connection || fault_ == Fault::Unknown) {
        Drop();
    }
    return false;
}

bool Connection::Exec(const char* sql, std::string& error) {
    if (conn_ == nullptr) {
        fault_ = Fault::Connection;
        error = "database: not connected";
        return false;
    }
    if (beginPending_ && !SendBegin(error)) {
        return false;
    }
    // A connection lost during COMMIT leaves its outcome unknown (see Failed).
    inCommit_ = std::strcmp(sql, "COMMIT") == 0;
    pg_result* r = PQexec(conn_, sql);
    const bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) {
        Failed(r, sql, error);
    } else {
        PQclear(r);
    }
    inCommit_ = false;
    return ok;
}

bool Connection::SendBegin(std::string& error) {
    beginPending_ = false;
    pg_result* r = PQexec(conn_, "BEGIN");
    if (r == nullptr || PQresultStatus(r) != PGRES_COMMAND_OK) {
        return Failed(r, "BEGIN", error);
    }
    PQclear(r);
    inTransaction_ = true;
    return true;
}

void Connection::BeginLater() {
    beginPending_ = true;
    inTransaction_ = false;
}

bool Connection::Finish(std::string& error) {
    if (beginPending_) {
        beginPending_ = false; // nothing was sent: nothing to commit
        return true;
    }
    if (!inTransaction_) {
        return true; // committed with the last pipeline
    }
    inTransaction_ = false;
    return Exec("COMMIT", error);
}

void Connection::Abandon() {
    beginPending_ = false;
    if (inTransaction_ && Connected()) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
    }
    inTransaction_ = false;
}

bool Connection::Pipeline(const std::vector<Step>& steps, std::string& error, bool commit) {
    if (conn_ == nullptr) {
        fault_ = Fault::Connection;
        error = "database: not connected";
        return false;
    }
    // What was sent, in order: BEGIN, a statement's preparation (on its first use), its execution, COMMIT.
    struct Sent {
        const char* what;
        Result* out = nullptr;
        int prepares = -1; // the position in `fresh` this entry prepares
    };
    std::vector<Sent> sent;
    std::vector<std::string> fresh; // statements prepared by this pipeline
    bool queued = PQenterPipelineMode(conn_) == 1;
    if (queued && beginPending_) {
        queued = PQsendQueryParams(conn_, "BEGIN", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
        sent.push_back({"BEGIN"});
    }
    for (const Step& step : steps) {
        if (!queued) {
            break;
        }
        std::size_t index = std::find(prepared_.begin(), prepared_.end(), step.sql) - prepared_.begin();
        if (index == prepared_.size()) {
            index = prepared_.size() + (std::find(fresh.begin(), fresh.end(), step.sql) - fresh.begin());
            if (index == prepared_.size() + fresh.size()) {
                fresh.emplace_back(step.sql);
                queued = PQsendPrepare(conn_, ("s" + std::to_string(index)).c_str(), step.sql,
                                       static_cast<int>(step.params.size()), nullptr) == 1;
                sent.push_back({step.sql, nullptr, static_cast<int>(fresh.size()) - 1});
            }
        }
        std::vector<const char*> values;
        for (const auto& p : step.params) {
            values.push_back(p ? p->c_str() : nullptr);
        }
        queued = queued && PQsendQueryPrepared(conn_, ("s" + std::to_string(index)).c_str(),
                                               static_cast<int>(values.size()), values.data(), nullptr,
                                               nullptr, 0) == 1;
        sent.push_back({step.sql, step.out});
    }
    if (queued && commit) {
        queued = PQsendQueryParams(conn_, "COMMIT", 0, nullptr, nullptr, nullptr, nullptr, 0) == 1;
        sent.push_back({"COMMIT"});
    }
    queued = queued && PQpipelineSync(conn_) == 1;
    inCommit_ = commit;
    if (!queued) {
        Failed(nullptr, steps.empty() ? "pipeline" : steps.front().sql, error);
        inCommit_ = false;
        return false;
    }
    if (beginPending_) {
        beginPending_ = false;
        inTransaction_ = true;
    }
    // One result per entry (then a null that ends it), then the pipeline's sync.
    pg_result* failure = nullptr;
    const char* failedAt = nullptr;
    bool lost = false;
    for (const Sent& s : sent) {
        pg_result* r = PQgetResult(conn_);
        if (r == nullptr) {
            lost = true;
            break;
        }
        while (pg_result* extra = PQgetResult(conn_)) {
            PQclear(extra);
        }
        const ExecStatusType status = PQresultStatus(r);
        const bool good = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (good && s.prepares >= 0) {
            prepared_.push_back(fresh[static_cast<std::size_t>(s.prepares)]); // in order: names stay right
        }
        if (!good && failure == nullptr && status != PGRES_PIPELINE_ABORTED) {
            failure = r;
            failedAt = s.what;
        } else if (good && failure == nullptr && s.out != nullptr) {
            *s.out = Result(r);
        } else if (r != failure) {
            PQclear(r);
        }
    }
    if (!lost) {
        pg_result* sync = PQgetResult(conn_);
        lost = sync == nullptr || PQresultStatus(sync) != PGRES_PIPELINE_SYNC;
        PQclear(sync);
    }
    if (lost || PQexitPipelineMode(conn_) != 1) {
        // The connection broke under the pipeline: with a COMMIT in it, its outcome is unknown. It is
        // not used again.
        Failed(failure, failedAt != nullptr ? failedAt : "pipeline", error);
        fault_ = commit ? Fault::Unknown : Fault::Connection;
        Drop();
        inCommit_ = false;
        return false;
    }
    inCommit_ = false;
    if (failure != nullptr) {
        return Failed(failure, failedAt, error);
    }
    if (commit) {
        inTransaction_ = false;
    }
    return true;
}

// ---- Pool ----

Pool::Pool(const std::string& conninfo, PoolOptions options)
    : conninfo_(WithDefaults(conninfo)), options_(options) {}

Pool::~Pool() = default;

std::unique_ptr<Connection> Pool::Take() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return !idle_.empty() || made_ < std::max(options_.size, 1); });
    if (!idle_.empty()) {
        std::unique_ptr<Connection> c = std::move(idle_.back());
        idle_.pop_back();
        return c;
    }
    ++made_;
    return std::make_unique<Connection>(conninfo_);
}

void Pool::Give(std::unique_ptr<Connection> c) {
    {
        std::lock_guard lock(mu_);
        idle_.push_back(std::move(c));
    }
    cv_.notify_one();
}

bool Pool::Transact(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
                    std::string& error, Fault* fault) {
    return Attempt(operation, true, options_.attempts, body, error, fault);
}

bool Pool::Read(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
                std::string& error, Fault* fault) {
    return Attempt(operation, false, options_.attempts, body, error, fault);
}

bool Pool::Once(const char* operation, const std::function<bool(Connection&, std::string&)>& body,
                std::string& error) {
    return Attempt(operation, false, 1, body, error, nullptr);
}

bool Pool::Attempt(const char* operation, bool transaction, int attempts,
                   const std::function<bool(Connection&, std::string&)>& body, std::string& error,
                   Fault* fault) {
    const auto start = Clock::now();
    const auto deadline = start + options_.budget;
    thread_local std::minstd_rand jitter(std::random_device{}());
    Fault last = Fault::None;
    bool ok = false;
    int attempt = 1;
    for (;; ++attempt) {
        std::unique_ptr<Connection> c = Take();
        error.clear();
        ok = c->Ensure(error);
        if (ok && transaction) {
            c->BeginLater();
        }
        ok = ok && body(*c, error) && (!transaction || c->Finish(error));
        // Fault::None when the body itself said no.
        last = ok ? Fault::None : c->LastFault();
        if (!ok && transaction) {
            c->Abandon();
        }
        Give(std::move(c));
        if (ok || (last != Fault::Conflict && last != Fault::Connection) || attempt >= attempts ||
            Clock::now() >= deadline) {
            break;
        }
        // Conflicts clear as soon as the other transaction ends; a database that went away takes longer.
        const long base = last == Fault::Conflict ? 5 : 200;
        std::this_thread::sleep_for(std::chrono::milliseconds(
            base + static_cast<long>(jitter() % static_cast<unsigned long>(base * 2))));
    }
    if (!ok && last != Fault::None) {
        error += std::string(" (") + operation + ", " + FaultName(last) + ", " + std::to_string(attempt) +
                 (attempt == 1 ? " attempt)" : " attempts)");
    }
    if (fault != nullptr) {
        *fault = ok ? Fault::None : last;
    }
    return ok;
}

} // namespace rv::server::pg
