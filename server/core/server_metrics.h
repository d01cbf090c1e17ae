// The renewal service's figures for operators (see docs/server.md, "What an operator watches"): answers
// and refusals by path and code, request latency per path, open connections by state, refused and cut
// connections, store latency and errors per operation, verification-limit hits. Each hook is a few
// relaxed atomic adds on series looked up when this object is made; label values come from fixed lists
// (a path or code nobody knows counts as "other"), so no peer can add series.
#pragma once

#include "core/metrics.h"

#include <array>
#include <string>
#include <string_view>

namespace rv::server {

class ServerMetrics {
public:
    // Registers the families in `registry`, which must outlive this object.
    explicit ServerMetrics(metrics::Registry& registry, const std::string& version = "");

    // A request answered after `seconds`: by the service (`code` its answer code), or by the HTTP layer
    // from the head alone (`code` as it answered, e.g. "11" or "12").
    void Answered(std::string_view path, std::string_view code, double seconds);

    enum class Connection { Waiting, Working };
    void ConnectionOpened() { Conns(Connection::Waiting).Add(1); }
    void ConnectionMoved(Connection from, Connection to) {
        Conns(from).Add(-1);
        Conns(to).Add(1);
    }
    void ConnectionClosed(Connection state) { Conns(state).Add(-1); }
    // Refused at accept ("per_address", "in_all").
    void ConnectionRefused(std::string_view reason);
    // Cut by the server ("deadline", "evicted", "body_size", "body_budget").
    void ConnectionCut(std::string_view reason);

    // One store operation: how long it took, and whether the store failed it (not a refusal it decided).
    void StoreOperation(std::string_view operation, double seconds, bool failed);
    // A verification refused by a failure limit ("address" or "card").
    void VerifyLimitHit(std::string_view scope);
    // The outcome of the last readiness check.
    void StoreReady(bool ready) { storeReady_->Set(ready ? 1 : 0); }

    // The label a request path is counted under.
    static std::string_view PathLabel(std::string_view path);

private:
    static constexpr std::size_t kPaths = 5;  // the four paths and "other"
    static constexpr std::size_t kCodes = 18; // "-2", "0".."14", "none", "other"
    static std::size_t PathIndex(std::string_view path);
    static std::size_t CodeIndex(std::string_view code);
    metrics::Gauge& Conns(Connection state) { return state == Connection::Waiting ? *waiting_ : *working_; }

    std::array<std::array<metrics::Counter*, kCodes>, kPaths> answers_{};
    std::array<metrics::Counter*, kCodes> refusals_{};
    std::array<metrics::Histogram*, kPaths> latency_{};
    metrics::Counter* renewals_ = nullptr;
    metrics::Gauge* waiting_ = nullptr;
    metrics::Gauge* working_ = nullptr;
    metrics::CounterFamily* refused_ = nullptr;
    metrics::CounterFamily* cut_ = nullptr;
    metrics::HistogramFamily* storeLatency_ = nullptr;
    metrics::CounterFamily* storeErrors_ = nullptr;
    metrics::CounterFamily* limitHits_ = nullptr;
    metrics::Gauge* storeReady_ = nullptr;
};

} // namespace rv::server
