// Separate processes for the acceptance scenarios: started with their own environment and folder, their
// output in files, stopped within a bound.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rv::acceptance {

// Starts argv[0] (looked up in PATH) with `env` ("NAME=value", added to this process's environment; a
// "NAME=" entry removes NAME) in `cwd` (empty: this one), stdout and stderr to the given files (empty:
// /dev/null). File descriptors in `keep` stay open in the child. Throws when fork fails.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& out,
            const std::string& err, const std::vector<int>& keep = {}, const std::string& cwd = "");

// The exit status of `pid` once it ended within `timeout` (a signal counts as 128 + its number).
std::optional<int> WaitExit(pid_t pid, std::chrono::milliseconds timeout);
bool Running(pid_t pid);
// Ends `pid` (TERM, then KILL after 3 s) and reaps it; nothing for -1 or a process already reaped.
void Stop(pid_t& pid);

// Runs a shell command to its end (bounded by `timeout` through timeout(1)); its stdout, and its status.
struct CommandResult {
    int status = -1;
    std::string out;
};
CommandResult RunCommand(const std::string& command, int timeoutSeconds = 60);

} // namespace rv::acceptance
