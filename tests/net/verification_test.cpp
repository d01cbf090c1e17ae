// The identity verification step against the scripted server.
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "net_fixture.h"
#include "renewal/main_window_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace rv::test {
namespace {

std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

const std::string kRandomOk = "{\"code\":\"0\",\"random\":\"R1\"}";
const std::string kVerifyOk = "{\"code\":\"0\",\"msg\":\"\",\"opSeqNo\":\"OP7\",\"signDate\":\"20240601\","
                              "\"managePasswd\":\"MP\",\"random\":\"R2\"}";

class Verification : public NetTest {
protected:
    Verification() {
        WriteRealm(server.BaseUrl());
        model.data.certSeqNo = "CS01";
        model.data.applicantName = "张三";
        model.data.idType = "1";
        model.data.idNumber = "110101";
        model.data.cardNumber = "C9";
        model.data.unitName = "某公司";
        model.data.unitCode = "T77";
        model.data.raCode = "RA5";
        model.data.validTo = "20250131";
        model.data.opSeqNo = "oldOP";
        model.data.signDate = "oldD";
        model.data.managePasswd = "oldMP";
        Client().serverRandom = "R0";
    }
    void Answer(const std::string& randomBody, const std::string& verifyBody) {
        server.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json(randomBody));
        server.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Json(verifyBody));
    }
    void ExpectRenewalValues(const char* op, const char* date, const char* passwd) {
        EXPECT_EQ(model.data.opSeqNo, op);
        EXPECT_EQ(model.data.signDate, date);
        EXPECT_EQ(model.data.managePasswd, passwd);
    }

    ScriptedHttpServer server;
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
};

TEST_F(Verification, SuccessPassesTheFirstRandomOnAndKeepsTheSecond) {
    Answer(kRandomOk, kVerifyOk);
    model.serverAddress = "http://stale";
    EXPECT_EQ(model.VerifyIdentity(), 0);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(model.serverAddress, server.BaseUrl());

    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].target, "/selfIcUpdate/getRandom");
    EXPECT_EQ(reqs[0].body, std::string(1, '\0'));
    EXPECT_EQ(reqs[1].target, "/selfIcUpdate/verifyInfo");
    // The second body is the request alone (nothing was added before it), carrying the first random.
    std::string expected =
        "{\"certSeqNo\":\"CS01\",\"legalPerson\":\"" + U8(u8"张三") +
        "\",\"idType\":\"1\",\"idNumber\":\"110101\",\"icCode\":\"C9\",\"entName\":\"" + U8(u8"某公司") +
        "\",\"unitType\":\"T77\",\"raCode\":\"RA5\",\"endDate\":\"20250131\",\"random\":\"R1\"}";
    EXPECT_EQ(reqs[1].body, expected + std::string(1, '\0'));

    ExpectRenewalValues("OP7", "20240601", "MP");
    EXPECT_EQ(Client().serverRandom, "R2");
}

TEST_F(Verification, EmptyRealmNameEndsBeforeAnyTraffic) {
    WriteConf({"realmName="});
    model.serverAddress = "http://kept";
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"无法获取配置信息，请配置信息是否正确！")});
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_EQ(model.serverAddress, "http://kept");
    EXPECT_EQ(Client().serverRandom, "R0");
}

TEST_F(Verification, RefusedRandomSendsNoVerificationRequest) {
    Answer("{\"code\":\"1\",\"random\":\"R1\"}", kVerifyOk);
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"获取随机数失败！请重试！")});
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_EQ(Client().serverRandom, "R0");
    ExpectRenewalValues("oldOP", "oldD", "oldMP");
    // The address read at the start stays.
    EXPECT_EQ(model.serverAddress, server.BaseUrl());
}

TEST_F(Verification, TransportFailureOfTheRandomOperation) {
    server.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Status(500));
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(),
              (std::vector<std::string>{
                  U8(u8"网络通讯异常！\n-1\n请重试！"),
                  U8(u8"请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！")}));
    EXPECT_EQ(server.RequestCount(), 1u);
}

// A server that drips its answer two bytes a second passes the low-speed rule for ever; the overall bound
// ends the step, with the transport failure's messages.
TEST_F(Verification, ADrippingServerIsGivenUpAfterTheOverallBound) {
    HttpLimits limits = DefaultHttpLimits();
    EXPECT_EQ(limits.lowSpeedSeconds, 30);
    limits.totalTimeoutMs = 1500;
    HttpLimits old = SetDefaultHttpLimits(limits);
    ScriptedAnswer drip = ScriptedAnswer::Json(kRandomOk);
    drip.dripEvery = std::chrono::milliseconds(500);
    server.Script("/selfIcUpdate/getRandom", drip);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(model.VerifyIdentity(), -1);
    auto took = std::chrono::steady_clock::now() - start;
    SetDefaultHttpLimits(old);
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_EQ(Boxes(),
              (std::vector<std::string>{
                  U8(u8"网络通讯异常！\n\n请重试！"),
                  U8(u8"请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！")}));
}

TEST_F(Verification, MissingSignDateStoresNothingButTheFirstRandom) {
    Answer(kRandomOk, "{\"code\":\"0\",\"opSeqNo\":\"OP7\",\"managePasswd\":\"MP\",\"random\":\"R2\"}");
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{
                           U8(u8"网络通讯异常，请重试！\n managePasswd、signDate、opSeqNo不存在！")});
    ExpectRenewalValues("oldOP", "oldD", "oldMP");
    EXPECT_EQ(Client().serverRandom, "R1");
}

TEST_F(Verification, MissingRandomKeepsTheThreeValues) {
    Answer(kRandomOk,
           "{\"code\":\"0\",\"opSeqNo\":\"OP7\",\"signDate\":\"20240601\",\"managePasswd\":\"MP\"}");
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"网络通讯异常，请重试！")});
    ExpectRenewalValues("OP7", "20240601", "MP");
    EXPECT_EQ(Client().serverRandom, "R1");
}

TEST_F(Verification, RefusalShowsTheServerTextOrTheGeneralMessage) {
    Answer(kRandomOk, U8(u8"{\"code\":\"3\",\"msg\":\"用户信息不一致\"}"));
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"用户信息不一致")});
    core.boxes.Clear();
    server.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Json("{\"code\":\"3\"}"));
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"网络通讯异常，请重试！")});
    ExpectRenewalValues("oldOP", "oldD", "oldMP");
}

TEST_F(Verification, AnEditedConfigurationTakesEffectAtTheNextRun) {
    ScriptedHttpServer other;
    other.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json(kRandomOk));
    other.Script("/selfIcUpdate/verifyInfo", ScriptedAnswer::Json(kVerifyOk));
    WriteRealm(other.BaseUrl());
    EXPECT_EQ(model.VerifyIdentity(), 0);
    EXPECT_EQ(other.RequestCount(), 2u);
    EXPECT_EQ(server.RequestCount(), 0u);
}

} // namespace
} // namespace rv::test

namespace rv::test {
namespace {

// A fault raised inside the step ends it with the catch-all message and -1; here the fault is raised by the
// message box of the refused random.
TEST_F(Verification, FaultInsideTheStepEndsInTheCatchAll) {
    Answer("{\"code\":\"1\"}", kVerifyOk);
    core.boxes.beforeAnswer = [this](const std::string& text, MbKind) {
        if (text == "获取随机数失败！请重试！") {
            throw std::runtime_error("fault");
        }
    };
    EXPECT_EQ(model.VerifyIdentity(), -1);
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"网络通讯异常，请重试！")});
    EXPECT_EQ(server.RequestCount(), 1u);
}

} // namespace
} // namespace rv::test
