#include "core/server_metrics.h"

namespace rv::server {
namespace {

constexpr std::array<std::string_view, 4> kPathNames = {
    "/selfIcUpdate", "/selfIcUpdate/getRandom", "/selfIcUpdate/verifyInfo", "/selfIcUpdate/upadteCert"};
constexpr std::array<std::string_view, 18> kCodeNames = {
    "-2", "0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14", "none", "other"};

// Latency of a whole request, from its head to its answer: a renewal takes milliseconds, a store that
// waits for its disk or for a failover seconds.
const std::vector<double> kRequestBounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                            0.25,  0.5,    1,     2.5,  5,     10};
const std::vector<double> kStoreBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                          0.1,    0.25,  0.5,    1,     2.5,  5};

// Reasons and operations are the server's own words; one it does not list is counted as "other".
std::string_view Known(std::string_view value, std::initializer_list<std::string_view> known) {
    for (std::string_view k : known) {
        if (value == k) {
            return k;
        }
    }
    return "other";
}

} // namespace

ServerMetrics::ServerMetrics(metrics::Registry& registry, const std::string& version) {
    auto& answers =
        registry.AddCounter("renvora_requests_total",
                            "Requests answered, by path and answer code (0 success, -2 the "
                            "network test's answer, none: refused by the HTTP layer without one).",
                            {"path", "code"});
    auto& refusals = registry.AddCounter("renvora_refusals_total",
                                         "Requests refused, by answer code, all paths together.", {"code"});
    auto& latency =
        registry.AddHistogram("renvora_request_duration_seconds",
                              "Time from a request's head to its answer, by path.", {"path"}, kRequestBounds);
    renewals_ =
        &registry
             .AddCounter("renvora_renewals_total",
                         "Certificate sets issued and answered (renewal requests answered with code 0).")
             .With({});
    auto& conns = registry.AddGauge(
        "renvora_connections",
        "Open client connections, by state: waiting for a whole request, or working (a request with the "
        "service).",
        {"state"});
    waiting_ = &conns.With({"waiting"});
    working_ = &conns.With({"working"});
    refused_ = &registry.AddCounter("renvora_connections_refused_total",
                                    "Connections refused at accept, by reason.", {"reason"});
    cut_ = &registry.AddCounter("renvora_connections_cut_total", "Connections cut by the server, by reason.",
                                {"reason"});
    storeLatency_ =
        &registry.AddHistogram("renvora_store_operation_duration_seconds",
                               "Time a store operation took, by operation.", {"operation"}, kStoreBounds);
    storeErrors_ = &registry.AddCounter(
        "renvora_store_errors_total",
        "Store operations that failed (the store, not the request), by operation.", {"operation"});
    limitHits_ = &registry.AddCounter("renvora_verification_limit_hits_total",
                                      "Verifications refused by a failure limit, by scope (address or card).",
                                      {"scope"});
    storeReady_ = &registry
                       .AddGauge("renvora_store_ready",
                                 "1 when the store answered the last readiness check, 0 when it did not.")
                       .With({});
    storeReady_->Set(1);
    registry.AddGauge("renvora_build_info", "The server's version.", {"version"})
        .With({version.empty() ? std::string("unknown") : version})
        .Set(1);
    for (std::size_t p = 0; p < kPaths; ++p) {
        const std::string path(p < kPathNames.size() ? kPathNames[p] : "other");
        latency_[p] = &latency.With({path});
        for (std::size_t c = 0; c < kCodes; ++c) {
            answers_[p][c] = &answers.With({path, std::string(kCodeNames[c])});
        }
    }
    for (std::size_t c = 0; c < kCodes; ++c) {
        refusals_[c] = &refusals.With({std::string(kCodeNames[c])});
    }
}

std::size_t ServerMetrics::PathIndex(std::string_view path) {
    for (std::size_t i = 0; i < kPathNames.size(); ++i) {
        if (kPathNames[i] == path) {
            return i;
        }
    }
    return kPaths - 1;
}

std::size_t ServerMetrics::CodeIndex(std::string_view code) {
    if (code.empty()) {
        return kCodes - 2; // "none"
    }
    for (std::size_t i = 0; i + 2 < kCodes; ++i) {
        if (kCodeNames[i] == code) {
            return i;
        }
    }
    return kCodes - 1;
}

std::string_view ServerMetrics::PathLabel(std::string_view path) {
    const std::size_t i = PathIndex(path);
    if (i < kPathNames.size()) {
        return kPathNames[i];
    }
    return "other";
}

void ServerMetrics::Answered(std::string_view path, std::string_view code, double seconds) {
    const std::size_t p = PathIndex(path);
    const std::size_t c = CodeIndex(code);
    answers_[p][c]->Inc();
    latency_[p]->Observe(seconds);
    if (code == "0") {
        if (p == 3) {
            renewals_->Inc();
        }
    } else if (code != "-2") {
        refusals_[c]->Inc();
    }
}

void ServerMetrics::ConnectionRefused(std::string_view reason) {
    refused_->With({Known(reason, {"per_address", "in_all"})}).Inc();
}

void ServerMetrics::ConnectionCut(std::string_view reason) {
    cut_->With({Known(reason, {"deadline", "evicted", "body_size", "body_budget"})}).Inc();
}

void ServerMetrics::StoreOperation(std::string_view operation, double seconds, bool failed) {
    // Operations are named by the store's own code; the family's series cap bounds them all the same.
    const std::string name(operation);
    storeLatency_->With({name}).Observe(seconds);
    if (failed) {
        storeErrors_->With({name}).Inc();
    }
}

void ServerMetrics::VerifyLimitHit(std::string_view scope) {
    limitHits_->With({Known(scope, {"address", "card"})}).Inc();
}

} // namespace rv::server
