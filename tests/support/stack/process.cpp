#include "stack/process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

extern char** environ;

namespace rv::stack {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const Account& DaemonAccount() {
    static const Account account = [] {
        Account a;
        if (::geteuid() != 0) {
            a.uid = ::geteuid();
            a.gid = ::getegid();
            const passwd* me = ::getpwuid(a.uid);
            a.name = me ? me->pw_name : std::to_string(a.uid);
            return a;
        }
        for (const char* name : {"postgres", "nobody"}) {
            if (const passwd* pw = ::getpwnam(name)) {
                a.drop = true;
                a.uid = pw->pw_uid;
                a.gid = pw->pw_gid;
                a.name = name;
                return a;
            }
        }
        return a; // no such account: runs as root, and PostgreSQL says so
    }();
    return account;
}

// ---- Reaper ----

namespace {

const char* const kReaperScript = R"sh(
trap '' INT TERM HUP QUIT PIPE
records="$1"
while read -r _; do :; done
cd "$records" 2>/dev/null || exit 0
postmasters() {
  for f in cluster.*; do
    [ -f "$f" ] || continue
    p=$(head -n 1 "$(cat "$f")/postmaster.pid" 2>/dev/null)
    case "$p" in ''|*[!0-9]*) continue ;; esac
    echo "$p"
  done
}
stopped=
for p in $(postmasters); do kill -QUIT "$p" 2>/dev/null && stopped=1; done
for f in pid.*; do [ -f "$f" ] && kill -KILL "${f#pid.}" 2>/dev/null; done
if [ -n "$stopped" ]; then
  sleep 2
  for p in $(postmasters); do kill -KILL "$p" 2>/dev/null; done
fi
for f in folder.*; do [ -f "$f" ] && rm -rf -- "$(cat "$f")"; done
cd / && rm -rf -- "$records"
)sh";

std::string Key(const fs::path& path) {
    std::ostringstream out;
    out << std::hex << std::hash<std::string>{}(path.string());
    return out.str();
}

} // namespace

Reaper& Reaper::Get() {
    static Reaper* reaper = new Reaper; // lives to the end: the program's end is what it waits for
    return *reaper;
}

Reaper::Reaper() {
    std::string templ = "/tmp/renvora-reaper-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        return;
    }
    records_ = templ;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    const std::string records = records_.string();
    pid_t pid = ::fork();
    if (pid == 0) {
        // A session of its own: a Ctrl-C in the terminal stops the program, not its reaper.
        ::setsid();
        ::dup2(fds[0], 0);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execl("/bin/sh", "sh", "-c", kReaperScript, "reaper", records.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    pipe_ = fds[1]; // close-on-exec: no child of ours holds it, so its end is this program's end
}

void Reaper::Record(const std::string& name, const std::string& content) {
    if (records_.empty()) {
        return;
    }
    std::ofstream(records_ / name) << content;
}

void Reaper::Erase(const std::string& name) {
    if (!records_.empty()) {
        ::unlink((records_ / name).c_str());
    }
}

void Reaper::WatchPid(pid_t pid) {
    Record("pid." + std::to_string(pid), "");
}
void Reaper::ForgetPid(pid_t pid) {
    Erase("pid." + std::to_string(pid));
}
void Reaper::WatchCluster(const fs::path& dataDir) {
    Record("cluster." + Key(dataDir), dataDir.string());
}
void Reaper::ForgetCluster(const fs::path& dataDir) {
    Erase("cluster." + Key(dataDir));
}
void Reaper::WatchFolder(const fs::path& folder) {
    Record("folder." + Key(folder), folder.string());
}
void Reaper::ForgetFolder(const fs::path& folder) {
    Erase("folder." + Key(folder));
}

fs::path MakeDaemonFolder(const std::string& prefix, std::string& error) {
    std::string templ = "/tmp/renvora-" + prefix + "-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) {
        error = "mkdtemp " + templ + ": " + std::strerror(errno);
        return {};
    }
    Reaper::Get().WatchFolder(templ);
    const Account& account = DaemonAccount();
    if (account.drop && ::chown(templ.c_str(), account.uid, account.gid) != 0) {
        error = "chown " + templ + " to " + account.name + ": " + std::strerror(errno);
        RemoveDaemonFolder(templ);
        return {};
    }
    return templ;
}

void RemoveDaemonFolder(const fs::path& folder) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    Reaper::Get().ForgetFolder(folder);
}

// ---- Child ----

namespace {

// Everything the child needs, made before fork: after fork only async-signal-safe calls are made.
struct Prepared {
    std::vector<std::string> argvText, envText;
    std::vector<char*> argv, envp;
    std::string home;
};

Prepared Prepare(const Child::Options& options) {
    Prepared p;
    p.argvText = options.argv;
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        env.emplace_back(*e);
    }
    std::vector<std::string> extra = options.env;
    const Account& account = DaemonAccount();
    if (options.asDaemonAccount && account.drop) {
        // The test's home is private to root; the daemon account keeps to its own.
        const passwd* pw = ::getpwuid(account.uid);
        extra.push_back(std::string("HOME=") + (pw && pw->pw_dir ? pw->pw_dir : "/"));
        extra.emplace_back("USER=" + account.name);
        extra.emplace_back("LOGNAME=" + account.name);
    }
    for (const std::string& e : extra) {
        const std::string name = e.substr(0, e.find('=') + 1);
        std::erase_if(env, [&](const std::string& x) { return x.rfind(name, 0) == 0; });
        env.push_back(e);
    }
    p.envText = std::move(env);
    for (std::string& a : p.argvText) {
        p.argv.push_back(a.data());
    }
    p.argv.push_back(nullptr);
    for (std::string& e : p.envText) {
        p.envp.push_back(e.data());
    }
    p.envp.push_back(nullptr);
    return p;
}

int OpenOutput(const fs::path& file) {
    return file.empty() ? ::open("/dev/null", O_WRONLY | O_CLOEXEC)
                        : ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

} // namespace

std::unique_ptr<Child> Child::Start(const Options& options, std::string& error) {
    if (options.argv.empty()) {
        error = "no program";
        return nullptr;
    }
    Prepared p = Prepare(options);
    const Account& account = DaemonAccount();
    const bool drop = options.asDaemonAccount && account.drop;
    int out = OpenOutput(options.stdoutFile);
    int err = options.stderrFile == options.stdoutFile ? ::dup(out) : OpenOutput(options.stderrFile);
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) {
        error = "cannot open the output files of " + options.argv[0] + ": " + std::strerror(errno);
        for (int fd : {out, err, in}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return nullptr;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr); // the test may block signals for a thread of its own
        if (drop &&
            (::setgroups(0, nullptr) != 0 || ::setgid(account.gid) != 0 || ::setuid(account.uid) != 0)) {
            ::_exit(126);
        }
        // The daemon account may not enter the test's working folder; PostgreSQL's tools insist on one.
        if (::chdir("/") != 0) {
            ::_exit(126);
        }
        ::execve(p.argv[0], p.argv.data(), p.envp.data());
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(out);
    ::close(err);
    ::close(in);
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(forkErrno);
        return nullptr;
    }
    Reaper::Get().WatchPid(pid);
    std::unique_ptr<Child> child(new Child);
    child->pid_ = pid;
    return child;
}

Child::~Child() {
    Kill();
}

void Child::Signal(int sig) {
    if (!reaped_) {
        ::kill(pid_, sig);
    }
}

int Child::Wait(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!reaped_) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            reaped_ = true;
            status_ = r < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            Reaper::Get().ForgetPid(pid_);
            break;
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
    return status_;
}

bool Child::Running() {
    return Wait(0ms) == -1 && !reaped_;
}

void Child::Kill() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        Wait(30s);
    }
}

int Run(const std::vector<std::string>& argv, std::string& output, bool asDaemonAccount,
        std::chrono::seconds timeout, const std::vector<std::string>& env) {
    std::string templ = "/tmp/renvora-run-XXXXXX";
    int fd = ::mkstemp(templ.data());
    if (fd < 0) {
        output = std::string("mkstemp: ") + std::strerror(errno);
        return -1;
    }
    ::close(fd);
    std::string error;
    std::unique_ptr<Child> child =
        Child::Start({argv, env, asDaemonAccount, fs::path(templ), fs::path(templ)}, error);
    int status = -1;
    if (child) {
        status = child->Wait(timeout);
        if (status == -1) {
            child->Kill();
        }
        output = ReadFile(templ);
        if (status == -1) {
            output += "\n(killed after " + std::to_string(timeout.count()) + " s)";
        }
    } else {
        output = error;
    }
    ::unlink(templ.c_str());
    return status;
}

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    unsigned long user = 0, system = 0;
    if (close == std::string::npos ||
        std::sscanf(text.c_str() + close + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                    &system) != 2) {
        return 0;
    }
    return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string Which(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    return {};
}

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Tail(const fs::path& file, std::size_t lines) {
    std::string text = ReadFile(file);
    std::size_t at = text.size();
    for (std::size_t n = 0; n <= lines && at > 0; ++n) {
        at = text.rfind('\n', at - 1);
        if (at == std::string::npos) {
            return text;
        }
    }
    return text.substr(at + 1);
}

bool WaitForLine(const fs::path& file, const std::string& prefix, Child& child,
                 std::chrono::milliseconds timeout, std::string& line) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Whole lines only: the writer may be in the middle of one.
        std::string whole = ReadFile(file);
        whole.erase(whole.rfind('\n') == std::string::npos ? 0 : whole.rfind('\n') + 1);
        std::istringstream text(whole);
        while (std::getline(text, line)) {
            if (line.rfind(prefix, 0) == 0) {
                return true;
            }
        }
        if (!child.Running() || Clock::now() >= deadline) {
            line.clear();
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

} // namespace rv::stack
