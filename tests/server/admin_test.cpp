// The operators' side of the server: the metrics exposition as Prometheus reads it, and the admin
// listener's health, readiness and metrics endpoints with their bounded cost.
#include "core/metrics.h"
#include "server_fixture.h"

#include <httplib.h>

#include <cmath>
#include <thread>

namespace fs = std::filesystem;

namespace rv::test {
namespace {

using Clock = std::chrono::steady_clock;

// `promtool check metrics` (Prometheus's own parser and naming rules) over an exposition: "" when clean.
std::string PromtoolProblems(const fs::path& folder, const std::string& exposition) {
    const fs::path file = folder / "exposition.txt";
    std::ofstream(file, std::ios::trunc) << exposition;
    const std::string command = "promtool check metrics < '" + file.string() + "' 2>&1";
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        return "cannot run promtool";
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    const int status = ::pclose(p);
    return status == 0 ? std::string() : "promtool: " + out;
}

bool HasLine(const std::string& text, const std::string& line) {
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(MetricsTest, TheExpositionParsesWhateverTheLabelValuesCountsExactlyAndStaysBounded) {
    TempFolder folder;
    server::metrics::Registry registry;
    auto& events = registry.AddCounter("t_events_total", "Events, with a \\ and a\nsecond line.", {"kind"});
    events.With({"plain"}).Inc(3);
    events.With({"quote\" back\\slash\nnewline"}).Inc();
    events.With({std::string("bad \xff\xfe then \xe4\xb8\xad")}).Inc();
    auto& many =
        registry.AddCounter("t_many_total", "One series per value, as a careless caller would.", {"n"});
    for (std::size_t i = 0; i < server::metrics::kMaxSeries + 50; ++i) {
        many.With({std::to_string(i)}).Inc();
    }
    auto& durations = registry.AddHistogram("t_duration_seconds", "Durations.", {"path"}, {0.001, 0.01, 0.1});
    server::metrics::Histogram& a = durations.With({"/a"});
    for (double v : {0.001, 0.005, 0.5, 5.0}) {
        a.Observe(v);
    }
    registry.AddGauge("t_level", "Level.").With({}).Set(INFINITY);
    registry.AddFunction("t_unknown", "Not known here: left out.", "gauge", [] { return std::nan(""); });

    // Eight threads adding at once lose nothing.
    auto& busy = registry.AddCounter("t_busy_total", "Busy.").With({});
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                busy.Inc();
                a.Observe(0.05);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }

    const std::string text = registry.Render();
    EXPECT_EQ(PromtoolProblems(folder.path(), text), "") << text.substr(0, 4000);
    EXPECT_TRUE(HasLine(text, "# HELP t_events_total Events, with a \\\\ and a\\nsecond line."));
    EXPECT_TRUE(HasLine(text, "t_events_total{kind=\"quote\\\" back\\\\slash\\nnewline\"} 1"));
    EXPECT_TRUE(HasLine(text, "t_events_total{kind=\"bad \xEF\xBF\xBD\xEF\xBF\xBD then \xe4\xb8\xad\"} 1"));
    // Buckets are cumulative, their bounds inclusive; +Inf and _count are all observations.
    EXPECT_TRUE(HasLine(text, "t_duration_seconds_bucket{path=\"/a\",le=\"0.001\"} 1"));
    EXPECT_TRUE(HasLine(text, "t_duration_seconds_bucket{path=\"/a\",le=\"0.01\"} 2"));
    EXPECT_TRUE(HasLine(text, "t_duration_seconds_bucket{path=\"/a\",le=\"0.1\"} 160002"));
    EXPECT_TRUE(HasLine(text, "t_duration_seconds_bucket{path=\"/a\",le=\"+Inf\"} 160004"));
    EXPECT_TRUE(HasLine(text, "t_duration_seconds_count{path=\"/a\"} 160004"));
    EXPECT_TRUE(HasLine(text, "t_busy_total 160000"));
    EXPECT_TRUE(HasLine(text, "t_level +Inf"));
    EXPECT_EQ(text.find("t_unknown"), std::string::npos);
    std::size_t shown = 0;
    for (std::size_t at = text.find("\nt_many_total{"); at != std::string::npos;
         at = text.find("\nt_many_total{", at + 1)) {
        ++shown;
    }
    EXPECT_EQ(shown, server::metrics::kMaxSeries);
    EXPECT_THROW(registry.AddCounter("t-bad", "Bad name."), std::invalid_argument);
    EXPECT_THROW(registry.AddHistogram("t_h", "Bad label.", {"le"}, {1}), std::invalid_argument);
    EXPECT_THROW(registry.AddCounter("t_events_total", "Twice."), std::invalid_argument);
}

TEST(AdminTest, TheAdminListenerAnswersHealthReadinessAndMetricsAtABoundedCost) {
    TempFolder folder;
    const fs::path data = folder.path() / "data";
    for (const char* bad : {"nonsense", "[::1", "127.0.0.1:99999", "::1:9100"}) {
        ServerProcess proc({"--port", "0", "--data", data.string(), "--admin-listen", bad});
        EXPECT_EQ(proc.Wait(), 2) << bad;
    }
    ServerProcess proc({"--port", "0", "--data", data.string(), "--admin-listen", "127.0.0.1:0", "--quiet"});
    const int port = PortOf(proc.FirstLine());
    const std::string adminLine = proc.FirstLine();
    ASSERT_EQ(adminLine.rfind("admin listening on http://127.0.0.1:", 0), 0u) << adminLine;
    httplib::Client admin("127.0.0.1", PortOf(adminLine));
    admin.set_read_timeout(10, 0);

    auto healthz = admin.Get("/healthz");
    ASSERT_TRUE(healthz);
    EXPECT_EQ(healthz->status, 200);
    auto ready = admin.Get("/readyz");
    ASSERT_TRUE(ready);
    EXPECT_EQ(ready->status, 200);

    // A store gone from under the server: not ready, with the reason; back: ready again.
    fs::rename(data / "store.db", data / "store.db.away");
    auto waitFor = [&](int status) {
        for (auto deadline = Clock::now() + std::chrono::seconds(20); Clock::now() < deadline;) {
            auto r = admin.Get("/readyz");
            if (r && r->status == status) {
                return r->body;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return std::string("(never HTTP ") + std::to_string(status) + ")";
    };
    EXPECT_NE(waitFor(503).find("not ready: no store in"), std::string::npos);
    fs::rename(data / "store.db.away", data / "store.db");
    EXPECT_EQ(waitFor(200), "ready\n");

    // Only GET of its three paths, and no bodies.
    EXPECT_EQ(admin.Post("/metrics", std::string(100, 'x'), "text/plain")->status, 413);
    EXPECT_EQ(admin.Post("/healthz", "", "text/plain")->status, 405);
    EXPECT_EQ(admin.Get("/selfIcUpdate/getRandom")->status, 404);

    auto scrape = admin.Get("/metrics");
    ASSERT_TRUE(scrape);
    EXPECT_EQ(scrape->status, 200);
    EXPECT_EQ(scrape->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(PromtoolProblems(folder.path(), scrape->body), "") << scrape->body;
    EXPECT_NE(scrape->body.find("\nrenvora_store_ready 1\n"), std::string::npos);

    // A flood of scrapes is rendered at most ten times a second (plus the first burst), whatever the
    // machine's speed; the rest are told to come back.
    const auto start = Clock::now();
    int rendered = 0, refused = 0;
    for (int i = 0; i < 100; ++i) {
        auto r = admin.Get("/metrics");
        rendered += r && r->status == 200 ? 1 : 0;
        refused += r && r->status == 429 ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(rendered + refused, 100);
    EXPECT_LE(rendered, 10 + static_cast<int>(std::ceil(10 * seconds)) + 1) << seconds << " s";

    // The public listener does not serve them.
    server::ProtocolClient publicSide("127.0.0.1", port);
    EXPECT_EQ(publicSide.Post("/metrics", "").status, 404);
    proc.Signal(SIGTERM);
    EXPECT_EQ(proc.Wait(), 0);
}

} // namespace
} // namespace rv::test
