// Figures for operators in the Prometheus text exposition format (version 0.0.4): counters, gauges and
// histograms, each a family of series told apart by label values. Updating a series is an atomic add on
// memory the caller holds a reference to; only looking a series up by its label values takes a lock, so
// hot paths look theirs up once and keep the reference. Rendering takes each family's lock in turn.
//
// Families are registered at start (a name or label that the format does not allow is a programming
// error and throws std::invalid_argument). A family holds at most kMaxSeries series: a label value set
// beyond that is counted in a series that is never shown, so that no caller can grow the output, or the
// memory behind it, without bound.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace rv::server::metrics {

inline constexpr std::size_t kMaxSeries = 512;

class Counter {
public:
    void Inc(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

class Gauge {
public:
    void Set(double v) { value_.store(v, std::memory_order_relaxed); }
    void Add(double d) { value_.fetch_add(d, std::memory_order_relaxed); }
    double Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<double> value_{0};
};

class Histogram {
public:
    // `bounds`: the buckets' upper bounds, ascending, finite; the +Inf bucket is implied.
    explicit Histogram(std::shared_ptr<const std::vector<double>> bounds);
    void Observe(double value);

    struct Snapshot {
        std::vector<std::uint64_t> cumulative; // one per bound, then +Inf (= count)
        double sum = 0;
    };
    Snapshot Take() const;
    const std::vector<double>& Bounds() const { return *bounds_; }

private:
    std::shared_ptr<const std::vector<double>> bounds_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> counts_; // per bucket, not cumulative; last is +Inf
    std::atomic<double> sum_{0};
};

class FamilyBase {
public:
    FamilyBase(std::string name, std::string help, std::vector<std::string> labels);
    virtual ~FamilyBase() = default;
    FamilyBase(const FamilyBase&) = delete;
    FamilyBase& operator=(const FamilyBase&) = delete;
    virtual void Render(std::string& out) const = 0;
    const std::string& Name() const { return name_; }

protected:
    // `# HELP` and `# TYPE` lines.
    void Header(std::string& out, const char* type) const;
    // `{a="x",b="y"}` with the family's label names, an extra label (`le`) appended when given; "" when
    // there are no labels at all.
    std::string LabelText(const std::vector<std::string>& values, std::string_view extraName = {},
                          std::string_view extraValue = {}) const;

    std::string name_;
    std::string help_;
    std::vector<std::string> labels_;
};

template <typename T> class Family : public FamilyBase {
public:
    using FamilyBase::FamilyBase;
    // The series with these label values (as many as the family has label names), made on first use.
    T& With(const std::vector<std::string>& values);
    T& With(std::initializer_list<std::string_view> values) {
        return With(std::vector<std::string>(values.begin(), values.end()));
    }

protected:
    virtual std::unique_ptr<T> Make() const = 0;
    mutable std::mutex mu_;
    std::map<std::vector<std::string>, std::unique_ptr<T>> series_;
    std::unique_ptr<T> overflow_; // beyond kMaxSeries (or a wrong number of values): counted, not shown
};

class CounterFamily : public Family<Counter> {
public:
    using Family::Family;
    void Render(std::string& out) const override;

protected:
    std::unique_ptr<Counter> Make() const override { return std::make_unique<Counter>(); }
};

class GaugeFamily : public Family<Gauge> {
public:
    using Family::Family;
    void Render(std::string& out) const override;

protected:
    std::unique_ptr<Gauge> Make() const override { return std::make_unique<Gauge>(); }
};

class HistogramFamily : public Family<Histogram> {
public:
    HistogramFamily(std::string name, std::string help, std::vector<std::string> labels,
                    std::vector<double> bounds);
    void Render(std::string& out) const override;

protected:
    std::unique_ptr<Histogram> Make() const override { return std::make_unique<Histogram>(bounds_); }

private:
    std::shared_ptr<const std::vector<double>> bounds_;
};

// A series without labels whose value is read when the registry is rendered (process figures).
class FunctionFamily : public FamilyBase {
public:
    FunctionFamily(std::string name, std::string help, const char* type, std::function<double()> read);
    void Render(std::string& out) const override;

private:
    const char* type_;
    std::function<double()> read_;
};

class Registry {
public:
    CounterFamily& AddCounter(std::string name, std::string help, std::vector<std::string> labels = {});
    GaugeFamily& AddGauge(std::string name, std::string help, std::vector<std::string> labels = {});
    HistogramFamily& AddHistogram(std::string name, std::string help, std::vector<std::string> labels,
                                  std::vector<double> bounds);
    // `type` is "gauge" or "counter".
    void AddFunction(std::string name, std::string help, const char* type, std::function<double()> read);

    // The whole exposition, families in the order they were registered.
    std::string Render() const;

private:
    FamilyBase& Add(std::unique_ptr<FamilyBase> family);
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<FamilyBase>> families_;
};

// Text of a sample value as the format writes it: shortest round-trip decimal, +Inf, -Inf, NaN.
std::string FormatValue(double value);
// A label value inside its quotes: backslash, double quote and line feed escaped; bytes that are not
// UTF-8 replaced (the format is UTF-8).
std::string EscapeLabelValue(std::string_view value);

// process_start_time_seconds, process_cpu_seconds_total, process_resident_memory_bytes,
// process_open_fds and process_max_fds, read from /proc/self when rendered.
void AddProcessMetrics(Registry& registry);

} // namespace rv::server::metrics
