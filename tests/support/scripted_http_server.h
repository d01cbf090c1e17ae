// A scriptable HTTP(S) server on a free loopback port for wire tests. It records every request as it
// arrived (method, target, version, header lines in order, exact body bytes and, for plain HTTP, the raw
// bytes) and answers from a script: per path or in sequence, with status, body, headers, a delay, or by
// dropping the connection. Requests in absolute form ("POST http://host:port/path HTTP/1.1") are served
// too, so the server can stand in as the HTTP proxy named by http_proxy.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace rv::test {

struct RecordedRequest {
    std::string method;
    std::string target;  // as sent: "/path" or, through a proxy, "http://host:port/path"
    std::string version; // "HTTP/1.1"
    // Header lines in the order they arrived, exactly as sent (without the line end). For TLS
    // connections, where the raw bytes are encrypted, they are rebuilt as "Name: value" in name order.
    std::vector<std::string> headerLines;
    std::string body; // exact bytes
    std::string raw;  // request head and body as received (plain HTTP only)

    // Value of the first header with this name (case-insensitive), "" when none; count of such headers.
    std::string Header(const std::string& name) const;
    int HeaderCount(const std::string& name) const;
    // The path of the target, also for absolute-form targets.
    std::string Path() const;
};

struct ScriptedAnswer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json;charset=UTF-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0}; // before answering (bounded by the server's stop)
    bool drop = false;                  // close the connection without any answer
    // Passes the request on to the server on this loopback port and answers with its answer (or, with
    // `drop`, lets it do its work and drops the connection: an answer lost on the way back).
    int forwardPort = 0;
    // Sends the body one byte at a time with this pause between bytes (a server that drips).
    std::chrono::milliseconds dripEvery{0};
    // With `forwardPort`: what a party in the middle makes of the forwarded answer's body before it goes
    // back (runs on the server's thread).
    std::function<std::string(const std::string&)> rewrite;

    static ScriptedAnswer Json(std::string body) {
        ScriptedAnswer a;
        a.body = std::move(body);
        return a;
    }
    static ScriptedAnswer Status(int status, std::string body = {}) {
        ScriptedAnswer a;
        a.status = status;
        a.body = std::move(body);
        return a;
    }
    static ScriptedAnswer Drop() {
        ScriptedAnswer a;
        a.drop = true;
        return a;
    }
    static ScriptedAnswer Forward(int port, bool dropAnswer = false) {
        ScriptedAnswer a;
        a.forwardPort = port;
        a.drop = dropAnswer;
        return a;
    }
    static ScriptedAnswer Rewrite(int port, std::function<std::string(const std::string&)> rewrite) {
        ScriptedAnswer a;
        a.forwardPort = port;
        a.rewrite = std::move(rewrite);
        return a;
    }
};

class ScriptedHttpServer {
public:
    // Plain HTTP.
    ScriptedHttpServer();
    // HTTPS with the given PEM files (certificate chain, private key).
    ScriptedHttpServer(const std::string& certPemFile, const std::string& keyPemFile);
    ~ScriptedHttpServer();
    ScriptedHttpServer(const ScriptedHttpServer&) = delete;
    ScriptedHttpServer& operator=(const ScriptedHttpServer&) = delete;

    int Port() const;
    // "http://127.0.0.1:<port>" (or https), no trailing slash: a realmName value.
    std::string BaseUrl() const;

    // The answer for one path, from now on (replaces an earlier one for that path).
    void Script(const std::string& path, ScriptedAnswer answer);
    // Answers for one path used in order; the last one repeats (replaces an earlier script of the path).
    void ScriptSequence(const std::string& path, std::vector<ScriptedAnswer> answers);
    // Answers used in order for the next requests whatever their path, before the per-path script.
    void Queue(ScriptedAnswer answer);
    // Answer when nothing else is scripted (default: 404 with an empty body).
    void SetDefault(ScriptedAnswer answer);

    std::vector<RecordedRequest> Requests() const;
    std::size_t RequestCount() const;
    // Bytes each connection's client sent, in the order the connections came, also for requests the
    // HTTP layer refused before any handler saw them (cpp-httplib answers 413 to url-encoded bodies over
    // 8192 bytes, for instance). Encrypted bytes for TLS.
    std::vector<std::string> RawConnections() const;
    void ClearRequests();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Sets or unsets an environment variable for its lifetime.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* valueOrNull);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_, old_;
    bool had_ = false;
};

// Removes every proxy variable libcurl reads for its lifetime, so loopback tests speak directly.
class NoProxyEnv {
public:
    NoProxyEnv();

private:
    std::vector<std::unique_ptr<ScopedEnv>> vars_;
};

} // namespace rv::test
