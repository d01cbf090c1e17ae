// Menu "网络测试" against the scripted server.
#include "net_fixture.h"
#include "renewal/main_window_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rv::test {
namespace {

std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

const std::string kDamaged = U8(u8"配置文件受损，请卸载后重新安装本程序！");
const std::string kCheck = U8(u8"网络通讯异常，请检查本机网络是否正常。\n");
const std::string kOk = U8(u8"网络通讯正常！");

class NetworkCheck : public NetTest {
protected:
    ScriptedHttpServer server;
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};

    std::vector<std::string> RunWith(ScriptedAnswer answer) {
        WriteRealm(server.BaseUrl());
        server.Script("/selfIcUpdate", std::move(answer));
        core.boxes.Clear();
        model.NetworkTest();
        return Boxes();
    }
};

TEST_F(NetworkCheck, MissingOrEmptyRealmNameSendsNothingAndKeepsTheAddress) {
    model.serverAddress = "http://old";
    model.NetworkTest(); // no conf.ini at all
    EXPECT_EQ(Boxes(), std::vector<std::string>{kDamaged});
    core.boxes.Clear();
    WriteConf({"ip=127.0.0.1", "port=80"});
    model.NetworkTest();
    EXPECT_EQ(Boxes(), std::vector<std::string>{kDamaged});
    core.boxes.Clear();
    WriteConf({"realmName="});
    model.NetworkTest();
    EXPECT_EQ(Boxes(), std::vector<std::string>{kDamaged});
    EXPECT_EQ(model.serverAddress, "http://old");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(NetworkCheck, PostsAnEmptyRequestToTheServiceBaseAndReportsMinusTwoAsReachable) {
    model.serverAddress = "http://old";
    EXPECT_EQ(RunWith(ScriptedAnswer::Json("{\"code\":\"-2\",\"msg\":\"no data\"}")),
              std::vector<std::string>{kOk});
    EXPECT_EQ(model.serverAddress, server.BaseUrl());
    auto reqs = server.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].target, "/selfIcUpdate");
    EXPECT_EQ(reqs[0].body, std::string(1, '\0'));
}

TEST_F(NetworkCheck, CodeIsReadWithLeadingBlanksAndTrailingCharactersIgnored) {
    for (const char* code : {"\" -2\"", "\"-2abc\"", "\"\\t-2 \""}) {
        SCOPED_TRACE(code);
        EXPECT_EQ(RunWith(ScriptedAnswer::Json(std::string("{\"code\":") + code + "}")),
                  std::vector<std::string>{kOk});
    }
}

// Any other code, and answers the test cannot read, show nothing: the service answered, just not in the
// expected way, which the user learns nothing more from than from silence.
TEST_F(NetworkCheck, OtherCodesAndUnreadableAnswersShowNothing) {
    for (const char* body :
         {"{\"code\":\"0\"}", "{\"code\":\"2\"}", "{\"code\":\"-20\"}", "{\"code\":\"ok\"}", "{\"code\":-2}",
          "{\"code\":null}", "{\"msg\":\"-2\"}", "[\"code\",\"-2\"]", "<html>-2</html>", "{\"code\":\"-2\"",
          "{\"a\":{\"code\":\"-2\"}}"}) {
        SCOPED_TRACE(body);
        EXPECT_TRUE(RunWith(ScriptedAnswer::Json(body)).empty());
    }
}

TEST_F(NetworkCheck, TransportFailuresShowTheResultOnTheSecondLine) {
    EXPECT_EQ(RunWith(ScriptedAnswer::Status(500, "{\"code\":\"-2\"}")),
              std::vector<std::string>{kCheck + "-1"});
    EXPECT_EQ(RunWith(ScriptedAnswer::Status(404)), std::vector<std::string>{kCheck + "-1"});
    EXPECT_EQ(RunWith(ScriptedAnswer::Drop()), std::vector<std::string>{kCheck});
    EXPECT_EQ(RunWith(ScriptedAnswer::Json("")), std::vector<std::string>{kCheck});
}

TEST_F(NetworkCheck, UnsupportedSchemeAndUnreachableServerShowTheTransportMessageFirst) {
    WriteRealm("ftp://127.0.0.1:" + std::to_string(server.Port()));
    model.NetworkTest();
    EXPECT_EQ(Boxes(), (std::vector<std::string>{U8(u8"不支持HTTP协议"), kCheck + "-1"}));
    core.boxes.Clear();
    WriteRealm("http://127.0.0.1:" + std::to_string(ClosedLoopbackPort()));
    model.NetworkTest();
    EXPECT_EQ(Boxes(),
              (std::vector<std::string>{U8(u8"网络连接超时，请重试或更换网络环境重试！"), kCheck + "-1"}));
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST_F(NetworkCheck, LoginStateMakesNoDifference) {
    for (int32_t loggedIn : {0, 1}) {
        model.loggedIn = loggedIn;
        EXPECT_EQ(RunWith(ScriptedAnswer::Json("{\"code\":\"-2\"}")), std::vector<std::string>{kOk});
    }
    EXPECT_EQ(server.RequestCount(), 2u);
}

} // namespace
} // namespace rv::test
