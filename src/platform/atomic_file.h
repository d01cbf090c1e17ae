// Files and folders the client makes, each with the mode it means whatever the umask: replacing a small
// file as a whole (a reader sees the old content or the new, never a mixture, and a crash or a full disk
// leaves the old file in place), writing a file, and making folders.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace rv {

// Writes `bytes` to a temporary file beside `file`, syncs it, renames it over `file` and syncs the folder.
// On failure `file` is unchanged, the temporary file is gone, and `error` says which step failed and why.
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                           std::string& error);

// Writes `bytes` to `file` (created or truncated; a symbolic link in its place is refused) with `mode`.
bool WriteFileWithMode(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                       std::string& error);

// Makes `dir` and every missing folder above it with `mode`; folders that exist are left as they are.
// On failure `why` says why (the system's text).
bool MakeFolders(const std::filesystem::path& dir, mode_t mode, std::string& why);

} // namespace rv
