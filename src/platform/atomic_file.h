// Replacing a small file as a whole: a reader sees the old content or the new, never a mixture, and a
// crash or a full disk leaves the old file in place.
#pragma once

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace rv {

// Writes `bytes` to a temporary file beside `file`, syncs it, renames it over `file` and syncs the folder.
// On failure `file` is unchanged, the temporary file is gone, and `error` says which step failed and why.
bool ReplaceFileAtomically(const std::filesystem::path& file, const std::string& bytes, mode_t mode,
                           std::string& error);

} // namespace rv
