#include "acceptance/world.h"

#include "acceptance/desktop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

SlowRelay::SlowRelay(int serverPort, std::string slowPath, int delayMs, bool failSlow)
    : serverPort_(serverPort), slowPath_(std::move(slowPath)), delayMs_(delayMs), failSlow_(failSlow) {
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
            const std::string_view bytes(buf, static_cast<std::size_t>(n));
            if (i == 0) {
                // A request line: "POST /path HTTP/1.1" at the start of what the client sent.
                const auto space = bytes.find(' ');
                const auto http = bytes.find(" HTTP/");
                if (space != std::string_view::npos && http != std::string_view::npos && space < http &&
                    bytes.substr(space + 1, 1) == "/") {
                    std::lock_guard lock(mutex_);
                    paths_.emplace_back(bytes.substr(space + 1, http - space - 1));
                }
            }
            if (i == 0 && (delayMs_ > 0 || failSlow_) && bytes.find(slowPath_) != std::string_view::npos) {
                // The request is on its way; the answer takes its time, or never comes.
                for (int waited = 0; waited < delayMs_ && !stop_; waited += 10) {
                    ::usleep(10'000);
                }
                if (failSlow_) {
                    closed = true;
                    break;
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

int SlowRelay::RequestsTo(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count(paths_.begin(), paths_.end(), path));
}

World::World(const std::string& display, const WorldFaults& faults, const WorldToken& token)
    : display_(display) {
    char templ[] = "/tmp/renvora-acceptance-XXXXXX";
    if (!::mkdtemp(templ)) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = templ;
    const fs::path data = dir_ / "server-data";
    const fs::path image = dir_ / "card" / "card.json";
    CommandResult enrol =
        RunCommand("env RENVORA_ENROL_PIN=" + std::string(kPin) + " RENVORA_ENROL_MANAGE_PASSWORD=88888888 " +
                   Quote(Tool("server/renvora-server")) + " enrol --data " + Quote(data) +
                   (token.module.empty()
                        ? " --card-image " + Quote(image)
                        : " --token-module " + Quote(token.module) + " --token-label " + Quote(token.label)) +
                   " --days 30 2>&1");
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
    relay_ =
        std::make_unique<SlowRelay>(port, "/selfIcUpdate/upadteCert", faults.renewalMs, faults.renewalFails);

    WriteFile(dir_ / "work" / "Config" / "conf.ini",
              "realmName=http://127.0.0.1:" + std::to_string(relay_->Port()) + "\r\n");
    // The client checks renewed certificates against the server's CA, as a deployment configures it.
    WriteFile(dir_ / "work" / "Config" / "issuers" / "renewal-ca.pem", ReadAll(data / "ca.crt"));
    WriteFile(dir_ / "drive_c" / "Windows" / "time.ini", "MaxDay=180\r\n");
    CommandResult reg = token.module.empty()
                            ? RunCommand(Quote(Tool("softcard/renvora-softcard")) + " register --image " +
                                         Quote(image) + " --plugin " + Quote(Tool("softcard/softcard.so")) +
                                         " --classes-root " + Quote(dir_ / "classes") + " 2>&1")
                            : RunCommand(Quote(Tool("p11card/renvora-p11card")) + " register --module " +
                                         Quote(token.module) + " --token-label " + Quote(token.label) +
                                         " --plugin " + Quote(Tool("p11card/p11card.so")) +
                                         " --classes-root " + Quote(dir_ / "classes") + " 2>&1");
    if (reg.status != 0) {
        throw std::runtime_error("cannot register the card: " + reg.out);
    }
    std::map<std::string, int> delays = faults.more;
    if (faults.cardMs > 0) {
        for (const char* method : {"SignData", "InitUpdate", "WriteCard"}) {
            delays[method] = faults.cardMs;
        }
    }
    if (!delays.empty()) {
        std::string methods;
        for (const auto& [method, ms] : delays) {
            methods +=
                (methods.empty() ? "\"" : ", \"") + method + "\": {\"delayMs\": " + std::to_string(ms) + "}";
        }
        WriteFile(image.string() + ".faults", "{\"methods\": {" + methods + "}}\n");
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
    // As a person's session starts it: a display, no offscreen platform, no runtime folder set up; a home,
    // data folder and temporary folder of the scenario's own, never the user's.
    fs::create_directories(dir_ / "home");
    fs::create_directories(dir_ / "tmp");
    std::vector<std::string> env = {"DISPLAY=" + display_,
                                    "QT_QPA_PLATFORM=",
                                    "WAYLAND_DISPLAY=",
                                    "XDG_RUNTIME_DIR=",
                                    "HOME=" + (dir_ / "home").string(),
                                    "XDG_DATA_HOME=",
                                    "XDG_CONFIG_HOME=",
                                    "RENVORA_DATA_DIR=" + (dir_ / "data").string(),
                                    "TMPDIR=" + (dir_ / "tmp").string(),
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

std::string World::RememberedEndDate() const {
    const std::string text = ReadAll(dir_ / "data" / "cards.json");
    const std::string key = "\"endDate\":";
    const auto at = text.find(key);
    if (at == std::string::npos) {
        return {};
    }
    const auto open = text.find('"', at + key.size());
    const auto close = open == std::string::npos ? open : text.find('"', open + 1);
    return close == std::string::npos ? std::string() : text.substr(open + 1, close - open - 1);
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

// ---------------------------------------------------------------------------------------------------
// RealHomeWatch

RealHomeWatch::RealHomeWatch() : before_(Snapshot()) {}

std::map<std::string, std::string> RealHomeWatch::Snapshot() {
    std::vector<fs::path> roots;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
        const fs::path home = pw->pw_dir;
        roots = {home / ".local" / "share" / "renvora", home / ".config" / "renvora", home / ".renvora"};
    }
    for (const char* var : {"XDG_DATA_HOME", "XDG_CONFIG_HOME"}) {
        if (const char* v = std::getenv(var); v && *v == '/') {
            roots.push_back(fs::path(v) / "renvora");
        }
    }
    std::map<std::string, std::string> files;
    for (const fs::path& root : roots) {
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(root, ec))) {
            continue;
        }
        files[root.string()] = "folder";
        for (auto it = fs::recursive_directory_iterator(root, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            struct stat st {};
            if (::lstat(it->path().c_str(), &st) == 0) {
                files[it->path().string()] = std::to_string(st.st_size) + " bytes, modified " +
                                             std::to_string(st.st_mtim.tv_sec) + "." +
                                             std::to_string(st.st_mtim.tv_nsec);
            }
        }
    }
    return files;
}

std::string RealHomeWatch::Changes() const {
    const auto now = Snapshot();
    std::string out;
    for (const auto& [path, state] : now) {
        auto it = before_.find(path);
        if (it == before_.end()) {
            out += "created " + path + "\n";
        } else if (it->second != state) {
            out += "changed " + path + "\n";
        }
    }
    for (const auto& [path, state] : before_) {
        if (now.count(path) == 0) {
            out += "removed " + path + "\n";
        }
    }
    return out;
}

} // namespace rv::acceptance
