// The service as a deployment runs it: several renvora-server processes behind HAProxy on one PostgreSQL
// database, servers killed with SIGKILL while holders renew, the primary database lost and its standby
// promoted, and a SQLite store moved into PostgreSQL. What must hold throughout: every renewal that was
// answered is stored exactly once, nothing is answered wrongly (a refusal says "try again"), and every
// card renews afterwards.
#include "core/ca.h"
#include "core/crypto.h"
#include "core/pg_store.h"
#include "core/protocol_client.h"
#include "core/sqlite_store.h"
#include "stack/fleet.h"
#include "stack/haproxy.h"
#include "stack/http.h"
#include "stack/postgres.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
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

// `promtool check metrics` over a scrape: "" when it parses and follows the naming rules.
std::string PromtoolProblems(const fs::path& folder, const std::string& scrape) {
    const fs::path file = folder / "scrape.txt";
    std::ofstream(file, std::ios::trunc) << scrape;
    std::string out;
    const int status = stack::Run({"/bin/sh", "-c", "exec promtool check metrics < '" + file.string() + "'"},
                                  out, false, 60s);
    return status == 0 ? std::string() : "promtool (exit " + std::to_string(status) + "): " + out;
}

// The value of an unlabelled series in a scrape (-1 when absent).
double Sample(const std::string& scrape, const std::string& name) {
    std::istringstream lines(scrape);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name + " ", 0) == 0) {
            return std::atof(line.c_str() + name.size() + 1);
        }
    }
    return -1;
}

// What a failed renewal's client heard: the refusal's code, or "transport" when it got no protocol answer
// (a connection cut by a dying server).
std::string RefusalCode(const std::string& error) {
    const std::size_t at = error.find(": code ");
    if (at == std::string::npos) {
        return "transport";
    }
    return error.substr(at + 7, error.find(' ', at + 7) - at - 7);
}

// Holders renewing through the load balancer: client k renews cards k, k + clients, ... in turn, so
// that no card is renewed twice at once (a holder renews one card at a time), until stopped.
class Holders {
public:
    Holders(int port, std::vector<server::SimCard>& cards, int clients) : cards_(cards) {
        for (int k = 0; k < clients; ++k) {
            threads_.emplace_back([this, port, k, clients] {
                server::ProtocolClient client("127.0.0.1", port);
                const auto deadline = Clock::now() + 300s;
                for (std::size_t n = 0; !stop_ && n < 100000 && Clock::now() < deadline; ++n) {
                    const std::size_t i = (k + clients * n) % cards_.size();
                    if (i % clients != static_cast<std::size_t>(k)) {
                        continue;
                    }
                    if (!Renew(client, i)) {
                        std::this_thread::sleep_for(20ms); // a holder told "try again" does not at once
                    }
                }
            });
        }
    }
    ~Holders() { Stop(); }

    void Stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
    // Renews card `i` once; true when answered with a new set.
    bool Renew(server::ProtocolClient& client, std::size_t i) {
        std::string error;
        if (server::RunRenewal(client, cards_[i], error)) {
            std::lock_guard lock(mu_);
            answered_.push_back(server::CertSerialHex(cards_[i].record.certPem));
            ++renewed_;
            return true;
        }
        std::lock_guard lock(mu_);
        ++refusals_[RefusalCode(error)];
        examples_[RefusalCode(error)] = error;
        return false;
    }

    std::vector<std::string> Answered() {
        std::lock_guard lock(mu_);
        return answered_;
    }
    std::map<std::string, int> Refusals() {
        std::lock_guard lock(mu_);
        return refusals_;
    }
    std::string Example(const std::string& code) {
        std::lock_guard lock(mu_);
        return examples_[code];
    }
    int Renewed() {
        std::lock_guard lock(mu_);
        return renewed_;
    }

private:
    std::vector<server::SimCard>& cards_;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> answered_;
    std::map<std::string, int> refusals_;
    std::map<std::string, std::string> examples_;
    int renewed_ = 0;
};

class ServerStackTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = NewFolder("stack");
        ASSERT_FALSE(folder_.empty());
        // The servers' logs and data go too when the test is killed.
        stack::Reaper::Get().WatchFolder(folder_);
        data_ = folder_ / "data";
    }
    void TearDown() override {
        if (HasFailure() && fleet_) {
            for (std::size_t i = 0; i < fleet_->Size(); ++i) {
                std::printf("--- server %zu, last start:\n%s\n", i,
                            stack::Tail(fleet_->LogFile(i), 40).c_str());
            }
        }
        proxy_.reset();
        fleet_.reset();
        std::error_code ec;
        fs::remove_all(folder_, ec);
        stack::Reaper::Get().ForgetFolder(folder_);
    }

    // The CA in the data folder and `n` cards enrolled into the store at `url`, as `renvora-server
    // enrol` makes them; their certificates end in 30 days.
    void EnrolCards(server::Store& store, int n) {
        std::string error;
        std::unique_ptr<server::CertificateAuthority> ca =
            server::CertificateAuthority::Open(data_, error, true);
        ASSERT_TRUE(ca) << error;
        cards_.resize(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(server::EnrolSimCard(store, *ca, "C" + std::to_string(i), 30, cards_[i], error))
                << error;
        }
    }

    // `n` servers on `store` behind HAProxy, each one up as HAProxy sees it.
    void StartServers(const std::string& store, std::size_t n) {
        stack::FleetOptions o;
        o.servers = n;
        o.program = fs::path(RENVORA_BUILD_DIR) / "server" / "renvora-server";
        o.data = data_;
        o.store = store;
        o.logFolder = folder_;
        // Renewed certificates end inside the renewal window, so that a renewed card renews again at once.
        o.extraArgs = {"--cert-days", "90", "--trusted-proxy", "127.0.0.1", "--quiet"};
        std::string error;
        fleet_ = stack::Fleet::Start(o, error);
        ASSERT_TRUE(fleet_) << error;
        proxy_ = stack::Haproxy::Start(fleet_->Backends(), error);
        ASSERT_TRUE(proxy_) << error;
        WaitAllUp();
    }
    void WaitAllUp() {
        for (std::size_t i = 0; i < fleet_->Size(); ++i) {
            ASSERT_TRUE(proxy_->WaitState(i, "UP", 60s)) << "server " << i << ": " << proxy_->State(i);
        }
    }

    // Every answered set is in `store` exactly once; no serial or operation number twice; and every
    // card is known by the certificate it holds now (confirmed, or pending).
    void ExpectEveryAnswerStoredOnce(server::Store& store, const std::vector<std::string>& answered) {
        std::vector<server::IssueRecord> issues;
        std::string error;
        ASSERT_TRUE(store.Issues(issues, error)) << error;
        std::map<std::string, int> serials, operations;
        for (const server::IssueRecord& i : issues) {
            ++serials[i.serial];
            ++operations[i.opSeqNo];
        }
        for (const std::string& serial : answered) {
            EXPECT_EQ(serials[serial], 1) << "answered set " << serial;
        }
        for (const auto& [serial, n] : serials) {
            EXPECT_EQ(n, 1) << "serial " << serial;
        }
        for (const auto& [op, n] : operations) {
            EXPECT_EQ(n, 1) << "operation number " << op;
        }
        EXPECT_EQ(std::set<std::string>(answered.begin(), answered.end()).size(), answered.size());
        for (const server::SimCard& card : cards_) {
            std::optional<server::CardState> state = store.FindCard(card.record.certSeqNo);
            ASSERT_TRUE(state) << card.record.certSeqNo;
            bool known = state->ConfirmedPem() == card.record.certPem;
            for (const server::IssueRecord& p : state->pending) {
                known = known || p.certPem == card.record.certPem;
            }
            EXPECT_TRUE(known) << "card " << card.record.certSeqNo
                               << " is not known by the certificate it holds";
        }
    }

    fs::path folder_, data_;
    std::vector<server::SimCard> cards_;
    std::unique_ptr<stack::Fleet> fleet_;
    std::unique_ptr<stack::Haproxy> proxy_;
};

// Three servers behind HAProxy on PostgreSQL; sixteen holders renew two hundred cards while a random
// server is killed with SIGKILL twenty times (and started again). A holder's three requests may reach
// three servers. Afterwards every card renews once more, and the servers' counters of that last round
// agree with the store's count of issued sets.
TEST_F(ServerStackTest, ThreeServersKilledTwentyTimesWhileSixteenHoldersRenewLoseAndDuplicateNothing) {
    std::string error;
    std::unique_ptr<stack::PgCluster> db = stack::PgCluster::Primary(error);
    ASSERT_TRUE(db) << error;
    server::PgStore store;
    ASSERT_TRUE(store.Open(db->Url(), error)) << error;
    ASSERT_NO_FATAL_FAILURE(EnrolCards(store, 200));
    ASSERT_NO_FATAL_FAILURE(StartServers(db->Url(), 3));

    // A scraper reads one server's /metrics now and then, as Prometheus would, during the campaign.
    std::atomic<bool> scraping{true};
    std::string scrapeDuring;
    std::thread scraper([&] {
        std::mt19937 pick(std::random_device{}());
        for (int n = 0; scraping && n < 2000; ++n) {
            stack::HttpAnswer a = stack::HttpGet(fleet_->AdminPort(pick() % fleet_->Size()), "/metrics");
            if (a.status == 200) {
                scrapeDuring = a.body;
            }
            std::this_thread::sleep_for(250ms);
        }
    });
    struct StopScraper {
        std::atomic<bool>& scraping;
        std::thread& scraper;
        ~StopScraper() {
            scraping = false;
            if (scraper.joinable()) {
                scraper.join();
            }
        }
    } stopScraper{scraping, scraper}; // also when an assertion ends the test early

    Holders holders(proxy_->Port(), cards_, 16);
    std::mt19937 random(std::random_device{}());
    for (int kill = 0; kill < 20; ++kill) {
        // Each kill falls into a load that is going on: a few renewals answered since the last one
        // (counted, not timed, so that a slow machine gets the same campaign), then a random moment.
        const int target = holders.Renewed() + 5 + static_cast<int>(random() % 20);
        for (auto deadline = Clock::now() + 120s; holders.Renewed() < target && Clock::now() < deadline;) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_GE(holders.Renewed(), target) << "no renewals before kill " << kill;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 200));
        const std::size_t victim = random() % fleet_->Size();
        fleet_->Kill(victim);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 300));
        ASSERT_TRUE(fleet_->Restart(victim, error)) << error;
    }
    holders.Stop();
    scraping = false;
    scraper.join();

    // Nothing wrong was answered: a refusal during the kills only ever said "busy" or "server fault,
    // try again" (or the connection was cut), never "bad signature", "unknown operation", "expired".
    const std::map<std::string, int> refusals = holders.Refusals();
    std::printf("campaign: %d renewals answered;", holders.Renewed());
    for (const auto& [code, n] : refusals) {
        std::printf(" %d refused (%s)", n, code.c_str());
    }
    std::printf("\n");
    for (const auto& [code, n] : refusals) {
        EXPECT_TRUE(code == "9" || code == "10" || code == "transport")
            << n << " refusals with code " << code << ", e.g. " << holders.Example(code);
    }
    ExpectEveryAnswerStoredOnce(store, holders.Answered());
    // A scrape taken while servers were being killed parses and follows Prometheus' rules.
    EXPECT_NE(scrapeDuring.find("\nrenvora_renewals_total "), std::string::npos)
        << scrapeDuring.substr(0, 2000);
    EXPECT_EQ(PromtoolProblems(folder_, scrapeDuring), "") << scrapeDuring.substr(0, 2000);

    // Every card renews afterwards; the servers count exactly the sets the store gained.
    WaitAllUp();
    double before = 0, after = 0;
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
        before += Sample(stack::HttpGet(fleet_->AdminPort(i), "/metrics").body, "renvora_renewals_total");
    }
    const std::size_t issuedBefore = store.IssueCount();
    Holders last(proxy_->Port(), cards_, 0);
    server::ProtocolClient client("127.0.0.1", proxy_->Port());
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        EXPECT_TRUE(last.Renew(client, i))
            << "card " << i << " after the campaign: " << last.Example("9") << last.Example("transport");
    }
    std::this_thread::sleep_for(1100ms); // the admin listener renders /metrics at most ten times a second
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
        after += Sample(stack::HttpGet(fleet_->AdminPort(i), "/metrics").body, "renvora_renewals_total");
    }
    EXPECT_EQ(store.IssueCount() - issuedBefore, cards_.size());
    EXPECT_EQ(after - before, static_cast<double>(cards_.size()));
    ExpectEveryAnswerStoredOnce(store, last.Answered());

    // With no server left the balancer answers with the protocol's "busy" refusal.
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
        fleet_->Kill(i);
    }
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
        EXPECT_TRUE(proxy_->WaitState(i, "DOWN", 20s)) << proxy_->State(i);
    }
    server::PostResult busy =
        server::ProtocolClient("127.0.0.1", proxy_->Port()).Post("/selfIcUpdate/getRandom", "");
    EXPECT_NE(busy.body.find("\"code\":\"10\""), std::string::npos) << busy.body;
}

// The primary dies under a load of renewals and its synchronous standby is promoted. Meanwhile the
// servers refuse with a clear code (never a wrong answer) and retry their connections; once the standby
// takes writes they renew again, and every renewal that was answered is in the promoted database once.
TEST_F(ServerStackTest, RenewalsGoOnAfterTheStandbyIsPromotedAndNoAnsweredOneIsLost) {
    std::string error;
    std::unique_ptr<stack::PgCluster> primary = stack::PgCluster::Primary(error);
    ASSERT_TRUE(primary) << error;
    std::unique_ptr<stack::PgCluster> standby = primary->Standby(error);
    ASSERT_TRUE(standby) << error;
    // A commit returns only once the standby has it: nothing answered can be lost with the primary.
    ASSERT_TRUE(primary->RequireSynchronousStandby(error)) << error;
    const std::string url = stack::PgCluster::FailoverUrl(*primary, *standby);
    {
        server::PgStore store;
        ASSERT_TRUE(store.Open(url, error)) << error;
        ASSERT_NO_FATAL_FAILURE(EnrolCards(store, 48));
    }
    ASSERT_NO_FATAL_FAILURE(StartServers(url, 2));

    Holders holders(proxy_->Port(), cards_, 8);
    const auto waitForRenewals = [&](int more) {
        const int target = holders.Renewed() + more;
        for (auto deadline = Clock::now() + 120s; holders.Renewed() < target && Clock::now() < deadline;) {
            std::this_thread::sleep_for(20ms);
        }
        return holders.Renewed() >= target;
    };
    ASSERT_TRUE(waitForRenewals(20));
    primary->Crash();
    // The servers find no primary: refusals, and their readiness fails.
    for (auto deadline = Clock::now() + 30s;
         stack::HttpGet(fleet_->AdminPort(0), "/readyz").status != 503 && Clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(stack::HttpGet(fleet_->AdminPort(0), "/readyz").status, 503);
    const int renewedBeforePromotion = holders.Renewed();
    ASSERT_TRUE(standby->Promote(error)) << error;
    EXPECT_TRUE(waitForRenewals(20)) << "no renewal after the promotion";
    holders.Stop();
    for (std::size_t i = 0; i < fleet_->Size(); ++i) {
        EXPECT_EQ(stack::HttpGet(fleet_->AdminPort(i), "/readyz").status, 200) << "server " << i;
    }

    const std::map<std::string, int> refusals = holders.Refusals();
    std::printf("failover: %d renewals answered, %d before the promotion;", holders.Renewed(),
                renewedBeforePromotion);
    for (const auto& [code, n] : refusals) {
        std::printf(" %d refused (%s)", n, code.c_str());
    }
    std::printf("\n");
    for (const auto& [code, n] : refusals) {
        EXPECT_TRUE(code == "9" || code == "10")
            << n << " refusals with code " << code << ", e.g. " << holders.Example(code);
    }
    EXPECT_GT(refusals.count("9") + refusals.count("10"), 0u) << "the outage was noticed";
    EXPECT_GT(holders.Renewed(), renewedBeforePromotion);

    server::PgStore promoted;
    ASSERT_TRUE(promoted.Open(standby->Url(), error)) << error;
    ExpectEveryAnswerStoredOnce(promoted, holders.Answered());
    server::ProtocolClient client("127.0.0.1", proxy_->Port());
    Holders last(proxy_->Port(), cards_, 0);
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        EXPECT_TRUE(last.Renew(client, i)) << "card " << i << " after the failover";
    }
}

// A SQLite store with renewed cards moves into an empty PostgreSQL database: the listings of both stores
// are the same line for line, a second move into the filled database is refused, and the cards renew on
// from PostgreSQL.
TEST_F(ServerStackTest, MigrateMovesASqliteStoreIntoAnEmptyDatabaseAndTheCardsRenewOn) {
    std::string error;
    {
        server::SqliteStore sqlite;
        ASSERT_TRUE(sqlite.Open(data_, error)) << error;
        ASSERT_NO_FATAL_FAILURE(EnrolCards(sqlite, 6));
    }
    ASSERT_NO_FATAL_FAILURE(StartServers("", 1));
    server::ProtocolClient client("127.0.0.1", fleet_->Port(0));
    for (std::size_t i = 0; i < cards_.size(); ++i) {
        for (std::size_t n = 0; n <= i % 3; ++n) {
            ASSERT_TRUE(server::RunRenewal(client, cards_[i], error)) << error;
        }
    }
    fleet_->Stop(0);

    std::unique_ptr<stack::PgCluster> db = stack::PgCluster::Primary(error);
    ASSERT_TRUE(db) << error;
    const std::string program = (fs::path(RENVORA_BUILD_DIR) / "server" / "renvora-server").string();
    std::string out;
    ASSERT_EQ(
        stack::Run({program, "migrate", "--from", "sqlite:" + data_.string(), "--to", db->Url()}, out, false),
        0)
        << out;
    EXPECT_NE(out.find("cards 6 "), std::string::npos) << out;
    EXPECT_NE(out.find("issues 12 "), std::string::npos) << out;
    EXPECT_EQ(
        stack::Run({program, "migrate", "--from", "sqlite:" + data_.string(), "--to", db->Url()}, out, false),
        1);
    EXPECT_NE(out.find("already holds 6 cards and 12 issued sets"), std::string::npos) << out;
    std::string fromSqlite, fromPostgres;
    ASSERT_EQ(stack::Run({program, "issues", "--data", data_.string()}, fromSqlite, false), 0) << fromSqlite;
    ASSERT_EQ(stack::Run({program, "issues", "--store", db->Url()}, fromPostgres, false), 0) << fromPostgres;
    EXPECT_EQ(fromPostgres, fromSqlite);
    EXPECT_EQ(std::count(fromSqlite.begin(), fromSqlite.end(), '\n'), 12);

    fleet_.reset();
    proxy_.reset();
    ASSERT_NO_FATAL_FAILURE(StartServers(db->Url(), 1));
    server::ProtocolClient moved("127.0.0.1", fleet_->Port(0));
    for (server::SimCard& card : cards_) {
        EXPECT_TRUE(server::RunRenewal(moved, card, error)) << error;
    }
    server::PgStore store;
    ASSERT_TRUE(store.Open(db->Url(), error)) << error;
    EXPECT_EQ(store.IssueCount(), 18u);
    ExpectEveryAnswerStoredOnce(store, {});
}

} // namespace
} // namespace rv::test
