// The per-user working folder of a launch from the desktop menu.
//
// The client reads "Config/conf.ini" relative to its working directory and "C://Windows//time.ini" under
// its drive root. A menu launch has no meaningful working directory, so it runs in a folder of its own,
// $XDG_DATA_HOME/renvora (default ~/.local/share/renvora), made on first start from the system templates:
//
//   <templates>/conf.ini  ->  <folder>/Config/conf.ini
//   <templates>/time.ini  ->  <folder>/drive_c/Windows/time.ini   (the drive root, unless $RENVORA_DRIVE_C)
//
// What was seeded is remembered beside each copy (".conf.ini.seeded": the SHA-256 of the seeded bytes),
// so a copy the user never changed follows the template when the administrator edits it later, while a
// copy the user changed (or one whose origin is unknown) is never replaced. The folder is locked for the
// life of the process (a lock file, "client.lock"): a second menu launch is refused.
#pragma once

#include <filesystem>
#include <string>

namespace rv::config {

// The templates, in the system folder (paths::kSystemDir).
inline constexpr const char* kConfTemplate = "conf.ini";
inline constexpr const char* kTimeTemplate = "time.ini";

// $XDG_DATA_HOME/renvora when that is an absolute path, else $HOME/.local/share/renvora; empty when
// neither can be had (no home).
std::filesystem::path DefaultUserFolder();

struct UserFolder {
    std::filesystem::path folder;
    std::filesystem::path driveC; // the drive root the launch uses
    int lockFd = -1;              // held open for the life of the process; the lock goes with it
    std::string warning;          // UTF-8, for stderr: what went wrong without stopping the start
};

// Makes `folder` ready (creating it, copying missing files from `templates` and refreshing the copies
// the user never changed), takes its lock, and fills `out`. Where the lock cannot be had for another
// reason than a running client (NFS without locks, a read-only folder), the start goes on without it
// and `out.warning` says so. `driveC` is the drive root to seed; empty means <folder>/drive_c. On failure
// returns false with a GBK message for the user in `messageGbk`; nothing that existed is changed.
bool PrepareUserFolder(const std::filesystem::path& templates, const std::filesystem::path& folder,
                       const std::filesystem::path& driveC, UserFolder& out, std::string& messageGbk);

} // namespace rv::config
