#include "support/scripted_http_server.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace rv::test {
namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

int ListenLoopback(int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error("socket failed");
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        throw std::runtime_error("bind/listen on loopback failed");
    }
    return fd;
}

int LocalPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, data, n, MSG_NOSIGNAL);
        if (w <= 0) {
            return false;
        }
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

} // namespace

// ---- RecordedRequest ------------------------------------------------------------------------------

std::string RecordedRequest::Header(const std::string& name) const {
    for (const std::string& line : headerLines) {
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && EqualNoCase(line.substr(0, colon), name)) {
            std::size_t v = line.find_first_not_of(" \t", colon + 1);
            return v == std::string::npos ? std::string() : line.substr(v);
        }
    }
    return {};
}

int RecordedRequest::HeaderCount(const std::string& name) const {
    int n = 0;
    for (const std::string& line : headerLines) {
        std::size_t colon = line.find(':');
        if (colon != std::string::npos && EqualNoCase(line.substr(0, colon), name)) {
            ++n;
        }
    }
    return n;
}

std::string RecordedRequest::Path() const {
    std::string t = target;
    std::size_t scheme = t.find("://");
    if (scheme != std::string::npos) {
        std::size_t slash = t.find('/', scheme + 3);
        t = slash == std::string::npos ? "/" : t.substr(slash);
    }
    std::size_t q = t.find('?');
    return q == std::string::npos ? t : t.substr(0, q);
}

// ---- server ------------------------------------------------------------------------------------------

// The public port belongs to a small relay that records the bytes each client sends and passes them on to
// the cpp-httplib server behind it; the handler finds the recording by the relay's outbound port.
struct ScriptedHttpServer::Impl {
    struct Connection {
        int clientFd = -1;
        int backendFd = -1;
        bool closed = false;
        std::string raw;
        std::size_t consumed = 0; // raw bytes already attributed to requests
    };

    std::unique_ptr<httplib::Server> http;
    bool tls = false;
    int backendPort = 0;
    int listenFd = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread httpThread, acceptThread;
    std::vector<std::thread> relays;

    mutable std::mutex mu;
    std::map<int, std::shared_ptr<Connection>> byBackendPort;
    std::vector<std::shared_ptr<Connection>> connections; // in accept order
    std::vector<RecordedRequest> requests;
    std::deque<ScriptedAnswer> queue;
    std::map<std::string, std::deque<ScriptedAnswer>> scripts;
    ScriptedAnswer fallback = ScriptedAnswer::Status(404);

    void Start() {
        std::signal(SIGPIPE, SIG_IGN); // a client that hangs up must not end the test process
        http->set_keep_alive_max_count(1);
        http->set_read_timeout(5, 0);
        auto handler = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
        const char* any = ".*";
        http->Get(any, handler);
        http->Post(any, handler);
        http->Put(any, handler);
        http->Delete(any, handler);
        http->Patch(any, handler);
        http->Options(any, handler);
        backendPort = http->bind_to_any_port("127.0.0.1");
        if (backendPort <= 0) {
            throw std::runtime_error("scripted server: cannot bind");
        }
        listenFd = ListenLoopback(64);
        port = LocalPort(listenFd);
        httpThread = std::thread([this] { http->listen_after_bind(); });
        // stop() does nothing before the accept loop runs, so a server destroyed at once would never end.
        for (int i = 0; i < 500 && !http->is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        acceptThread = std::thread([this] { AcceptLoop(); });
    }

    void Stop() {
        stopping = true;
        ::shutdown(listenFd, SHUT_RDWR);
        if (acceptThread.joinable()) {
            acceptThread.join();
        }
        ::close(listenFd);
        {
            std::lock_guard<std::mutex> lock(mu);
            for (auto& [p, c] : byBackendPort) {
                if (!c->closed) {
                    ::shutdown(c->clientFd, SHUT_RDWR);
                    ::shutdown(c->backendFd, SHUT_RDWR);
                }
            }
        }
        for (std::thread& t : relays) {
            t.join();
        }
        http->stop();
        if (httpThread.joinable()) {
            httpThread.join();
        }
    }

    void AcceptLoop() {
        while (!stopping) {
            pollfd p{listenFd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            int client = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                continue;
            }
            int backend = ConnectLoopback(backendPort);
            if (backend < 0) {
                ::close(client);
                continue;
            }
            auto conn = std::make_shared<Connection>();
            conn->clientFd = client;
            conn->backendFd = backend;
            {
                std::lock_guard<std::mutex> lock(mu);
                byBackendPort[LocalPort(backend)] = conn;
                connections.push_back(conn);
            }
            relays.emplace_back([this, conn] { Relay(*conn); });
        }
    }

    // Passes bytes both ways until either side closes; records what the client sends before it is passed
    // on, so the handler always finds the complete request.
    void Relay(Connection& c) {
        char buf[16384];
        bool open = true;
        while (open && !stopping) {
            pollfd p[2] = {{c.clientFd, POLLIN, 0}, {c.backendFd, POLLIN, 0}};
            int n = ::poll(p, 2, 100);
            if (n <= 0) {
                continue;
            }
            for (int i = 0; i < 2 && open; ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    continue;
                }
                int from = i == 0 ? c.clientFd : c.backendFd;
                int to = i == 0 ? c.backendFd : c.clientFd;
                ssize_t r = ::recv(from, buf, sizeof buf, 0);
                if (r <= 0) {
                    open = false;
                    break;
                }
                if (i == 0) {
                    std::lock_guard<std::mutex> lock(mu);
                    c.raw.append(buf, static_cast<std::size_t>(r));
                }
                if (!SendAll(to, buf, static_cast<std::size_t>(r))) {
                    open = false;
                }
            }
        }
        std::lock_guard<std::mutex> lock(mu);
        c.closed = true;
        ::close(c.clientFd);
        ::close(c.backendFd);
    }

    ScriptedAnswer Pick(const std::string& path) {
        if (!queue.empty()) {
            ScriptedAnswer a = queue.front();
            queue.pop_front();
            return a;
        }
        auto it = scripts.find(path);
        if (it != scripts.end() && !it->second.empty()) {
            ScriptedAnswer a = it->second.front();
            if (it->second.size() > 1) {
                it->second.pop_front();
            }
            return a;
        }
        return fallback;
    }

    void Handle(const httplib::Request& req, httplib::Response& res) {
        RecordedRequest rec;
        rec.method = req.method;
        rec.target = req.target;
        rec.version = req.version;
        rec.body = req.body;
        ScriptedAnswer answer;
        std::shared_ptr<Connection> conn;
        {
            std::lock_guard<std::mutex> lock(mu);
            auto it = byBackendPort.find(req.remote_port);
            if (it != byBackendPort.end()) {
                conn = it->second;
            }
            if (conn && !tls) {
                // This request's bytes: from the end of the previous one through its head and body.
                std::size_t headEnd = conn->raw.find("\r\n\r\n", conn->consumed);
                if (headEnd != std::string::npos) {
                    std::size_t end = std::min(conn->raw.size(), headEnd + 4 + req.body.size());
                    rec.raw = conn->raw.substr(conn->consumed, end - conn->consumed);
                    std::string head = conn->raw.substr(conn->consumed, headEnd - conn->consumed);
                    conn->consumed = end;
                    std::size_t pos = head.find("\r\n");
                    while (pos != std::string::npos) {
                        std::size_t next = head.find("\r\n", pos + 2);
                        rec.headerLines.push_back(head.substr(
                            pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2));
                        pos = next;
                    }
                }
            } else {
                for (const auto& [name, value] : req.headers) {
                    rec.headerLines.push_back(name + ": " + value);
                }
            }
            answer = Pick(rec.Path());
            requests.push_back(rec);
        }

        if (answer.forwardPort != 0) {
            httplib::Client next("127.0.0.1", answer.forwardPort);
            next.set_read_timeout(30, 0);
            auto forwarded = next.Post(req.path.c_str(), req.body, "application/x-www-form-urlencoded");
            answer.status = forwarded ? forwarded->status : 502;
            answer.body = forwarded ? forwarded->body : std::string();
            if (forwarded && answer.rewrite) {
                answer.body = answer.rewrite(answer.body);
            }
        }
        auto until = std::chrono::steady_clock::now() + answer.delay;
        while (!stopping && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (answer.drop && conn) {
            std::lock_guard<std::mutex> lock(mu);
            if (!conn->closed) {
                ::shutdown(conn->clientFd, SHUT_RDWR);
            }
        }
        res.status = answer.status;
        for (const auto& [name, value] : answer.headers) {
            res.set_header(name.c_str(), value);
        }
        if (answer.dripEvery.count() > 0) {
            auto body = std::make_shared<std::string>(answer.body);
            auto every = answer.dripEvery;
            res.set_content_provider(
                body->size(), answer.contentType.c_str(),
                [this, body, every](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                    std::this_thread::sleep_for(every);
                    return !stopping && sink.write(body->data() + offset, 1);
                });
            return;
        }
        res.set_content(answer.body, answer.contentType.c_str());
    }
};

ScriptedHttpServer::ScriptedHttpServer() : impl_(std::make_unique<Impl>()) {
    impl_->http = std::make_unique<httplib::Server>();
    impl_->Start();
}

ScriptedHttpServer::ScriptedHttpServer(const std::string& certPemFile, const std::string& keyPemFile)
    : impl_(std::make_unique<Impl>()) {
    auto ssl = std::make_unique<httplib::SSLServer>(certPemFile.c_str(), keyPemFile.c_str());
    if (!ssl->is_valid()) {
        throw std::runtime_error("scripted server: bad certificate or key");
    }
    impl_->http = std::move(ssl);
    impl_->tls = true;
    impl_->Start();
}

ScriptedHttpServer::~ScriptedHttpServer() {
    impl_->Stop();
}

int ScriptedHttpServer::Port() const {
    return impl_->port;
}

std::string ScriptedHttpServer::BaseUrl() const {
    return std::string(impl_->tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(impl_->port);
}

void ScriptedHttpServer::Script(const std::string& path, ScriptedAnswer answer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->scripts[path] = {std::move(answer)};
}

void ScriptedHttpServer::ScriptSequence(const std::string& path, std::vector<ScriptedAnswer> answers) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->scripts[path] = std::deque<ScriptedAnswer>(answers.begin(), answers.end());
}

void ScriptedHttpServer::Queue(ScriptedAnswer answer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->queue.push_back(std::move(answer));
}

void ScriptedHttpServer::SetDefault(ScriptedAnswer answer) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->fallback = std::move(answer);
}

std::vector<RecordedRequest> ScriptedHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->requests;
}

std::size_t ScriptedHttpServer::RequestCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->requests.size();
}

std::vector<std::string> ScriptedHttpServer::RawConnections() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<std::string> out;
    for (const auto& c : impl_->connections) {
        out.push_back(c->raw);
    }
    return out;
}

void ScriptedHttpServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->requests.clear();
}

// ---- environment ---------------------------------------------------------------------------------------

ScopedEnv::ScopedEnv(const char* name, const char* valueOrNull) : name_(name) {
    if (const char* v = std::getenv(name)) {
        had_ = true;
        old_ = v;
    }
    if (valueOrNull) {
        ::setenv(name, valueOrNull, 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

NoProxyEnv::NoProxyEnv() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        vars_.push_back(std::make_unique<ScopedEnv>(name, nullptr));
    }
}

} // namespace rv::test
