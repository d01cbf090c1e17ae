#include "core/http_server.h"

#include "core/files.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <strings.h>
#include <thread>
#include <vector>

namespace rv::server {
namespace {

using Clock = std::chrono::steady_clock;

std::string U(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

std::string Stamp() {
    std::time_t t = std::time(nullptr);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string AddressText(const sockaddr* addr) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (addr != nullptr && addr->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr, buf, sizeof buf);
    } else if (addr != nullptr && addr->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

// The client sends the JSON text followed by one zero byte; only that one byte is not part of the JSON.
std::string StripTerminator(std::string body) {
    if (!body.empty() && body.back() == '\0') {
        body.pop_back();
    }
    return body;
}

// Where a connection stands, for the deadline watcher.
enum class Phase { Waiting, Working };

struct Conn {
    int fd = -1;
    std::string peer;
    Phase phase = Phase::Waiting;
    Clock::time_point since; // start of the current wait for a whole request
    int answered = 0;
    std::atomic<bool> cut{false};
};

struct Request {
    Conn* conn = nullptr;
    std::string method, path;
    std::string body;
    std::size_t received = 0;
    Clock::time_point start;
    bool dispatched = false;
    std::atomic<bool> ready{false};
    int status = 200;
    Answer answer;
};

} // namespace

struct HttpServer::Impl {
    Impl(RenewalService& s, HttpOptions o) : service(s), options(std::move(o)) {}

    RenewalService& service;
    HttpOptions options;
    MHD_Daemon* daemon = nullptr;
    int listenFd = -1;
    std::string certPem, keyPem;

    // Connections, their count per address, and refusals not yet logged one by one.
    std::mutex connMu;
    std::map<MHD_Connection*, Conn*> conns;
    std::map<std::string, int> perAddress;
    std::map<std::string, int> refusedUnlogged;
    std::map<std::string, int> refusedThisSecond;

    // Whole requests waiting for a worker; at most one per connection, so bounded by the connections.
    std::mutex workMu;
    std::condition_variable workCv;
    std::deque<std::pair<MHD_Connection*, Request*>> work;
    std::vector<std::thread> workers;
    bool workersStop = false; // with workMu
    std::thread watcher;

    std::mutex runMu;
    std::condition_variable runCv;
    bool stopRequested = false; // with runMu
    bool stopped = false;

    template <typename... Args> void Log(const char* format, Args... args) {
        if (!options.log) {
            return;
        }
        char line[1024];
        std::snprintf(line, sizeof line, format, args...);
        std::fprintf(stderr, "%s %s\n", Stamp().c_str(), line);
    }

    // Refusals of one address are logged one by one up to a few a second, then summed up each second,
    // so that a flood cannot turn the log into the bottleneck.
    void LogRefusal(const std::string& peer, const char* reason) {
        {
            std::lock_guard lock(connMu);
            if (++refusedThisSecond[peer] > 5) {
                ++refusedUnlogged[peer];
                return;
            }
        }
        Log("%s refused: %s", peer.c_str(), reason);
    }

    // ---- libmicrohttpd callbacks, all on its event thread ----

    static MHD_Result Accept(void* cls, const sockaddr* addr, socklen_t) {
        auto* self = static_cast<Impl*>(cls);
        std::string peer = AddressText(addr);
        int count = 0;
        std::size_t total = 0;
        {
            std::lock_guard lock(self->connMu);
            auto it = self->perAddress.find(peer);
            count = it == self->perAddress.end() ? 0 : it->second;
            total = self->conns.size();
        }
        if (count >= self->options.maxConnectionsPerAddress) {
            self->LogRefusal(peer, "too many connections from this address");
            return MHD_NO;
        }
        if (total >= static_cast<std::size_t>(self->options.maxConnections)) {
            self->LogRefusal(peer, "too many connections in all");
            return MHD_NO;
        }
        return MHD_YES;
    }

    static void Connection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<Impl*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* c = new Conn;
            const MHD_ConnectionInfo* fd =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            const MHD_ConnectionInfo* addr =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            c->fd = fd ? fd->connect_fd : -1;
            c->peer = AddressText(addr ? addr->client_addr : nullptr);
            c->since = Clock::now();
            *socketContext = c;
            std::lock_guard lock(self->connMu);
            self->conns[connection] = c;
            ++self->perAddress[c->peer];
            return;
        }
        // Closed: called before libmicrohttpd closes the socket, so the watcher never touches a
        // descriptor that may already belong to another connection.
        auto* c = static_cast<Conn*>(*socketContext);
        if (c == nullptr) {
            return;
        }
        {
            std::lock_guard lock(self->connMu);
            self->conns.erase(connection);
            if (--self->perAddress[c->peer] <= 0) {
                self->perAddress.erase(c->peer);
            }
        }
        if (c->answered == 0 && !c->cut) {
            self->Log("%s closed without a whole request (closed by the client, idle, or a request "
                      "libmicrohttpd refused itself)",
                      c->peer.c_str());
        }
        delete c;
        *socketContext = nullptr;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** requestContext,
                          MHD_RequestTerminationCode code) {
        auto* self = static_cast<Impl*>(cls);
        auto* r = static_cast<Request*>(*requestContext);
        if (r == nullptr) {
            return;
        }
        *requestContext = nullptr;
        Conn* c = r->conn;
        if (code != MHD_REQUEST_TERMINATED_COMPLETED_OK && c != nullptr && !c->cut) {
            const char* why = code == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED   ? "no progress (timeout)"
                              : code == MHD_REQUEST_TERMINATED_CLIENT_ABORT    ? "closed by the client"
                              : code == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN ? "server stopping"
                                                                               : "error on the connection";
            self->Log("%s %s %s cut: %s after %zu body bytes", c->peer.c_str(), r->method.c_str(),
                      r->path.c_str(), why, r->body.size());
        }
        if (c != nullptr) {
            std::lock_guard lock(self->connMu);
            c->phase = Phase::Waiting;
            c->since = Clock::now();
        }
        (void)connection;
        delete r;
    }

    MHD_Result Reply(MHD_Connection* connection, Request* r, int status, const Answer& answer, bool close) {
        MHD_Response* response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(response, "Content-Type", "application/json; charset=utf-8");
        if (close) {
            MHD_add_response_header(response, "Connection", "close");
        }
        MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(status), response);
        MHD_destroy_response(response);
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - r->start).count();
        Log("%s %s %s %d code=%s %zuB %.1fms%s%s", r->conn ? r->conn->peer.c_str() : "?", r->method.c_str(),
            r->path.c_str(), status, answer.code.empty() ? "-" : answer.code.c_str(), r->received, ms,
            answer.detail.empty() ? "" : " ", answer.detail.c_str());
        if (r->conn != nullptr) {
            ++r->conn->answered;
        }
        return ok;
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char* upload, std::size_t* uploadSize,
                             void** requestContext) {
        auto* self = static_cast<Impl*>(cls);
        auto* r = static_cast<Request*>(*requestContext);
        if (r == nullptr) {
            r = new Request;
            *requestContext = r;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
            r->conn = info ? static_cast<Conn*>(info->socket_context) : nullptr;
            r->method = method ? method : "";
            r->path = url ? url : "";
            r->start = Clock::now();
            return self->Begin(connection, r);
        }
        if (*uploadSize > 0) {
            // Chunked bodies arrive here decoded, piece by piece: counted like any other.
            if (r->body.size() + *uploadSize > self->options.maxBody) {
                self->Log("%s %s %s cut: body over %zu bytes", r->conn ? r->conn->peer.c_str() : "?",
                          r->method.c_str(), r->path.c_str(), self->options.maxBody);
                if (r->conn != nullptr) {
                    r->conn->cut = true;
                }
                return MHD_NO; // closes the connection: no answer can be queued in the middle of a body
            }
            r->body.append(upload, *uploadSize);
            r->received = r->body.size();
            *uploadSize = 0;
            return MHD_YES;
        }
        if (!r->dispatched) {
            r->dispatched = true;
            if (r->conn != nullptr) {
                std::lock_guard lock(self->connMu);
                r->conn->phase = Phase::Working;
            }
            {
                // Suspended only while a worker is sure to take it: a connection left suspended would
                // keep the server from stopping.
                std::lock_guard lock(self->workMu);
                if (!self->workersStop) {
                    MHD_suspend_connection(connection);
                    self->work.emplace_back(connection, r);
                    self->workCv.notify_one();
                    return MHD_YES;
                }
            }
            return self->Reply(connection, r, 503, Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！")),
                               true);
        }
        if (r->ready.load(std::memory_order_acquire)) {
            return self->Reply(connection, r, r->status, r->answer, false);
        }
        return MHD_YES;
    }

    // The request's head has arrived: refuse what can be refused before any body is read.
    MHD_Result Begin(MHD_Connection* connection, Request* r) {
        static const char* const kPaths[] = {"/selfIcUpdate", "/selfIcUpdate/getRandom",
                                             "/selfIcUpdate/verifyInfo", "/selfIcUpdate/upadteCert"};
        bool known = false;
        for (const char* p : kPaths) {
            known = known || r->path == p;
        }
        if (r->method != "POST" || !known) {
            return Reply(connection, r, 404, Refusal(code::kNoSuchPath, U(u8"请求的服务不存在！")), true);
        }
        // The client never compresses; an encoded body could inflate past any limit.
        const char* encoding = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Encoding");
        if (encoding != nullptr && strcasecmp(encoding, "identity") != 0) {
            Answer a = Refusal(code::kBadEncoding, U(u8"不支持的请求数据编码！"));
            a.detail = std::string("Content-Encoding ") + encoding;
            return Reply(connection, r, 415, a, true);
        }
        const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
        if (length != nullptr) {
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(length, &end, 10);
            if (errno != 0 || end == length || n > options.maxBody) {
                Answer a = Refusal(code::kTooLarge, U(u8"请求数据过大！"));
                a.detail = std::string("Content-Length ") + length;
                return Reply(connection, r, 413, a, true);
            }
            r->body.reserve(static_cast<std::size_t>(n));
        }
        return MHD_YES;
    }

    // ---- Workers and the deadline watcher ----

    void Work() {
        for (;;) {
            std::pair<MHD_Connection*, Request*> job;
            {
                std::unique_lock lock(workMu);
                workCv.wait(lock, [&] { return workersStop || !work.empty(); });
                if (work.empty()) {
                    return;
                }
                job = work.front();
                work.pop_front();
            }
            Request* r = job.second;
            std::string body = StripTerminator(std::move(r->body));
            r->body.clear();
            try {
                if (r->path == "/selfIcUpdate") {
                    r->answer = service.Probe(body);
                } else if (r->path == "/selfIcUpdate/getRandom") {
                    r->answer = service.GetRandom(body);
                } else if (r->path == "/selfIcUpdate/verifyInfo") {
                    r->answer = service.VerifyInfo(body);
                } else {
                    r->answer = service.UpdateCert(body);
                }
            } catch (const std::exception& e) {
                r->answer = Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
                r->answer.detail = e.what();
                r->status = 500;
            }
            r->ready.store(true, std::memory_order_release);
            MHD_resume_connection(job.first);
        }
    }

    void Watch() {
        auto lastSecond = Clock::now();
        std::unique_lock lock(runMu);
        while (!runCv.wait_for(lock, std::chrono::milliseconds(200), [&] { return stopRequested; })) {
            const auto now = Clock::now();
            const auto limit = std::chrono::seconds(options.requestTimeoutSeconds);
            std::vector<std::string> cut;
            std::map<std::string, int> summed;
            {
                std::lock_guard connLock(connMu);
                for (auto& [connection, c] : conns) {
                    if (c->phase == Phase::Waiting && !c->cut && now - c->since > limit) {
                        // The socket stays open until libmicrohttpd sees the shutdown and closes it
                        // itself, after telling us (see Connection): no descriptor is closed twice.
                        ::shutdown(c->fd, SHUT_RDWR);
                        c->cut = true;
                        cut.push_back(c->peer);
                    }
                }
                if (now - lastSecond >= std::chrono::seconds(1)) {
                    summed.swap(refusedUnlogged);
                    refusedThisSecond.clear();
                    lastSecond = now;
                }
            }
            for (const std::string& peer : cut) {
                Log("%s cut: no whole request within %d s (idle or too slow)", peer.c_str(),
                    options.requestTimeoutSeconds);
            }
            for (const auto& [peer, n] : summed) {
                Log("%s refused: %d more connections over the limits in the last second", peer.c_str(), n);
            }
        }
    }

    static void LibraryLog(void* cls, const char* format, va_list ap) {
        auto* self = static_cast<Impl*>(cls);
        if (!self->options.log) {
            return;
        }
        char line[512];
        std::vsnprintf(line, sizeof line, format, ap);
        std::size_t n = std::strlen(line);
        while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) {
            line[--n] = '\0';
        }
        self->Log("http: %s", static_cast<const char*>(line));
    }
};

HttpServer::HttpServer(RenewalService& service, HttpOptions options)
    : impl_(std::make_unique<Impl>(service, std::move(options))) {}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Tls() const {
    return !impl_->options.certFile.empty() && !impl_->options.keyFile.empty();
}

bool HttpServer::Bind(std::string& error) {
    Impl& s = *impl_;
    const HttpOptions& o = s.options;
    if (Tls() &&
        (!ReadWholeFile(o.certFile, s.certPem, error) || !ReadWholeFile(o.keyFile, s.keyPem, error))) {
        error = "cannot use the TLS certificate or key (" + o.certFile + ", " + o.keyFile + "): " + error;
        return false;
    }
    if (o.port < 0 || o.port > 65535) {
        error = "port out of range: " + std::to_string(o.port);
        return false;
    }
    // The socket is made here, so that a port in use is refused with its reason (no SO_REUSEPORT: a
    // second server must not silently share the port).
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(o.listen.c_str(), std::to_string(o.port).c_str(), &hints, &found) != 0 || !found) {
        error = "cannot listen on " + o.listen + " (not an address of this machine)";
        return false;
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
        error = "cannot listen on " + o.listen + " port " + std::to_string(o.port) + ": " +
                std::strerror(bindErrno);
        return false;
    }
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    s.listenFd = fd;
    // The event loop accepts until the backlog is empty: the socket must never block it.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);

    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (Tls()) {
        flags |= MHD_USE_TLS;
    }
    // Each connection's buffer for its request head is small: a request head of the protocol is a few
    // hundred bytes. The library's own idle timeout, longer than the deadline, catches what the deadline
    // watcher does not watch (an answer the client does not read).
    s.daemon = MHD_start_daemon(
        flags, 0, &Impl::Accept, &s, &Impl::Handle, &s, MHD_OPTION_EXTERNAL_LOGGER, &Impl::LibraryLog, &s,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(o.maxConnections + 16), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(2 * o.requestTimeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        static_cast<std::size_t>(16 * 1024), MHD_OPTION_NOTIFY_CONNECTION, &Impl::Connection, &s,
        MHD_OPTION_NOTIFY_COMPLETED, &Impl::Completed, &s, Tls() ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END,
        s.keyPem.c_str(), MHD_OPTION_HTTPS_MEM_CERT, s.certPem.c_str(), MHD_OPTION_END);
    if (s.daemon == nullptr) {
        ::close(fd);
        s.listenFd = -1;
        error = Tls() ? "cannot use the TLS certificate or key (" + o.certFile + ", " + o.keyFile + ")"
                      : "cannot start the HTTP service on " + o.listen;
        return false;
    }
    int workers = o.threads > 0 ? o.threads : 8;
    for (int i = 0; i < workers; ++i) {
        s.workers.emplace_back([&s] { s.Work(); });
    }
    s.watcher = std::thread([&s] { s.Watch(); });
    return true;
}

void HttpServer::Run() {
    std::unique_lock lock(impl_->runMu);
    impl_->runCv.wait(lock, [&] { return impl_->stopped || impl_->daemon == nullptr; });
}

void HttpServer::Stop() {
    Impl& s = *impl_;
    {
        std::lock_guard lock(s.runMu);
        if (s.stopRequested || s.daemon == nullptr) {
            return;
        }
        s.stopRequested = true;
    }
    // No new connections; requests already with the workers are answered first.
    MHD_socket listen = MHD_quiesce_daemon(s.daemon);
    {
        std::lock_guard lock(s.workMu);
        s.workersStop = true;
    }
    s.workCv.notify_all();
    s.runCv.notify_all();
    for (std::thread& t : s.workers) {
        t.join();
    }
    s.workers.clear();
    s.watcher.join();
    MHD_stop_daemon(s.daemon);
    if (listen != MHD_INVALID_SOCKET) {
        ::close(listen);
    }
    s.daemon = nullptr;
    {
        std::lock_guard lock(s.runMu);
        s.stopped = true;
    }
    s.runCv.notify_all();
}

} // namespace rv::server
