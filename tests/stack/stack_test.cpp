// The service as a deployment runs it: several renvora-server processes behind HAProxy, checked through
// their admin listeners, and PostgreSQL with a streaming standby that takes over from a dead primary.
#include "core/protocol_client.h"
#include "stack/fleet.h"
#include "stack/haproxy.h"
#include "stack/http.h"
#include "stack/postgres.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

namespace rv::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

fs::path NewFolder(const std::string& name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    return ::mkdtemp(templ.data()) ? fs::path(templ) : fs::path();
}

// `promtool check metrics` over a scrape: the exposition parses, and follows the naming rules.
std::string PromtoolProblems(const fs::path& folder, const std::string& scrape) {
    const fs::path file = folder / "scrape.txt";
    std::ofstream(file, std::ios::trunc) << scrape;
    std::string out;
    const int status = stack::Run({"/bin/sh", "-c", "exec promtool check metrics < '" + file.string() + "'"},
                                  out, false, 60s);
    return status == 0 ? std::string() : "promtool (exit " + std::to_string(status) + "): " + out;
}

class StackTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = NewFolder("stack");
        ASSERT_FALSE(folder_.empty());
        // The servers' logs and data go too when the test is killed.
        stack::Reaper::Get().WatchFolder(folder_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(folder_, ec);
        stack::Reaper::Get().ForgetFolder(folder_);
    }

    stack::FleetOptions Servers(std::size_t n) const {
        stack::FleetOptions o;
        o.servers = n;
        o.program = fs::path(RENVORA_BUILD_DIR) / "server" / "renvora-server";
        o.data = folder_ / "data";
        o.logFolder = folder_;
        o.extraArgs = {"--quiet"};
        return o;
    }

    fs::path folder_;
};

// A server killed with SIGKILL is taken out by the load balancer's readiness check on its admin
// listener, and put back once it is started again; meanwhile every request reaches a live server.
TEST_F(StackTest, ALoadBalancerTakesAKilledServerOutAndPutsItBackWhenItStartsAgain) {
    std::string error;
    std::unique_ptr<stack::Fleet> fleet = stack::Fleet::Start(Servers(3), error);
    ASSERT_TRUE(fleet) << error;
    std::unique_ptr<stack::Haproxy> proxy = stack::Haproxy::Start(fleet->Backends(), error);
    ASSERT_TRUE(proxy) << error;
    for (std::size_t i = 0; i < fleet->Size(); ++i) {
        ASSERT_TRUE(proxy->WaitState(i, "UP", 30s)) << "server " << i << ": " << proxy->State(i);
    }

    // A client asking for randoms through the proxy the whole time (bounded in count and time).
    std::atomic<bool> stop{false};
    std::atomic<bool> outDetected{false};
    std::atomic<int> sent{0}, failedBeforeOut{0}, failedAfterOut{0};
    std::thread client([&] {
        server::ProtocolClient c("127.0.0.1", proxy->Port());
        const auto deadline = Clock::now() + 120s;
        for (int n = 0; n < 20000 && !stop && Clock::now() < deadline; ++n) {
            const bool after = outDetected;
            server::PostResult r = c.Post("/selfIcUpdate/getRandom", "");
            ++sent;
            if (r.status != 200 || r.body.find("\"code\":\"0\"") == std::string::npos) {
                ++(after ? failedAfterOut : failedBeforeOut);
            }
            std::this_thread::sleep_for(2ms);
        }
    });

    std::this_thread::sleep_for(300ms);
    fleet->Kill(1);
    EXPECT_TRUE(proxy->WaitState(1, "DOWN", 20s)) << proxy->State(1);
    outDetected = true;
    const int sentAtOut = sent;
    std::this_thread::sleep_for(1s);
    ASSERT_TRUE(fleet->Restart(1, error)) << error;
    EXPECT_TRUE(proxy->WaitState(1, "UP", 30s)) << proxy->State(1);
    stop = true;
    client.join();

    EXPECT_GT(sent - sentAtOut, 10) << "the client went on while the server was out";
    EXPECT_EQ(failedAfterOut, 0) << "once the server is out, nothing is sent to it";
    // Before the check noticed, a request may have been on the killed server's connection; a connection
    // refused by it is sent to another server.
    EXPECT_LE(failedBeforeOut, 3);

    for (std::size_t i = 0; i < fleet->Size(); ++i) {
        EXPECT_EQ(stack::HttpGet(fleet->AdminPort(i), "/healthz").status, 200);
        EXPECT_EQ(stack::HttpGet(fleet->AdminPort(i), "/readyz").status, 200);
        stack::HttpAnswer metrics = stack::HttpGet(fleet->AdminPort(i), "/metrics");
        ASSERT_EQ(metrics.status, 200);
        EXPECT_EQ(PromtoolProblems(folder_, metrics.body), "") << metrics.body;
        // The operators' paths are not on the public listener.
        server::ProtocolClient publicSide("127.0.0.1", fleet->Port(i));
        EXPECT_EQ(publicSide.Post("/metrics", "").status, 404);
    }

    // No server left: the proxy answers with the protocol's "busy" refusal, not a transport failure.
    for (std::size_t i = 0; i < fleet->Size(); ++i) {
        fleet->Kill(i);
    }
    for (std::size_t i = 0; i < fleet->Size(); ++i) {
        EXPECT_TRUE(proxy->WaitState(i, "DOWN", 20s)) << proxy->State(i);
    }
    server::ProtocolClient late("127.0.0.1", proxy->Port());
    server::PostResult busy = late.Post("/selfIcUpdate/getRandom", "");
    EXPECT_EQ(busy.status, 200);
    EXPECT_NE(busy.body.find("\"code\":\"10\""), std::string::npos) << busy.body;
}

// A primary with a synchronous standby dies; the standby, promoted, holds every committed row and takes
// writes. (The harness the failover scenarios stand on.)
TEST_F(StackTest, APromotedSynchronousStandbyHoldsEveryCommitOfTheDeadPrimary) {
    std::string error, out;
    std::unique_ptr<stack::PgCluster> primary = stack::PgCluster::Primary(error);
    ASSERT_TRUE(primary) << error;
    std::unique_ptr<stack::PgCluster> standby = primary->Standby(error);
    ASSERT_TRUE(standby) << error;
    ASSERT_TRUE(primary->RequireSynchronousStandby(error)) << error;
    ASSERT_TRUE(primary->Sql("CREATE TABLE t(n int primary key)", out, error)) << error;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(primary->Sql("INSERT INTO t VALUES(" + std::to_string(i) + ")", out, error)) << error;
    }
    primary->Crash();
    ASSERT_TRUE(standby->Promote(error)) << error;
    ASSERT_TRUE(standby->Sql("SELECT count(*) FROM t", out, error)) << error;
    EXPECT_EQ(out, "20");
    EXPECT_TRUE(standby->Sql("INSERT INTO t VALUES(20)", out, error)) << error;
}

} // namespace
} // namespace rv::test
