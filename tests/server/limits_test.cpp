// What a peer can make the server hold: bodies of any framing stay within --max-body, a request must
// arrive whole in time, and slow or idle connections from one address cannot keep another address's
// client waiting. The server runs as its own process, so that its memory is its own.
#include "server_fixture.h"

#include "core/files.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>

namespace rv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A TCP connection to 127.0.0.1:port from `from` (another loopback address stands for another host).
int Connect(const char* from, int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

// Sends as much of `bytes` as the server takes (stops at the first error); the bytes sent.
std::size_t SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

// Everything the server sends until it closes, at most `limit` long.
std::string ReadUntilClosed(int fd, std::chrono::milliseconds limit) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string Chunked(std::size_t total) {
    std::string chunk(8192, 'A');
    std::string out;
    char head[32];
    std::snprintf(head, sizeof head, "%zx\r\n", chunk.size());
    for (std::size_t n = 0; n < total; n += chunk.size()) {
        out += head + chunk + "\r\n";
    }
    return out + "0\r\n\r\n";
}

class LimitsTest : public ServerFixture {
protected:
    // The program over a data folder with one enrolled card; its log goes to a file.
    void StartProgram(std::vector<std::string> extra) {
        fs::path data = folder_.path() / "proc";
        std::string error;
        std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
        server::Store store;
        ASSERT_TRUE(ca && store.Open(data, error)) << error;
        ASSERT_TRUE(server::EnrolSimCard(store, *ca, "L1", 30, card_, error)) << error;
        std::vector<std::string> args = {"--port", "0", "--data", data.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<ServerProcess>(args, log_.string());
        procPort_ = PortOf(proc_->FirstLine());
        ASSERT_GT(procPort_, 0);
    }
    std::string Log() const {
        std::string text, error;
        server::ReadWholeFile(log_, text, error);
        return text;
    }

    fs::path log_ = folder_.path() / "server.log";
    std::unique_ptr<ServerProcess> proc_;
    int procPort_ = 0;
    server::SimCard card_;
};

TEST_F(LimitsTest, BodiesOverTheLimitAreRefusedWhateverTheirFramingAndMemoryStaysBounded) {
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--max-body", "65536"}));
    const std::string head = "POST /selfIcUpdate/getRandom HTTP/1.1\r\nHost: x\r\n";
    struct Case {
        const char* what;
        std::string head;
        std::string body;
        const char* answer; // start of the answer (for refusals made from the head)
    };
    // Refused from the head alone: the answer comes before any body byte is read.
    const Case cases[] = {
        {"declared length", head + "Content-Length: 100000\r\n\r\n", "", "HTTP/1.1 413"},
        {"gzip", head + "Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n", "", "HTTP/1.1 415"},
        {"gzip and chunked", head + "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n", "",
         "HTTP/1.1 415"},
        {"chunked", head + "Transfer-Encoding: chunked\r\n\r\n", Chunked(4 << 20), ""},
    };
    // Twenty of each at once.
    for (const Case& c : cases) {
        std::vector<std::thread> peers;
        std::vector<std::string> answers(20);
        for (int i = 0; i < 20; ++i) {
            peers.emplace_back([&, i] {
                int fd = Connect("127.0.0.2", procPort_);
                if (fd < 0) {
                    return;
                }
                SendAll(fd, c.head + c.body);
                answers[i] = ReadUntilClosed(fd, 5s);
                ::close(fd);
            });
        }
        for (auto& t : peers) {
            t.join();
        }
        for (int i = 0; i < 20; ++i) {
            if (c.body.empty()) {
                EXPECT_EQ(answers[i].rfind(c.answer, 0), 0u) << c.what << ": " << answers[i].substr(0, 80);
            } else {
                EXPECT_EQ(answers[i], "") << c.what; // cut, never answered
            }
        }
    }
    EXPECT_LT(proc_->PeakRssMb(), 100.0);
    RecordProperty("server_peak_rss_mb", std::to_string(proc_->PeakRssMb()));
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
    std::string log = Log();
    EXPECT_NE(log.find("127.0.0.2 POST /selfIcUpdate/getRandom 413 code=11"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.2 POST /selfIcUpdate/getRandom cut: body over 65536 bytes"),
              std::string::npos);
    EXPECT_NE(log.find("127.0.0.2 POST /selfIcUpdate/getRandom 415 code=14"), std::string::npos);
}

// 200 connections dripping a byte every 3 s and 1,000 idle ones from 127.0.0.2, while a client on
// 127.0.0.1 renews: each of its requests is answered within a second, and the server stays small.
TEST_F(LimitsTest, SlowAndIdleConnectionsFromOneAddressDoNotStopAClientFromAnother) {
    // 1,200 sockets on this side: as many descriptors as the hard limit allows.
    rlimit files{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ASSERT_GE(files.rlim_cur, 1300u) << "too few descriptors for the test";
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--request-timeout", "3"}));
    std::vector<int> drips, idle;
    for (int i = 0; i < 200; ++i) {
        int fd = Connect("127.0.0.2", procPort_);
        ASSERT_GE(fd, 0);
        drips.push_back(fd);
    }
    for (int i = 0; i < 1000; ++i) {
        int fd = Connect("127.0.0.2", procPort_);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread dripper([&] {
        const std::string request = "POST /selfIcUpdate/getRandom HTTP/1.1\r\n";
        for (std::size_t at = 0; at < request.size() && !stop; ++at) {
            for (int fd : drips) {
                ::send(fd, &request[at], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            for (int i = 0; i < 30 && !stop; ++i) {
                std::this_thread::sleep_for(100ms);
            }
        }
    });
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    // Before and after the deadline has cut the slow connections.
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
        std::this_thread::sleep_for(1500ms);
    }
    EXPECT_LT(client.LongestMs(), 1000.0);
    EXPECT_LT(proc_->PeakRssMb(), 100.0);
    RecordProperty("longest_request_ms", std::to_string(client.LongestMs()));
    RecordProperty("server_peak_rss_mb", std::to_string(proc_->PeakRssMb()));
    stop = true;
    dripper.join();
    for (int fd : drips) {
        ::close(fd);
    }
    for (int fd : idle) {
        ::close(fd);
    }
    std::string log = Log();
    EXPECT_NE(log.find("127.0.0.2 refused: too many connections from this address"), std::string::npos)
        << log;
    EXPECT_NE(log.find("127.0.0.2 cut: no whole request within 3 s (idle or too slow)"), std::string::npos)
        << log;
}

} // namespace
} // namespace rv::test
