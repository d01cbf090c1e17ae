// The server's answers to what the client posts: the probe, randoms, the verification and every refusal
// of malformed or wrong requests, over real loopback HTTP.
#include "server_fixture.h"

#include "core/json.h"

#include <set>

namespace rv::test {
namespace {

using server::JsonObject;
using server::PostResult;

class ProtocolTest : public StoreSuite<> {};

TEST_P(ProtocolTest, ProbeAnswersMinusTwoForTheEmptyRequestAndForAnyBody) {
    for (const std::string& body :
         {std::string(1, '\0'), std::string(), std::string("{\"a\":\"b\"}\0", 10)}) {
        PostResult r = client_->PostRaw("/selfIcUpdate", body);
        ASSERT_TRUE(r.sent);
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(Code(r), "-2");
        EXPECT_FALSE(Msg(r).empty());
    }
}

TEST_P(ProtocolTest, EveryAnswerValueIsAJsonString) {
    server::SimCard card = Enrol("S100");
    PostResult verify = Verify(card);
    for (const PostResult& r : {client_->Post("/selfIcUpdate/getRandom", ""), verify,
                                client_->Post("/selfIcUpdate/verifyInfo", "{}")}) {
        cJSON* root = cJSON_Parse(r.body.c_str());
        ASSERT_NE(root, nullptr) << r.body;
        int items = 0;
        for (cJSON* item = root->child; item != nullptr; item = item->next, ++items) {
            EXPECT_TRUE(cJSON_IsString(item)) << item->string << " in " << r.body;
        }
        EXPECT_GE(items, 2);
        cJSON_Delete(root);
    }
}

TEST_P(ProtocolTest, RandomsAreFreshEveryTime) {
    std::set<std::string> seen;
    for (int i = 0; i < 50; ++i) {
        std::string random = FreshRandom();
        EXPECT_GE(random.size(), 16u);
        EXPECT_TRUE(seen.insert(random).second) << "repeated random " << random;
    }
}

TEST_P(ProtocolTest, VerificationAnswersOperationDatePasswordAndANewRandom) {
    server::SimCard card = Enrol("S101");
    std::string random = FreshRandom();
    PostResult r =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(card.record, EndDate(card), random));
    ASSERT_EQ(Code(r), "0") << r.body;
    EXPECT_FALSE(Field(r, "opSeqNo").empty());
    EXPECT_EQ(Field(r, "signDate"), server::TimeDigits(std::time(nullptr)).substr(0, 8));
    EXPECT_EQ(Field(r, "managePasswd"), card.record.managePassword);
    EXPECT_FALSE(Field(r, "random").empty());
    EXPECT_NE(Field(r, "random"), random);
    // Two verifications never share an operation number.
    EXPECT_NE(Field(Verify(card), "opSeqNo"), Field(r, "opSeqNo"));
}

TEST_P(ProtocolTest, ARandomServesOneVerificationOnly) {
    server::SimCard card = Enrol("S102");
    std::string random = FreshRandom();
    std::string request = server::VerifyRequest(card.record, EndDate(card), random);
    EXPECT_EQ(Code(client_->Post("/selfIcUpdate/verifyInfo", request)), "0");
    PostResult again = client_->Post("/selfIcUpdate/verifyInfo", request);
    EXPECT_EQ(Code(again), server::code::kBadRandom);
    EXPECT_EQ(Msg(again), U8(u8"随机数无效或已使用，请重新操作！"));
    // Two protections hold across a restart, each tested on its own. The use is recorded in the store:
    // restarted with its clock half a minute behind, the server takes the random as issued after its
    // start, and only that record refuses it.
    clockOffset_ = -120;
    std::string unused = FreshRandom(); // issued two minutes ago, never used
    StopServer();
    clockOffset_ = -30;
    StartServer();
    PostResult reused = client_->Post("/selfIcUpdate/verifyInfo", request);
    EXPECT_EQ(Code(reused), server::code::kBadRandom);
    EXPECT_EQ(Msg(reused), U8(u8"随机数无效或已使用，请重新操作！"));
    // A random issued before the start: a store whose records of used randoms wait for no sync (SQLite's)
    // has it refused, used or not (though within its lifetime), since a record lost with the machine
    // could make one usable twice. A store whose records are durable at once (PostgreSQL's) has it taken,
    // as each of several servers takes the randoms the others (or it, before a restart) handed out.
    EXPECT_EQ(Code(Verify(card)), "0");
    StopServer();
    clockOffset_ = 0;
    StartServer();
    PostResult early =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(card.record, EndDate(card), unused));
    if (store_->RandomsOutliveRestarts()) {
        EXPECT_EQ(Code(early), "0") << early.body;
    } else {
        EXPECT_EQ(Code(early), server::code::kBadRandom);
        EXPECT_EQ(Msg(early), U8(u8"随机数已过期，请重新操作！"));
    }
}

TEST_P(ProtocolTest, ARandomIsAlsoUsedUpByAFailedVerification) {
    server::SimCard card = Enrol("S103");
    std::string random = FreshRandom();
    server::CardRecord wrong = card.record;
    wrong.idNumber = "000";
    EXPECT_EQ(
        Code(client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(wrong, EndDate(card), random))),
        server::code::kMismatch);
    EXPECT_EQ(Code(client_->Post("/selfIcUpdate/verifyInfo",
                                 server::VerifyRequest(card.record, EndDate(card), random))),
              server::code::kBadRandom);
}

TEST_P(ProtocolTest, UnknownAndExpiredRandomsAreRefused) {
    server::SimCard card = Enrol("S104");
    EXPECT_EQ(Code(client_->Post("/selfIcUpdate/verifyInfo",
                                 server::VerifyRequest(card.record, EndDate(card), "0123456789ABCDEF"))),
              server::code::kBadRandom);
    // A random carries its own time stamp under the server's key: an altered one is not genuine.
    std::string forged = FreshRandom();
    forged[0] = forged[0] == '0' ? '1' : '0';
    EXPECT_EQ(Code(client_->Post("/selfIcUpdate/verifyInfo",
                                 server::VerifyRequest(card.record, EndDate(card), forged))),
              server::code::kBadRandom);
    std::string random = FreshRandom();
    clockOffset_ = 301; // the default lifetime is 300 s
    PostResult r =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(card.record, EndDate(card), random));
    EXPECT_EQ(Code(r), server::code::kBadRandom);
    EXPECT_EQ(Msg(r), U8(u8"随机数已过期，请重新操作！"));
}

TEST_P(ProtocolTest, EachMismatchingCardFieldIsRefused) {
    server::SimCard card = Enrol("S105");
    struct Case {
        std::string server::CardRecord::*field;
        const char8_t* name;
    };
    const Case cases[] = {
        {&server::CardRecord::legalPerson, u8"法人姓名"}, {&server::CardRecord::idType, u8"证件类型"},
        {&server::CardRecord::idNumber, u8"证件号码"},    {&server::CardRecord::icCode, u8"IC卡号"},
        {&server::CardRecord::entName, u8"单位名称"},     {&server::CardRecord::unitType, u8"单位代码"},
        {&server::CardRecord::raCode, u8"RA代码"},
    };
    for (const Case& c : cases) {
        clockOffset_ += 3601; // each from a clean slate: one address may fail only a few times an hour
        server::CardRecord sent = card.record;
        sent.*c.field += "x";
        PostResult r = client_->Post("/selfIcUpdate/verifyInfo",
                                     server::VerifyRequest(sent, EndDate(card), FreshRandom()));
        EXPECT_EQ(Code(r), server::code::kMismatch) << U8(c.name);
        EXPECT_NE(Msg(r).find(U8(c.name)), std::string::npos) << Msg(r);
    }
    clockOffset_ += 3601;
    PostResult r = client_->Post("/selfIcUpdate/verifyInfo",
                                 server::VerifyRequest(card.record, "20991231", FreshRandom()));
    EXPECT_EQ(Code(r), server::code::kMismatch);
    EXPECT_NE(Msg(r).find(U8(u8"证书有效期截止日期")), std::string::npos);
}

TEST_P(ProtocolTest, AnUnknownCardIsRefused) {
    server::SimCard card = Enrol("S106");
    server::CardRecord stranger = card.record;
    stranger.certSeqNo = "NOSUCHCARD";
    PostResult r = client_->Post("/selfIcUpdate/verifyInfo",
                                 server::VerifyRequest(stranger, EndDate(card), FreshRandom()));
    EXPECT_EQ(Code(r), server::code::kUnknownCard);
    EXPECT_EQ(Msg(r), U8(u8"未找到该IC卡的登记信息！"));
}

TEST_P(ProtocolTest, MalformedBodiesAreRefusedWithoutHarm) {
    const std::string bodies[] = {
        std::string("\0", 1),
        std::string("{\"certSeqNo\":", 13) + std::string(1, '\0'),
        std::string("[\"a\",\"b\"]") + std::string(1, '\0'),
        std::string("{\"a\":\"b\"}garbage") + std::string(1, '\0'),
        std::string("{\"a\":\"b\"}\0\0", 11), // a second zero byte is not the terminator
        std::string(5000, '['),
        std::string("\xff\xfe{}\0", 5),
    };
    for (const std::string& body : bodies) {
        for (const char* path : {"/selfIcUpdate/verifyInfo", "/selfIcUpdate/upadteCert"}) {
            PostResult r = client_->PostRaw(path, body);
            ASSERT_TRUE(r.sent) << path;
            EXPECT_EQ(Code(r), server::code::kBadRequest) << path << " " << body.substr(0, 30);
            EXPECT_EQ(Msg(r), U8(u8"请求数据格式错误！"));
        }
    }
    // The server is still there and well.
    EXPECT_EQ(Code(client_->PostRaw("/selfIcUpdate", std::string(1, '\0'))), "-2");
}

TEST_P(ProtocolTest, AMissingOrNonStringFieldIsNamedInTheRefusal) {
    server::SimCard card = Enrol("S107");
    PostResult missing = client_->Post(
        "/selfIcUpdate/verifyInfo", JsonObject({{"certSeqNo", card.record.certSeqNo}, {"legalPerson", "x"}}));
    EXPECT_EQ(Code(missing), server::code::kMissingField);
    EXPECT_EQ(Msg(missing), U8(u8"请求数据缺少字段：idType"));

    std::string request = server::VerifyRequest(card.record, EndDate(card), FreshRandom());
    std::string numeric = request;
    numeric.replace(numeric.find("\"raCode\":\"RA0002\""), 17, "\"raCode\":2");
    PostResult r = client_->Post("/selfIcUpdate/verifyInfo", numeric);
    EXPECT_EQ(Code(r), server::code::kBadRequest);
    EXPECT_EQ(Msg(r), U8(u8"请求数据字段类型错误：raCode"));
}

TEST_P(ProtocolTest, EscapedQuotesAndBackslashesInValuesAreReadAsText) {
    server::SimCard card = Enrol("S108");
    server::CardRecord odd = card.record;
    odd.legalPerson = "a\"b\\c";
    odd.entName = U8(u8"乗億");
    std::string error;
    ASSERT_TRUE(store_->PutCard(odd, true, error)) << error;
    PostResult r =
        client_->Post("/selfIcUpdate/verifyInfo", server::VerifyRequest(odd, EndDate(card), FreshRandom()));
    EXPECT_EQ(Code(r), "0") << r.body;
}

TEST_P(ProtocolTest, AnOverLargeBodyIsRefused) {
    std::string huge = "{\"certSeqNo\":\"" + std::string(200 * 1024, 'A') + "\"}";
    PostResult r = client_->Post("/selfIcUpdate/verifyInfo", huge);
    ASSERT_TRUE(r.sent);
    EXPECT_EQ(r.status, 413);
    EXPECT_EQ(Code(r), server::code::kTooLarge);
    EXPECT_EQ(Msg(r), U8(u8"请求数据过大！"));
    EXPECT_EQ(Code(client_->PostRaw("/selfIcUpdate", std::string(1, '\0'))), "-2");
}

TEST_P(ProtocolTest, UnknownPathsAndMethodsAnswerInTheServiceForm) {
    PostResult r = client_->Post("/selfIcUpdate/nothing", "{}");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(Code(r), server::code::kNoSuchPath);
}

// Randoms keep no state: a flood of them fills nothing, and everybody is served afterwards.
TEST_P(ProtocolTest, AGetRandomFloodLeavesNothingBehindAndRefusesNobody) {
    server::SimCard card = Enrol("S110");
    for (int i = 0; i < 100000; ++i) {
        ASSERT_EQ(service_->GetRandom("").code, "0") << "call " << i;
    }
    // Some of them over the wire as well.
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Code(client_->Post("/selfIcUpdate/getRandom", "")), "0");
    }
    EXPECT_EQ(service_->PendingCount(), 0u);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
}

// Failed verifications are limited per source address: after five in an hour the address waits, a minute
// and twice as long after each further failure, and nothing it sends is compared meanwhile (an answer that
// told a right guess from a wrong one would let the holder fields, and with them the management password,
// be guessed without end). So twenty wrong verifications from 127.0.0.2 stop 127.0.0.2, never the
// holder at 127.0.0.1. The counts are in the store: a restart keeps them. Per card, failures from all
// addresses together stop the card's verifications only at a much higher ceiling. Successes never count,
// and however often one card is verified it holds only a few operation numbers.
TEST_P(ProtocolTest, TwentyWrongVerificationsFromOneAddressStopThatAddressNotTheHolder) {
    // The waits are counted on the server's clock, which stands still here, however long the test takes.
    StopServer();
    frozenAt_ = std::time(nullptr);
    StartServer();
    server::SimCard card = Enrol("S111");
    // A holder who renews often never reaches a limit, and keeps few operation numbers.
    for (int i = 0; i < 30; ++i) {
        Verify(card);
    }
    EXPECT_EQ(service_->PendingCount(), 8u);
    std::string error;
    EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    EXPECT_EQ(service_->PendingCount(),
              7u); // the renewal's verification took the oldest's place, then was used

    server::CardRecord guess = card.record;
    guess.idNumber = "000";
    const auto fromAttacker = [&](const server::CardRecord& record) {
        return PostFrom("127.0.0.2", "/selfIcUpdate/verifyInfo",
                        server::VerifyRequest(record, EndDate(card), FreshRandom()));
    };
    for (int i = 0; i < 20; ++i) {
        PostResult r = fromAttacker(guess);
        if (i < 5) {
            EXPECT_EQ(Code(r), server::code::kMismatch) << "attempt " << i;
            EXPECT_EQ(Msg(r), U8(u8"用户信息核验不通过：证件号码不一致！"));
        } else {
            EXPECT_EQ(Code(r), server::code::kSourceWaits) << "attempt " << i;
            EXPECT_EQ(Msg(r), U8(u8"核验失败次数过多，请1分钟后再试！"));
        }
        // Meanwhile the holder renews.
        if (i % 5 == 4) {
            EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
        }
    }
    // The right data from the waiting address get the same answer as a wrong guess.
    PostResult right = fromAttacker(card.record);
    EXPECT_EQ(Code(right), server::code::kSourceWaits);
    EXPECT_EQ(right.body.find("managePasswd"), std::string::npos);

    // A restart keeps the counts.
    StopServer();
    StartServer();
    EXPECT_EQ(Code(fromAttacker(card.record)), server::code::kSourceWaits);
    EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
    // A minute on, one more try; after it the wait doubles.
    clockOffset_ = 61;
    EXPECT_EQ(Code(fromAttacker(guess)), server::code::kMismatch);
    PostResult longer = fromAttacker(card.record);
    EXPECT_EQ(Code(longer), server::code::kSourceWaits);
    EXPECT_EQ(Msg(longer), U8(u8"核验失败次数过多，请2分钟后再试！"));

    // Per card, failures from every address count together, up to a ceiling (here 10 instead of 100):
    // then every verification of the card is refused, its holder's too, until the hour has passed.
    StopServer();
    adjust_ = [](server::ServiceOptions& o) { o.verify.cardLimit = 10; };
    StartServer();
    for (int i = 0; i < 4; ++i) {
        const std::string from = "127.0.3." + std::to_string(i + 1);
        EXPECT_EQ(Code(PostFrom(from.c_str(), "/selfIcUpdate/verifyInfo",
                                server::VerifyRequest(guess, EndDate(card), FreshRandom()))),
                  server::code::kMismatch);
    }
    PostResult stopped = client_->Post("/selfIcUpdate/verifyInfo",
                                       server::VerifyRequest(card.record, EndDate(card), FreshRandom()));
    EXPECT_EQ(Code(stopped), server::code::kTooManyAttempts);
    EXPECT_EQ(Msg(stopped), U8(u8"该IC卡核验失败次数过多，请一小时后再试！"));
    EXPECT_EQ(stopped.body.find("managePasswd"), std::string::npos);
    Verify(Enrol("S112")); // another card is not affected
    clockOffset_ = 3661;
    EXPECT_TRUE(server::RunRenewal(*client_, card, error)) << error;
}

RENVORA_STORE_SUITE(ProtocolTest);

} // namespace
} // namespace rv::test
