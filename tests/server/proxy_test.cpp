// Behind a load balancer every request comes from the balancer's address. Told which addresses are
// balancers (--trusted-proxy), the server counts failed verifications against the client the balancer
// names last in X-Forwarded-For.
#include "server_fixture.h"

namespace rv::test {
namespace {

class ProxyTest : public ServerFixture {
protected:
    void SetUp() override {
        data_ = folder_.path() / "data";
        adjustHttp_ = [](server::HttpOptions& http) { http.trustedProxies = {"127.0.0.1"}; };
        StartServer();
    }
    // A verification from `from`, with these X-Forwarded-For headers (one header each).
    server::PostResult VerifyFrom(const char* from, const std::vector<std::string>& forwarded,
                                  const server::CardRecord& record, const std::string& endDate) {
        const std::string body = server::VerifyRequest(record, endDate, FreshRandom()) + std::string(1, '\0');
        std::string head =
            "POST /selfIcUpdate/verifyInfo HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
        for (const std::string& f : forwarded) {
            head += "X-Forwarded-For: " + f + "\r\n";
        }
        return RawPost(from, port_,
                       head + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
};

// One client's failures make that client wait, never the others behind the same balancer; a client that
// writes its own X-Forwarded-For gains nothing (the balancer's entry comes after it, on the same header or
// on one of its own); an address that is not a balancer counts as itself whatever it claims.
TEST_F(ProxyTest, BehindATrustedBalancerTheLimitsCountTheClientItForwardsFor) {
    server::SimCard card = Enrol("X100");
    server::CardRecord guess = card.record;
    guess.idNumber = "000";
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.9"}, guess, EndDate(card))),
                  server::code::kMismatch);
    }
    EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.9"}, card.record, EndDate(card))),
              server::code::kSourceWaits);
    // The holder behind the same balancer verifies.
    EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.8"}, card.record, EndDate(card))), server::code::kOk);
    // The waiting client claims to be the holder: the balancer's own entry, last, gives it away.
    EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.8, 127.0.0.9"}, card.record, EndDate(card))),
              server::code::kSourceWaits);
    EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.8", "127.0.0.9"}, card.record, EndDate(card))),
              server::code::kSourceWaits);
    // A peer that is no balancer is itself: its header names nobody.
    EXPECT_EQ(Code(VerifyFrom("127.0.0.2", {"127.0.0.9"}, card.record, EndDate(card))), server::code::kOk);
    for (int i = 0; i < 5; ++i) {
        VerifyFrom("127.0.0.3", {"127.0.0.8"}, guess, EndDate(card));
    }
    EXPECT_EQ(Code(VerifyFrom("127.0.0.1", {"127.0.0.8"}, card.record, EndDate(card))), server::code::kOk);
    EXPECT_EQ(Code(VerifyFrom("127.0.0.3", {}, card.record, EndDate(card))), server::code::kSourceWaits);
}

} // namespace
} // namespace rv::test
