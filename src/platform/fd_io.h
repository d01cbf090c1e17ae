// Whole reads and writes on a file descriptor, through short counts and EINTR. On failure errno tells why.
#pragma once

#include <string>
#include <string_view>

namespace rv {

bool WriteAll(int fd, std::string_view bytes);
// Appends everything up to the end of the file to `out`.
bool ReadAll(int fd, std::string& out);

} // namespace rv
