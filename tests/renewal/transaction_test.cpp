// The renewal transaction against a scripted card and a real loopback HTTP server: every failure of the
// main sequence, the public-key consistency check with its repeats and limit, and the button at the end.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "cert_test_support.h"
#include "support/fake_card.h"
#include "support/scripted_http_server.h"
#include "support/test_env.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace rv::test {
namespace {

const std::string kCardError = Gbk(u8"卡片操作失败");
const std::string kHint =
    U8(u8"请点击菜单“网络测试”查看是否可以访问服务器\n以及本机网络是否正常,再尝试延期！");
const std::string kMismatch = U8(u8"公钥匹配不一致，请插入登录时的IC卡！");
const std::string kInsertLoginCard = U8(u8"请确定插入的是登录时的IC卡，否则无法延期，IC卡也无法正常使用！");
const std::string kAskOriginal = U8(u8"您确定插入的IC卡是原始的那张IC卡吗？");
const std::string kRenewed = U8(u8"延期成功！");
std::string Attempt(int n) {
    return U8(u8"您将进行第") + std::to_string(n) + U8(u8"次比对公钥一致性！");
}
const std::string kKeyCheckLimit = U8(u8"您已达到最大的比对公钥一致性次数:3次，请去分中心进行处理！");
std::string CardError(const char8_t* suffix) {
    return Utf8(kCardError) + U8(suffix);
}

// Passes every call on to the scripted card, except that reading one string property can fail the way
// a control reports it: Status then reads -1 and ErrorMessage the given text, until the next method.
class FailingPropertyCard {
public:
    FailingPropertyCard(RvDispatch* inner, int dispid, std::string error)
        : inner_(inner), dispid_(dispid), error_(std::move(error)) {
        self_.vtbl = &kVtbl;
        self_.owner = this;
    }
    RvDispatch* Dispatch() { return &self_; }

private:
    struct Self : RvDispatch {
        FailingPropertyCard* owner;
    };
    static FailingPropertyCard& Of(RvDispatch* d) { return *static_cast<Self*>(d)->owner; }
    static int Invoke(RvDispatch* d, int id) {
        Of(d).failed_ = false;
        return Of(d).inner_->vtbl->Invoke(Of(d).inner_, id);
    }
    static int GetInt(RvDispatch* d, int id, int32_t* v) {
        if (id == dispid::Status && Of(d).failed_) {
            *v = -1;
            return RV_DISP_OK;
        }
        return Of(d).inner_->vtbl->GetInt(Of(d).inner_, id, v);
    }
    static int GetString(RvDispatch* d, int id, const char** data, size_t* len) {
        FailingPropertyCard& f = Of(d);
        if (id == f.dispid_) {
            f.failed_ = true;
        }
        if (id == dispid::ErrorMessage && f.failed_) {
            *data = f.error_.c_str();
            *len = f.error_.size();
            return RV_DISP_OK;
        }
        return f.inner_->vtbl->GetString(f.inner_, id, data, len);
    }
    static int SetString(RvDispatch* d, int id, const char* data, size_t len) {
        return Of(d).inner_->vtbl->SetString(Of(d).inner_, id, data, len);
    }
    static void Release(RvDispatch* d) { Of(d).inner_->vtbl->Release(Of(d).inner_); }
    static inline const RvDispatchVtbl kVtbl = {&Invoke, &GetInt, &GetString, &SetString, &Release};

    Self self_;
    RvDispatch* inner_;
    int dispid_;
    std::string error_;
    bool failed_ = false;
};

std::string RenewalAnswer(const std::string& signCert, const std::string& envCert, bool withEnvData = true) {
    cJSON* o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "code", "0");
    cJSON_AddStringToObject(o, "msg", "");
    cJSON_AddStringToObject(o, "signCertPEM", signCert.c_str());
    cJSON_AddStringToObject(o, "envCertPEM", envCert.c_str());
    if (withEnvData) {
        cJSON_AddStringToObject(o, "envDataPEM", "ENV-DATA");
    }
    cJSON_AddStringToObject(o, "kmsKeyPEM", "KMS");
    cJSON_AddStringToObject(o, "cssSignKeyPEM", "CSS-SIGN");
    cJSON_AddStringToObject(o, "cssEnvKeyPEM", "CSS-ENV");
    cJSON_AddStringToObject(o, "managePasswd", "MP2");
    char* text = cJSON_PrintUnformatted(o);
    std::string out = text;
    cJSON_free(text);
    cJSON_Delete(o);
    return out;
}

class Transaction : public ::testing::Test {
protected:
    // The card's certificate and the new ones come from one issuer and name one holder (the card record's
    // applicant and unit), as a renewal's do.
    static void SetUpTestSuite() {
        certs_ = new TempWorkDir;
        TestIssuer ca = MakeTestIssuer("Test Issuer");
        current_ = MakeIssuedCert(certs_->path(), "current", ca.certPem, ca.keyPem, "A", "U", 30);
        right_ = MakeIssuedCert(certs_->path(), "right", ca.certPem, ca.keyPem, "A", "U", 730);
        other_ = MakeIssuedCert(certs_->path(), "other", ca.certPem, ca.keyPem, "A", "U", 730);
        env_ = MakeIssuedCert(certs_->path(), "env", ca.certPem, ca.keyPem, "A", "U", 730);
    }
    static void TearDownTestSuite() {
        delete certs_;
        certs_ = nullptr;
    }

    void SetUp() override {
        card.Attach(fake.Dispatch());
        dir.Write("Config/conf.ini", "realmName=" + server.BaseUrl() + "\r\n");
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        model.data.certSeqNo = "CS01";
        model.data.applicantName = "A";
        model.data.cardNumber = "C9";
        model.data.unitName = "U";
        model.data.unitCode = "T";
        model.data.cryptAlgo = "SM2";
        model.data.validTo = "20240315";
        view.renewalEnabled = true;

        fake.SetString(dispid::Signature, "SIG-BASE64");
        fake.SetString(dispid::PublicKey, right_.publicKeyPem);
        fake.SetString(dispid::CryptAlgo, "SM2");
        fake.SetString(dispid::CardCert, current_.certPem);
        SetCardEndDate("20240315");
        fake.OnMethod(dispid::WriteCard, [this] { SetCardEndDate(right_.endDate); });

        server.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json("{\"code\":\"0\",\"random\":\"R1\"}"));
        server.Script("/selfIcUpdate/verifyInfo",
                      ScriptedAnswer::Json("{\"code\":\"0\",\"opSeqNo\":\"OP1\",\"signDate\":\"D\","
                                           "\"managePasswd\":\"MP1\",\"random\":\"R2\"}"));
        server.Script("/selfIcUpdate/upadteCert",
                      ScriptedAnswer::Json(RenewalAnswer(right_.certPem, env_.certPem)));
    }

    void SetCardEndDate(const std::string& end) {
        fake.SetString(dispid::CardInfo, "CS01|A|1|110101|f5|C9|U|T|f9|RA1|10|20220315|" + end);
    }
    // The card generates `keys[i]` at its i-th InitUpdate (the last one repeats).
    void CardGenerates(std::vector<std::string> keys) {
        fake.SetString(dispid::PublicKey, keys.front());
        fake.OnMethod(dispid::InitUpdate, [this, keys, n = std::size_t{0}]() mutable {
            fake.SetString(dispid::PublicKey, keys[std::min(n++, keys.size() - 1)]);
        });
    }
    std::vector<std::string> Boxes() const { return core.boxes.TextsUtf8(); }
    bool RenewalRequested() const {
        for (const auto& r : server.Requests()) {
            if (r.Path() == "/selfIcUpdate/upadteCert") {
                return true;
            }
        }
        return false;
    }
    std::vector<std::string> InitPasswords() const {
        std::vector<std::string> out;
        const std::string tag = "S" + std::to_string(dispid::InitManagePassword) + "=";
        for (const auto& c : fake.Calls()) {
            if (c.rfind(tag, 0) == 0) {
                out.push_back(c.substr(tag.size()));
            }
        }
        return out;
    }

    static inline TempWorkDir* certs_ = nullptr;
    static inline TestCert current_, right_, other_, env_;

    TempWorkDir dir;
    CoreFixture core;
    NoProxyEnv noProxy;
    ScriptedHttpServer server;
    FakeCard fake;
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
};

TEST_F(Transaction, EqualKeysRenewAtOnce) {
    std::vector<bool> noticeDuringCall;
    fake.OnMethod(dispid::SignData, [&] { noticeDuringCall.push_back(view.noticeOpen); });
    model.RenewalTransaction();

    EXPECT_EQ(Boxes(), U8s({kRenewed}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(view.notices, (std::vector<int>{159, 162, 160, 156}));
    EXPECT_FALSE(view.noticeOpen);
    EXPECT_EQ(noticeDuringCall, std::vector<bool>{true});
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 0);
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 1);
    // Signed text: operation number, card number, applicant, unit, signing date, unit code, card number, "3".
    EXPECT_EQ(fake.LastSet(dispid::SignSource), "OP1C9AUDTC93");
    // The key pair is made under the verification answer's password; the card gets the renewal answer's.
    EXPECT_EQ(InitPasswords(), std::vector<std::string>{"MP1"});
    EXPECT_EQ(fake.LastSet(dispid::WriteManagePassword), "MP2");
    EXPECT_EQ(model.data.managePasswd, "MP2");
    EXPECT_EQ(fake.LastSet(dispid::SignCert), right_.certPem);
    EXPECT_EQ(model.data.validTo, right_.endDate);

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].Path(), "/selfIcUpdate/upadteCert");
    std::string body = requests[2].body;
    ASSERT_FALSE(body.empty());
    EXPECT_EQ(body.back(), '\0');
    cJSON* json = cJSON_Parse(body.c_str());
    ASSERT_NE(json, nullptr);
    auto field = [&](const char* key) {
        const cJSON* item = cJSON_GetObjectItem(json, key);
        return item && cJSON_IsString(item) ? std::string(item->valuestring) : std::string("<missing>");
    };
    EXPECT_EQ(field("dataSign"), "SIG-BASE64");
    EXPECT_EQ(field("publicKey"), right_.publicKeyPem);
    EXPECT_EQ(field("random"), "R2");
    EXPECT_EQ(field("opSeqNo"), "OP1");
    EXPECT_EQ(field("signDate"), "D");
    EXPECT_EQ(field("operType"), "3");
    EXPECT_EQ(field("cardCryptAlgo"), "SM2");
    cJSON_Delete(json);
}

TEST_F(Transaction, FailedVerificationEndsBeforeAnyCardCall) {
    server.Script("/selfIcUpdate/getRandom", ScriptedAnswer::Json("{\"code\":\"1\"}"));
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"获取随机数失败！请重试！"), U8(u8"验证用户信息失败，请重试！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(Transaction, FailedSignatureEndsWithTheButtonEnabled) {
    fake.QueueResult(dispid::SignData, -1, kCardError);
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({CardError(u8"\n签名失败,请重试！")}));
    EXPECT_EQ(Client().lastError, kCardError);
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(view.notices, std::vector<int>{159});
    EXPECT_FALSE(view.noticeOpen);
    EXPECT_EQ(fake.CountMethod(dispid::InitUpdate), 0);
    EXPECT_FALSE(RenewalRequested());
}

TEST_F(Transaction, FailedSignatureReadSendsNoRequest) {
    FailingPropertyCard failing(fake.Dispatch(), dispid::Signature, kCardError);
    card.Attach(failing.Dispatch());
    fake.released = false;
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({CardError(u8"\n获取签名结果失败，请重试！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(fake.CountMethod(dispid::InitUpdate), 0);
    EXPECT_FALSE(RenewalRequested());
    card.Attach(nullptr);
}

TEST_F(Transaction, FailedKeyPairEndsWithTheButtonEnabled) {
    fake.QueueResult(dispid::InitUpdate, 2, kCardError);
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({CardError(u8"\n初始化IC卡失败！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(view.notices, (std::vector<int>{159, 162}));
    EXPECT_FALSE(RenewalRequested());
}

TEST_F(Transaction, ServerFailuresOfTheRenewalWriteNothing) {
    struct Case {
        ScriptedAnswer answer;
        std::vector<std::string> boxes;
    } cases[] = {
        {ScriptedAnswer::Status(500), {U8(u8"网络通讯异常！\n-1\n请重试！"), kHint}},
        {ScriptedAnswer::Json("{\"code\":\"7\",\"msg\":\"" + U8(u8"证书已注销") + "\"}"),
         {U8(u8"证书已注销\n请重试！")}},
        {ScriptedAnswer::Json("{\"code\":\"7\"}"), {U8(u8"网络通讯异常，请重试！\n msg不存在！"), kHint}},
        {ScriptedAnswer::Json("{\"msg\":\"x\"}"), {U8(u8"网络通讯异常，请重试！\n code不存在！"), kHint}},
        {ScriptedAnswer::Json(RenewalAnswer(right_.certPem, env_.certPem, false)),
         {U8(u8"网络通讯异常，请重试！\n 证书信息不存在！"), kHint}},
    };
    for (auto& c : cases) {
        core.boxes.Clear();
        view.renewalEnabled = false;
        server.Script("/selfIcUpdate/upadteCert", c.answer);
        model.RenewalTransaction();
        EXPECT_EQ(Boxes(), c.boxes);
        EXPECT_TRUE(view.renewalEnabled);
        EXPECT_EQ(model.data.managePasswd, "MP1") << "the renewal answer's password is kept only on success";
        EXPECT_FALSE(view.noticeOpen);
    }
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 0);
    EXPECT_EQ(fake.LastSet(dispid::SignCert), "");
}

TEST_F(Transaction, AnUnreadableCertificateEndsAfterStoringTheNewPassword) {
    server.Script("/selfIcUpdate/upadteCert",
                  ScriptedAnswer::Json(RenewalAnswer("-----BEGIN CERTIFICATE-----", env_.certPem)));
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"PEM转DER失败！")}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(model.data.managePasswd, "MP2");
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 0);
}

TEST_F(Transaction, ASwappedCardThenTheRightCardRenews) {
    CardGenerates({other_.publicKeyPem, right_.publicKeyPem});
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({kMismatch, kInsertLoginCard, kAskOriginal, Attempt(1), kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 1);
    EXPECT_EQ(fake.CountMethod(dispid::OpenCard), 1);
    // The repeat makes the key pair under the password of the renewal answer.
    EXPECT_EQ(InitPasswords(), (std::vector<std::string>{"MP1", "MP2"}));
    EXPECT_EQ(view.notices, (std::vector<int>{159, 162, 160, 156})) << "no notice during the check";
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 1);
}

TEST_F(Transaction, NoRepeatsTheQuestionForAsLongAsItIsChosen) {
    CardGenerates({other_.publicKeyPem, right_.publicKeyPem});
    core.boxes.QueueAnswers({IDNO, IDNO, IDNO, IDYES});
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({kMismatch, kInsertLoginCard, kAskOriginal, kAskOriginal, kAskOriginal,
                            kAskOriginal, Attempt(1), kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 1);
}

TEST_F(Transaction, ThreeFailedRepeatsEndInTheLimitWithTheButtonDisabled) {
    CardGenerates({other_.publicKeyPem});
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({kMismatch, kInsertLoginCard, kAskOriginal, Attempt(1), kMismatch,
                            kInsertLoginCard, kAskOriginal, Attempt(2), kMismatch, kInsertLoginCard,
                            kAskOriginal, Attempt(3), kKeyCheckLimit}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 3);
    EXPECT_EQ(fake.CountMethod(dispid::OpenCard), 3);
    EXPECT_EQ(fake.CountMethod(dispid::InitUpdate), 4);
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 0);
}

TEST_F(Transaction, AFailedOpenCountsAsARepeat) {
    CardGenerates({other_.publicKeyPem, right_.publicKeyPem});
    fake.QueueResult(dispid::OpenCard, -1, kCardError);
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(),
              U8s({kMismatch, kInsertLoginCard, kAskOriginal, Attempt(1), CardError(u8"\n打开IC卡失败！"),
                   kMismatch, kInsertLoginCard, kAskOriginal, Attempt(2), kRenewed}));
    EXPECT_EQ(fake.CountMethod(dispid::OpenCard), 2);
}

TEST_F(Transaction, OpenFailuresAloneReachTheLimit) {
    CardGenerates({other_.publicKeyPem});
    fake.SetDefaultResult(dispid::OpenCard, -1, kCardError);
    model.RenewalTransaction();
    const std::string openFailed = CardError(u8"\n打开IC卡失败！");
    EXPECT_EQ(Boxes(), U8s({kMismatch, kInsertLoginCard, kAskOriginal, Attempt(1), openFailed, kMismatch,
                            kInsertLoginCard, kAskOriginal, Attempt(2), openFailed, kMismatch,
                            kInsertLoginCard, kAskOriginal, Attempt(3), openFailed, kKeyCheckLimit}));
    EXPECT_EQ(fake.CountMethod(dispid::InitUpdate), 1);
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(Transaction, AFailedKeyPairInARepeatSendsTheUserToTheOffice) {
    CardGenerates({other_.publicKeyPem});
    fake.QueueResult(dispid::InitUpdate, 0);
    fake.QueueResult(dispid::InitUpdate, -1, kCardError);
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({kMismatch, kInsertLoginCard, kAskOriginal, Attempt(1),
                            CardError(u8"\n初始化IC卡失败！"), U8(u8"请携带IC卡去分中心进行处理！")}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(fake.CountMethod(dispid::WriteCard), 0);
}

TEST_F(Transaction, TheRepeatCounterStartsAgainOnTheNextPress) {
    CardGenerates({other_.publicKeyPem});
    model.RenewalTransaction();
    auto first = Boxes();
    core.boxes.Clear();
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), first);
    EXPECT_EQ(Boxes().back(), kKeyCheckLimit);
    EXPECT_EQ(fake.CountMethod(dispid::OpenCard), 6);
}

TEST_F(Transaction, TheWriteBackDecidesTheButtonAfterEqualKeys) {
    fake.QueueResult(dispid::WriteCard, 1, kCardError);
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({kMismatch}));
    EXPECT_TRUE(view.renewalEnabled);

    core.boxes.Clear();
    for (int i = 0; i < 4; ++i) {
        fake.QueueResult(dispid::WriteCard, -1, kCardError);
    }
    model.RenewalTransaction();
    ASSERT_FALSE(Boxes().empty());
    EXPECT_EQ(Boxes().back(), U8(u8"您已达到最大重新写IC卡次数:3次，请去分中心进行处理！"));
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(Transaction, AnExceptionEndsInTheCatchAllWithTheButtonDisabled) {
    fake.OnMethod(dispid::SignData, [] { throw std::runtime_error("card driver fault"); });
    model.RenewalTransaction();
    EXPECT_EQ(Boxes(), U8s({U8(u8"网络通讯异常，请重试！")}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_FALSE(view.noticeOpen) << "the notice window does not outlive the failed call";
    EXPECT_FALSE(RenewalRequested());
}

} // namespace
} // namespace rv::test
