#include "acceptance/process.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace rv::acceptance {

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            const std::string& err, const std::vector<int>& keep, const std::string& cwd) {
    // Everything the child needs is prepared before fork: after it only async-signal-safe calls.
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        envStore.emplace_back(*e);
    }
    for (const std::string& kv : env) {
        const std::string name = kv.substr(0, kv.find('=') + 1);
        std::erase_if(envStore, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
        if (kv.size() > name.size()) {
            envStore.push_back(kv);
        }
    }
    std::vector<char*> envp, args;
    for (auto& e : envStore) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> argStore = argv;
    for (auto& a : argStore) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    const std::string outPath = out.empty() ? "/dev/null" : out;
    const std::string errPath = err.empty() ? "/dev/null" : err;

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::setpgid(0, 0); // its own group: a stop reaches what it starts
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (o < 0 || e < 0 || in < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) {
            ::_exit(126);
        }
        for (int fd = 3; fd < 1024; ++fd) {
            bool kept = false;
            for (int k : keep) {
                kept = kept || k == fd;
            }
            if (!kept) {
                ::close(fd);
            }
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
            ::_exit(126);
        }
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (r < 0 || std::chrono::steady_clock::now() >= end) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool Running(pid_t pid) {
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0;
}

void Stop(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    if (Running(pid)) {
        ::kill(-pid, SIGTERM);
        ::kill(pid, SIGTERM);
        if (!WaitExit(pid, std::chrono::seconds(3))) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            WaitExit(pid, std::chrono::seconds(3));
        }
    }
    pid = -1;
}

CommandResult RunCommand(const std::string& command, int timeoutSeconds) {
    CommandResult r;
    const std::string cmd = "timeout " + std::to_string(timeoutSeconds) + " " + command;
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) {
        return r;
    }
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        r.out += buf;
    }
    const int status = ::pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

} // namespace rv::acceptance
