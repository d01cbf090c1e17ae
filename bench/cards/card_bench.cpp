// One run, three cards: the same in-process renewal (button to success, questions answered at once,
// the reference server on loopback in this process) on the software card, on a SoftHSM2 token and on
// the emulated MyEID card over pcscd and OpenSC (the card stack of tests/cardstack; needs root). The
// cards take turns in every round, so all three see the same moments of the machine. Each card method
// is timed by a forwarding control (timing_control.so); for the emulated card the card's commands in
// the renewal are counted and the emulator's own time in them summed from its log.
//   renvora_card_bench [ROUNDS]   (scripts/bench-cards prints the medians)
#include "app/CRenvoraApp.h"
#include "app/unattended.h"
#include "card/dispids.h"
#include "core/ca.h"
#include "core/http_server.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "core/store.h"
#include "enrol/enrol.h"
#include "platform/registry.h"
#include "support/card_stack.h"
#include "support/qt_app.h"
#include "support/test_ca.h"
#include "support/test_env.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace {

namespace fs = std::filesystem;
using rv::test::CardStack;

const char* const kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";
const std::string kTimingPlugin = RENVORA_BUILD_DIR "/bench/timing_control.so";

long long NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

double Median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

const std::map<int, const char*> kMethods = {
    {rv::dispid::OpenCard, "OpenCard"},         {rv::dispid::CloseCard, "CloseCard"},
    {rv::dispid::ReadCardInfo, "ReadCardInfo"}, {rv::dispid::VerifyPassword, "VerifyPassword"},
    {rv::dispid::SignData, "SignData"},         {rv::dispid::InitUpdate, "InitUpdate"},
    {rv::dispid::WriteCard, "WriteCard"},       {rv::dispid::ReadCryptAlgo, "ReadCryptAlgo"}};

struct Card {
    std::string name;
    fs::path classes;
    std::vector<double> wall, cpu, commands, cardMs;
    std::map<std::string, std::vector<double>> methods; // per renewal, summed over the calls
};

struct Round {
    double wallMs = 0, cpuMs = 0;
    std::map<std::string, double> methods;
    bool ok = false;
};

// One renewal through the client with the card registered under `classes`.
Round Renew(const fs::path& classes, const fs::path& times) {
    ::setenv("RENVORA_CLASSES_ROOT", classes.c_str(), 1);
    fs::remove(times);
    long long pressed = 0;
    rv::CRenvoraApp app;
    rv::UnattendedOptions options;
    options.screenshots = false;
    options.print = [&](const std::string& line) {
        if (line.find("pressing the renewal button") != std::string::npos) {
            pressed = NowNs();
        }
    };
    rv::UnattendedResult r = rv::RunUnattended(app, options);
    Round round;
    round.ok = r.exitCode == 0;
    if (!round.ok) {
        std::fprintf(stderr, "bench-cards: renewal failed: %s %s\n", r.failure.c_str(),
                     r.messages.empty() ? "" : r.messages.back().c_str());
    }
    round.wallMs = r.renewalWallMs;
    round.cpuMs = r.renewalCpuMs;
    std::ifstream in(times);
    int dispid = 0;
    long long start = 0, end = 0;
    while (in >> dispid >> start >> end) {
        auto it = kMethods.find(dispid);
        // Only the calls the renewal makes (button to end); the login's come before.
        if (it != kMethods.end() && pressed > 0 && start >= pressed) {
            round.methods[it->second] += static_cast<double>(end - start) / 1e6;
        }
    }
    return round;
}

// The emulated card's log: its commands so far, and the emulator's own time in them (µs).
void CardLog(const fs::path& log, long& commands, double& cardUs) {
    std::ifstream in(log);
    std::string line;
    commands = 0;
    cardUs = 0;
    while (std::getline(in, line)) {
        if (line.rfind("cmd ", 0) == 0) {
            ++commands;
        } else if (line.rfind("card ", 0) == 0) {
            cardUs += std::atof(line.c_str() + 5);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (std::string why = CardStack::SkipReason(); !why.empty()) {
        std::fprintf(stderr, "bench-cards: %s\n", why.c_str());
        return 2;
    }
    rv::test::QtApp();
    rv::test::TempWorkDir dir; // the working folder, drive root and data folder of the client
    const fs::path data = dir.path() / "server-data";
    std::string error;
    auto ca = rv::server::CertificateAuthority::Open(data, error);
    rv::server::SqliteStore store;
    if (!ca || !store.Open(data, error)) {
        std::fprintf(stderr, "bench-cards: %s\n", error.c_str());
        return 1;
    }
    rv::server::ServiceOptions serviceOptions;
    // Each card renews many times in a few minutes here, every time with the client's wide MaxDay below.
    serviceOptions.verify.cardLimit = 1000000;
    serviceOptions.renewalWindowDays = 3650;
    rv::server::RenewalService service(store, *ca, serviceOptions);
    rv::server::HttpOptions httpOptions;
    httpOptions.log = false;
    rv::server::HttpServer http(service, httpOptions);
    if (!http.Bind(error)) {
        std::fprintf(stderr, "bench-cards: %s\n", error.c_str());
        return 1;
    }
    http.RunInBackground();
    dir.Write("Config/conf.ini", "realmName=http://127.0.0.1:" + std::to_string(http.Port()) + "\r\n");
    // Every renewed certificate is inside this window again, so one card is renewed round after round.
    dir.Write("drive_c/Windows/time.ini", "MaxDay=3650\r\n");
    const fs::path times = dir.path() / "card-times";
    ::setenv("RENVORA_CARD_TIMES", times.c_str(), 1);

    auto enrol = [&](rv::server::EnrolRequest r, const std::string& seq) {
        r.dataDir = data;
        r.pin = CardStack::kPin;
        r.managePassword = "88888888";
        r.days = 30;
        r.holder = rv::server::DemoHolder();
        r.holder.certSeqNo = seq;
        rv::server::EnrolResult result;
        std::string why;
        if (!rv::server::Enrol(r, result, why)) {
            std::fprintf(stderr, "bench-cards: enrol %s: %s\n", seq.c_str(), why.c_str());
            std::exit(1);
        }
    };
    auto registerCard = [&](const std::string& name) {
        fs::path classes = dir.path() / ("classes-" + name);
        rv::reg::RegisterControl(classes, rv::kCardControlClsid, name, kTimingPlugin);
        return classes;
    };
    std::vector<Card> cards(3);

    // The software card: an image file.
    cards[0].name = "software card";
    cards[0].classes = registerCard("soft");
    {
        rv::server::EnrolRequest r;
        r.cardImage = dir.path() / "card" / "card.json";
        enrol(r, "BENCHSOFT1");
        ::setenv("RENVORA_CARD_IMAGE", r.cardImage.c_str(), 1);
    }
    // SoftHSM2: a private token folder beside the card image (the same file system).
    cards[1].name = "SoftHSM2 token";
    cards[1].classes = registerCard("softhsm");
    rv::reg::WriteValue(cards[1].classes, rv::kCardControlKey, "Pkcs11Module", kSoftHsmModule);
    rv::reg::WriteValue(cards[1].classes, rv::kCardControlKey, "TokenLabel", "bench");
    dir.Write("softhsm2.conf", "directories.tokendir = " + (dir.path() / "tokens").string() +
                                   "\nobjectstore.backend = file\nlog.level = ERROR\n");
    fs::create_directories(dir.path() / "tokens");
    ::setenv("SOFTHSM2_CONF", (dir.path() / "softhsm2.conf").c_str(), 1);
    if (rv::test::RunCommand("softhsm2-util --init-token --free --label bench --so-pin 87654321 --pin 123456")
            .exitCode != 0) {
        std::fprintf(stderr, "bench-cards: softhsm2-util failed\n");
        return 1;
    }
    {
        rv::server::EnrolRequest r;
        r.token = rv::server::TokenTarget{kSoftHsmModule, "bench", ""};
        r.cryptAlgo = "ECC";
        enrol(r, "BENCHHSM1");
    }
    // The emulated card in vpcd's reader under pcscd, through OpenSC.
    cards[2].name = "emulated card (pcscd)";
    cards[2].classes = registerCard("emulated");
    rv::reg::WriteValue(cards[2].classes, rv::kCardControlKey, "Pkcs11Module", CardStack::OpenScModule());
    rv::reg::WriteValue(cards[2].classes, rv::kCardControlKey, "TokenLabel", CardStack::kTokenLabel);
    CardStack stack(dir.path() / "stack");
    std::string log;
    if (!stack.StartReader() || !stack.InsertCard() || !stack.Personalise(log)) {
        std::fprintf(stderr, "bench-cards: the card stack did not come up\n%s", log.c_str());
        return 1;
    }
    {
        rv::server::EnrolRequest r;
        r.token = rv::server::TokenTarget{CardStack::OpenScModule(), CardStack::kTokenLabel, ""};
        r.cryptAlgo = "ECC";
        enrol(r, "BENCHEMU1");
    }
    const std::string plugins[3] = {RENVORA_BUILD_DIR "/softcard/softcard.so",
                                    RENVORA_BUILD_DIR "/p11card/p11card.so",
                                    RENVORA_BUILD_DIR "/p11card/p11card.so"};
    const fs::path cardLog = stack.folder() / "card.log";

    std::fprintf(stderr, "bench-cards: %d rounds after one warm-up (load average now: %s)\n", rounds,
                 rv::test::ReadAll("/proc/loadavg").substr(0, 14).c_str());
    int failures = 0;
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t i = 0; i < cards.size(); ++i) {
            ::setenv("RENVORA_TIMED_PLUGIN", plugins[i].c_str(), 1);
            long commandsBefore = 0, commandsAfter = 0;
            double cardUsBefore = 0, cardUsAfter = 0;
            CardLog(cardLog, commandsBefore, cardUsBefore);
            // What earlier rounds wrote is on the disk before a renewal starts, as a card's enrolment or last
            // renewal is long before the next (SoftHSM2 leaves its files to the page cache, and ext4 makes a
            // truncation of a file wait for its pending writes).
            if (int fd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY); fd >= 0) {
                ::syncfs(fd);
                ::close(fd);
            }
            Round r = Renew(cards[i].classes, times);
            CardLog(cardLog, commandsAfter, cardUsAfter);
            failures += r.ok ? 0 : 1;
            if (round == 0 || !r.ok) {
                continue; // the warm-up: files and libraries read once
            }
            Card& c = cards[i];
            c.wall.push_back(r.wallMs);
            c.cpu.push_back(r.cpuMs);
            for (const auto& [name, ms] : r.methods) {
                c.methods[name].push_back(ms);
            }
            if (i == 2) {
                c.commands.push_back(static_cast<double>(commandsAfter - commandsBefore));
                c.cardMs.push_back((cardUsAfter - cardUsBefore) / 1e3);
            }
        }
    }
    http.Stop();

    std::printf("%-24s %9s %9s   card methods in the renewal (median ms)\n", "card (medians)", "wall ms",
                "cpu ms");
    for (const Card& c : cards) {
        std::printf("%-24s %9.1f %9.1f  ", c.name.c_str(), Median(c.wall), Median(c.cpu));
        double inCard = 0;
        for (const auto& [name, ms] : c.methods) {
            std::printf(" %s %.1f", name.c_str(), Median(ms));
            inCard += Median(ms);
        }
        std::printf("; outside the card methods %.1f\n", Median(c.wall) - inCard);
    }
    const Card& e = cards[2];
    std::printf(
        "emulated card: %.0f commands per renewal, %.2f ms each (wall / commands); the emulator's own "
        "time %.1f ms\n",
        Median(e.commands), Median(e.wall) / std::max(Median(e.commands), 1.0), Median(e.cardMs));
    std::printf("ratios (wall): SoftHSM2 / software card %.2f, emulated / software card %.2f\n",
                Median(cards[1].wall) / Median(cards[0].wall), Median(cards[2].wall) / Median(cards[0].wall));
    std::printf("failed renewals: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
