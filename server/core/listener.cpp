#include "core/listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rv::server {

int ListenOn(const std::string& address, int port, int& boundPort, std::string& error) {
    if (port < 0 || port > 65535) {
        error = "port out of range: " + std::to_string(port);
        return -1;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        error = "cannot listen on " + address + " (not an address of this machine)";
        return -1;
    }
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) == 0 &&
                 ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 1024) == 0;
    int bindErrno = errno;
    freeaddrinfo(found);
    if (!bound) {
        if (fd >= 0) {
            ::close(fd);
        }
        error =
            "cannot listen on " + address + " port " + std::to_string(port) + ": " + std::strerror(bindErrno);
        return -1;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    boundPort = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                 : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    // An event loop accepts until the backlog is empty: the socket must never block it.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool SplitAddressPort(const std::string& text, std::string& address, int& port, std::string& error) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        error = "'" + text + "' is not ADDRESS:PORT";
        return false;
    }
    address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
        error = "'" + text + "': an IPv6 address goes in brackets, e.g. [::1]:9100";
        return false;
    }
    if (address.empty()) {
        address = "127.0.0.1";
    }
    const std::string digits = text.substr(colon + 1);
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || errno != 0 || *end != '\0' || v < 0 || v > 65535) {
        error = "'" + text + "': the port must be a number from 0 to 65535";
        return false;
    }
    port = static_cast<int>(v);
    return true;
}

} // namespace rv::server
