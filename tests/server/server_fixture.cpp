#include "server_fixture.h"

#include "core/json.h"

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

void ServerFixture::SetUp() {
    data_ = folder_.path() / "data";
    StartServer();
}

void ServerFixture::TearDown() {
    StopServer();
}

void ServerFixture::StartServer() {
    std::string error;
    ca_ = server::CertificateAuthority::Open(data_, error);
    ASSERT_TRUE(ca_) << error;
    store_ = std::make_unique<server::Store>();
    ASSERT_TRUE(store_->Open(data_, error)) << error;
    server::ServiceOptions options;
    options.certDays = certDays_;
    options.now = [this] { return std::time(nullptr) + clockOffset_.load(); };
    service_ = std::make_unique<server::RenewalService>(*store_, *ca_, options);
    server::HttpOptions http;
    http.log = false;
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

server::PostResult ServerFixture::Verify(const server::SimCard& card) {
    std::string random = FreshRandom();
    server::PostResult r =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(card.record, EndDate(card), random));
    EXPECT_EQ(Code(r), "0") << r.body;
    return r;
}

} // namespace rv::test
