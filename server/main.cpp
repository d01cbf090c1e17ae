// renvora-server: the reference renewal server, and the enrolment of cards (software cards or PKCS#11
// tokens) for it.
//
//   renvora-server [serve] [--listen ADDR] [--port N] [--data DIR] [--cert FILE --key FILE]
//                  [--cert-days N] [--random-ttl SECONDS] [limits] [--quiet]
//   renvora-server enrol --data DIR (--card-image FILE | --token-module M [--token-label L]
//                  [--token-serial S]) [--pin-file FILE] [--manage-password-file FILE] [--days N]
//                  [--replace] [holder options, see --help]
//   renvora-server issues --data DIR | --store STORE
//   renvora-server withdraw (--data DIR | --store STORE) --cert-seq-no S
//   renvora-server migrate --from sqlite:DIR --to postgresql://...
#include "core/admin_server.h"
#include "core/ca.h"
#include "core/files.h"
#include "core/http_server.h"
#include "core/listener.h"
#include "core/metrics.h"
#include "core/migrate.h"
#include "core/observed_store.h"
#include "core/pg_store.h"
#include "core/server_metrics.h"
#include "core/service.h"
#include "core/sqlite_store.h"
#include "core/store_open.h"
#include "enrol/enrol.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <map>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace rv::server;

const char* kUsage =
    "usage:\n"
    "  renvora-server [serve] [--listen ADDR] [--port N] [--data DIR] [--cert FILE --key FILE]\n"
    "                 [--cert-days N] [--random-ttl SECONDS] [--max-body BYTES] [--max-body-total BYTES]\n"
    "                 [--request-timeout SECONDS] [--max-connections N] [--max-connections-per-address N]\n"
    "                 [--verify-limit N] [--verify-limit-source N] [--renewal-window DAYS]\n"
    "                 [--grace-days DAYS] [--admin-listen ADDR:PORT] [--store STORE]\n"
    "                 [--trusted-proxy ADDR[,ADDR...]] [--quiet]\n"
    "      Serves the renewal service (default 127.0.0.1, port 8080, data folder ./server-data).\n"
    "      --port 0 takes a free port. Prints one line 'listening on http[s]://ADDR:PORT'.\n"
    "      --admin-listen: a separate listener for operators (GET /healthz, /readyz, /metrics in the\n"
    "      Prometheus format); then prints a second line 'admin listening on http://ADDR:PORT'.\n"
    "      --store postgresql://HOST[:PORT][,HOST2[:PORT]]/DB[?target_session_attrs=read-write]: the\n"
    "      store of several servers (a password goes in ~/.pgpass, never in the URL); the data folder\n"
    "      then holds the CA only. Default: the data folder's SQLite store (sqlite:DIR names another).\n"
    "      --trusted-proxy: load balancers whose X-Forwarded-For names the client the limits count.\n"
    "      Limits: a request body (64 KiB) and the bodies being received together (16 MiB, at least\n"
    "      --max-body); a request arrives whole within --request-timeout seconds (10); connections in\n"
    "      all (2000) and per client address or IPv6 /64 (32), fitted to the descriptor limit; failed\n"
    "      verifications per client address (5 an hour, then a wait doubling from a minute) and per card\n"
    "      from all addresses (100 an hour). A certificate renews from --renewal-window days before its\n"
    "      end (180); once a set was issued from it, it renews again only within --grace-days (3).\n"
    "  renvora-server enrol --data DIR --card-image FILE [--pin-file FILE] [--manage-password-file FILE]\n"
    "                 [--days N] [--replace] [--cert-seq-no S] [--name S] [--id-type S]\n"
    "                 [--id-number S] [--field5 S] [--card-number S] [--unit-name S] [--unit-code S]\n"
    "                 [--field9 S] [--ra-code S] [--card-type S] [--crypt-algo S] [--store STORE]\n"
    "      Creates a software-card image and the server's record of it; the card's certificate,\n"
    "      issued by the server's CA, ends in N days (default 30). Texts are UTF-8; holder data\n"
    "      default to a demo legal-person card. The PIN and the management password are never\n"
    "      taken from the command line (other users can read it): each comes from its file\n"
    "      (first line; '-' reads standard input, the PIN's line first), else from the environment\n"
    "      (RENVORA_ENROL_PIN, RENVORA_ENROL_MANAGE_PASSWORD), else the demo values 123456 and 88888888,\n"
    "      with a warning.\n"
    "  renvora-server enrol --data DIR --token-module M [--token-label L] [--token-serial S] ...\n"
    "      The same onto a PKCS#11 token (module: library path or p11-kit module name): the key pair is\n"
    "      generated on the token, the PIN is the token's user PIN, --crypt-algo ECC (default) or RSA.\n"
    "  renvora-server issues --data DIR | --store STORE\n"
    "      Lists every set of certificates the server issued, with its state (pending, confirmed or\n"
    "      superseded). Reads the store only; fails when there is none.\n"
    "  renvora-server withdraw (--data DIR | --store STORE) --cert-seq-no S\n"
    "      Supersedes the card's pending sets, once the holder's card is found to hold none of them (every\n"
    "      answer lost past the grace period), so that its confirmed certificate renews again.\n"
    "  renvora-server migrate --from sqlite:DIR --to postgresql://...\n"
    "      Copies the SQLite store of DIR into an empty PostgreSQL database in one transaction (every\n"
    "      table and the random key), checks every table's count before it commits; refuses a target\n"
    "      that holds cards or sets.\n"
    "  renvora-server --help | --version\n";

// --name value pairs after the subcommand; flags without a value map to "1".
bool ParseOptions(int argc, char** argv, int first, const std::vector<std::string>& flags,
                  std::map<std::string, std::string>& out) {
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (arg == "--version") {
            std::printf("renvora-server %s\n", RENVORA_VERSION);
            std::exit(0);
        }
        if (arg.rfind("--", 0) != 0) {
            std::fprintf(stderr, "renvora-server: unexpected argument '%s'\n", arg.c_str());
            return false;
        }
        std::string name = arg.substr(2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            out[name] = "1";
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "renvora-server: %s needs a value\n", arg.c_str());
            return false;
        }
        out[name] = argv[++i];
    }
    return true;
}

bool ToInt(const std::map<std::string, std::string>& opts, const char* name, long lo, long hi, int& out) {
    auto it = opts.find(name);
    if (it == opts.end()) {
        return true;
    }
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(it->second.c_str(), &end, 10);
    if (errno != 0 || end == it->second.c_str() || *end != '\0' || v < lo || v > hi) {
        std::fprintf(stderr, "renvora-server: --%s must be a whole number from %ld to %ld\n", name, lo, hi);
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

std::string Opt(const std::map<std::string, std::string>& opts, const char* name, const std::string& def) {
    auto it = opts.find(name);
    return it == opts.end() ? def : it->second;
}

bool CheckKnown(const std::map<std::string, std::string>& opts, const std::vector<std::string>& known) {
    for (const auto& [name, value] : opts) {
        if (std::find(known.begin(), known.end(), name) == known.end()) {
            std::fprintf(stderr, "renvora-server: unknown option --%s (see --help)\n", name.c_str());
            return false;
        }
    }
    return true;
}

// The data folder holds the CA's key and every card's management password: say so when other users
// can reach into it (an old installation, or a folder made by hand).
void WarnIfShared(const std::string& dataDir) {
    struct stat st {};
    if (::stat(dataDir.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
        std::fprintf(stderr,
                     "renvora-server: warning: the data folder %s has mode %04o: other users can reach the "
                     "CA key and the cards' management passwords; make it 0700 (chmod 700 %s)\n",
                     dataDir.c_str(), static_cast<unsigned>(st.st_mode & 07777), dataDir.c_str());
    }
}

// Every connection is a descriptor: take as many as the hard limit allows, and fit the connection limits
// to what there is, so that accepting never fails for want of one (libmicrohttpd then stalls every
// request for seconds). Says so on stderr when it had to lower them; false when too few are left at all.
bool FitToDescriptors(HttpOptions& http) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return true;
    }
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &files) != 0) {
            ::getrlimit(RLIMIT_NOFILE, &files);
        }
    }
    // Standard streams, the listener, epoll, the store's files, TLS and the system's libraries.
    constexpr rlim_t kReserve = 64;
    if (files.rlim_cur == RLIM_INFINITY ||
        HttpServer::DescriptorsFor(http.maxConnections) + kReserve <= files.rlim_cur) {
        return true;
    }
    int fitted = 0;
    while (HttpServer::DescriptorsFor(fitted + 1) + kReserve <= files.rlim_cur) {
        ++fitted;
    }
    if (fitted < 1) {
        std::fprintf(
            stderr,
            "renvora-server: the descriptor limit is %llu: too few to serve; raise it (LimitNOFILE= in "
            "the service's unit, ulimit -n)\n",
            static_cast<unsigned long long>(files.rlim_cur));
        return false;
    }
    std::fprintf(stderr,
                 "renvora-server: warning: the descriptor limit is %llu (the hard limit allows no more): "
                 "--max-connections lowered from %d to %d%s so that every connection has its descriptor; "
                 "raise the limit (LimitNOFILE= in the service's unit, ulimit -Hn) to serve more\n",
                 static_cast<unsigned long long>(files.rlim_cur), http.maxConnections, fitted,
                 http.maxConnectionsPerAddress > fitted ? " (and --max-connections-per-address with it)"
                                                        : "");
    http.maxConnections = fitted;
    http.maxConnectionsPerAddress = std::min(http.maxConnectionsPerAddress, fitted);
    return true;
}

// The store, then the CA: a folder whose store has cards must have its CA, and a folder with a CA must
// have its store; only a new folder (and a new store) gets both. With PostgreSQL the data folder holds the
// CA alone; every server of a deployment has a copy of the same one.
bool OpenData(const std::string& dataDir, const StoreLocation& location, int connections,
              std::unique_ptr<Store>& store, std::unique_ptr<CertificateAuthority>& ca, std::string& error) {
    store = OpenStore(location, false, error, connections);
    if (!store) {
        // SQLite's reasons name the folder and the file already; libpq's do not name the database.
        if (location.postgres) {
            error = "store " + location.Describe() + ": " + error;
        }
        return false;
    }
    ca = CertificateAuthority::Open(dataDir, error, store->CardCount() == 0 && store->IssueCount() == 0);
    return ca != nullptr;
}

int Serve(int argc, char** argv, int first) {
    std::map<std::string, std::string> opts;
    if (!ParseOptions(argc, argv, first, {"quiet"}, opts) || !CheckKnown(opts, {"listen",
                                                                                "port",
                                                                                "data",
                                                                                "cert",
                                                                                "key",
                                                                                "cert-days",
                                                                                "random-ttl",
                                                                                "max-body",
                                                                                "max-body-total",
                                                                                "request-timeout",
                                                                                "max-connections",
                                                                                "max-connections-per-address",
                                                                                "verify-limit",
                                                                                "verify-limit-source",
                                                                                "renewal-window",
                                                                                "grace-days",
                                                                                "admin-listen",
                                                                                "store",
                                                                                "trusted-proxy",
                                                                                "quiet"})) {
        return 2;
    }
    HttpOptions http;
    ServiceOptions service;
    int maxBody = static_cast<int>(http.maxBody);
    int maxBodyTotal = static_cast<int>(http.bodyBudget);
    http.listen = Opt(opts, "listen", "127.0.0.1");
    http.port = 8080;
    http.certFile = Opt(opts, "cert", "");
    http.keyFile = Opt(opts, "key", "");
    http.log = opts.count("quiet") == 0;
    if (!ToInt(opts, "port", 0, 65535, http.port) || !ToInt(opts, "cert-days", 1, 36500, service.certDays) ||
        !ToInt(opts, "random-ttl", 1, 86400, service.randomTtlSeconds) ||
        !ToInt(opts, "max-body", 1024, 16 << 20, maxBody) ||
        !ToInt(opts, "max-body-total", 1024, 1 << 30, maxBodyTotal) ||
        !ToInt(opts, "request-timeout", 1, 3600, http.requestTimeoutSeconds) ||
        !ToInt(opts, "max-connections", 1, 100000, http.maxConnections) ||
        !ToInt(opts, "max-connections-per-address", 1, 100000, http.maxConnectionsPerAddress) ||
        !ToInt(opts, "verify-limit", 1, 1000000, service.verify.cardLimit) ||
        !ToInt(opts, "verify-limit-source", 1, 1000000, service.verify.sourceFreeFailures) ||
        !ToInt(opts, "renewal-window", 0, 36500, service.renewalWindowDays)) {
        return 2;
    }
    int graceDays = service.renew.graceSeconds / 86400;
    if (!ToInt(opts, "grace-days", 0, 365, graceDays)) {
        return 2;
    }
    service.renew.graceSeconds = graceDays * 86400;
    http.maxBody = static_cast<std::size_t>(maxBody);
    http.bodyBudget = static_cast<std::size_t>(maxBodyTotal);
    if (http.certFile.empty() != http.keyFile.empty()) {
        std::fprintf(stderr, "renvora-server: --cert and --key go together\n");
        return 2;
    }
    std::string dataDir = Opt(opts, "data", "server-data");
    AdminOptions admin;
    std::string error;
    StoreLocation location;
    if (!ParseStoreLocation(Opt(opts, "store", ""), dataDir, location, error)) {
        std::fprintf(stderr, "renvora-server: --store: %s\n", error.c_str());
        return 2;
    }
    std::istringstream proxies(Opt(opts, "trusted-proxy", ""));
    for (std::string proxy; std::getline(proxies, proxy, ',');) {
        if (!proxy.empty()) {
            http.trustedProxies.push_back(proxy);
        }
    }
    if (opts.count("admin-listen") &&
        !SplitAddressPort(opts["admin-listen"], admin.listen, admin.port, error)) {
        std::fprintf(stderr, "renvora-server: --admin-listen %s\n", error.c_str());
        return 2;
    }

    // Signals are taken by one thread with sigwait, so a Ctrl-C stops the listener cleanly.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    if (!FitToDescriptors(http)) {
        return 1;
    }

    std::unique_ptr<CertificateAuthority> ca;
    std::unique_ptr<Store> store;
    // PostgreSQL: a connection for each worker, and one for the readiness check.
    if (!OpenData(dataDir, location, http.threads + 1, store, ca, error)) {
        std::fprintf(stderr, "renvora-server: %s\n", error.c_str());
        return 1;
    }
    WarnIfShared(dataDir);
    metrics::Registry registry;
    metrics::AddProcessMetrics(registry);
    ServerMetrics serverMetrics(registry, RENVORA_VERSION);
    ObservedStore observed(*store, serverMetrics);
    RenewalService renewal(observed, *ca, service);
    http.metrics = &serverMetrics;
    HttpServer server(renewal, http);
    if (location.postgres) {
        // The database answers a small read at once.
        auto* pg = static_cast<PgStore*>(store.get());
        admin.ready = [pg](std::string& reason) { return pg->Ping(reason); };
    } else {
        // A fresh read-only opening each time, so that a store gone or damaged under the running server
        // shows (an open connection would go on reading a deleted file).
        admin.ready = [where = location.where](std::string& reason) {
            SqliteStore probe;
            return probe.OpenReadOnly(where, reason);
        };
    }
    AdminServer adminServer(registry, &serverMetrics, admin);
    if (!server.Bind(error)) {
        std::fprintf(stderr, "renvora-server: %s\n", error.c_str());
        return 1;
    }
    if (opts.count("admin-listen") && !adminServer.Bind(error)) {
        std::fprintf(stderr, "renvora-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s://%s:%d\n", server.Tls() ? "https" : "http", http.listen.c_str(),
                server.Port());
    if (opts.count("admin-listen")) {
        const bool v6 = admin.listen.find(':') != std::string::npos;
        std::printf("admin listening on http://%s%s%s:%d\n", v6 ? "[" : "", admin.listen.c_str(),
                    v6 ? "]" : "", adminServer.Port());
    }
    std::fflush(stdout);
    std::fprintf(stderr, "renvora-server: data %s, store %s, %zu cards, %zu issues, CA %s/ca.crt\n",
                 dataDir.c_str(), location.Describe().c_str(), store->CardCount(), store->IssueCount(),
                 dataDir.c_str());

    std::thread signals([&] {
        int sig = 0;
        sigwait(&set, &sig);
        std::fprintf(stderr, "renvora-server: signal %d, stopping\n", sig);
        server.Stop();
    });
    server.Run();
    adminServer.Stop();
    // The listener may also end on its own (it never should); wake the signal thread then.
    // A signal directed at the thread blocked in sigwait: it takes it as its wake-up, nothing is killed.
    pthread_kill(signals.native_handle(), SIGTERM); // NOLINT(bugprone-bad-signal-to-kill-thread,cert-pos44-c)
    signals.join();
    return 0;
}

// A secret from its file's first line ("-": the next line of standard input), without the line end.
bool ReadSecret(const std::string& file, std::string& out) {
    std::string line;
    if (file == "-") {
        if (!std::getline(std::cin, line)) {
            std::fprintf(stderr, "renvora-server enrol: standard input ended before the secret\n");
            return false;
        }
    } else {
        std::string text, error;
        if (!ReadSecretFile(file, text, error)) {
            std::fprintf(stderr, "renvora-server enrol: %s\n", error.c_str());
            return false;
        }
        std::istringstream in(text);
        if (!std::getline(in, line)) {
            std::fprintf(stderr, "renvora-server enrol: %s is empty\n", file.c_str());
            return false;
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    out = line;
    return true;
}

// From --NAME-file, else the environment variable, else the demo value (with a warning: a card enrolled
// so has a secret everybody knows).
bool Secret(const std::map<std::string, std::string>& opts, const char* option, const char* variable,
            const char* what, const char* demo, std::string& out) {
    auto it = opts.find(option);
    if (it != opts.end()) {
        return ReadSecret(it->second, out);
    }
    const char* env = std::getenv(variable);
    if (env == nullptr) {
        std::fprintf(stderr,
                     "renvora-server enrol: warning: no %s given (--%s or %s): using the demo value %s, "
                     "which everybody knows\n",
                     what, option, variable, demo);
    }
    out = env != nullptr ? env : demo;
    return true;
}

int EnrolCommand(int argc, char** argv, int first) {
    std::map<std::string, std::string> opts;
    const std::vector<std::string> known = {
        "data",         "card-image", "pin-file",     "manage-password-file",
        "days",         "replace",    "cert-seq-no",  "name",
        "id-type",      "id-number",  "field5",       "card-number",
        "unit-name",    "unit-code",  "field9",       "ra-code",
        "card-type",    "crypt-algo", "token-module", "token-label",
        "token-serial", "store"};
    if (!ParseOptions(argc, argv, first, {"replace"}, opts)) {
        return 2;
    }
    if (opts.count("pin") || opts.count("manage-password")) {
        std::fprintf(stderr,
                     "renvora-server enrol: the PIN and the management password are not taken from the "
                     "command line, which every local user can read; use --pin-file and "
                     "--manage-password-file (a file, or - for standard input) or RENVORA_ENROL_PIN and "
                     "RENVORA_ENROL_MANAGE_PASSWORD\n");
        return 2;
    }
    if (!CheckKnown(opts, known)) {
        return 2;
    }
    bool token = opts.count("token-module") || opts.count("token-label") || opts.count("token-serial");
    if (!opts.count("data") || token == (opts.count("card-image") != 0)) {
        std::fprintf(stderr,
                     "renvora-server enrol: --data and either --card-image or --token-* are required\n");
        return 2;
    }
    EnrolRequest r;
    r.dataDir = opts["data"];
    r.store = Opt(opts, "store", "");
    r.cardImage = Opt(opts, "card-image", "");
    if (token) {
        r.token = TokenTarget{Opt(opts, "token-module", ""), Opt(opts, "token-label", ""),
                              Opt(opts, "token-serial", "")};
        r.cryptAlgo = "ECC";
    }
    if (!Secret(opts, "pin-file", "RENVORA_ENROL_PIN", "PIN", "123456", r.pin) ||
        !Secret(opts, "manage-password-file", "RENVORA_ENROL_MANAGE_PASSWORD", "management password",
                "88888888", r.managePassword)) {
        return 2;
    }
    r.replace = opts.count("replace") != 0;
    if (!ToInt(opts, "days", -3650, 3650, r.days)) {
        return 2;
    }
    r.holder = DemoHolder();
    rv::softcard::HolderRecord& h = r.holder;
    h.certSeqNo = Opt(opts, "cert-seq-no", h.certSeqNo);
    h.applicantName = Opt(opts, "name", h.applicantName);
    h.idType = Opt(opts, "id-type", h.idType);
    h.idNumber = Opt(opts, "id-number", h.idNumber);
    h.field5 = Opt(opts, "field5", h.field5);
    h.cardNumber = Opt(opts, "card-number", h.cardNumber);
    h.unitName = Opt(opts, "unit-name", h.unitName);
    h.unitCode = Opt(opts, "unit-code", h.unitCode);
    h.field9 = Opt(opts, "field9", h.field9);
    h.raCode = Opt(opts, "ra-code", h.raCode);
    h.cardType = Opt(opts, "card-type", h.cardType);
    r.cryptAlgo = Opt(opts, "crypt-algo", r.cryptAlgo);
    EnrolResult result;
    std::string error;
    if (!Enrol(r, result, error)) {
        std::fprintf(stderr, "renvora-server enrol: %s\n", error.c_str());
        return 1;
    }
    std::printf("enrolled card %s (certSeqNo %s) into %s\n%s %s\ncertificate valid %s to %s (UTC)\n",
                h.cardNumber.c_str(), h.certSeqNo.c_str(), r.dataDir.c_str(), token ? "token" : "card image",
                token ? (r.token->label.empty() ? r.token->serial : r.token->label).c_str()
                      : r.cardImage.c_str(),
                result.notBefore.c_str(), result.notAfter.c_str());
    return 0;
}

int IssuesCommand(int argc, char** argv, int first) {
    std::map<std::string, std::string> opts;
    if (!ParseOptions(argc, argv, first, {}, opts) || !CheckKnown(opts, {"data", "store"})) {
        return 2;
    }
    std::string error;
    StoreLocation location;
    if (!ParseStoreLocation(Opt(opts, "store", ""), Opt(opts, "data", "server-data"), location, error)) {
        std::fprintf(stderr, "renvora-server issues: --store: %s\n", error.c_str());
        return 2;
    }
    // Read-only: a mistyped folder or database must not become an empty store.
    std::unique_ptr<Store> store = OpenStore(location, true, error);
    std::vector<IssueRecord> issues;
    if (!store || !store->Issues(issues, error)) {
        std::fprintf(stderr, "renvora-server issues: %s\n", error.c_str());
        return 1;
    }
    for (const IssueRecord& i : issues) {
        std::string state = SetStateName(i.state);
        if (i.state == SetState::Pending) {
            // Until the card signs with it: the certificate it came from may renew again meanwhile.
            state += " (issued from " +
                     (i.parent.empty() ? std::string("the enrolled certificate") : "the set " + i.parent) +
                     ")";
        }
        std::printf("%s card %s (%s) op %s serial %s valid %s-%s %s since %s%s%s\n", i.issuedAt.c_str(),
                    i.certSeqNo.c_str(), i.icCode.c_str(), i.opSeqNo.c_str(), i.serial.c_str(),
                    i.notBefore.c_str(), i.notAfter.c_str(), state.c_str(), i.stateAt.c_str(),
                    i.reason.empty() ? "" : ": ", i.reason.c_str());
    }
    return 0;
}

int WithdrawCommand(int argc, char** argv, int first) {
    std::map<std::string, std::string> opts;
    if (!ParseOptions(argc, argv, first, {}, opts) || !CheckKnown(opts, {"data", "cert-seq-no", "store"})) {
        return 2;
    }
    if ((!opts.count("data") && !opts.count("store")) || !opts.count("cert-seq-no")) {
        std::fprintf(stderr, "renvora-server withdraw: --data (or --store) and --cert-seq-no are required\n");
        return 2;
    }
    const std::string dataDir = Opt(opts, "data", ""), card = opts["cert-seq-no"];
    std::string error;
    StoreLocation location;
    if (!ParseStoreLocation(Opt(opts, "store", ""), dataDir, location, error)) {
        std::fprintf(stderr, "renvora-server withdraw: --store: %s\n", error.c_str());
        return 2;
    }
    std::unique_ptr<Store> store;
    CardState state;
    Found found = Found::Error;
    if (!location.postgres && !std::filesystem::exists(std::filesystem::path(location.where) / "store.db")) {
        error = "no store in " + location.where;
    } else if ((store = OpenStore(location, false, error)) != nullptr) {
        found = store->FindCard(card, state, error);
    }
    if (found != Found::Yes) {
        std::fprintf(stderr, "renvora-server withdraw: %s\n",
                     found == Found::No ? ("no card " + card + " in " + location.Describe()).c_str()
                                        : error.c_str());
        return 1;
    }
    int n = store->WithdrawPending(card, std::time(nullptr), error);
    if (n < 0) {
        std::fprintf(stderr, "renvora-server withdraw: %s\n", error.c_str());
        return 1;
    }
    std::printf(
        "card %s: %d pending set%s withdrawn; it renews again with %s\n", card.c_str(), n, n == 1 ? "" : "s",
        state.confirmed ? ("the set " + state.confirmed->serial).c_str() : "its enrolled certificate");
    return 0;
}

int MigrateCommand(int argc, char** argv, int first) {
    std::map<std::string, std::string> opts;
    if (!ParseOptions(argc, argv, first, {}, opts) || !CheckKnown(opts, {"from", "to"})) {
        return 2;
    }
    const std::string from = Opt(opts, "from", ""), to = Opt(opts, "to", "");
    StoreLocation source, target;
    std::string error;
    if (from.rfind("sqlite:", 0) != 0 || !ParseStoreLocation(from, "", source, error) ||
        !ParseStoreLocation(to, "", target, error) || !target.postgres) {
        std::fprintf(stderr,
                     "renvora-server migrate: --from sqlite:DIR --to postgresql://... are required%s%s\n",
                     error.empty() ? "" : ": ", error.c_str());
        return 2;
    }
    TableCounts copied;
    if (!MigrateSqliteToPostgres(source.where, target.where, copied, error)) {
        std::fprintf(stderr, "renvora-server migrate: %s\n", error.c_str());
        return 1;
    }
    std::printf("migrated %s to %s:", source.Describe().c_str(), target.Describe().c_str());
    for (const auto& [table, rows] : copied) {
        std::printf(" %s %lld", table.c_str(), static_cast<long long>(rows));
    }
    std::printf(" (counts checked)\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "enrol") {
        return EnrolCommand(argc, argv, 2);
    }
    if (command == "issues") {
        return IssuesCommand(argc, argv, 2);
    }
    if (command == "withdraw") {
        return WithdrawCommand(argc, argv, 2);
    }
    if (command == "migrate") {
        return MigrateCommand(argc, argv, 2);
    }
    if (command == "serve") {
        return Serve(argc, argv, 2);
    }
    return Serve(argc, argv, 1);
}
