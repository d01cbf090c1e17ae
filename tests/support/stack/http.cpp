#include "stack/http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace rv::stack {

HttpAnswer HttpGet(int port, const std::string& path, std::chrono::milliseconds timeout) {
    HttpAnswer answer;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return answer;
    }
    timeval tv{static_cast<time_t>(timeout.count() / 1000),
               static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request =
        "GET " + path +
        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nUser-Agent: renvora-test\r\n\r\n";
    std::string raw;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buf[16384];
        ssize_t n;
        // At most 16 MiB: more is not an answer of these endpoints.
        while (raw.size() < (16u << 20) && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
            raw.append(buf, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    const std::size_t head = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || head == std::string::npos) {
        return answer;
    }
    answer.status = std::atoi(raw.c_str() + raw.find(' ') + 1);
    answer.body = raw.substr(head + 4);
    // Chunked answers (HAProxy's statistics): the chunks joined.
    std::string headText = raw.substr(0, head);
    for (char& c : headText) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (headText.find("transfer-encoding: chunked") != std::string::npos) {
        std::string joined;
        std::size_t at = 0;
        while (at < answer.body.size()) {
            char* end = nullptr;
            const unsigned long size = std::strtoul(answer.body.c_str() + at, &end, 16);
            const std::size_t data = answer.body.find("\r\n", at);
            if (size == 0 || data == std::string::npos) {
                break;
            }
            joined += answer.body.substr(data + 2, size);
            at = data + 2 + size + 2;
        }
        answer.body = joined;
    }
    return answer;
}

} // namespace rv::stack
