#include "server_fixture.h"

#include "core/json.h"
#ifdef RENVORA_TEST_POSTGRESQL
#include "core/pg_store.h"
#include "stack/postgres.h"
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <random>

namespace rv::test {

TempFolder::TempFolder() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() / ("renvora-server-test-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<Engine> TestEngines() {
#ifdef RENVORA_TEST_POSTGRESQL
    return {Engine::Postgres};
#else
    return {Engine::Sqlite};
#endif
}

std::string EngineName(const ::testing::TestParamInfo<Engine>& info) {
    return info.param == Engine::Sqlite ? "sqlite" : "postgresql";
}

#ifdef RENVORA_TEST_POSTGRESQL
namespace {
// One cluster for the whole program, started with its first test; each test has a database of its own.
stack::PgCluster& Cluster() {
    static std::unique_ptr<stack::PgCluster> cluster = [] {
        std::string error;
        std::unique_ptr<stack::PgCluster> c = stack::PgCluster::Primary(error);
        if (!c) {
            std::fprintf(stderr, "test: cannot start PostgreSQL: %s\n", error.c_str());
            std::abort();
        }
        return c;
    }();
    return *cluster;
}
} // namespace
#endif

std::unique_ptr<server::Store> ServerFixture::OpenStore(std::string& error) {
#ifdef RENVORA_TEST_POSTGRESQL
    if (StoreEngine() == Engine::Postgres) {
        if (database_.empty()) {
            static int databases = 0;
            database_ = "t" + std::to_string(::getpid()) + "_" + std::to_string(++databases);
            if (!Cluster().CreateDatabase(database_, error)) {
                return nullptr;
            }
        }
        auto store = std::make_unique<server::PgStore>();
        return store->Open(Cluster().Url(database_), error) ? std::move(store) : nullptr;
    }
#endif
    auto store = std::make_unique<server::SqliteStore>();
    return store->Open(data_, error) ? std::move(store) : nullptr;
}

std::vector<std::string> ServerFixture::StoreArgs() const {
    std::vector<std::string> args = {"--data", data_.string()};
#ifdef RENVORA_TEST_POSTGRESQL
    if (StoreEngine() == Engine::Postgres) {
        args.insert(args.end(), {"--store", Cluster().Url(database_)});
    }
#endif
    return args;
}

void ServerFixture::SetUp() {
    data_ = folder_.path() / "data";
    StartServer();
}

void ServerFixture::TearDown() {
    StopServer();
}

void ServerFixture::StartServer() {
    std::string error;
    store_ = OpenStore(error);
    ASSERT_TRUE(store_) << error;
    sqlite_ = dynamic_cast<server::SqliteStore*>(store_.get());
    ca_ = server::CertificateAuthority::Open(data_, error);
    ASSERT_TRUE(ca_) << error;
    server::ServiceOptions options;
    options.certDays = certDays_;
    options.now = [this] { return (frozenAt_ != 0 ? frozenAt_ : std::time(nullptr)) + clockOffset_.load(); };
    if (adjust_) {
        adjust_(options);
    }
    service_ = std::make_unique<server::RenewalService>(*store_, *ca_, options);
    server::HttpOptions http;
    http.log = false;
    if (adjustHttp_) {
        adjustHttp_(http);
    }
    http_ = std::make_unique<server::HttpServer>(*service_, http);
    ASSERT_TRUE(http_->Bind(error)) << error;
    port_ = http_->Port();
    http_->RunInBackground();
    client_ = std::make_unique<server::ProtocolClient>("127.0.0.1", port_);
}

void ServerFixture::StopServer() {
    client_.reset();
    if (http_) {
        http_->Stop();
    }
    http_.reset();
    service_.reset();
    sqlite_ = nullptr;
    store_.reset();
    ca_.reset();
}

std::string ServerFixture::Field(const server::PostResult& r, const char* key) {
    server::JsonDoc doc(r.body);
    std::string value;
    doc.GetString(key, value);
    return value;
}

std::string ServerFixture::Code(const server::PostResult& r) {
    return Field(r, "code");
}

std::string ServerFixture::Msg(const server::PostResult& r) {
    return Field(r, "msg");
}

server::SimCard ServerFixture::Enrol(const std::string& certSeqNo, int days) {
    server::SimCard card;
    std::string error;
    EXPECT_TRUE(server::EnrolSimCard(*store_, *ca_, certSeqNo, days, card, error)) << error;
    return card;
}

std::string ServerFixture::FreshRandom() {
    server::PostResult r = client_->Post("/selfIcUpdate/getRandom", "");
    EXPECT_EQ(Code(r), "0") << r.body;
    return Field(r, "random");
}

std::string ServerFixture::EndDate(const server::SimCard& card) const {
    std::string notBefore, notAfter;
    server::CertValidity(card.record.certPem, notBefore, notAfter);
    return notAfter.substr(0, 8);
}

server::PostResult RawPost(const char* from, int port, const std::string& bytes) {
    server::PostResult out;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{}, remote{};
    local.sin_family = remote.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    remote.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0 ||
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
        if (fd >= 0) {
            ::close(fd);
        }
        return out;
    }
    // Until the server closes (bounded: 30 s).
    std::string answer;
    char buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        answer.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::size_t head = answer.find("\r\n\r\n");
    if (answer.rfind("HTTP/1.1 ", 0) == 0 && head != std::string::npos) {
        out.sent = true;
        out.status = std::atoi(answer.c_str() + 9);
        out.body = answer.substr(head + 4);
    }
    return out;
}

server::PostResult ServerFixture::PostFrom(const char* from, const std::string& path,
                                           const std::string& json) const {
    const std::string body = json + std::string(1, '\0');
    return RawPost(from, port_,
                   "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body);
}

server::PostResult ServerFixture::Verify(const server::SimCard& card) {
    std::string random = FreshRandom();
    server::PostResult r =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(card.record, EndDate(card), random));
    EXPECT_EQ(Code(r), "0") << r.body;
    return r;
}

} // namespace rv::test
