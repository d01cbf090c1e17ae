// A renewal server on a free loopback port over a fresh data folder, with a clock the test can move.
#pragma once

#include "core/ca.h"
#include "core/http_server.h"
#include "core/protocol_client.h"
#include "core/service.h"
#include "core/sqlite_store.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rv::test {

inline std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

// A temporary folder removed at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The engines a store suite runs over. This program's: SQLite (test_server), or PostgreSQL
// (test_store_postgresql, the same suites compiled with RENVORA_TEST_POSTGRESQL, against a cluster the
// program starts once).
enum class Engine { Sqlite, Postgres };
std::vector<Engine> TestEngines();
std::string EngineName(const ::testing::TestParamInfo<Engine>& info);

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The engine of this test's store: SQLite, unless the suite runs over the engines (StoreSuite).
    virtual Engine StoreEngine() const { return Engine::Sqlite; }
    // Another store over this test's data (its folder, or its database), as another process opens it.
    std::unique_ptr<server::Store> OpenStore(std::string& error);
    // The program's options that name this test's data: the data folder, and the store when it is not
    // the folder's own (as an operator's command or another server would be given them).
    std::vector<std::string> StoreArgs() const;

    // (Re)starts the server over the data folder, as a restarted process would.
    void StartServer();
    void StopServer();

    // The answer's code and message ("" when absent).
    static std::string Code(const server::PostResult& r);
    static std::string Msg(const server::PostResult& r);
    static std::string Field(const server::PostResult& r, const char* key);

    // A card enrolled into the running server's store; its certificate ends in `days` days.
    server::SimCard Enrol(const std::string& certSeqNo, int days = 30);

    // getRandom, expecting success.
    std::string FreshRandom();
    // A POST of `json` (and the client's zero byte) from the loopback address `from`, standing for
    // another host, on a connection of its own.
    server::PostResult PostFrom(const char* from, const std::string& path, const std::string& json) const;
    // getRandom + verifyInfo for `card`, expecting success; the answer of verifyInfo.
    server::PostResult Verify(const server::SimCard& card);
    std::string EndDate(const server::SimCard& card) const;

    TempFolder folder_;
    std::filesystem::path data_;
    std::atomic<std::time_t> clockOffset_{0};
    std::time_t frozenAt_ = 0; // when set (before StartServer), the server's clock stands still there
    // Renewed certificates end inside the server's renewal window (180 days), so that a renewed card
    // renews again at once, as the tests' cards do.
    int certDays_ = 90;
    std::function<void(server::ServiceOptions&)> adjust_;  // further options for the next StartServer
    std::function<void(server::HttpOptions&)> adjustHttp_; // and for its HTTP layer
    std::unique_ptr<server::CertificateAuthority> ca_;
    std::unique_ptr<server::Store> store_;
    server::SqliteStore* sqlite_ = nullptr; // the same store, when it is SQLite's
    std::string database_;                  // the test's own database, when it is PostgreSQL's
    std::unique_ptr<server::RenewalService> service_;
    std::unique_ptr<server::HttpServer> http_;
    std::unique_ptr<server::ProtocolClient> client_;
    int port_ = 0;
};

// A suite whose tests run over every engine of this program (TestEngines): the contract every store
// keeps. Instantiate it with RENVORA_STORE_SUITE(Suite).
template <typename Base = ServerFixture>
class StoreSuite : public Base, public ::testing::WithParamInterface<Engine> {
protected:
    Engine StoreEngine() const override { return this->GetParam(); }
};
#define RENVORA_STORE_SUITE(Suite)                                                                           \
    INSTANTIATE_TEST_SUITE_P(Stores, Suite, ::testing::ValuesIn(::rv::test::TestEngines()),                  \
                             ::rv::test::EngineName)

// The program, run as a process. Its stderr goes to a pipe, or to `stderrFile` when the test makes it
// log more than a pipe holds.
// What the program's process gets besides its arguments (set between fork and exec).
struct ProcessSetup {
    int umask = -1;  // the umask, when >= 0
    long files = -1; // soft and hard descriptor limit, when > 0
};

class ServerProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& args, const std::string& stderrFile = "",
                           const ProcessSetup& setup = {}) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            if (setup.umask >= 0) {
                ::umask(static_cast<mode_t>(setup.umask));
            }
            if (setup.files > 0) {
                rlimit files{static_cast<rlim_t>(setup.files), static_cast<rlim_t>(setup.files)};
                ::setrlimit(RLIMIT_NOFILE, &files);
            }
            ::dup2(out[1], 1);
            int errFd =
                stderrFile.empty() ? err[1] : ::open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(errFd, 2);
            ::close(out[0]);
            ::close(err[0]);
            std::vector<char*> argv;
            std::string exe = std::string(RENVORA_BUILD_DIR) + "/server/renvora-server";
            argv.push_back(exe.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~ServerProcess() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        ::close(err_);
    }
    // Everything on stdout until the process closes it (waits at most 10 s).
    std::string Stdout() {
        std::string text = FirstLine();
        for (std::string line = FirstLine(); !line.empty(); line = FirstLine()) {
            text += line;
        }
        return text;
    }
    // The first line on stdout (waits at most 10 s).
    std::string FirstLine() {
        std::string line;
        char c;
        for (int i = 0; i < 200 && line.find('\n') == std::string::npos;) {
            ssize_t n = ::read(out_, &c, 1);
            if (n == 1) {
                line.push_back(c);
            } else if (n == 0) {
                break;
            } else {
                ++i;
                ::usleep(50000);
            }
        }
        return line;
    }
    std::string Stderr() {
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err_, buf, sizeof buf)) > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        }
        return text;
    }
    void Signal(int sig) { ::kill(pid_, sig); }
    // The most memory the process has held so far (VmHWM), in MiB; -1 when unknown.
    double PeakRssMb() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("VmHWM:", 0) == 0) {
                return std::atof(line.c_str() + 6) / 1024.0;
            }
        }
        return -1;
    }
    int Wait() {
        int status = 0;
        // Bounded: at most 10 s.
        for (int i = 0; i < 1000; ++i) {
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                waited_ = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
    bool waited_ = false;
};

// A POST over a connection of its own from the loopback address `from` (another address stands for
// another host) to 127.0.0.1:`port`; `bytes` is sent as it is.
server::PostResult RawPost(const char* from, int port, const std::string& bytes);

inline int PortOf(const std::string& line) {
    std::size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

} // namespace rv::test
