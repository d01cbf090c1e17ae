#include "core/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <unistd.h>

namespace rv::server::metrics {
namespace {

bool ValidName(std::string_view name, bool colons) {
    if (name.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        const bool letter =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colons && c == ':');
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) {
            return false;
        }
    }
    return true;
}

// HELP text: backslash and line feed escaped.
std::string EscapeHelp(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

// Length of the UTF-8 sequence starting at `p` (at most `left` bytes), 0 when it is not one.
std::size_t Utf8Length(const unsigned char* p, std::size_t left) {
    std::size_t n = p[0] < 0x80           ? 1
                    : (p[0] >> 5) == 0x6  ? 2
                    : (p[0] >> 4) == 0xE  ? 3
                    : (p[0] >> 3) == 0x1E ? 4
                                          : 0;
    if (n == 0 || n > left || (n == 2 && p[0] < 0xC2)) {
        return 0;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return n;
}

} // namespace

std::string FormatValue(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    return ec == std::errc() ? std::string(buf, end) : std::string("NaN");
}

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(value.data());
    for (std::size_t i = 0; i < value.size();) {
        const std::size_t n = Utf8Length(p + i, value.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
            continue;
        }
        const char c = value[i];
        if (n == 1 && c == '\\') {
            out += "\\\\";
        } else if (n == 1 && c == '"') {
            out += "\\\"";
        } else if (n == 1 && c == '\n') {
            out += "\\n";
        } else {
            out.append(value.data() + i, n);
        }
        i += n;
    }
    return out;
}

// ---- Histogram ----

Histogram::Histogram(std::shared_ptr<const std::vector<double>> bounds)
    : bounds_(std::move(bounds)), counts_(new std::atomic<std::uint64_t>[bounds_->size() + 1]) {
    for (std::size_t i = 0; i <= bounds_->size(); ++i) {
        counts_[i].store(0, std::memory_order_relaxed);
    }
}

void Histogram::Observe(double value) {
    // The first bucket whose upper bound holds the value (bounds are inclusive, as `le` says).
    const auto it = std::lower_bound(bounds_->begin(), bounds_->end(), value);
    counts_[static_cast<std::size_t>(it - bounds_->begin())].fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(value, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::Take() const {
    Snapshot s;
    std::uint64_t running = 0;
    for (std::size_t i = 0; i <= bounds_->size(); ++i) {
        running += counts_[i].load(std::memory_order_relaxed);
        s.cumulative.push_back(running);
    }
    s.sum = sum_.load(std::memory_order_relaxed);
    return s;
}

// ---- Families ----

FamilyBase::FamilyBase(std::string name, std::string help, std::vector<std::string> labels)
    : name_(std::move(name)), help_(std::move(help)), labels_(std::move(labels)) {
    if (!ValidName(name_, true)) {
        throw std::invalid_argument("metric name not allowed: " + name_);
    }
    for (const std::string& label : labels_) {
        if (!ValidName(label, false) || label.rfind("__", 0) == 0 || label == "le") {
            throw std::invalid_argument("label name not allowed: " + label + " (metric " + name_ + ")");
        }
    }
}

void FamilyBase::Header(std::string& out, const char* type) const {
    out += "# HELP " + name_ + " " + EscapeHelp(help_) + "\n";
    out += "# TYPE " + name_ + " " + type + "\n";
}

std::string FamilyBase::LabelText(const std::vector<std::string>& values, std::string_view extraName,
                                  std::string_view extraValue) const {
    std::string out;
    for (std::size_t i = 0; i < labels_.size() && i < values.size(); ++i) {
        out += (out.empty() ? "{" : ",") + labels_[i] + "=\"" + EscapeLabelValue(values[i]) + "\"";
    }
    if (!extraName.empty()) {
        out +=
            (out.empty() ? "{" : ",") + std::string(extraName) + "=\"" + EscapeLabelValue(extraValue) + "\"";
    }
    return out.empty() ? out : out + "}";
}

template <typename T> T& Family<T>::With(const std::vector<std::string>& values) {
    std::lock_guard lock(mu_);
    auto it = series_.find(values);
    if (it != series_.end()) {
        return *it->second;
    }
    if (values.size() != labels_.size() || series_.size() >= kMaxSeries) {
        if (!overflow_) {
            overflow_ = Make();
        }
        return *overflow_;
    }
    return *series_.emplace(values, Make()).first->second;
}

template class Family<Counter>;
template class Family<Gauge>;
template class Family<Histogram>;

void CounterFamily::Render(std::string& out) const {
    Header(out, "counter");
    std::lock_guard lock(mu_);
    for (const auto& [values, counter] : series_) {
        out += name_ + LabelText(values) + " " + std::to_string(counter->Value()) + "\n";
    }
}

void GaugeFamily::Render(std::string& out) const {
    Header(out, "gauge");
    std::lock_guard lock(mu_);
    for (const auto& [values, gauge] : series_) {
        out += name_ + LabelText(values) + " " + FormatValue(gauge->Value()) + "\n";
    }
}

HistogramFamily::HistogramFamily(std::string name, std::string help, std::vector<std::string> labels,
                                 std::vector<double> bounds)
    : Family(std::move(name), std::move(help), std::move(labels)) {
    if (bounds.empty() || !std::is_sorted(bounds.begin(), bounds.end()) ||
        std::adjacent_find(bounds.begin(), bounds.end()) != bounds.end() ||
        std::any_of(bounds.begin(), bounds.end(), [](double b) { return !std::isfinite(b); })) {
        throw std::invalid_argument("histogram bounds must be finite and strictly ascending: " + name_);
    }
    bounds_ = std::make_shared<const std::vector<double>>(std::move(bounds));
}

void HistogramFamily::Render(std::string& out) const {
    Header(out, "histogram");
    std::lock_guard lock(mu_);
    for (const auto& [values, histogram] : series_) {
        const Histogram::Snapshot s = histogram->Take();
        for (std::size_t i = 0; i < bounds_->size(); ++i) {
            out += name_ + "_bucket" + LabelText(values, "le", FormatValue((*bounds_)[i])) + " " +
                   std::to_string(s.cumulative[i]) + "\n";
        }
        out += name_ + "_bucket" + LabelText(values, "le", "+Inf") + " " +
               std::to_string(s.cumulative.back()) + "\n";
        out += name_ + "_sum" + LabelText(values) + " " + FormatValue(s.sum) + "\n";
        out += name_ + "_count" + LabelText(values) + " " + std::to_string(s.cumulative.back()) + "\n";
    }
}

FunctionFamily::FunctionFamily(std::string name, std::string help, const char* type,
                               std::function<double()> read)
    : FamilyBase(std::move(name), std::move(help), {}), type_(type), read_(std::move(read)) {
    if (std::strcmp(type, "gauge") != 0 && std::strcmp(type, "counter") != 0) {
        throw std::invalid_argument("a function metric is a gauge or a counter: " + name_);
    }
}

void FunctionFamily::Render(std::string& out) const {
    const double value = read_();
    if (std::isnan(value)) {
        return; // not known on this system: left out rather than shown as a value
    }
    Header(out, type_);
    out += name_ + " " + FormatValue(value) + "\n";
}

// ---- Registry ----

FamilyBase& Registry::Add(std::unique_ptr<FamilyBase> family) {
    std::lock_guard lock(mu_);
    for (const auto& f : families_) {
        if (f->Name() == family->Name()) {
            throw std::invalid_argument("metric registered twice: " + family->Name());
        }
    }
    families_.push_back(std::move(family));
    return *families_.back();
}

CounterFamily& Registry::AddCounter(std::string name, std::string help, std::vector<std::string> labels) {
    return static_cast<CounterFamily&>(
        Add(std::make_unique<CounterFamily>(std::move(name), std::move(help), std::move(labels))));
}

GaugeFamily& Registry::AddGauge(std::string name, std::string help, std::vector<std::string> labels) {
    return static_cast<GaugeFamily&>(
        Add(std::make_unique<GaugeFamily>(std::move(name), std::move(help), std::move(labels))));
}

HistogramFamily& Registry::AddHistogram(std::string name, std::string help, std::vector<std::string> labels,
                                        std::vector<double> bounds) {
    return static_cast<HistogramFamily&>(Add(std::make_unique<HistogramFamily>(
        std::move(name), std::move(help), std::move(labels), std::move(bounds))));
}

void Registry::AddFunction(std::string name, std::string help, const char* type,
                           std::function<double()> read) {
    Add(std::make_unique<FunctionFamily>(std::move(name), std::move(help), type, std::move(read)));
}

std::string Registry::Render() const {
    std::string out;
    std::lock_guard lock(mu_);
    for (const auto& f : families_) {
        f->Render(out);
    }
    return out;
}

// ---- The process ----

namespace {

// Numeric fields of /proc/self/stat after the command name (which may hold spaces and parentheses); NaN
// for a field that is missing or not a number.
std::vector<double> StatFields() {
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    std::vector<double> fields;
    if (close == std::string::npos) {
        return fields;
    }
    std::istringstream rest(text.substr(close + 1));
    std::string field;
    while (rest >> field) {
        char* end = nullptr;
        const double v = std::strtod(field.c_str(), &end);
        fields.push_back(end != field.c_str() && *end == '\0' ? v : std::nan(""));
    }
    return fields;
}

double BootTime() {
    std::ifstream in("/proc/stat");
    std::string key;
    double value = 0;
    while (in >> key) {
        if (key == "btime" && in >> value) {
            return value;
        }
        in.ignore(1 << 20, '\n');
    }
    return std::nan("");
}

} // namespace

void AddProcessMetrics(Registry& registry) {
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double page = static_cast<double>(::sysconf(_SC_PAGESIZE));
    // Fields after the name: state is [0], utime [11], stime [12], starttime [19], rss [21].
    registry.AddFunction("process_start_time_seconds",
                         "Start time of the process since the Unix epoch in seconds.", "gauge", [ticks] {
                             std::vector<double> f = StatFields();
                             return f.size() > 19 ? BootTime() + f[19] / ticks : std::nan("");
                         });
    registry.AddFunction("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.",
                         "counter", [ticks] {
                             std::vector<double> f = StatFields();
                             return f.size() > 12 ? (f[11] + f[12]) / ticks : std::nan("");
                         });
    registry.AddFunction("process_resident_memory_bytes", "Resident memory size in bytes.", "gauge", [page] {
        std::vector<double> f = StatFields();
        return f.size() > 21 ? f[21] * page : std::nan("");
    });
    registry.AddFunction("process_open_fds", "Number of open file descriptors.", "gauge", [] {
        DIR* dir = ::opendir("/proc/self/fd");
        if (dir == nullptr) {
            return std::nan("");
        }
        double n = 0;
        while (const dirent* e = ::readdir(dir)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
        return n - 1; // the folder's own descriptor
    });
    registry.AddFunction("process_max_fds", "Maximum number of open file descriptors.", "gauge", [] {
        rlimit files{};
        return ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY
                   ? static_cast<double>(files.rlim_cur)
                   : std::nan("");
    });
}

} // namespace rv::server::metrics
