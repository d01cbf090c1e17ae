#include "core/http_server.h"

#include "core/files.h"
#include "core/listener.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
#include <unordered_map>
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

} // namespace

// Connections are counted per client address, an IPv6 client per /64 (one host commonly holds a whole
// /64, so single IPv6 addresses would cap nothing). An IPv4 address mapped into IPv6 counts as itself.
std::string ConnectionGroup(const sockaddr* addr) {
    if (addr == nullptr || addr->sa_family != AF_INET6) {
        return AddressText(addr);
    }
    in6_addr a = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a)) {
        char buf[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &a.s6_addr[12], buf, sizeof buf);
        return buf;
    }
    std::memset(&a.s6_addr[8], 0, 8);
    char buf[INET6_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET6, &a, buf, sizeof buf);
    return std::string(buf) + "/64";
}

namespace {

// Log lines carry what peers sent (paths, methods, header values): every byte outside printable ASCII is
// written as \xHH, and a backslash as \\, so that no peer can forge or break a line.
std::string Escape(const char* text) {
    static const char* kHex = "0123456789abcdef";
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '\\') {
            out += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The client sends the JSON text followed by one zero byte; only that one byte is not part of the JSON.
std::string StripTerminator(std::string body) {
    if (!body.empty() && body.back() == '\0') {
        body.pop_back();
    }
    return body;
}

// Where a connection stands, for the deadline watcher and for eviction.
enum class Phase { Waiting, Working };

struct Conn;

// The connections of one client address (an IPv6 client: of one /64).
struct Group {
    int count = 0;            // open, cut ones included until libmicrohttpd has closed them
    int cut = 0;              // cut by the server, not closed yet: no longer counted against the limit
    std::vector<Conn*> conns; // in the order they came
};

struct Conn {
    int fd = -1;
    std::string peer;
    std::string groupKey;
    Group* group = nullptr; // with connMu
    Phase phase = Phase::Waiting;
    Clock::time_point since; // start of the current wait for a whole request
    int requests = 0;        // request heads begun, on the event thread
    int answered = 0;
    int finished = 0;             // requests ended (answered and sent, or broken off), on the event thread
    std::atomic<bool> cut{false}; // shut down by the server (deadline, eviction, size); set with connMu
};

struct Request {
    Conn* conn = nullptr;
    std::string source; // the client as the verification limits count it (see HttpOptions::trustedProxies)
    std::string method, path;
    std::string body;
    std::size_t received = 0;
    std::size_t charged = 0; // body bytes counted against the budget of buffered bodies
    Clock::time_point start;
    bool begun = false; // the handler saw the whole head
    bool dispatched = false;
    bool replied = false;
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
    std::size_t bodyBudget = 0;
    std::size_t bodyBytes = 0; // buffered body bytes of all connections, on the event thread

    // Connections, their count per address, and how many of them the server has cut but libmicrohttpd
    // has not closed yet (they no longer count against the limits).
    std::mutex connMu;
    std::map<MHD_Connection*, Conn*> conns;
    std::unordered_map<std::string, Group> groups; // elements stay put: Conn::group points into it
    std::size_t cutOpen = 0;
    std::atomic<bool> stopping{false};
    std::size_t closedAtStop = 0; // on the event thread

    // Lines about single connections (refused, cut, closed) and lines about answers, each limited per
    // address and in all; what goes over is summed up once a second.
    struct Budget {
        int perPeer;
        int all;
        const char* what;       // of one address: "lines about its connections", "answers"
        const char* whatOthers; // of others: "lines about the connections of", "answers to"
        std::map<std::string, int> linesThisSecond; // per peer
        int allLinesThisSecond = 0;
        std::map<std::string, int> unlogged;
    };
    std::mutex logMu;
    Budget connectionLines{5, 50, "lines about its connections", "lines about the connections of", {}, 0, {}};
    Budget answerLines{20, 200, "answers", "answers to", {}, 0, {}};

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
        std::fprintf(stderr, "%s %s\n", Stamp().c_str(), Escape(line).c_str());
    }

    // Whether one more line of `budget` about `peer` may be written this second; counts it otherwise.
    bool Admit(Budget& budget, const std::string& peer) {
        std::lock_guard lock(logMu);
        if (++budget.linesThisSecond[peer] > budget.perPeer || ++budget.allLinesThisSecond > budget.all) {
            ++budget.unlogged[peer];
            return false;
        }
        return true;
    }

    // A line about one connection. A few a second are written per address, and a few dozen in all; the
    // rest are summed up each second, so that a flood cannot turn the log into the bottleneck.
    template <typename... Args> void LogPeer(const std::string& peer, const char* format, Args... args) {
        if (options.log && Admit(connectionLines, peer)) {
            Log(format, args...);
        }
    }

    void LogSummary() {
        for (Budget* budget : {&connectionLines, &answerLines}) {
            std::map<std::string, int> summed;
            {
                std::lock_guard lock(logMu);
                summed.swap(budget->unlogged);
                budget->linesThisSecond.clear();
                budget->allLinesThisSecond = 0;
            }
            if (summed.empty()) {
                continue;
            }
            std::vector<std::pair<int, std::string>> byCount;
            int total = 0;
            for (const auto& [peer, n] : summed) {
                byCount.emplace_back(n, peer);
                total += n;
            }
            std::sort(byCount.rbegin(), byCount.rend());
            int shown = 0;
            for (std::size_t i = 0; i < byCount.size() && i < 5; ++i) {
                Log("%s: %d more %s left out in the last second", byCount[i].second.c_str(), byCount[i].first,
                    budget->what);
                shown += byCount[i].first;
            }
            if (byCount.size() > 5) {
                Log("%d more %s %zu other addresses left out in the last second", total - shown,
                    budget->whatOthers, byCount.size() - 5);
            }
        }
    }

    // A connection moves between waiting and working; with connMu held.
    void SetPhase(Conn* c, Phase phase) {
        if (c->phase != phase && options.metrics != nullptr) {
            options.metrics->ConnectionMoved(Gauge(c->phase), Gauge(phase));
        }
        c->phase = phase;
    }
    static ServerMetrics::Connection Gauge(Phase phase) {
        return phase == Phase::Waiting ? ServerMetrics::Connection::Waiting
                                       : ServerMetrics::Connection::Working;
    }

    // With connMu held.
    void MarkCut(Conn* c) {
        if (!c->cut.exchange(true)) {
            ++cutOpen;
            ++c->group->cut;
        }
    }

    // ---- libmicrohttpd callbacks, all on its event thread ----

    static MHD_Result Accept(void* cls, const sockaddr* addr, socklen_t) {
        auto* self = static_cast<Impl*>(cls);
        const std::string group = ConnectionGroup(addr);
        std::string evicted, evictedIdle;
        const char* refused = nullptr;
        {
            std::lock_guard lock(self->connMu);
            auto it = self->groups.find(group);
            int count = it == self->groups.end() ? 0 : it->second.count - it->second.cut;
            if (count >= self->options.maxConnectionsPerAddress) {
                // Behind one address (an office's NAT) live many clients: the connection of that address
                // that has been idle longest (no request begun since its last answer) gives way to the
                // newcomer. Requests in progress are never cut for it.
                Conn* idle = self->IdleVictim(it->second);
                if (idle != nullptr) {
                    ::shutdown(idle->fd, SHUT_RDWR); // libmicrohttpd closes it (see Watch)
                    self->MarkCut(idle);
                    evictedIdle = idle->peer;
                    --count;
                } else {
                    refused = "too many connections from this address, none of them idle";
                }
            }
            if (refused == nullptr && self->conns.size() - self->cutOpen >=
                                          static_cast<std::size_t>(self->options.maxConnections)) {
                // Full: the address holding the most connections gives up the one that has waited longest
                // for a whole request, if it holds more than the newcomer's. Many addresses filling the
                // server can then only crowd each other out, never a client with few connections.
                Conn* victim = self->Victim();
                if (victim != nullptr && victim->group->count - victim->group->cut > count) {
                    ::shutdown(victim->fd, SHUT_RDWR); // libmicrohttpd closes it (see Watch)
                    self->MarkCut(victim);
                    evicted = victim->peer;
                } else {
                    refused = "too many connections in all";
                }
            }
        }
        std::string peer = AddressText(addr);
        if (ServerMetrics* m = self->options.metrics) {
            if (refused != nullptr) {
                m->ConnectionRefused(refused == std::string("too many connections in all") ? "in_all"
                                                                                           : "per_address");
            }
            for (const std::string* e : {&evicted, &evictedIdle}) {
                if (!e->empty()) {
                    m->ConnectionCut("evicted");
                }
            }
        }
        if (refused != nullptr) {
            self->LogPeer(peer, "%s refused: %s", peer.c_str(), refused);
            return MHD_NO;
        }
        if (!evicted.empty()) {
            // Counted against the newcomer, whose arrival it is.
            self->LogPeer(peer, "%s cut: no whole request yet, evicted for %s (too many connections in all)",
                          evicted.c_str(), peer.c_str());
        }
        if (!evictedIdle.empty()) {
            self->LogPeer(
                peer, "%s cut: idle, evicted for a newcomer from %s (too many connections from this address)",
                evictedIdle.c_str(), peer.c_str());
        }
        return MHD_YES;
    }

    // The connection of `group` idle longest: not cut, waiting, and without a request begun since its
    // last one ended; with connMu held.
    static Conn* IdleVictim(const Group& group) {
        Conn* victim = nullptr;
        for (Conn* c : group.conns) {
            if (!c->cut && c->phase == Phase::Waiting && c->requests == c->finished &&
                (victim == nullptr || c->since < victim->since)) {
                victim = c;
            }
        }
        return victim;
    }

    // The oldest connection still waiting for its whole request, of the address that holds the most
    // connections; with connMu held. A scan of all connections, which only a full server does.
    Conn* Victim() {
        Conn* victim = nullptr;
        for (const auto& [connection, c] : conns) {
            if (c->cut || c->phase != Phase::Waiting) {
                continue;
            }
            const int held = c->group->count - c->group->cut;
            const int victimHeld = victim == nullptr ? 0 : victim->group->count - victim->group->cut;
            if (victim == nullptr || held > victimHeld || (held == victimHeld && c->since < victim->since)) {
                victim = c;
            }
        }
        return victim;
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
            c->groupKey = ConnectionGroup(addr ? addr->client_addr : nullptr);
            c->group = &self->groups[c->groupKey];
            ++c->group->count;
            c->group->conns.push_back(c);
            if (self->options.metrics != nullptr) {
                self->options.metrics->ConnectionOpened();
            }
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
            if (c->cut) {
                --self->cutOpen;
                --c->group->cut;
            }
            std::erase(c->group->conns, c);
            if (--c->group->count <= 0) {
                self->groups.erase(c->groupKey);
            }
            if (self->options.metrics != nullptr) {
                self->options.metrics->ConnectionClosed(Gauge(c->phase));
            }
        }
        if (self->stopping) {
            // Idle connections closed by the server's own stop: one line for all of them (see Stop).
            self->closedAtStop += c->requests == 0 && !c->cut ? 1 : 0;
        } else if (c->requests == 0 && !c->cut) {
            // No request line arrived: the client closed, or sent one libmicrohttpd could not read (it
            // closes those without a word).
            self->LogPeer(c->peer,
                          "%s closed without a request (by the client, or no request line could be read)",
                          c->peer.c_str());
        }
        delete c;
        *socketContext = nullptr;
    }

    // The request line has arrived: its request starts here, so that a head libmicrohttpd refuses itself
    // (too large, malformed) is still seen and logged (see Completed).
    static void* RequestLine(void* cls, const char* uri, MHD_Connection* connection) {
        (void)cls;
        auto* r = new Request;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        r->conn = info ? static_cast<Conn*>(info->socket_context) : nullptr;
        r->path = uri ? uri : "";
        r->start = Clock::now();
        if (r->conn != nullptr) {
            ++r->conn->requests;
        }
        return r;
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
        self->bodyBytes -= r->charged;
        if ((code != MHD_REQUEST_TERMINATED_COMPLETED_OK || !r->replied) && c != nullptr && !c->cut &&
            !self->stopping) {
            // libmicrohttpd answers some requests itself (a head over its memory, a malformed head or
            // chunk) without calling the handler for an answer: the status it queued says so.
            const MHD_ConnectionInfo* status =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
            const char* why = code == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED   ? "no progress (timeout)"
                              : code == MHD_REQUEST_TERMINATED_CLIENT_ABORT    ? "closed by the client"
                              : code == MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN ? "server stopping"
                              : code == MHD_REQUEST_TERMINATED_READ_ERROR      ? "closed by the client"
                                                                               : "error on the connection";
            if (status != nullptr && !r->replied) {
                self->LogPeer(c->peer, "%s %s %s refused by libmicrohttpd: HTTP %u (%s the head)",
                              c->peer.c_str(), r->method.empty() ? "-" : r->method.c_str(), r->path.c_str(),
                              status->http_status, r->begun ? "after" : "in");
            } else {
                self->LogPeer(c->peer, "%s %s %s cut: %s %s, after %zu body bytes", c->peer.c_str(),
                              r->method.empty() ? "-" : r->method.c_str(), r->path.c_str(), why,
                              r->begun ? "in the body" : "in the head", r->received);
            }
        }
        if (c != nullptr) {
            std::lock_guard lock(self->connMu);
            self->SetPhase(c, Phase::Waiting);
            c->since = Clock::now();
            ++c->finished;
        }
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
        r->replied = ok == MHD_YES;
        double ms = std::chrono::duration<double, std::milli>(Clock::now() - r->start).count();
        // Behind a trusted load balancer the line names the client it forwarded for.
        const std::string peer = !r->conn ? std::string("?")
                                 : r->source.empty() || r->source == r->conn->groupKey
                                     ? r->conn->peer
                                     : r->conn->peer + " for " + r->source;
        // A renewal issued is always written: each takes a card's signature, so no flood can make many.
        // Every other answer is limited like the lines about connections, and summed up beyond that.
        const bool issued =
            status == 200 && answer.code == code::kOk && r->path == "/selfIcUpdate/upadteCert";
        if (options.log && (issued || Admit(answerLines, peer))) {
            Log("%s %s %s %d code=%s %zuB %.1fms%s%s", peer.c_str(), r->method.c_str(), r->path.c_str(),
                status, answer.code.empty() ? "-" : answer.code.c_str(), r->received, ms,
                answer.detail.empty() ? "" : " ", answer.detail.c_str());
        }
        if (options.metrics != nullptr) {
            options.metrics->Answered(r->path, answer.code, ms / 1000);
        }
        if (r->conn != nullptr) {
            ++r->conn->answered;
        }
        return ok;
    }

    // The connection is cut in the middle of a body: no answer can be queued there.
    MHD_Result CutBody(Request* r, const char* why, const char* reason) {
        if (options.metrics != nullptr) {
            options.metrics->ConnectionCut(reason);
        }
        const std::string peer = r->conn ? r->conn->peer : "?";
        LogPeer(peer, "%s %s %s cut: %s", peer.c_str(), r->method.c_str(), r->path.c_str(), why);
        if (r->conn != nullptr) {
            std::lock_guard lock(connMu);
            MarkCut(r->conn);
        }
        return MHD_NO;
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char* upload, std::size_t* uploadSize,
                             void** requestContext) {
        auto* self = static_cast<Impl*>(cls);
        auto* r = static_cast<Request*>(*requestContext);
        if (r == nullptr) {
            r = static_cast<Request*>(RequestLine(cls, url, connection));
            *requestContext = r;
        }
        if (!r->begun) {
            r->begun = true;
            r->method = method ? method : "";
            r->path = url ? url : "";
            return self->Begin(connection, r);
        }
        if (*uploadSize > 0) {
            // Chunked bodies arrive here decoded, piece by piece: counted like any other.
            if (r->body.size() + *uploadSize > self->options.maxBody) {
                char why[64];
                std::snprintf(why, sizeof why, "body over %zu bytes", self->options.maxBody);
                return self->CutBody(r, why, "body_size");
            }
            if (self->bodyBytes + *uploadSize > self->bodyBudget) {
                char why[96];
                std::snprintf(why, sizeof why, "the bodies being received reached %zu bytes in all",
                              self->bodyBudget);
                return self->CutBody(r, why, "body_budget");
            }
            r->body.append(upload, *uploadSize);
            r->charged += *uploadSize;
            self->bodyBytes += *uploadSize;
            r->received = r->body.size();
            *uploadSize = 0;
            return MHD_YES;
        }
        if (!r->dispatched) {
            r->dispatched = true;
            if (r->conn != nullptr) {
                std::lock_guard lock(self->connMu);
                self->SetPhase(r->conn, Phase::Working);
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
    static MHD_Result LastForwarded(void* cls, MHD_ValueKind, const char* key, const char* value) {
        if (key != nullptr && value != nullptr && strcasecmp(key, "X-Forwarded-For") == 0) {
            *static_cast<std::string*>(cls) = value;
        }
        return MHD_YES;
    }

    // The client as the verification limits count it: the connection's address (an IPv6 client: its
    // /64), or, from a trusted load balancer, the last address of the last X-Forwarded-For header (the one
    // the balancer added; what a client sent itself comes before it). On the event thread.
    std::string SourceOf(MHD_Connection* connection, const Conn* c) const {
        if (c == nullptr) {
            return "?";
        }
        const auto& trusted = options.trustedProxies;
        if (std::find(trusted.begin(), trusted.end(), c->peer) == trusted.end() &&
            std::find(trusted.begin(), trusted.end(), c->groupKey) == trusted.end()) {
            return c->groupKey;
        }
        std::string forwarded;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &Impl::LastForwarded, &forwarded);
        std::string last =
            forwarded.substr(forwarded.rfind(',') == std::string::npos ? 0 : forwarded.rfind(',') + 1);
        last.erase(0, last.find_first_not_of(" \t"));
        last.erase(last.find_last_not_of(" \t") + 1);
        sockaddr_storage addr{};
        auto* v4 = reinterpret_cast<sockaddr_in*>(&addr);
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&addr);
        if (inet_pton(AF_INET, last.c_str(), &v4->sin_addr) == 1) {
            addr.ss_family = AF_INET;
        } else if (inet_pton(AF_INET6, last.c_str(), &v6->sin6_addr) == 1) {
            addr.ss_family = AF_INET6;
        } else {
            return c->groupKey; // no client named: the balancer's own request (a health check)
        }
        return ConnectionGroup(reinterpret_cast<const sockaddr*>(&addr));
    }

    MHD_Result Begin(MHD_Connection* connection, Request* r) {
        r->source = SourceOf(connection, r->conn);
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
        // Both framings at once is how requests are smuggled past a proxy that reads the other one; no
        // client of this protocol sends it.
        if (length != nullptr &&
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr) {
            Answer a = Refusal(code::kBadRequest, U(u8"请求数据格式错误！"));
            a.detail = "both Content-Length and Transfer-Encoding";
            return Reply(connection, r, 400, a, true);
        }
        if (length != nullptr) {
            char* end = nullptr;
            errno = 0;
            unsigned long long n = std::strtoull(length, &end, 10);
            if (errno != 0 || end == length || n > options.maxBody) {
                Answer a = Refusal(code::kTooLarge, U(u8"请求数据过大！"));
                a.detail = std::string("Content-Length ") + length;
                return Reply(connection, r, 413, a, true);
            }
            // Nothing is set aside for the declared length: memory follows the bytes that arrive. A body
            // that would not fit beside those being received is refused before it is read.
            if (bodyBytes + n > bodyBudget) {
                Answer a = Refusal(code::kBusy, U(u8"服务器繁忙，请稍后重试！"));
                a.detail = "the bodies being received hold " + std::to_string(bodyBytes) + " of " +
                           std::to_string(bodyBudget) + " bytes";
                return Reply(connection, r, 503, a, true);
            }
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
                    r->answer = service.VerifyInfo(body, r->source);
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
            {
                std::lock_guard connLock(connMu);
                for (auto& [connection, c] : conns) {
                    if (c->phase == Phase::Waiting && !c->cut && now - c->since > limit) {
                        // The socket stays open until libmicrohttpd sees the shutdown and closes it
                        // itself, after telling us (see Connection): no descriptor is closed twice.
                        ::shutdown(c->fd, SHUT_RDWR);
                        MarkCut(c);
                        cut.push_back(c->peer);
                    }
                }
            }
            if (options.metrics != nullptr) {
                for (std::size_t i = 0; i < cut.size(); ++i) {
                    options.metrics->ConnectionCut("deadline");
                }
            }
            for (const std::string& peer : cut) {
                LogPeer(peer, "%s cut: no whole request within %d s (idle or too slow)", peer.c_str(),
                        options.requestTimeoutSeconds);
            }
            if (now - lastSecond >= std::chrono::seconds(1)) {
                LogSummary();
                lastSecond = now;
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
        // Its messages name no peer, but a peer can make it write many: limited like the others.
        self->LogPeer("libmicrohttpd", "http: %s", static_cast<const char*>(line));
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
        (!ReadWholeFile(o.certFile, s.certPem, error) || !ReadSecretFile(o.keyFile, s.keyPem, error))) {
        error = "cannot use the TLS certificate or key (" + o.certFile + ", " + o.keyFile + "): " + error;
        return false;
    }
    // The socket is made here, so that a port in use is refused with its reason.
    const int fd = ListenOn(o.listen, o.port, port_, error);
    if (fd < 0) {
        return false;
    }
    s.listenFd = fd;

    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (Tls()) {
        flags |= MHD_USE_TLS;
    }
    // Each connection's buffer for its request head is small: a request head of the protocol is a few
    // hundred bytes. The library's own idle timeout, longer than the deadline, catches what the deadline
    // watcher does not watch (an answer the client does not read).
    // All bodies being received together stay within this (each within --max-body).
    s.bodyBudget = std::max(o.bodyBudget, o.maxBody);
    // libmicrohttpd's own limit leaves room above ours for connections the server has cut (evicted, past
    // the deadline) and the library has not closed yet: a newcomer must reach Accept to evict anybody.
    const auto libraryLimit = static_cast<unsigned>(DescriptorsFor(o.maxConnections));
    s.daemon = MHD_start_daemon(
        flags, 0, &Impl::Accept, &s, &Impl::Handle, &s, MHD_OPTION_EXTERNAL_LOGGER, &Impl::LibraryLog, &s,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, libraryLimit, MHD_OPTION_URI_LOG_CALLBACK,
        &Impl::RequestLine, &s, MHD_OPTION_CONNECTION_TIMEOUT,
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

std::size_t HttpServer::DescriptorsFor(int maxConnections) {
    const auto n = static_cast<std::size_t>(std::max(maxConnections, 1));
    return n + n / 4 + 64;
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
    s.stopping = true;
    MHD_stop_daemon(s.daemon);
    if (s.closedAtStop > 0) {
        s.Log("closed %zu connections that had sent no request, stopping", s.closedAtStop);
    }
    s.LogSummary();
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
