// File helpers of the server's store: whole-file replacement that survives a crash at any point.
#pragma once

#include <filesystem>
#include <string>

namespace rv::server {

// Replaces `file` with `bytes`: temp file beside it, fsync, rename over it, fsync of the folder. A crash
// leaves either the old or the new content. `mode` is the new file's permission bits, whatever the umask.
bool WriteFileAtomically(const std::filesystem::path& file, const std::string& bytes, std::string& error,
                         unsigned mode = 0600);

// Creates `folder` readable by its owner only: made with mode 0700 and set to exactly that whatever the
// umask, never widened and narrowed afterwards. Missing parents are made 0755, also whatever the umask.
// An existing folder is left as it is.
bool CreatePrivateFolder(const std::filesystem::path& folder, std::string& error);

// Reads a whole file (at most `limit` bytes). False with a reason when missing, unreadable or too big.
bool ReadWholeFile(const std::filesystem::path& file, std::string& out, std::string& error,
                   std::size_t limit = 16u << 20);

// Reads a secret (a key, a PIN, a password): refused with the reason when the file is open to its group
// or to other users, who could have read it or put their own in its place.
bool ReadSecretFile(const std::filesystem::path& file, std::string& out, std::string& error);

// fsync of a folder, so that a rename or a new file in it is durable.
bool SyncFolder(const std::filesystem::path& folder);

} // namespace rv::server
