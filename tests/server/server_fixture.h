// A renewal server on a free loopback port over a fresh data folder, with a clock the test can move.
#pragma once

#include "core/ca.h"
#include "core/http_server.h"
#include "core/protocol_client.h"
#include "core/service.h"
#include "core/store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

namespace rv::test {

inline std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

// A temporary folder removed at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // (Re)starts the server over the data folder, as a restarted process would.
    void StartServer();
    void StopServer();

    // The answer's code and message ("" when absent).
    static std::string Code(const server::PostResult& r);
    static std::string Msg(const server::PostResult& r);
    static std::string Field(const server::PostResult& r, const char* key);

    // A card enrolled into the running server's store; its certificate ends in `days` days.
    server::SimCard Enrol(const std::string& certSeqNo, int days = 30);

    // getRandom, expecting success.
    std::string FreshRandom();
    // getRandom + verifyInfo for `card`, expecting success; the answer of verifyInfo.
    server::PostResult Verify(const server::SimCard& card);
    std::string EndDate(const server::SimCard& card) const;

    TempFolder folder_;
    std::filesystem::path data_;
    std::atomic<std::time_t> clockOffset_{0};
    int certDays_ = 730;
    std::unique_ptr<server::CertificateAuthority> ca_;
    std::unique_ptr<server::Store> store_;
    std::unique_ptr<server::RenewalService> service_;
    std::unique_ptr<server::HttpServer> http_;
    std::unique_ptr<server::ProtocolClient> client_;
    int port_ = 0;
};

} // namespace rv::test
