#include "acceptance/world.h"

#include "acceptance/desktop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rv::acceptance {
namespace fs = std::filesystem;
namespace {

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

int LoopbackSocket(int port, bool listening, int* boundPort = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    auto* sa = reinterpret_cast<sockaddr*>(&a);
    if (listening) {
        if (::bind(fd, sa, sizeof a) != 0 || ::listen(fd, 16) != 0) {
            ::close(fd);
            return -1;
        }
        socklen_t len = sizeof a;
        ::getsockname(fd, sa, &len);
        *boundPort = ntohs(a.sin_port);
        return fd;
    }
    if (::connect(fd, sa, sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Quote(const fs::path& p) {
    return "'" + p.string() + "'";
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// SlowRelay

SlowRelay::SlowRelay(int serverPort, std::string slowPath, int delayMs)
    : serverPort_(serverPort), slowPath_(std::move(slowPath)), delayMs_(delayMs) {
    listen_ = LoopbackSocket(0, true, &port_);
    if (listen_ < 0) {
        throw std::runtime_error("relay: cannot listen on loopback");
    }
    acceptor_ = std::thread([this] { Accept(); });
}

SlowRelay::~SlowRelay() {
    stop_ = true;
    acceptor_.join();
    for (auto& t : pumps_) {
        t.join();
    }
    ::close(listen_);
}

void SlowRelay::Accept() {
    while (!stop_) {
        pollfd p{listen_, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) {
            pumps_.emplace_back([this, client] { Pump(client); });
        }
    }
}

void SlowRelay::Pump(int client) {
    const int server = LoopbackSocket(serverPort_, false);
    if (server < 0) {
        ::close(client);
        return;
    }
    char buf[16384];
    while (!stop_) {
        pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        if (::poll(p, 2, 100) <= 0) {
            continue;
        }
        bool closed = false;
        for (int i = 0; i < 2 && !closed; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            if (i == 0 && delayMs_ > 0 &&
                std::string_view(buf, static_cast<std::size_t>(n)).find(slowPath_) !=
                    std::string_view::npos) {
                // The request is on its way; the answer takes its time.
                for (int waited = 0; waited < delayMs_ && !stop_; waited += 10) {
                    ::usleep(10'000);
                }
            }
            const int to = i == 0 ? server : client;
            for (ssize_t sent = 0; sent < n;) {
                const ssize_t m = ::send(to, buf + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
                if (m <= 0) {
                    closed = true;
                    break;
                }
                sent += m;
            }
        }
        if (closed) {
            break;
        }
    }
    ::close(client);
    ::close(server);
}

// ---------------------------------------------------------------------------------------------------
// World

fs::path World::Tool(const char* rel) const {
    return fs::path(RENVORA_BUILD_DIR) / rel;
}

World::World(const std::string& display, int slowMs) : display_(display) {
    char templ[] = "/tmp/renvora-acceptance-XXXXXX";
    if (!::mkdtemp(templ)) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = templ;
    const fs::path data = dir_ / "server-data";
    const fs::path image = dir_ / "card" / "card.json";
    CommandResult enrol =
        RunCommand("env RENVORA_ENROL_PIN=" + std::string(kPin) + " RENVORA_ENROL_MANAGE_PASSWORD=88888888 " +
                   Quote(Tool("server/renvora-server")) + " enrol --data " + Quote(data) + " --card-image " +
                   Quote(image) + " --days 30 2>&1");
    if (enrol.status != 0) {
        throw std::runtime_error("enrolment failed: " + enrol.out);
    }

    const fs::path serverOut = dir_ / "server.out";
    server_ = Spawn({Tool("server/renvora-server").string(), "serve", "--listen", "127.0.0.1", "--port", "0",
                     "--data", data.string()},
                    {}, serverOut.string(), (dir_ / "server.log").string());
    int port = 0;
    WaitUntil(
        [&] {
            const std::string out = ReadAll(serverOut);
            const auto at = out.find("listening on http://127.0.0.1:");
            if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                port = std::atoi(out.c_str() + at + std::strlen("listening on http://127.0.0.1:"));
            }
            return port > 0 || !Running(server_);
        },
        std::chrono::seconds(20));
    if (port <= 0) {
        throw std::runtime_error("the renewal server did not start: " + ReadAll(dir_ / "server.log"));
    }
    relay_ = std::make_unique<SlowRelay>(port, "/selfIcUpdate/upadteCert", slowMs);

    WriteFile(dir_ / "work" / "Config" / "conf.ini",
              "realmName=http://127.0.0.1:" + std::to_string(relay_->Port()) + "\r\n");
    WriteFile(dir_ / "drive_c" / "Windows" / "time.ini", "MaxDay=180\r\n");
    CommandResult reg = RunCommand(Quote(Tool("softcard/renvora-softcard")) + " register --image " +
                                   Quote(image) + " --plugin " + Quote(Tool("softcard/softcard.so")) +
                                   " --classes-root " + Quote(dir_ / "classes") + " 2>&1");
    if (reg.status != 0) {
        throw std::runtime_error("cannot register the software card: " + reg.out);
    }
    if (slowMs > 0) {
        const std::string ms = std::to_string(slowMs);
        WriteFile(image.string() + ".faults", "{\"methods\": {\"SignData\": {\"delayMs\": " + ms +
                                                  "}, \"InitUpdate\": {\"delayMs\": " + ms +
                                                  "}, \"WriteCard\": {\"delayMs\": " + ms + "}}}\n");
    }
}

World::~World() {
    Stop(client_);
    Stop(server_);
    relay_.reset();
    if (std::getenv("RENVORA_ACCEPTANCE_KEEP") == nullptr) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
}

void World::StartClient(const std::vector<std::string>& extraEnv) {
    // As a person's session starts it: a display, no offscreen platform, no runtime folder set up.
    std::vector<std::string> env = {"DISPLAY=" + display_,
                                    "QT_QPA_PLATFORM=",
                                    "WAYLAND_DISPLAY=",
                                    "XDG_RUNTIME_DIR=",
                                    "RENVORA_CLASSES_ROOT=" + (dir_ / "classes").string(),
                                    "RENVORA_DRIVE_C=" + (dir_ / "drive_c").string(),
                                    "RENVORA_CARD_IMAGE="};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    client_ = Spawn({Tool("src/renvora").string()}, env, (dir_ / "client.out").string(),
                    (dir_ / "client.err").string(), {}, (dir_ / "work").string());
}

std::string World::ClientStderr() const {
    return ReadAll(dir_ / "client.err");
}

std::string World::ShowCard() const {
    return RunCommand(Quote(Tool("softcard/renvora-softcard")) + " show " +
                      Quote(dir_ / "card" / "card.json"))
        .out;
}

std::string World::CardValidTo() const {
    const std::string show = ShowCard();
    const auto at = show.find("13 valid to");
    if (at == std::string::npos) {
        return {};
    }
    std::istringstream line(show.substr(at + std::strlen("13 valid to")));
    std::string date;
    line >> date;
    return date;
}

int World::PinTriesLeft() const {
    const std::string show = ShowCard();
    const auto at = show.find("\nPIN");
    return at == std::string::npos
               ? -1
               : std::atoi(show.c_str() + at + 4 + show.substr(at + 4).find_first_not_of(' '));
}

int World::IssueCount() const {
    const std::string out =
        RunCommand(Quote(Tool("server/renvora-server")) + " issues --data " + Quote(dir_ / "server-data"))
            .out;
    int n = 0;
    for (std::size_t at = out.find(" card "); at != std::string::npos; at = out.find(" card ", at + 1)) {
        ++n;
    }
    return n;
}

} // namespace rv::acceptance
