#include "core/http_server.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <ctime>

namespace rv::server {
namespace {

using Clock = std::chrono::steady_clock;

// What the handler of the current request left for the log line (the logger runs on the same thread
// right after it).
thread_local Clock::time_point tStart;
thread_local bool tStarted = false;
thread_local std::string tCode;
thread_local std::string tDetail;

std::string U(const char8_t* text) {
    return reinterpret_cast<const char*>(text);
}

// The client sends the JSON text followed by one zero byte; only that one byte is not part of the JSON.
std::string StripTerminator(const std::string& body) {
    if (!body.empty() && body.back() == '\0') {
        return body.substr(0, body.size() - 1);
    }
    return body;
}

void Send(httplib::Response& res, const Answer& answer) {
    tCode = answer.code;
    tDetail = answer.detail;
    res.set_content(answer.body, "application/json; charset=utf-8");
}

std::string Stamp() {
    std::time_t t = std::time(nullptr);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

} // namespace

struct HttpServer::Impl {
    RenewalService& service;
    HttpOptions options;
    std::unique_ptr<httplib::Server> server;
};

HttpServer::HttpServer(RenewalService& service, HttpOptions options)
    : impl_(new Impl{service, std::move(options), nullptr}) {
    const HttpOptions& o = impl_->options;
    if (!o.certFile.empty() && !o.keyFile.empty()) {
        impl_->server = std::make_unique<httplib::SSLServer>(o.certFile.c_str(), o.keyFile.c_str());
    } else {
        impl_->server = std::make_unique<httplib::Server>();
    }
    httplib::Server& svr = *impl_->server;
    int threads = o.threads > 0 ? o.threads : 16;
    svr.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<std::size_t>(threads)); };
    svr.set_payload_max_length(o.maxBody);
    // SO_REUSEADDR only: the library's default adds SO_REUSEPORT, with which a second server would
    // silently share a port that is already in use instead of refusing it.
    svr.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    svr.set_read_timeout(5, 0);
    svr.set_write_timeout(5, 0);
    svr.set_tcp_nodelay(true);
    svr.set_keep_alive_timeout(2);
    svr.set_keep_alive_max_count(100);

    svr.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        tStart = Clock::now();
        tStarted = true;
        tCode.clear();
        tDetail.clear();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    RenewalService* s = &impl_->service;
    svr.Post("/selfIcUpdate", [s](const httplib::Request& req, httplib::Response& res) {
        Send(res, s->Probe(StripTerminator(req.body)));
    });
    svr.Post("/selfIcUpdate/getRandom", [s](const httplib::Request& req, httplib::Response& res) {
        Send(res, s->GetRandom(StripTerminator(req.body)));
    });
    svr.Post("/selfIcUpdate/verifyInfo", [s](const httplib::Request& req, httplib::Response& res) {
        Send(res, s->VerifyInfo(StripTerminator(req.body)));
    });
    svr.Post("/selfIcUpdate/upadteCert", [s](const httplib::Request& req, httplib::Response& res) {
        Send(res, s->UpdateCert(StripTerminator(req.body)));
    });
    // Every other outcome still answers in the service's form, so no client ever sees a bare error page.
    svr.set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (res.status == 413) {
                Send(res, Refusal(code::kTooLarge, U(u8"请求数据过大！")));
            } else if (res.status == 404 || res.status == 405) {
                Send(res, Refusal(code::kNoSuchPath, U(u8"请求的服务不存在！")));
            } else {
                Send(res, Refusal(code::kBadRequest, U(u8"请求数据格式错误！")));
            }
            return httplib::Server::HandlerResponse::Handled;
        }));
    // The handler's signature is cpp-httplib's: the exception pointer comes by value.
    svr.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                 std::exception_ptr ep) { // NOLINT(performance-unnecessary-value-param)
        Answer a = Refusal(code::kInternal, U(u8"服务器内部错误，请稍后重试！"));
        try {
            if (ep) {
                std::rethrow_exception(ep);
            }
        } catch (const std::exception& e) {
            a.detail = e.what();
        } catch (...) {
            a.detail = "unknown exception";
        }
        res.status = 500;
        Send(res, a);
    });
    if (o.log) {
        svr.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            double ms =
                tStarted ? std::chrono::duration<double, std::milli>(Clock::now() - tStart).count() : 0.0;
            std::fprintf(stderr, "%s %s %s %s %d code=%s %zuB %.1fms%s%s\n", Stamp().c_str(),
                         req.remote_addr.c_str(), req.method.c_str(), req.path.c_str(), res.status,
                         tCode.empty() ? "-" : tCode.c_str(), req.body.size(), ms, tDetail.empty() ? "" : " ",
                         tDetail.c_str());
            tStarted = false;
            tCode.clear();
            tDetail.clear();
        });
    }
}

HttpServer::~HttpServer() {
    Stop();
}

bool HttpServer::Tls() const {
    return !impl_->options.certFile.empty() && !impl_->options.keyFile.empty();
}

bool HttpServer::Bind(std::string& error) {
    httplib::Server& svr = *impl_->server;
    if (!svr.is_valid()) {
        error = "cannot use the TLS certificate or key (" + impl_->options.certFile + ", " +
                impl_->options.keyFile + ")";
        return false;
    }
    const HttpOptions& o = impl_->options;
    if (o.port < 0 || o.port > 65535) {
        error = "port out of range: " + std::to_string(o.port);
        return false;
    }
    if (o.port == 0) {
        port_ = svr.bind_to_any_port(o.listen);
        if (port_ <= 0) {
            error = "cannot listen on " + o.listen;
            port_ = 0;
            return false;
        }
    } else {
        if (!svr.bind_to_port(o.listen, o.port)) {
            error = "cannot listen on " + o.listen + " port " + std::to_string(o.port) +
                    " (in use, or not an address of this machine)";
            return false;
        }
        port_ = o.port;
    }
    return true;
}

void HttpServer::Run() {
    impl_->server->listen_after_bind();
}

void HttpServer::RunInBackground() {
    thread_ = std::thread([this] { Run(); });
    // Return once the listener accepts, so the caller can connect at once.
    for (int i = 0; i < 500 && !impl_->server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void HttpServer::Stop() {
    if (impl_ && impl_->server) {
        impl_->server->stop();
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace rv::server
