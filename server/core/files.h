// File helpers of the server's store: whole-file replacement that survives a crash at any point.
#pragma once

#include <filesystem>
#include <string>

namespace rv::server {

// Replaces `file` with `bytes`: temp file beside it, fsync, rename over it, fsync of the folder. A crash
// leaves either the old or the new content. `mode` is the new file's permission bits.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, std::string& error,
                         unsigned mode = 0600);

// Creates `folder` (and missing parents) readable by its owner only: made with mode 0700, never
// widened and narrowed afterwards. An existing folder is left as it is.
bool CreatePrivateFolder(const std::filesystem::path& folder, std::string& error);

// Reads a whole file (at most `limit` bytes). False with a reason when missing, unreadable or too big.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out, std::string& error,
                   std::size_t limit = 16u << 20);

// fsync of a folder, so that a rename or a new file in it is durable.
bool SyncFolder(const std::filesystem::path& folder);

} // namespace rv::server
