#include "core/admin_server.h"

#include "core/listener.h"
#include "core/server_metrics.h"

#include <microhttpd.h>

#include <unistd.h>

#include <cstring>
#include <mutex>

namespace rv::server {

using Clock = std::chrono::steady_clock;

struct AdminServer::Impl {
    Impl(const metrics::Registry& r, ServerMetrics* m, AdminOptions o)
        : registry(r), serverMetrics(m), options(std::move(o)) {}

    const metrics::Registry& registry;
    ServerMetrics* serverMetrics;
    AdminOptions options;
    MHD_Daemon* daemon = nullptr;
    int listenFd = -1;

    // /metrics: a token bucket, refilled at scrapesPerSecond.
    std::mutex scrapeMu;
    double tokens = 0;
    Clock::time_point refilled = Clock::now();

    // /readyz: the last outcome, and when it was found; one check reaches the store at a time.
    std::mutex readyMu;
    std::mutex checkMu;
    bool checked = false;
    bool readyOk = false;
    std::string readyReason;
    Clock::time_point readyAt;

    bool TakeScrape() {
        std::lock_guard lock(scrapeMu);
        const auto now = Clock::now();
        const double rate = std::max(options.scrapesPerSecond, 1);
        tokens = std::min(rate, tokens + rate * std::chrono::duration<double>(now - refilled).count());
        refilled = now;
        if (tokens < 1) {
            return false;
        }
        tokens -= 1;
        return true;
    }

    // The last outcome when it is younger than readyCache, or when `stale` and one is known at all.
    bool Known(bool stale, bool& ok, std::string& reason) {
        std::lock_guard lock(readyMu);
        if (!checked || (!stale && Clock::now() - readyAt >= options.readyCache)) {
            return false;
        }
        ok = readyOk;
        reason = readyReason;
        return true;
    }

    // The store's answer, at most readyCache old. While another request is asking the store, a known
    // outcome is given rather than a second question queued behind the first.
    bool Ready(std::string& reason) {
        bool known = false;
        if (Known(false, known, reason)) {
            return known;
        }
        std::unique_lock check(checkMu, std::try_to_lock);
        if (!check.owns_lock()) {
            if (Known(true, known, reason)) {
                return known;
            }
            check.lock(); // nothing known yet: wait for the check under way
            if (Known(false, known, reason)) {
                return known;
            }
        }
        std::string why;
        bool ok = false;
        try {
            ok = options.ready ? options.ready(why) : true;
        } catch (const std::exception& e) {
            why = e.what();
        }
        if (serverMetrics != nullptr) {
            serverMetrics->StoreReady(ok);
        }
        std::lock_guard lock(readyMu);
        checked = true;
        readyOk = ok;
        readyReason = why;
        readyAt = Clock::now();
        reason = why;
        return ok;
    }

    static MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& body,
                           const char* type, bool retryLater = false) {
        MHD_Response* response = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                                 MHD_RESPMEM_MUST_COPY);
        if (response == nullptr) {
            return MHD_NO;
        }
        MHD_add_response_header(response, "Content-Type", type);
        MHD_add_response_header(response, "Cache-Control", "no-store");
        if (retryLater) {
            MHD_add_response_header(response, "Retry-After", "1");
        }
        MHD_Result ok = MHD_queue_response(connection, status, response);
        MHD_destroy_response(response);
        return ok;
    }

    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char*, const char*, std::size_t* uploadSize, void** requestContext) {
        auto* self = static_cast<Impl*>(cls);
        static int seen;
        if (*requestContext == nullptr) {
            // First call: the head only. A body is refused before it is read.
            *requestContext = &seen;
            const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length");
            const char* chunked =
                MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Transfer-Encoding");
            if ((length != nullptr && std::strcmp(length, "0") != 0) || chunked != nullptr) {
                return Send(connection, 413, "no request body here\n", "text/plain; charset=utf-8");
            }
            return MHD_YES;
        }
        if (*uploadSize > 0) {
            return MHD_NO;
        }
        const std::string path = url ? url : "";
        const std::string verb = method ? method : "";
        const char* text = "text/plain; charset=utf-8";
        if (path != "/healthz" && path != "/readyz" && path != "/metrics") {
            return Send(connection, 404, "not found: /healthz, /readyz, /metrics\n", text);
        }
        if (verb != "GET" && verb != "HEAD") {
            return Send(connection, 405, "GET only\n", text);
        }
        if (path == "/healthz") {
            return Send(connection, 200, "ok\n", text);
        }
        if (path == "/readyz") {
            std::string reason;
            return self->Ready(reason) ? Send(connection, 200, "ready\n", text)
                                       : Send(connection, 503, "not ready: " + reason + "\n", text);
        }
        if (!self->TakeScrape()) {
            return Send(connection, 429, "too many scrapes; try again in a second\n", text, true);
        }
        return Send(connection, 200, self->registry.Render(), "text/plain; version=0.0.4; charset=utf-8");
    }
};

AdminServer::AdminServer(const metrics::Registry& registry, ServerMetrics* serverMetrics,
                         AdminOptions options)
    : impl_(std::make_unique<Impl>(registry, serverMetrics, std::move(options))) {}

AdminServer::~AdminServer() {
    Stop();
}

bool AdminServer::Bind(std::string& error) {
    Impl& s = *impl_;
    const AdminOptions& o = s.options;
    s.listenFd = ListenOn(o.listen, o.port, port_, error);
    if (s.listenFd < 0) {
        error = "admin listener: " + error;
        return false;
    }
    s.tokens = std::max(o.scrapesPerSecond, 1);
    // A thread per connection, and few connections: a slow readiness check holds up its own request only.
    s.daemon =
        MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0, nullptr, nullptr,
                         &Impl::Handle, &s, MHD_OPTION_LISTEN_SOCKET, s.listenFd, MHD_OPTION_CONNECTION_LIMIT,
                         static_cast<unsigned>(o.maxConnections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                         static_cast<unsigned>(o.maxConnectionsPerAddress), MHD_OPTION_CONNECTION_TIMEOUT,
                         static_cast<unsigned>(o.timeoutSeconds), MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                         static_cast<std::size_t>(16 * 1024), MHD_OPTION_END);
    if (s.daemon == nullptr) {
        ::close(s.listenFd);
        s.listenFd = -1;
        error = "cannot start the admin listener on " + o.listen;
        return false;
    }
    return true;
}

void AdminServer::Stop() {
    Impl& s = *impl_;
    if (s.daemon != nullptr) {
        MHD_stop_daemon(s.daemon);
        s.daemon = nullptr;
    }
    if (s.listenFd >= 0) {
        ::close(s.listenFd);
        s.listenFd = -1;
    }
}

} // namespace rv::server
