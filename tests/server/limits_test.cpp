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

// The server's peak memory. Under AddressSanitizer freed memory is held back (its quarantine, up to 256 MB)
// and shadowed, so there the bound only catches gross growth; the plain build measures the server itself.
#if defined(__SANITIZE_ADDRESS__)
constexpr double kPeakRssMb = 400.0;
#else
constexpr double kPeakRssMb = 100.0;
#endif

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

// Whether the server still holds `fd` open (nothing to read, no end of stream).
bool StillOpen(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) == 0) {
        return true;
    }
    char c;
    ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
}

int CountLines(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// As many descriptors as the hard limit allows; false when that is fewer than `needed`.
bool RaiseDescriptorLimit(rlim_t needed) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return false;
    }
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    return files.rlim_cur >= needed;
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
    void StartProgram(std::vector<std::string> extra, const std::string& name = "proc", long files = -1) {
        fs::path data = folder_.path() / name;
        log_ = folder_.path() / (name + ".log");
        std::string error;
        server::SqliteStore store;
        ASSERT_TRUE(store.Open(data, error)) << error;
        std::unique_ptr<server::CertificateAuthority> ca = server::CertificateAuthority::Open(data, error);
        ASSERT_TRUE(ca) << error;
        ASSERT_TRUE(server::EnrolSimCard(store, *ca, "L1", 30, card_, error)) << error;
        // Renewed certificates end inside the renewal window, so that the card renews again at once.
        std::vector<std::string> args = {"--port", "0", "--data", data.string(), "--cert-days", "90"};
        args.insert(args.end(), extra.begin(), extra.end());
        proc_ = std::make_unique<ServerProcess>(args, log_.string(), ProcessSetup{-1, files});
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
        const char* from; // each kind from an address of its own: the log writes 20 answers a second each
        std::string head;
        std::string body;
        const char* answer; // start of the answer (for refusals made from the head)
    };
    // Refused from the head alone: the answer comes before any body byte is read.
    const Case cases[] = {
        {"declared length", "127.0.0.2", head + "Content-Length: 100000\r\n\r\n", "", "HTTP/1.1 413"},
        {"gzip", "127.0.0.7", head + "Content-Encoding: gzip\r\nContent-Length: 20\r\n\r\n", "",
         "HTTP/1.1 415"},
        {"gzip and chunked", "127.0.0.8",
         head + "Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n", "", "HTTP/1.1 415"},
        {"chunked", "127.0.0.2", head + "Transfer-Encoding: chunked\r\n\r\n", Chunked(4 << 20), ""},
    };
    // Twenty of each at once.
    for (const Case& c : cases) {
        std::vector<std::thread> peers;
        std::vector<std::string> answers(20);
        for (int i = 0; i < 20; ++i) {
            peers.emplace_back([&, i] {
                int fd = Connect(c.from, procPort_);
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
    // What libmicrohttpd refuses itself is logged with the peer as well: a head over its memory, a
    // malformed chunk. Peer-controlled text is escaped in the log: no line can be forged.
    const std::string refusedByLibrary[] = {
        head + "X-Filler: " + std::string(20000, 'x') + "\r\n\r\n",
        head + "Transfer-Encoding: chunked\r\n\r\nZZ;\x01\r\n",
        "POST /selfIcUpdate/x%0A2026-01-01T00:00:00Z%20127.0.0.1%20forged HTTP/1.1\r\nHost: x\r\n"
        "Content-Length: 0\r\n\r\n",
        head + "Content-Encoding: \x1b[2Jcleared\r\nContent-Length: 0\r\n\r\n",
    };
    std::vector<std::string> answers;
    for (const std::string& request : refusedByLibrary) {
        int fd = Connect("127.0.0.4", procPort_);
        ASSERT_GE(fd, 0);
        SendAll(fd, request);
        answers.push_back(ReadUntilClosed(fd, 3s));
        ::close(fd);
    }
    EXPECT_EQ(answers[0].rfind("HTTP/1.1 431", 0), 0u) << answers[0].substr(0, 80);
    EXPECT_EQ(answers[1].rfind("HTTP/1.1 400", 0), 0u) << answers[1].substr(0, 80);
    EXPECT_EQ(answers[2].rfind("HTTP/1.1 404", 0), 0u) << answers[2].substr(0, 80);
    EXPECT_EQ(answers[3].rfind("HTTP/1.1 415", 0), 0u) << answers[3].substr(0, 80);

    EXPECT_LT(proc_->PeakRssMb(), kPeakRssMb);
    RecordProperty("server_peak_rss_mb", std::to_string(proc_->PeakRssMb()));
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
    std::string log = Log();
    EXPECT_NE(log.find("127.0.0.2 POST /selfIcUpdate/getRandom 413 code=11"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.2 POST /selfIcUpdate/getRandom cut: body over 65536 bytes"),
              std::string::npos);
    EXPECT_NE(log.find("127.0.0.7 POST /selfIcUpdate/getRandom 415 code=14"), std::string::npos);
    EXPECT_NE(
        log.find("127.0.0.4 - /selfIcUpdate/getRandom refused by libmicrohttpd: HTTP 431 (in the head)"),
        std::string::npos)
        << log;
    EXPECT_NE(
        log.find(
            "127.0.0.4 POST /selfIcUpdate/getRandom refused by libmicrohttpd: HTTP 400 (after the head)"),
        std::string::npos)
        << log;
    EXPECT_NE(
        log.find("127.0.0.4 POST /selfIcUpdate/x\\x0a2026-01-01T00:00:00Z 127.0.0.1 forged 404 code=12"),
        std::string::npos)
        << log;
    EXPECT_NE(log.find("415 code=14 0B"), std::string::npos);
    EXPECT_NE(log.find("Content-Encoding \\x1b[2Jcleared"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n2026-01-01T00:00:00Z"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

// The bodies being received are bounded together as well as one by one: past the budget a declared
// body is refused before it is read, and a chunked one is cut; requests that fit are served.
TEST_F(LimitsTest, TheBodiesOfAllConnectionsTogetherStayWithinTheirBudget) {
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--max-body", "65536", "--max-body-total", "262144"}));
    const std::string head = "POST /selfIcUpdate/getRandom HTTP/1.1\r\nHost: x\r\n";
    std::vector<int> stalled;
    for (int i = 0; i < 4; ++i) {
        int fd = Connect("127.0.0.3", procPort_);
        ASSERT_GE(fd, 0);
        SendAll(fd, head + "Content-Length: 65536\r\n\r\n" + std::string(60000, 'A'));
        stalled.push_back(fd);
    }
    std::this_thread::sleep_for(500ms); // the server reads what was sent: 240,000 bytes held
    int declared = Connect("127.0.0.5", procPort_);
    int chunked = Connect("127.0.0.5", procPort_);
    ASSERT_GE(declared, 0);
    ASSERT_GE(chunked, 0);
    SendAll(declared, head + "Content-Length: 30000\r\n\r\n");
    SendAll(chunked, head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(30000));
    std::string refused = ReadUntilClosed(declared, 3s);
    EXPECT_EQ(refused.rfind("HTTP/1.1 503", 0), 0u) << refused.substr(0, 80);
    EXPECT_NE(refused.find("\"code\":\"10\""), std::string::npos) << refused;
    EXPECT_EQ(ReadUntilClosed(chunked, 3s), "");
    ::close(declared);
    ::close(chunked);
    // Small requests still fit beside the held bodies: the client renews meanwhile.
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
    for (int fd : stalled) {
        ::close(fd);
    }
    std::string log = Log();
    EXPECT_NE(log.find("127.0.0.5 POST /selfIcUpdate/getRandom 503 code=10 0B"), std::string::npos) << log;
    EXPECT_NE(log.find("the bodies being received hold 240000 of 262144 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("127.0.0.5 POST /selfIcUpdate/getRandom cut: the bodies being received reached 262144 "
                       "bytes in all"),
              std::string::npos)
        << log;
}

// 200 connections dripping a byte every 3 s and 1,000 idle ones, from 40 addresses, while a client on
// 127.0.0.1 renews: the server holds every one of them open and answers each of the client's requests
// within a second; once the deadline has passed it has cut them all, and the client is still served.
// A stop then closes the idle connections left without a line for each.
TEST_F(LimitsTest, SlowAndIdleConnectionsStayOpenButCannotStopAClientFromAnotherAddress) {
    ASSERT_TRUE(RaiseDescriptorLimit(1400)) << "too few descriptors for the test";
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--request-timeout", "5"}));
    std::vector<int> drips, idle;
    for (int i = 0; i < 1200; ++i) {
        const std::string from = "127.0.2." + std::to_string(1 + i % 40); // 30 from each
        int fd = Connect(from.c_str(), procPort_);
        ASSERT_GE(fd, 0);
        (i < 200 ? drips : idle).push_back(fd);
    }
    const auto opened = std::chrono::steady_clock::now();
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
    EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
    std::this_thread::sleep_for(500ms);
    const auto open = [](const std::vector<int>& fds) {
        return std::count_if(fds.begin(), fds.end(), [](int fd) { return StillOpen(fd); });
    };
    ASSERT_LT(std::chrono::steady_clock::now() - opened, 4s) << "too slow to judge before the deadline";
    EXPECT_EQ(open(drips), 200);
    EXPECT_EQ(open(idle), 1000);
    // Past the deadline every one of them is cut; the client renews on throughout.
    while (std::chrono::steady_clock::now() - opened < 7s) {
        EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(open(drips), 0);
    EXPECT_EQ(open(idle), 0);
    EXPECT_LT(client.LongestMs(), 1000.0);
    EXPECT_LT(proc_->PeakRssMb(), kPeakRssMb);
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
    // Idle connections at the stop: one line for all.
    std::vector<int> left;
    for (int i = 0; i < 20; ++i) {
        left.push_back(Connect("127.0.2.99", procPort_));
    }
    std::this_thread::sleep_for(300ms);
    proc_->Signal(SIGTERM);
    EXPECT_EQ(proc_->Wait(), 0);
    for (int fd : left) {
        ::close(fd);
    }
    std::string log = Log();
    EXPECT_NE(log.find("cut: no whole request within 5 s (idle or too slow)"), std::string::npos) << log;
    // 1,200 cuts within a second or two: a few dozen lines a second, the rest summed up.
    EXPECT_LT(CountLines(log, "cut: no whole request"), 400);
    EXPECT_NE(log.find("more lines about the connections of"), std::string::npos) << log;
    EXPECT_NE(log.find("closed 20 connections that had sent no request, stopping"), std::string::npos) << log;
    EXPECT_EQ(log.find("127.0.2.99 closed without a request"), std::string::npos) << log;
}

// Forty addresses, each trying to hold more idle and dripping connections than it may and reconnecting
// whenever one is cut or refused, fill the server past its limit: they then crowd out each other, never
// the client of an address with few connections, whose every request is answered within a second.
TEST_F(LimitsTest, ManyAddressesFillingTheServerCrowdOutOnlyEachOther) {
    // Addresses count as themselves, an IPv6 client as its /64 (one host commonly holds a whole /64).
    const auto group = [](const char* text) {
        sockaddr_in6 v6{};
        sockaddr_in v4{};
        if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
            v6.sin6_family = AF_INET6;
            return server::ConnectionGroup(reinterpret_cast<sockaddr*>(&v6));
        }
        v4.sin_family = AF_INET;
        inet_pton(AF_INET, text, &v4.sin_addr);
        return server::ConnectionGroup(reinterpret_cast<sockaddr*>(&v4));
    };
    EXPECT_EQ(group("2001:db8:1:2:aaaa::1"), "2001:db8:1:2::/64");
    EXPECT_EQ(group("2001:db8:1:2:ffff:1:2:3"), group("2001:db8:1:2::9"));
    EXPECT_NE(group("2001:db8:1:3::1"), group("2001:db8:1:2::1"));
    EXPECT_EQ(group("::ffff:127.0.1.7"), "127.0.1.7");
    EXPECT_EQ(group("127.0.1.7"), "127.0.1.7");

    ASSERT_TRUE(RaiseDescriptorLimit(1600)) << "too few descriptors for the test";
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--max-connections", "1000", "--request-timeout", "4"}));
    constexpr int kAddresses = 40, kEach = 34; // two over the cap of 32 per address
    std::vector<std::string> from;
    for (int a = 0; a < kAddresses; ++a) {
        from.push_back("127.0.1." + std::to_string(a + 1));
    }
    std::vector<int> fds(kAddresses * kEach, -1);
    std::atomic<bool> stop{false};
    std::atomic<int> reconnects{0};
    std::thread attackers([&] {
        const std::string request = "POST /selfIcUpdate/getRandom HTTP/1.1\r\n";
        // Bounded: at most 60 s, far more than the test needs.
        for (int tick = 0; tick < 600 && !stop; ++tick) {
            for (std::size_t i = 0; i < fds.size() && !stop; ++i) {
                if (fds[i] >= 0 && !StillOpen(fds[i])) {
                    ::close(fds[i]);
                    fds[i] = -1;
                    ++reconnects;
                }
                if (fds[i] < 0) {
                    fds[i] = Connect(from[i / kEach].c_str(), procPort_);
                }
                if (fds[i] >= 0 && i % 4 == 0) { // a quarter of them drip their head
                    ::send(fds[i], &request[tick % request.size()], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                }
            }
            std::this_thread::sleep_for(100ms);
        }
    });
    std::this_thread::sleep_for(2s); // filled, and crowding each other out
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    double longest = 0;
    for (int round = 0; round < 3; ++round) {
        server::ProtocolClient fresh("127.0.0.1", procPort_); // a new connection, which must get in
        EXPECT_TRUE(server::RunRenewal(round == 1 ? client : fresh, card_, error)) << error;
        longest = std::max({longest, fresh.LongestMs(), client.LongestMs()});
        std::this_thread::sleep_for(700ms);
    }
    EXPECT_LT(longest, 1000.0);
    RecordProperty("longest_request_ms", std::to_string(longest));
    stop = true;
    attackers.join();
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    EXPECT_GT(reconnects.load(), 0);
    EXPECT_LT(proc_->PeakRssMb(), kPeakRssMb);
    RecordProperty("server_peak_rss_mb", std::to_string(proc_->PeakRssMb()));
    std::string log = Log();
    // The server was full throughout: the addresses evicted each other's connections (the log's lines
    // about them are limited, so the client's own eviction may be among those summed up).
    EXPECT_NE(log.find(" cut: no whole request yet, evicted for 127.0.1."), std::string::npos) << log;
    EXPECT_NE(log.find("cut: idle, evicted for a newcomer from 127.0.1."), std::string::npos);
    EXPECT_NE(log.find("more lines about"), std::string::npos);
}

// One client behind the holder's own address (an office NAT, the usual case for company cards) holds
// every connection the address may have, idle, and reconnects as soon as one is cut. The holder's new
// connections still get in: each takes the place of the address's connection idle longest, never one
// whose request is in progress. (The earlier server refused the holder until the deadline cut the
// neighbour's connections, which the neighbour never let happen.)
TEST_F(LimitsTest, ANeighbourHoldingIdleConnectionsFromTheHoldersOwnAddressGivesWay) {
    // A deadline long enough that no connection of the test is cut for its age.
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--max-connections-per-address", "16", "--request-timeout", "60"}));
    std::vector<int> fds(16, -1);
    std::atomic<bool> stop{false};
    std::atomic<int> reconnects{0};
    std::thread neighbour([&] {
        // Bounded: at most 60 s, far more than the test needs.
        for (int tick = 0; tick < 600 && !stop; ++tick) {
            for (int& fd : fds) {
                if (fd >= 0 && !StillOpen(fd)) {
                    ::close(fd);
                    fd = -1;
                    ++reconnects;
                }
                if (fd < 0) {
                    fd = Connect("127.0.0.1", procPort_);
                }
            }
            std::this_thread::sleep_for(100ms);
        }
    });
    std::this_thread::sleep_for(1s); // all sixteen held
    // A request in progress from the address: its head begun, never finished. It is not idle.
    int inProgress = Connect("127.0.0.1", procPort_);
    ASSERT_GE(inProgress, 0);
    SendAll(inProgress, "POST /selfIcUpdate/getRandom HTTP/1.1\r\nHost: x\r\n");
    std::string error;
    for (int round = 0; round < 3; ++round) {
        server::ProtocolClient fresh("127.0.0.1", procPort_); // a new connection each time
        EXPECT_TRUE(server::RunRenewal(fresh, card_, error)) << error;
    }
    EXPECT_TRUE(StillOpen(inProgress));
    // The neighbour noticed its cut connections (bounded: 10 s).
    for (int i = 0; i < 200 && reconnects == 0; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    stop = true;
    neighbour.join();
    for (int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    ::close(inProgress);
    EXPECT_GT(reconnects.load(), 0);
    std::string log = Log();
    EXPECT_NE(log.find("127.0.0.1 cut: idle, evicted for a newcomer from 127.0.0.1"), std::string::npos)
        << log;
}

// Under a flood of pipelined requests from one address the log stays small: twenty answer lines a second
// per address (two hundred in all), the rest summed up once a second. (The earlier server wrote a line
// for each answer: 39.6 MB in 30 s.) A request with both Content-Length and Transfer-Encoding, the
// framing of a smuggled request, is refused with 400 at once instead of waiting for a body.
TEST_F(LimitsTest, AFloodLeavesASmallLogAndTwoFramingsAreRefusedAtOnce) {
    ASSERT_NO_FATAL_FAILURE(StartProgram({"--request-timeout", "60"}));
    int both = Connect("127.0.0.3", procPort_);
    ASSERT_GE(both, 0);
    SendAll(both, "POST /selfIcUpdate/getRandom HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n"
                  "Transfer-Encoding: chunked\r\n\r\n");
    std::string refused = ReadUntilClosed(both, 30s); // the deadline is 60 s: only a refusal comes earlier
    ::close(both);
    EXPECT_EQ(refused.rfind("HTTP/1.1 400", 0), 0u) << refused.substr(0, 80);
    EXPECT_NE(refused.find("\"code\":\"1\""), std::string::npos) << refused;

    constexpr int kRequests = 10000;
    int fd = Connect("127.0.0.2", procPort_);
    ASSERT_GE(fd, 0);
    const std::string one = "POST /selfIcUpdate/getRandom HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n";
    const auto start = std::chrono::steady_clock::now();
    std::thread flood([&] {
        std::string all;
        for (int i = 0; i < kRequests; ++i) {
            all += one;
        }
        SendAll(fd, all);
    });
    // Every answer is read (bounded: 120 s).
    int answered = 0;
    std::string tail;
    char buf[65536];
    while (answered < kRequests && std::chrono::steady_clock::now() - start < 120s) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        tail.append(buf, static_cast<std::size_t>(n));
        answered += CountLines(tail, "HTTP/1.1 200");
        tail = tail.substr(tail.size() > 16 ? tail.size() - 16 : 0);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    flood.join();
    ::close(fd);
    EXPECT_EQ(answered, kRequests);
    std::this_thread::sleep_for(1500ms); // the last second's summary
    const std::string log = Log();
    const int lines = CountLines(log, "127.0.0.2 POST /selfIcUpdate/getRandom 200");
    // At most twenty a second, each second of the flood counted whole.
    EXPECT_LE(lines, 20 * (static_cast<int>(seconds) + 2)) << seconds << " s";
    EXPECT_NE(log.find("127.0.0.2: "), std::string::npos);
    EXPECT_NE(log.find(" more answers left out in the last second"), std::string::npos)
        << log.substr(0, 2000);
    // About 2 KB a second of lines and summaries, again each second of the flood counted whole.
    EXPECT_LT(log.size(), 3u * 1024 * (static_cast<std::size_t>(seconds) + 2)) << seconds << " s";
    RecordProperty("flood_seconds", std::to_string(seconds));
    RecordProperty("log_bytes", std::to_string(log.size()));
}

// With a hard descriptor limit of 1024 the program fits its connection limits to it and says so at
// start. Then 1,280 connections from forty addresses never make it run out of descriptors, and the holder
// on 127.0.0.1 renews. (The earlier server accepted until "Too many open files" and then took 9 s to
// answer anybody.)
TEST_F(LimitsTest, ADescriptorLimitOf1024IsFittedWithAWarningAndNeverRunsOut) {
    ASSERT_TRUE(RaiseDescriptorLimit(1600)) << "too few descriptors for the test";
    ASSERT_NO_FATAL_FAILURE(StartProgram({}, "proc", 1024));
    std::vector<int> fds;
    for (int i = 0; i < 40 * 32; ++i) {
        const std::string from = "127.0.4." + std::to_string(1 + i % 40);
        int fd = Connect(from.c_str(), procPort_);
        if (fd >= 0) {
            fds.push_back(fd);
        }
    }
    std::this_thread::sleep_for(500ms);
    server::ProtocolClient client("127.0.0.1", procPort_);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(client, card_, error)) << error;
    for (int fd : fds) {
        ::close(fd);
    }
    const std::string log = Log();
    EXPECT_NE(
        log.find("renvora-server: warning: the descriptor limit is 1024 (the hard limit allows no more): "
                 "--max-connections lowered from 2000 to "),
        std::string::npos)
        << log.substr(0, 1000);
    EXPECT_EQ(log.find("Too many open files"), std::string::npos) << log.substr(0, 3000);
}

} // namespace
} // namespace rv::test
