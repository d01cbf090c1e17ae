// Processes of the external stacks the tests and benchmarks start (PostgreSQL, HAProxy, servers):
// started with their output in files, every one of them bounded in time, and every one of them gone on
// every way out of the program that started it, a kill -9 of that program included (see Reaper).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace rv::stack {

using namespace std::chrono_literals;

// The account daemons run as. Run as root (CI), they are handed to an unprivileged system account
// (`postgres` where the PostgreSQL packages made it, else `nobody`): PostgreSQL refuses to run as root,
// and nothing else needs root either. Run as anyone else, they run as that user.
struct Account {
    bool drop = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
};
const Account& DaemonAccount();

// A fresh folder in /tmp (which every account can pass through) owned by the daemon account, mode 0700;
// removed by the reaper if the program dies before it removes it itself.
std::filesystem::path MakeDaemonFolder(const std::string& prefix, std::string& error);
// Removes a folder made by MakeDaemonFolder and tells the reaper it is gone.
void RemoveDaemonFolder(const std::filesystem::path& folder);

// Kills what the program started and removes its folders when the program ends, however it ends: a
// small shell in a session of its own waits for the end of a pipe whose other end only this program
// holds, then acts on the records kept in a folder of its own (one file per process, cluster or folder).
class Reaper {
public:
    static Reaper& Get();
    void WatchPid(pid_t pid);
    void ForgetPid(pid_t pid);
    // A PostgreSQL data folder: its postmaster (from postmaster.pid) is stopped at once.
    void WatchCluster(const std::filesystem::path& dataDir);
    void ForgetCluster(const std::filesystem::path& dataDir);
    void WatchFolder(const std::filesystem::path& folder);
    void ForgetFolder(const std::filesystem::path& folder);

private:
    Reaper();
    void Record(const std::string& name, const std::string& content);
    void Erase(const std::string& name);
    std::filesystem::path records_;
    int pipe_ = -1;
};

// A child process. Its standard output and error go to files (a daemon must never hold a pipe of the
// test runner's). Killed with SIGKILL, and waited for, when the object goes.
class Child {
public:
    struct Options {
        std::vector<std::string> argv; // argv[0] is the program's path
        std::vector<std::string> env;  // "NAME=value" added to (or replacing in) the environment
        bool asDaemonAccount = false;
        std::filesystem::path stdoutFile; // empty: /dev/null
        std::filesystem::path stderrFile; // empty: /dev/null
    };
    static std::unique_ptr<Child> Start(const Options& options, std::string& error);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return pid_; }
    void Signal(int sig);
    // The exit status (128 + signal when killed), or -1 when it is still running after `timeout`.
    int Wait(std::chrono::milliseconds timeout);
    bool Running();
    // Kills it with SIGKILL and waits for it.
    void Kill();

private:
    Child() = default;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

// Runs a command to its end, at most `timeout` (then it is killed); its standard output and error in
// `output`. The exit status, or -1 when it had to be killed or could not start.
int Run(const std::vector<std::string>& argv, std::string& output, bool asDaemonAccount,
        std::chrono::seconds timeout = 60s, const std::vector<std::string>& env = {});

// A TCP port on 127.0.0.1 that nobody listened on a moment ago. Daemons that cannot be told "port 0"
// take it; their start is retried with another when someone was quicker.
int FreeLoopbackPort();

// The first line of `file` that starts with `prefix`, waited for at most `timeout` while `child` runs.
bool WaitForLine(const std::filesystem::path& file, const std::string& prefix, Child& child,
                 std::chrono::milliseconds timeout, std::string& line);

// CPU seconds (user and system) a process has used so far; 0 when it is gone.
double CpuSeconds(pid_t pid);

// The full path of a program on PATH (or in /usr/sbin), "" when there is none.
std::string Which(const std::string& name);

std::string ReadFile(const std::filesystem::path& file);
// The last `lines` lines of a file, for a failure message.
std::string Tail(const std::filesystem::path& file, std::size_t lines = 30);

} // namespace rv::stack
