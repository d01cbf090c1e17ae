#include "stack/postgres.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace rv::stack {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Small, since five builds share the machine; durable, since the tests count what survives a crash.
const char* const kConfig = R"conf(
# Written by the Renvora test harness.
listen_addresses = '127.0.0.1'
unix_socket_directories = ''
max_connections = 100
shared_buffers = 32MB
wal_level = replica
max_wal_senders = 5
wal_keep_size = 128MB
hot_standby = on
fsync = on
synchronous_commit = on
log_line_prefix = '%m [%p] '
include_if_exists = 'renvora_port.conf'
)conf";

bool WriteText(const fs::path& file, const std::string& text, std::string& error) {
    std::ofstream out(file, std::ios::app);
    out << text;
    if (!out.flush()) {
        error = "cannot write " + file.string();
        return false;
    }
    return true;
}

} // namespace

std::string PostgresBin() {
    if (const char* bin = std::getenv("RENVORA_PG_BIN"); bin && *bin) {
        return bin;
    }
    std::string best;
    int bestVersion = -1;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const int version = std::atoi(entry.path().filename().c_str());
        if (version > bestVersion && fs::exists(entry.path() / "bin" / "initdb", ec)) {
            bestVersion = version;
            best = (entry.path() / "bin").string();
        }
    }
    return best;
}

std::unique_ptr<PgCluster> PgCluster::Primary(std::string& error) {
    std::unique_ptr<PgCluster> c(new PgCluster);
    c->folder_ = MakeDaemonFolder("pg", error);
    if (c->folder_.empty()) {
        return nullptr;
    }
    c->data_ = c->folder_ / "data";
    std::string ignored;
    if (!c->InitDb(error) || !c->StartOnFreePort(error) ||
        !c->Sql("CREATE ROLE renvora LOGIN", ignored, error, "postgres") ||
        !c->CreateDatabase("renvora", error)) {
        error = "PostgreSQL primary: " + error;
        return nullptr;
    }
    return c;
}

bool PgCluster::InitDb(std::string& error) {
    const std::string bin = PostgresBin();
    if (bin.empty()) {
        error = "no PostgreSQL server programs (/usr/lib/postgresql/*/bin; scripts/setup installs them)";
        return false;
    }
    std::string out;
    // --no-sync: a test cluster's first files need not reach the disk; its commits do (fsync = on).
    if (Run({bin + "/initdb", "-D", data_.string(), "-U", "postgres", "-A", "trust", "-E", "UTF8",
             "--locale=C", "--no-sync", "--no-instructions"},
            out, true, 120s) != 0) {
        error = "initdb failed: " + out;
        return false;
    }
    return WriteText(data_ / "postgresql.conf", kConfig, error);
}

bool PgCluster::StartOnFreePort(std::string& error) {
    // The port is free when chosen; another program may take it before the postmaster binds it, so a
    // failed start is tried again on another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = FreeLoopbackPort();
        std::ofstream(data_ / "renvora_port.conf", std::ios::trunc) << "port = " << port_ << "\n";
        if (Start(error)) {
            return true;
        }
        if (error.find("already in use") == std::string::npos &&
            error.find("could not bind") == std::string::npos) {
            return false;
        }
    }
    return false;
}

bool PgCluster::Start(std::string& error) {
    Reaper::Get().WatchCluster(data_);
    std::string out;
    if (Run({PostgresBin() + "/pg_ctl", "-D", data_.string(), "-l", LogFile().string(), "-w", "-t", "120",
             "start"},
            out, true, 150s) != 0) {
        error = "pg_ctl start failed: " + out + "\n" + Tail(LogFile());
        return false;
    }
    return true;
}

bool PgCluster::Stop(const std::string& mode, std::string& error) {
    std::string out;
    if (Run({PostgresBin() + "/pg_ctl", "-D", data_.string(), "-m", mode, "-w", "-t", "60", "stop"}, out,
            true, 90s) != 0) {
        error = "pg_ctl stop failed: " + out;
        return false;
    }
    return true;
}

pid_t PgCluster::PostmasterPid() const {
    std::ifstream in(data_ / "postmaster.pid");
    long pid = 0;
    return in >> pid ? static_cast<pid_t>(pid) : -1;
}

bool PgCluster::Running() const {
    const pid_t pid = PostmasterPid();
    return pid > 0 && ::kill(pid, 0) == 0;
}

std::vector<pid_t> PgCluster::Processes() const {
    const pid_t pid = PostmasterPid();
    if (pid <= 0) {
        return {};
    }
    std::vector<pid_t> all = {pid};
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const pid_t child = static_cast<pid_t>(std::atol(entry.path().filename().c_str()));
        if (child <= 0) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        long parent = 0;
        if (close != std::string::npos && std::sscanf(text.c_str() + close + 1, " %*c %ld", &parent) == 1 &&
            parent == pid) {
            all.push_back(child);
        }
    }
    return all;
}

void PgCluster::Crash() {
    // The postmaster and every process it started, at once: a backend outlives a killed postmaster until
    // it next looks, and would go on answering its client; the machine's crash leaves nobody.
    const std::vector<pid_t> all = Processes();
    if (all.empty()) {
        return;
    }
    ::kill(all.front(), SIGSTOP); // no new children while they go
    for (pid_t p : all) {
        ::kill(p, SIGKILL);
    }
}

PgCluster::~PgCluster() {
    std::string ignored;
    if (Running() && !Stop("immediate", ignored)) {
        Crash();
    }
    // A postmaster that was killed leaves its backends to notice; they go within moments.
    for (int i = 0; i < 100 && Running(); ++i) {
        std::this_thread::sleep_for(50ms);
    }
    Reaper::Get().ForgetCluster(data_);
    if (!folder_.empty()) {
        RemoveDaemonFolder(folder_);
    }
}

std::string PgCluster::Url(const std::string& database) const {
    return "postgresql://renvora@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PgCluster::FailoverUrl(const PgCluster& first, const PgCluster& second,
                                   const std::string& database) {
    return "postgresql://renvora@127.0.0.1:" + std::to_string(first.port_) +
           ",127.0.0.1:" + std::to_string(second.port_) + "/" + database + "?target_session_attrs=read-write";
}

bool PgCluster::Sql(const std::string& sql, std::string& out, std::string& error,
                    const std::string& database) const {
    const int status =
        Run({PostgresBin() + "/psql", "-X", "-A", "-t", "-q", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1",
             "-p", std::to_string(port_), "-U", "postgres", "-d", database, "-c", sql},
            out, false, 60s);
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
        out.pop_back();
    }
    if (status != 0) {
        error = "psql: " + sql + ": " + out;
        return false;
    }
    return true;
}

bool PgCluster::CreateDatabase(const std::string& name, std::string& error) const {
    std::string ignored;
    return Sql("CREATE DATABASE \"" + name + "\" OWNER renvora", ignored, error, "postgres");
}

bool PgCluster::WaitUntil(const std::string& sql, const std::string& expected, std::chrono::seconds timeout,
                          std::string& error) const {
    const auto deadline = Clock::now() + timeout;
    std::string out, why;
    while (Clock::now() < deadline) {
        if (Sql(sql, out, why, "postgres") && out == expected) {
            return true;
        }
        std::this_thread::sleep_for(100ms);
    }
    error = "waited " + std::to_string(timeout.count()) + " s for " + sql + " = " + expected +
            " (last: " + out + why + ")";
    return false;
}

std::unique_ptr<PgCluster> PgCluster::Standby(std::string& error) {
    std::unique_ptr<PgCluster> s(new PgCluster);
    s->folder_ = MakeDaemonFolder("pg-standby", error);
    if (s->folder_.empty()) {
        return nullptr;
    }
    s->data_ = s->folder_ / "data";
    s->standby_ = true;
    std::string out;
    // -R writes the connection to the primary and standby.signal; -X stream brings the WAL of the copy.
    if (Run({PostgresBin() + "/pg_basebackup", "-h", "127.0.0.1", "-p", std::to_string(port_), "-U",
             "postgres", "-D", s->data_.string(), "-R", "-X", "stream", "-c", "fast", "--no-sync"},
            out, true, 180s) != 0) {
        error = "pg_basebackup failed: " + out;
        return nullptr;
    }
    if (!s->StartOnFreePort(error) ||
        !s->WaitUntil("SELECT status FROM pg_stat_wal_receiver", "streaming", 60s, error)) {
        error = "PostgreSQL standby: " + error;
        return nullptr;
    }
    return s;
}

bool PgCluster::RequireSynchronousStandby(std::string& error) const {
    std::string ignored;
    return Sql("ALTER SYSTEM SET synchronous_standby_names = '*'", ignored, error, "postgres") &&
           Sql("SELECT pg_reload_conf()", ignored, error, "postgres") &&
           WaitUntil("SELECT count(*) FROM pg_stat_replication WHERE sync_state = 'sync'", "1", 60s, error);
}

bool PgCluster::Promote(std::string& error) {
    std::string out;
    if (Run({PostgresBin() + "/pg_ctl", "-D", data_.string(), "-w", "-t", "60", "promote"}, out, true, 90s) !=
        0) {
        error = "pg_ctl promote failed: " + out;
        return false;
    }
    standby_ = false;
    return WaitUntil("SELECT pg_is_in_recovery()", "f", 60s, error);
}

} // namespace rv::stack
