// C runtime conversions as the client relies on them, without their undefined corners.
#pragma once

#include <cstdint>
#include <string_view>

namespace rv {

// C `atoi` rules: optional leading white space and sign, then decimal digits up to the first other
// character; no digits give 0. Saturates instead of overflowing (atoi's overflow is undefined).
int32_t Atoi(std::string_view text);

} // namespace rv
