// A listening TCP socket made by the server itself, so that a port in use is refused with its reason
// (no SO_REUSEPORT: a second server must not silently share a port) and port 0 reports the port taken.
#pragma once

#include <string>

namespace rv::server {

// A non-blocking, close-on-exec socket listening on `address` and `port` (0: any free one);
// `boundPort` is the port it got. -1 with a reason otherwise.
int ListenOn(const std::string& address, int port, int& boundPort, std::string& error);

// "ADDR:PORT", "[V6ADDR]:PORT" or ":PORT" (loopback) into its parts. False with a reason otherwise.
bool SplitAddressPort(const std::string& text, std::string& address, int& port, std::string& error);

} // namespace rv::server
