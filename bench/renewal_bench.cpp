// Figures of the whole product on loopback:
//   BM_StartupToLoginDialog      in-process: application start to the login dialog on screen (offscreen)
//   BM_ProcessStartupToLogin     the client as a process: exec to the login dialog on screen
//   BM_FullRenewal               in-process: renewal button to success, questions answered at once
//                                (wall time; client_cpu_ms is the CPU of the UI thread and of the call
//                                thread the card and server calls run on)
//   BM_FullRenewalToken          the same on a SoftHSM2 token through the token card plugin
//   BM_ProcessRenewal            the client as a process, unattended, no screenshots: whole run, peak RSS,
//                                CPU, and the first renewal of a fresh process (button to end, as the
//                                client measures it)
//   BM_ServerRenewals8Clients    the reference server: full three-call renewals per second, 8 clients
//   BM_StoreRenewalsCompared     the same through renvora-server processes, in alternating rounds: on
//                                SQLite (one server), on PostgreSQL (one server, and three behind HAProxy)
// The first servers here are in this process on a free loopback port; every card is enrolled fresh.
#include "app/CRenvoraApp.h"
#include "app/unattended.h"
#include "card/dispids.h"
#include "core/ca.h"
#include "core/http_server.h"
#include "core/protocol_client.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "core/store_open.h"
#include "enrol/enrol.h"
#include "platform/message_box.h"
#include "platform/qt/call_thread.h"
#include "platform/qt/platform.h"
#include "platform/qt/template_dialog.h"
#include "platform/registry.h"
#include "res/resource_ids.h"
#include "stack/fleet.h"
#include "stack/haproxy.h"
#include "stack/postgres.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kClient = RENVORA_BUILD_DIR "/src/renvora";
const std::string kPlugin = RENVORA_BUILD_DIR "/softcard/softcard.so";
const std::string kTokenPlugin = RENVORA_BUILD_DIR "/p11card/p11card.so";
const char* const kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6 + rv::qt::CallThread::CpuMs();
}

// A demo world in a temp folder: server data, a running server, conf.ini, time.ini, the registration.
class DemoWorld {
public:
    DemoWorld() {
        std::random_device rd;
        root_ = fs::temp_directory_path() /
                ("renvora-bench-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        fs::create_directories(root_ / "work" / "Config");
        fs::create_directories(root_ / "drive_c" / "Windows");
        std::string error;
        if (!store_.Open(root_ / "data", error) ||
            !(ca_ = rv::server::CertificateAuthority::Open(root_ / "data", error))) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            std::exit(1);
        }
        // One card renews 50 times a second here; a person's card verifies a few times an hour, which is
        // what the per-card limit is made for. Its renewed certificates end inside the renewal window, so
        // that it renews again at once.
        rv::server::ServiceOptions options;
        options.verify.cardLimit = 1000000;
        options.certDays = 90;
        service_ = std::make_unique<rv::server::RenewalService>(store_, *ca_, options);
        rv::server::HttpOptions httpOptions;
        httpOptions.log = false;
        http_ = std::make_unique<rv::server::HttpServer>(*service_, httpOptions);
        if (!http_->Bind(error)) {
            std::fprintf(stderr, "bench: %s\n", error.c_str());
            std::exit(1);
        }
        http_->RunInBackground();
        std::ofstream(root_ / "work" / "Config" / "conf.ini")
            << "realmName=http://127.0.0.1:" << http_->Port() << "\r\n";
        std::ofstream(root_ / "drive_c" / "Windows" / "time.ini") << "MaxDay=180\r\n";
        rv::reg::RegisterControl(root_ / "classes", rv::kCardControlClsid, "software card", kPlugin);
        ::setenv("RENVORA_CLASSES_ROOT", (root_ / "classes").c_str(), 1);
        ::setenv("RENVORA_DRIVE_C", (root_ / "drive_c").c_str(), 1);
        // The token card: its own registration, over a private SoftHSM2.
        rv::reg::RegisterControl(root_ / "classes-token", rv::kCardControlClsid, "token card", kTokenPlugin);
        rv::reg::WriteValue(root_ / "classes-token", rv::kCardControlKey, "Pkcs11Module", kSoftHsmModule);
        std::ofstream(root_ / "softhsm2.conf") << "directories.tokendir = " << (root_ / "tokens").string()
                                               << "\nobjectstore.backend = file\nlog.level = ERROR\n";
        ::setenv("SOFTHSM2_CONF", (root_ / "softhsm2.conf").c_str(), 1);
        ::setenv("RENVORA_DATA_DIR", (root_ / "data").c_str(), 1);
    }
    ~DemoWorld() {
        http_->Stop();
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // A fresh card inside the renewal window, made the inserted one; returns its image.
    fs::path NewCard() {
        rv::server::EnrolRequest r;
        r.dataDir = root_ / "data";
        r.cardImage = root_ / "cards" / ("card" + std::to_string(++cards_) + ".json");
        r.pin = "123456";
        r.managePassword = "88888888";
        r.days = 30;
        r.holder = rv::server::DemoHolder();
        r.holder.certSeqNo = "B" + std::to_string(::getpid()) + "N" + std::to_string(cards_);
        rv::server::EnrolResult result;
        std::string error;
        if (!rv::server::Enrol(r, result, error)) {
            std::fprintf(stderr, "bench: enrol: %s\n", error.c_str());
            std::exit(1);
        }
        ::setenv("RENVORA_CARD_IMAGE", r.cardImage.c_str(), 1);
        return r.cardImage;
    }
    // A fresh token card (SoftHSM2, P-256) inside the renewal window, made the card the token card
    // control opens. One token at a time: the previous card's token goes, so every opening reads as
    // much as a user's single token.
    void NewTokenCard() {
        std::error_code ec;
        fs::remove_all(root_ / "tokens", ec);
        fs::create_directories(root_ / "tokens");
        std::string label = "bench" + std::to_string(++cards_);
        std::string init = "softhsm2-util --init-token --free --label " + label +
                           " --so-pin 87654321 --pin 123456 >/dev/null";
        if (std::system(init.c_str()) != 0) {
            std::fprintf(stderr, "bench: softhsm2-util failed\n");
            std::exit(1);
        }
        rv::server::EnrolRequest r;
        r.dataDir = root_ / "data";
        r.token = rv::server::TokenTarget{kSoftHsmModule, label, ""};
        r.cryptAlgo = "ECC";
        r.pin = "123456";
        r.managePassword = "88888888";
        r.days = 30;
        r.holder = rv::server::DemoHolder();
        r.holder.certSeqNo = "T" + std::to_string(::getpid()) + "N" + std::to_string(cards_);
        rv::server::EnrolResult result;
        std::string error;
        if (!rv::server::Enrol(r, result, error)) {
            std::fprintf(stderr, "bench: enrol: %s\n", error.c_str());
            std::exit(1);
        }
        ::setenv("RENVORA_PKCS11_TOKEN_LABEL", label.c_str(), 1);
    }
    void SyncFilesystem() const {
        int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd >= 0) {
            ::syncfs(fd);
            ::close(fd);
        }
    }
    // Which card control the client creates: the software card or the token card.
    void UseTokenCard(bool token) {
        ::setenv("RENVORA_CLASSES_ROOT", (root_ / (token ? "classes-token" : "classes")).c_str(), 1);
    }
    fs::path Work() const { return root_ / "work"; }
    rv::server::SqliteStore& Store() { return store_; }
    const rv::server::CertificateAuthority& Ca() const { return *ca_; }
    int Port() const { return http_->Port(); }

private:
    fs::path root_;
    std::unique_ptr<rv::server::CertificateAuthority> ca_;
    rv::server::SqliteStore store_;
    std::unique_ptr<rv::server::RenewalService> service_;
    std::unique_ptr<rv::server::HttpServer> http_;
    int cards_ = 0;
};

DemoWorld& World() {
    static DemoWorld* world = new DemoWorld;
    return *world;
}

// Runs the application in-process; `onLogin` and `onMain` act inside the login dialog and the main window.
void RunApp(const std::function<void(rv::qt::TemplateDialog&)>& onLogin,
            const std::function<void(rv::qt::TemplateDialog&)>& onMain) {
    fs::path old = fs::current_path();
    fs::current_path(World().Work());
    rv::ScriptedMessageBox boxes; // questions Yes, notices OK, at once
    rv::MessageBoxGuard guard(boxes);
    auto prev = rv::qt::TemplateDialog::SetModalHook([&](rv::qt::TemplateDialog& d) {
        if (d.TemplateId() == rv::res::kLoginDialog) {
            onLogin(d);
        } else if (d.TemplateId() == rv::res::kMainDialog) {
            onMain(d);
        }
        if (!d.IsEnded()) {
            d.EndDialog(d.TemplateId() == rv::res::kLoginDialog ? 130 : 1);
        }
    });
    rv::CRenvoraApp app;
    app.InitInstance();
    rv::qt::TemplateDialog::SetModalHook(std::move(prev));
    fs::current_path(old);
}

void BM_StartupToLoginDialog(benchmark::State& state) {
    World().NewCard();
    for (auto _ : state) {
        Clock::time_point start = Clock::now(), shown{};
        RunApp([&](rv::qt::TemplateDialog&) { shown = Clock::now(); }, [](rv::qt::TemplateDialog&) {});
        state.SetIterationTime(Ms(shown - start) / 1e3);
    }
}
BENCHMARK(BM_StartupToLoginDialog)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

struct RenewalRun {
    double wallMs = 0, cpuMs = 0;
    bool issued = false;
};

// One renewal in a warm process of a fresh card, on the software card or on a token; the card is made
// before the clock starts.
RenewalRun RenewOnce(bool token) {
    World().UseTokenCard(token);
    if (token) {
        World().NewTokenCard();
    } else {
        World().NewCard();
    }
    // A card is enrolled long before it is renewed: what its enrolment wrote is on the disk by then. (The
    // software card's save syncs itself; SoftHSM2 leaves its files to the page cache, and on ext4 the
    // renewal's first file truncations would otherwise wait for the enrolment's writes.)
    World().SyncFilesystem();
    std::size_t issuesBefore = World().Store().IssueCount();
    RenewalRun run;
    RunApp(
        [](rv::qt::TemplateDialog& d) {
            d.SetDlgItemText(rv::res::kPasswordEdit, "123456");
            d.SendCommand(rv::res::kLoginButton);
        },
        [&](rv::qt::TemplateDialog& d) {
            double c0 = ThreadCpuMs();
            Clock::time_point t0 = Clock::now();
            d.SendCommand(rv::res::kRenewalButton);
            run.wallMs = Ms(Clock::now() - t0);
            run.cpuMs = ThreadCpuMs() - c0;
        });
    run.issued = World().Store().IssueCount() == issuesBefore + 1;
    World().UseTokenCard(false);
    return run;
}

void BM_FullRenewal(benchmark::State& state) {
    double cpuTotal = 0;
    int failures = 0;
    for (auto _ : state) {
        RenewalRun run = RenewOnce(false);
        failures += run.issued ? 0 : 1;
        state.SetIterationTime(run.wallMs / 1e3);
        cpuTotal += run.cpuMs;
    }
    state.counters["client_cpu_ms"] = benchmark::Counter(cpuTotal / static_cast<double>(state.iterations()));
    state.counters["failures"] = failures;
}
BENCHMARK(BM_FullRenewal)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// The same renewal on a SoftHSM2 token through the token card plugin. Each iteration renews a software
// card and then a token, so the two see the same machine (a shared machine's disk load changes from one
// second to the next); the software card's figure of the same iterations is the counter softcard_ms.
void BM_FullRenewalToken(benchmark::State& state) {
    double cpuTotal = 0, softTotal = 0;
    int failures = 0;
    for (auto _ : state) {
        RenewalRun soft = RenewOnce(false);
        RenewalRun run = RenewOnce(true);
        failures += (run.issued ? 0 : 1) + (soft.issued ? 0 : 1);
        state.SetIterationTime(run.wallMs / 1e3);
        cpuTotal += run.cpuMs;
        softTotal += soft.wallMs;
    }
    auto n = static_cast<double>(state.iterations());
    state.counters["client_cpu_ms"] = benchmark::Counter(cpuTotal / n);
    state.counters["softcard_ms"] = benchmark::Counter(softTotal / n);
    state.counters["failures"] = failures;
}
BENCHMARK(BM_FullRenewalToken)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

// Starts the client as a process in the demo folder; its stdout comes back through `outFd`.
pid_t Spawn(const std::vector<std::string>& args, int& outFd, bool screenshots = true) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return -1;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 2);
        ::close(fds[0]);
        if (::chdir(World().Work().c_str()) != 0) {
            ::_exit(126);
        }
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        if (!screenshots) {
            ::setenv("RENVORA_UNATTENDED_SHOTS", "0", 1);
        }
        std::vector<char*> argv;
        std::string exe = kClient;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    outFd = fds[0];
    return pid;
}

// Reads the child's stdout until `marker` appears (at most 30 s); the time it appeared.
bool WaitForLine(int fd, const std::string& marker, Clock::time_point& at) {
    std::string text;
    auto deadline = Clock::now() + std::chrono::seconds(30);
    pollfd p{fd, POLLIN, 0};
    while (Clock::now() < deadline) {
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        text.append(buf, static_cast<std::size_t>(n));
        if (text.find(marker) != std::string::npos) {
            at = Clock::now();
            return true;
        }
    }
    return false;
}

std::string Drain(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

void BM_ProcessStartupToLogin(benchmark::State& state) {
    fs::path shots = World().Work() / "shots";
    for (auto _ : state) {
        state.PauseTiming();
        World().NewCard();
        state.ResumeTiming();
        int fd = -1;
        Clock::time_point start = Clock::now(), shown = start;
        pid_t pid = Spawn({"--unattended", shots.string()}, fd);
        bool ok = WaitForLine(fd, "[login]", shown);
        state.SetIterationTime(Ms(shown - start) / 1e3);
        Drain(fd);
        ::waitpid(pid, nullptr, 0);
        if (!ok) {
            state.SkipWithError("the login dialog never appeared");
            break;
        }
    }
}
BENCHMARK(BM_ProcessStartupToLogin)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(7);

void BM_ProcessRenewal(benchmark::State& state) {
    fs::path shots = World().Work() / "shots";
    double peakMb = 0, cpuMs = 0, renewalMs = 0, renewalCpuMs = 0;
    int failures = 0;
    for (auto _ : state) {
        state.PauseTiming();
        World().NewCard();
        state.ResumeTiming();
        int fd = -1;
        Clock::time_point start = Clock::now();
        // No screenshots: the run costs what a person's run costs.
        pid_t pid = Spawn({"--unattended", shots.string()}, fd, false);
        std::string out = Drain(fd);
        int status = 0;
        rusage ru{};
        ::wait4(pid, &status, 0, &ru);
        state.SetIterationTime(Ms(Clock::now() - start) / 1e3);
        // The client's own account of the button-to-end span: "[main] the renewal took W ms (C ms CPU)".
        double wall = 0, cpu = 0;
        std::size_t at = out.find("[main] the renewal took ");
        bool timed =
            at != std::string::npos &&
            std::sscanf(out.c_str() + at, "[main] the renewal took %lf ms (%lf ms CPU)", &wall, &cpu) == 2;
        failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 && timed ? 0 : 1;
        renewalMs += wall;
        renewalCpuMs += cpu;
        peakMb = std::max(peakMb, ru.ru_maxrss / 1024.0);
        cpuMs += (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
                 (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["peak_rss_MB"] = peakMb;
    state.counters["client_cpu_ms"] = cpuMs / n;
    state.counters["renewal_ms"] = renewalMs / n;
    state.counters["renewal_cpu_ms"] = renewalCpuMs / n;
    state.counters["failures"] = failures;
}
BENCHMARK(BM_ProcessRenewal)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

// Eight clients, each with a card of its own (enrolled fresh into `store`), renew `perClient` times each
// through `port`. Adds the renewals the store recorded and the seconds it took; returns the errors
// (failed renewals, and sets missing from the store).
int EightClientsRenew(rv::server::Store& store, const rv::server::CertificateAuthority& ca, int port,
                      int perClient, double& recorded, double& seconds, std::string& error) {
    constexpr int kClients = 8;
    std::vector<rv::server::SimCard> cards(kClients);
    for (int i = 0; i < kClients; ++i) {
        static int serial = 0;
        if (!rv::server::EnrolSimCard(store, ca,
                                      "S" + std::to_string(::getpid()) + "-" + std::to_string(++serial), 30,
                                      cards[i], error)) {
            return -1;
        }
    }
    const std::size_t issuesBefore = store.IssueCount();
    const Clock::time_point start = Clock::now();
    std::vector<int> failed(kClients, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            rv::server::ProtocolClient client("127.0.0.1", port);
            auto deadline = Clock::now() + std::chrono::seconds(60);
            for (int n = 0; n < perClient && Clock::now() < deadline; ++n) {
                std::string why;
                if (!rv::server::RunRenewal(client, cards[i], why)) {
                    ++failed[i];
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    int errors = 0;
    for (int f : failed) {
        errors += f;
    }
    const std::size_t made = store.IssueCount() - issuesBefore;
    if (made != static_cast<std::size_t>(kClients * perClient)) {
        errors += static_cast<int>(kClients * perClient - made);
    }
    recorded += static_cast<double>(made);
    return errors;
}

void BM_ServerRenewals8Clients(benchmark::State& state) {
    int errors = 0;
    double recordedAll = 0, secondsAll = 0;
    for (auto _ : state) {
        double seconds = 0;
        std::string error;
        const int e = EightClientsRenew(World().Store(), World().Ca(), World().Port(),
                                        static_cast<int>(state.range(0)), recordedAll, seconds, error);
        if (e < 0) {
            state.SkipWithError(error.c_str());
            return;
        }
        errors += e;
        state.SetIterationTime(seconds);
        secondsAll += seconds;
    }
    state.counters["renewals_per_s"] = secondsAll > 0 ? recordedAll / secondsAll : 0;
    state.counters["errors"] = errors;
}
BENCHMARK(BM_ServerRenewals8Clients)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// renvora-server processes as a deployment runs them: on the data folder's SQLite store (one server), or
// on PostgreSQL (one server, or three behind HAProxy). Made on first use, kept for the repetitions.
class FleetWorld {
public:
    FleetWorld(bool postgres, std::size_t servers) {
        std::string error;
        char templ[] = "/tmp/renvora-bench-fleet-XXXXXX";
        if (::mkdtemp(templ) == nullptr) {
            Fail("mkdtemp");
        }
        root_ = templ;
        rv::stack::Reaper::Get().WatchFolder(root_);
        if (postgres && !(db_ = rv::stack::PgCluster::Primary(error))) {
            Fail(error);
        }
        rv::server::StoreLocation where{postgres, postgres ? db_->Url() : (root_ / "data").string()};
        if (!(store_ = rv::server::OpenStore(where, false, error, 2)) ||
            !(ca_ = rv::server::CertificateAuthority::Open(root_ / "data", error))) {
            Fail(error);
        }
        rv::stack::FleetOptions o;
        o.servers = servers;
        o.program = fs::path(RENVORA_BUILD_DIR) / "server" / "renvora-server";
        o.data = root_ / "data";
        o.store = postgres ? db_->Url() : "";
        o.logFolder = root_;
        // As the in-process server: one card renews 50 times a second, and renews again at once.
        o.extraArgs = {"--cert-days",     "90",        "--verify-limit", "1000000",
                       "--trusted-proxy", "127.0.0.1", "--quiet"};
        if (!(fleet_ = rv::stack::Fleet::Start(o, error))) {
            Fail(error);
        }
        port_ = fleet_->Port(0);
        if (servers > 1) {
            if (!(proxy_ = rv::stack::Haproxy::Start(fleet_->Backends(), error))) {
                Fail(error);
            }
            for (std::size_t i = 0; i < servers; ++i) {
                if (!proxy_->WaitState(i, "UP", std::chrono::seconds(60))) {
                    Fail("HAProxy does not see server " + std::to_string(i));
                }
            }
            port_ = proxy_->Port();
        }
    }
    ~FleetWorld() {
        proxy_.reset();
        fleet_.reset();
        store_.reset();
        db_.reset();
        std::error_code ec;
        fs::remove_all(root_, ec);
        rv::stack::Reaper::Get().ForgetFolder(root_);
    }
    rv::server::Store& Store() { return *store_; }
    const rv::server::CertificateAuthority& Ca() const { return *ca_; }
    int Port() const { return port_; }
    // CPU seconds used so far by the servers, the database's processes and the load balancer.
    struct Cpu {
        double servers = 0, database = 0, proxy = 0;
    };
    Cpu CpuSoFar() const {
        Cpu cpu;
        for (std::size_t i = 0; i < fleet_->Size(); ++i) {
            cpu.servers += rv::stack::CpuSeconds(fleet_->Pid(i));
        }
        for (pid_t p : db_ ? db_->Processes() : std::vector<pid_t>()) {
            cpu.database += rv::stack::CpuSeconds(p);
        }
        cpu.proxy = proxy_ ? rv::stack::CpuSeconds(proxy_->Pid()) : 0;
        return cpu;
    }

private:
    [[noreturn]] static void Fail(const std::string& why) {
        std::fprintf(stderr, "bench: %s\n", why.c_str());
        std::exit(1);
    }
    fs::path root_;
    std::unique_ptr<rv::stack::PgCluster> db_;
    std::unique_ptr<rv::server::Store> store_;
    std::unique_ptr<rv::server::CertificateAuthority> ca_;
    std::unique_ptr<rv::stack::Fleet> fleet_;
    std::unique_ptr<rv::stack::Haproxy> proxy_;
    int port_ = 0;
};

// The three deployments side by side, made on first use and kept: SQLite with one server, PostgreSQL
// with one server, and three servers behind HAProxy (each PostgreSQL world on a cluster of its own).
// Their rounds alternate, so that what else runs on the machine weighs on all three alike.
void BM_StoreRenewalsCompared(benchmark::State& state) {
    static FleetWorld sqlite(false, 1);
    static FleetWorld postgres(true, 1);
    static FleetWorld three(true, 3);
    FleetWorld* worlds[] = {&sqlite, &postgres, &three};
    const std::string names[] = {"sqlite_1", "postgres_1", "postgres_3"};
    double recorded[3] = {}, seconds[3] = {};
    // Where the CPU goes, per renewal: the servers, the database, the load balancer, the clients (this
    // process: the cards' keys and signatures, and the HTTP client).
    double server[3] = {}, database[3] = {}, proxy[3] = {}, client[3] = {};
    const auto selfCpu = [] {
        rusage u{};
        ::getrusage(RUSAGE_SELF, &u);
        return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
               static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    int errors = 0;
    for (auto _ : state) {
        double total = 0;
        for (int w = 0; w < 3; ++w) {
            std::string error;
            const double before = seconds[w];
            const FleetWorld::Cpu cpuBefore = worlds[w]->CpuSoFar();
            const double selfBefore = selfCpu();
            const int e = EightClientsRenew(worlds[w]->Store(), worlds[w]->Ca(), worlds[w]->Port(),
                                            static_cast<int>(state.range(0)), recorded[w], seconds[w], error);
            if (e < 0) {
                state.SkipWithError(error.c_str());
                return;
            }
            const FleetWorld::Cpu cpuAfter = worlds[w]->CpuSoFar();
            server[w] += cpuAfter.servers - cpuBefore.servers;
            database[w] += cpuAfter.database - cpuBefore.database;
            proxy[w] += cpuAfter.proxy - cpuBefore.proxy;
            client[w] += selfCpu() - selfBefore;
            errors += e;
            total += seconds[w] - before;
        }
        state.SetIterationTime(total);
    }
    for (int w = 0; w < 3; ++w) {
        const double n = std::max(recorded[w], 1.0);
        state.counters[names[w] + "_per_s"] = seconds[w] > 0 ? recorded[w] / seconds[w] : 0;
        state.counters[names[w] + "_server_cpu_ms"] = 1000 * server[w] / n;
        state.counters[names[w] + "_db_cpu_ms"] = 1000 * database[w] / n;
        state.counters[names[w] + "_proxy_cpu_ms"] = 1000 * proxy[w] / n;
        state.counters[names[w] + "_client_cpu_ms"] = 1000 * client[w] / n;
    }
    state.counters["postgres_1_vs_sqlite"] = seconds[0] > 0 && seconds[1] > 0 && recorded[0] > 0
                                                 ? (recorded[1] / seconds[1]) / (recorded[0] / seconds[0])
                                                 : 0;
    state.counters["errors"] = errors;
}
BENCHMARK(BM_StoreRenewalsCompared)->Arg(50)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int qargc = 1;
    static char name[] = "renvora-bench";
    static char* qargv[] = {name, nullptr};
    QApplication app(qargc, qargv);
    rv::qt::InitPlatform();
    World();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete &World();
    return 0;
}
