// Requests of the renewal service and the evaluation of its answers, exchanged over loopback.
#include "net/CHttpClient.h"
#include "net/service_messages.h"
#include "net_fixture.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rv::test {
namespace {

std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

const std::string kHint =
    U8(u8"请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！");
const std::string kNoCode = U8(u8"网络通讯异常，请重试！\n code不存在！");
const std::string kNetworkError = U8(u8"网络通讯异常，请重试！");

// ---- requests ----------------------------------------------------------------------------------------

CardData SampleCard() {
    CardData d;
    d.certSeqNo = "CS01";
    d.applicantName = "Alice";
    d.idType = "1";
    d.idNumber = "110101";
    d.cardNumber = "C9";
    d.unitName = "Unit";
    d.unitCode = "T77";
    d.raCode = "RA5";
    d.validTo = "20250131";
    d.field5 = "unused";
    d.validFrom = "20240101";
    return d;
}

RenewalRequestValues SampleRenewal() {
    RenewalRequestValues v;
    v.dataSign = "SIG";
    v.certSeqNo = "CS01";
    v.opSeqNo = "OP1";
    v.icCode = "C9";
    v.iccardName = "A";
    v.iccardUnitName = "U";
    v.signDate = "20240601";
    v.iccardUnitCode = "T";
    v.publicKey = "PK";
    v.cardCryptAlgo = "SM2";
    v.random = "R2";
    return v;
}

// Values of a request read back with cJSON, converted to GBK.
std::vector<std::pair<std::string, std::string>> Fields(const std::string& json) {
    std::vector<std::pair<std::string, std::string>> out;
    cJSON* root = cJSON_Parse(json.c_str());
    EXPECT_NE(root, nullptr) << json;
    for (cJSON* it = root ? root->child : nullptr; it; it = it->next) {
        out.emplace_back(it->string, cJSON_IsString(it) ? cp::Utf8ToGbk(it->valuestring) : "<not a string>");
    }
    cJSON_Delete(root);
    return out;
}

TEST(ServiceRequests, VerificationRequestIsPlainConcatenationForOrdinaryValues) {
    EXPECT_EQ(BuildVerifyRequest(SampleCard(), "R1"),
              "{\"certSeqNo\":\"CS01\",\"legalPerson\":\"Alice\",\"idType\":\"1\",\"idNumber\":\"110101\","
              "\"icCode\":\"C9\",\"entName\":\"Unit\",\"unitType\":\"T77\",\"raCode\":\"RA5\","
              "\"endDate\":\"20250131\",\"random\":\"R1\"}");
}

TEST(ServiceRequests, RenewalRequestHasFourteenFieldsWithTheConstants) {
    EXPECT_EQ(
        BuildRenewalRequest(SampleRenewal()),
        "{\"dataSign\":\"SIG\",\"certSeqNo\":\"CS01\",\"opSeqNo\":\"OP1\",\"icCode\":\"C9\","
        "\"iccardName\":\"A\",\"iccardUnitName\":\"U\",\"signDate\":\"20240601\",\"iccardUnitCode\":\"T\","
        "\"iccardId\":\"\",\"operType\":\"3\",\"publicKey\":\"PK\",\"cardCryptAlgo\":\"SM2\","
        "\"note\":\"\",\"random\":\"R2\"}");
    EXPECT_EQ(Fields(BuildRenewalRequest(RenewalRequestValues{})).size(), 14u);
}

TEST(ServiceRequests, ChineseValuesAreSentInUtf8) {
    CardData d = SampleCard();
    d.applicantName = "张三";    // GBK in this build
    d.unitName = "某某有限公司"; // GBK
    std::string json = BuildVerifyRequest(d, "R");
    EXPECT_NE(json.find(U8(u8"\"legalPerson\":\"张三\"")), std::string::npos) << json;
    EXPECT_NE(json.find(U8(u8"\"entName\":\"某某有限公司\"")), std::string::npos);
}

TEST(ServiceRequests, QuotesBackslashesAndControlCharactersAreEscaped) {
    CardData d = SampleCard();
    d.applicantName = "A\"B\\C";
    d.unitName = "line1\nline2\t\x01";
    // "乗" and "誠" end in the byte 0x5C in GBK; it must not be taken for a backslash.
    d.raCode = "乗誠";
    ASSERT_EQ(d.raCode.size(), 4u);
    ASSERT_EQ(d.raCode[1], '\\');
    std::string json = BuildVerifyRequest(d, "x\"y");
    EXPECT_NE(json.find("\"legalPerson\":\"A\\\"B\\\\C\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"entName\":\"line1\\nline2\\t\\u0001\""), std::string::npos) << json;
    EXPECT_NE(json.find(U8(u8"\"raCode\":\"乗誠\"")), std::string::npos) << json;

    // Read back, every value is the one given.
    auto fields = Fields(json);
    ASSERT_EQ(fields.size(), 10u);
    EXPECT_EQ(fields[1], std::make_pair(std::string("legalPerson"), d.applicantName));
    EXPECT_EQ(fields[5], std::make_pair(std::string("entName"), d.unitName));
    EXPECT_EQ(fields[7], std::make_pair(std::string("raCode"), d.raCode));
    EXPECT_EQ(fields[9], std::make_pair(std::string("random"), std::string("x\"y")));
}

// ---- answers -----------------------------------------------------------------------------------------

class ServiceAnswers : public NetTest {
protected:
    ScriptedHttpServer server;

    // Posts to the server, which answers with `answer`; returns what the client returned.
    std::string Exchange(CHttpClient& client, ScriptedAnswer answer) {
        server.Queue(std::move(answer));
        return client.PostRequest(server.BaseUrl() + "/svc");
    }
    bool Random(ScriptedAnswer answer, std::string& random) {
        CHttpClient client;
        std::string text = Exchange(client, std::move(answer));
        return EvaluateRandomAnswer(client, text, random);
    }
    bool Verify(ScriptedAnswer answer, CardData& data, std::string& random) {
        CHttpClient client;
        std::string text = Exchange(client, std::move(answer));
        return EvaluateVerifyAnswer(client, text, data, random);
    }
    bool Renewal(ScriptedAnswer answer, RenewalKeySet& keys) {
        CHttpClient client;
        std::string text = Exchange(client, std::move(answer));
        return EvaluateRenewalAnswer(client, text, keys);
    }
    ScriptedAnswer Body(const char8_t* json) { return ScriptedAnswer::Json(U8(json)); }
};

// Transport failures read the same for all three operations: the text itself inside the message, then
// the hint.
TEST_F(ServiceAnswers, TransportFailuresShowTheTextAndTheHint) {
    const std::vector<std::string> minusOne = {U8(u8"网络通讯异常！\n-1\n请重试！"), kHint};
    const std::vector<std::string> empty = {U8(u8"网络通讯异常！\n\n请重试！"), kHint};
    std::string random = "keep";
    CardData data;
    RenewalKeySet keys;

    EXPECT_FALSE(Random(ScriptedAnswer::Status(500, "{\"code\":\"0\",\"random\":\"r\"}"), random));
    EXPECT_EQ(Boxes(), minusOne);
    core.boxes.Clear();
    EXPECT_FALSE(Random(ScriptedAnswer::Drop(), random));
    EXPECT_EQ(Boxes(), empty);
    core.boxes.Clear();
    EXPECT_FALSE(Random(ScriptedAnswer::Json(""), random)); // an empty 200 is no answer either
    EXPECT_EQ(Boxes(), empty);
    EXPECT_EQ(random, "keep");

    core.boxes.Clear();
    EXPECT_FALSE(Verify(ScriptedAnswer::Status(404), data, random));
    EXPECT_EQ(Boxes(), minusOne);
    core.boxes.Clear();
    EXPECT_FALSE(Verify(ScriptedAnswer::Drop(), data, random));
    EXPECT_EQ(Boxes(), empty);

    core.boxes.Clear();
    EXPECT_FALSE(Renewal(ScriptedAnswer::Status(503), keys));
    EXPECT_EQ(Boxes(), minusOne);
    core.boxes.Clear();
    EXPECT_FALSE(Renewal(ScriptedAnswer::Drop(), keys));
    EXPECT_EQ(Boxes(), empty);
}

TEST_F(ServiceAnswers, MissingCodeIncludingAnswersThatAreNoObject) {
    for (const char8_t* body : {u8"{\"random\":\"r\"}", u8"not json", u8"[{\"code\":\"0\"}]", u8"\"code\"",
                                u8"{\"data\":{\"code\":\"0\"}}", u8"{\"code\":\"0\""}) {
        SCOPED_TRACE(U8(body));
        std::string random = "keep";
        CardData data;
        RenewalKeySet keys;
        core.boxes.Clear();
        EXPECT_FALSE(Random(Body(body), random));
        EXPECT_EQ(Boxes(), std::vector<std::string>{kNoCode});
        core.boxes.Clear();
        EXPECT_FALSE(Verify(Body(body), data, random));
        EXPECT_EQ(Boxes(), std::vector<std::string>{kNoCode});
        // Only the renewal adds the hint here.
        core.boxes.Clear();
        EXPECT_FALSE(Renewal(Body(body), keys));
        EXPECT_EQ(Boxes(), (std::vector<std::string>{kNoCode, kHint}));
        EXPECT_EQ(random, "keep");
    }
}

TEST_F(ServiceAnswers, RandomOperationRows) {
    std::string random = "old";
    EXPECT_FALSE(Random(Body(u8"{\"code\":\"1\",\"random\":\"r\"}"), random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"获取随机数失败！请重试！")});
    core.boxes.Clear();
    EXPECT_FALSE(Random(Body(u8"{\"code\":\"0\"}"), random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"网络通讯异常，请重试！\n random不存在！")});
    EXPECT_EQ(random, "old");
    core.boxes.Clear();
    EXPECT_TRUE(Random(Body(u8"{\"code\":\"0\",\"random\":\"R-42\"}"), random));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(random, "R-42");
}

// "code" by the leading-digits rule of its string value; a value that is not a string reads as 0.
TEST_F(ServiceAnswers, CodeConversion) {
    struct Case {
        const char8_t* code;
        bool success;
    };
    for (const Case& c : {Case{u8"\"0\"", true}, Case{u8"\"00\"", true}, Case{u8"\" 0\"", true},
                          Case{u8"\"ok\"", true}, Case{u8"\"\"", true}, Case{u8"\"0abc\"", true},
                          Case{u8"0", true}, Case{u8"1", true}, Case{u8"null", true}, Case{u8"\"1\"", false},
                          Case{u8"\"-1\"", false}, Case{u8"\"200\"", false}, Case{u8"\" -2x\"", false}}) {
        std::string body = "{\"code\":" + U8(c.code) + ",\"random\":\"r\"}";
        SCOPED_TRACE(body);
        core.boxes.Clear();
        std::string random;
        EXPECT_EQ(Random(ScriptedAnswer::Json(body), random), c.success);
        EXPECT_EQ(Boxes().size(), c.success ? 0u : 1u);
    }
}

TEST_F(ServiceAnswers, VerificationRefusalShowsTheServerTextAsReceived) {
    CardData data;
    std::string random = "R1";
    EXPECT_FALSE(Verify(Body(u8"{\"code\":\"5\",\"msg\":\"证件号码不符\"}"), data, random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"证件号码不符")});
    core.boxes.Clear();
    EXPECT_FALSE(Verify(Body(u8"{\"code\":\"5\"}"), data, random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{kNetworkError});
    EXPECT_EQ(random, "R1");
    EXPECT_EQ(data.opSeqNo, "");
}

TEST_F(ServiceAnswers, VerificationWithoutOneOfItsThreeValuesStoresNothing) {
    const std::string message = U8(u8"网络通讯异常，请重试！\n managePasswd、signDate、opSeqNo不存在！");
    for (const char8_t* body :
         {u8"{\"code\":\"0\",\"signDate\":\"D\",\"opSeqNo\":\"O\",\"random\":\"r\"}",
          u8"{\"code\":\"0\",\"managePasswd\":\"M\",\"opSeqNo\":\"O\",\"random\":\"r\"}",
          u8"{\"code\":\"0\",\"managePasswd\":\"M\",\"signDate\":\"D\",\"random\":\"r\"}"}) {
        SCOPED_TRACE(U8(body));
        core.boxes.Clear();
        CardData data;
        data.opSeqNo = "oldO";
        std::string random = "R1";
        EXPECT_FALSE(Verify(Body(body), data, random));
        EXPECT_EQ(Boxes(), std::vector<std::string>{message});
        EXPECT_EQ(data.opSeqNo, "oldO");
        EXPECT_EQ(data.signDate, "");
        EXPECT_EQ(data.managePasswd, "");
        EXPECT_EQ(random, "R1");
    }
}

TEST_F(ServiceAnswers, VerificationWithoutRandomKeepsTheThreeValues) {
    CardData data;
    std::string random = "R1";
    EXPECT_FALSE(
        Verify(Body(u8"{\"code\":\"0\",\"managePasswd\":\"M\",\"signDate\":\"D\",\"opSeqNo\":\"O\"}"), data,
               random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{kNetworkError});
    EXPECT_EQ(data.opSeqNo, "O");
    EXPECT_EQ(data.signDate, "D");
    EXPECT_EQ(data.managePasswd, "M");
    EXPECT_EQ(random, "R1");
}

TEST_F(ServiceAnswers, VerificationSuccessStoresEveryValueInGbk) {
    CardData data = SampleCard();
    std::string random = "R1";
    EXPECT_TRUE(Verify(Body(u8"{\"code\":\"0\",\"managePasswd\":\"密乗\",\"signDate\":\"20240601\","
                            u8"\"opSeqNo\":\"OP-誠\",\"random\":\"R2\",\"extra\":[1,2]}"),
                       data, random));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(data.managePasswd, "密乗");
    EXPECT_EQ(data.signDate, "20240601");
    EXPECT_EQ(data.opSeqNo, "OP-誠");
    EXPECT_EQ(random, "R2");
    EXPECT_EQ(data.certSeqNo, "CS01"); // the card's own values are untouched
}

TEST_F(ServiceAnswers, RenewalRefusalAddsTheRetrySuffixOrReportsTheMissingText) {
    RenewalKeySet keys;
    EXPECT_FALSE(Renewal(Body(u8"{\"code\":\"7\",\"msg\":\"签名验证失败\"}"), keys));
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"签名验证失败\n请重试！")});
    core.boxes.Clear();
    EXPECT_FALSE(Renewal(Body(u8"{\"code\":\"7\"}"), keys));
    EXPECT_EQ(Boxes(), (std::vector<std::string>{U8(u8"网络通讯异常，请重试！\n msg不存在！"), kHint}));
}

TEST_F(ServiceAnswers, RenewalNeedsAllSevenValues) {
    const char* keysInAnswer[] = {"signCertPEM",   "envCertPEM",   "envDataPEM",  "kmsKeyPEM",
                                  "cssSignKeyPEM", "cssEnvKeyPEM", "managePasswd"};
    for (const char* missing : keysInAnswer) {
        SCOPED_TRACE(missing);
        std::string body = "{\"code\":\"0\"";
        for (const char* k : keysInAnswer) {
            if (std::string(k) != missing) {
                body += std::string(",\"") + k + "\":\"v-" + k + "\"";
            }
        }
        body += "}";
        core.boxes.Clear();
        RenewalKeySet keys;
        keys.signCertPEM = "untouched";
        EXPECT_FALSE(Renewal(ScriptedAnswer::Json(body), keys));
        EXPECT_EQ(Boxes(),
                  (std::vector<std::string>{U8(u8"网络通讯异常，请重试！\n 证书信息不存在！"), kHint}));
        EXPECT_EQ(keys.signCertPEM, "untouched");
        EXPECT_EQ(keys.managePasswd, "");
    }
}

TEST_F(ServiceAnswers, RenewalSuccessDeliversEachValueUnderItsName) {
    RenewalKeySet keys;
    const std::string pem = "-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n";
    std::string body =
        "{\"code\":\"0\",\"signCertPEM\":\"-----BEGIN CERTIFICATE-----\\nMIIB\\n"
        "-----END CERTIFICATE-----\\n\",\"envCertPEM\":\"E\",\"envDataPEM\":\"D\",\"kmsKeyPEM\":\"K\","
        "\"cssSignKeyPEM\":\"S\",\"cssEnvKeyPEM\":\"V\",\"managePasswd\":7}";
    EXPECT_TRUE(Renewal(ScriptedAnswer::Json(body), keys));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(keys.signCertPEM, pem);
    EXPECT_EQ(keys.envCertPEM, "E");
    EXPECT_EQ(keys.envDataPEM, "D");
    EXPECT_EQ(keys.kmsKeyPEM, "K");
    EXPECT_EQ(keys.cssSignKeyPEM, "S");
    EXPECT_EQ(keys.cssEnvKeyPEM, "V");
    // A value that is not a string is present but has no text.
    EXPECT_EQ(keys.managePasswd, "");
}

// Parsing happens on the UTF-8 answer: in GBK, "乗" and "誠" end in 0x5C, which a parser fed the GBK
// text would read as an escape and lose the closing quote.
TEST_F(ServiceAnswers, TrailByte5CInAValueDoesNotBreakTheAnswer) {
    CardData data;
    std::string random;
    EXPECT_TRUE(
        Verify(Body(u8"{\"code\":\"0\",\"managePasswd\":\"乗\",\"signDate\":\"誠\",\"opSeqNo\":\"x乗\","
                    u8"\"random\":\"誠\"}"),
               data, random));
    EXPECT_EQ(data.managePasswd, "\x81\x5C");
    EXPECT_EQ(data.signDate, "誠");
    EXPECT_EQ(data.opSeqNo, "x乗");
    EXPECT_EQ(random, "誠");
    core.boxes.Clear();
    RenewalKeySet keys;
    EXPECT_FALSE(Renewal(Body(u8"{\"code\":\"1\",\"msg\":\"乗\"}"), keys));
    EXPECT_EQ(Boxes(), std::vector<std::string>{U8(u8"乗\n请重试！")});
}

TEST_F(ServiceAnswers, DeepOrLargeAnswersEndInAMessageNotACrash) {
    std::string deep(5000, '[');
    std::string random;
    EXPECT_FALSE(Random(ScriptedAnswer::Json(deep), random));
    EXPECT_EQ(Boxes(), std::vector<std::string>{kNoCode});
    core.boxes.Clear();
    std::string big = "{\"code\":\"0\",\"random\":\"" + std::string(1 << 20, 'r') + "\"}";
    EXPECT_TRUE(Random(ScriptedAnswer::Json(big), random));
    EXPECT_EQ(random.size(), 1u << 20);
}

} // namespace
} // namespace rv::test
