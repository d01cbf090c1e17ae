// The card control contract, run against every card control plugin: the software card and the token
// card (SoftHSM2, P-256 and RSA; and, in the card stack's test program, the emulated smart card through
// pcscd and OpenSC). Each plugin is loaded through the registry stand-in and driven
// through the card control wrapper in the sequences the client uses.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "card_under_test.h"
#include "platform/registry.h"
#include "renewal/cert_field_reader.h"
#include "support/card_stack.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace rv {
namespace {

using test::Gbk;
using test::Utf8;

std::string S(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

class CardContract : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        card_ = test::CardUnderTest::Make(GetParam());
        if (!card_) {
            GTEST_SKIP() << test::CardStack::SkipReason();
        }
        ASSERT_TRUE(card.Create(kCardControlClsid));
    }

    void Login(CDCertUpdate& c) {
        c.OpenCard();
        ASSERT_EQ(c.GetStatus(), 0) << Utf8(c.GetErrorMessage());
        c.SetPassword(test::kPin);
        c.VerifyPassword();
        ASSERT_EQ(c.GetStatus(), 0) << Utf8(c.GetErrorMessage());
    }

    // InitUpdate under the given management password; returns the new public key.
    std::string NewKeyPair(const std::string& managePassword = test::kManagePassword) {
        card.SetInitManagePassword(managePassword);
        card.InitUpdate();
        EXPECT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
        return card.GetPublicKey();
    }

    // What a renewal answer brings: a certificate over `publicKey`, and an encryption key pair (the key
    // sealed under the new management password, as the service sends it).
    void SetWriteProperties(const std::string& signCert, const std::string& newManagePassword) {
        std::string encKey = test::NewPrivateKeyPem(card_->algo());
        card.SetSignCert(signCert);
        card.SetEnvCert(card_->ca().Issue(encKey, "20260101000000Z", "20310630120000Z"));
        card.SetKmsKey("-----BEGIN PUBLIC KEY-----\nKMS\n-----END PUBLIC KEY-----\n");
        card.SetCssSignKey("-----BEGIN PUBLIC KEY-----\nCSS-SIGN\n-----END PUBLIC KEY-----\n");
        card.SetCssEnvKey("-----BEGIN PUBLIC KEY-----\nCSS-ENV\n-----END PUBLIC KEY-----\n");
        card.SetEnvData(
            test::EncryptPrivateKeyPem(encKey, newManagePassword.empty() ? "x" : newManagePassword));
        card.SetWriteManagePassword(newManagePassword);
    }

    std::unique_ptr<test::CardUnderTest> card_;
    CDCertUpdate card;
};

// The tests where the card's key algorithm matters also run on an RSA token (its key generation is slow).
using CardKeyContract = CardContract;

TEST_P(CardContract, NoCardInTheReaderMeansNoCard) {
    card_->Eject();
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"未检测到IC卡，请插入IC卡！"));
}

TEST_P(CardContract, MethodsNeedAnOpenCardAndSigningNeedsThePin) {
    for (int method : {dispid::ReadCardInfo, dispid::ReadCryptAlgo, dispid::VerifyPassword, dispid::SignData,
                       dispid::InitUpdate, dispid::WriteCard}) {
        card.InvokeMethod(method);
        EXPECT_EQ(card.GetStatus(), -1) << method;
        EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡未打开，请先打开IC卡！")) << method;
    }
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    card.SetSignSource("abc");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡口令未校验，请先登录！"));
    // A wrong PIN is refused and signs nothing; closing ends the verified session.
    card.SetPassword("000000");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()).find(S(u8"口令错误")), 0u) << Utf8(card.GetErrorMessage());
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    ASSERT_EQ(card.GetStatus(), 0);
    card.CloseCard();
    EXPECT_EQ(card.GetStatus(), 0);
    card.OpenCard();
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    // An empty PIN never reaches the card.
    card.SetPassword("");
    card.VerifyPassword();
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"口令不能为空"));
}

TEST_P(CardContract, UnknownMembersAndWrongKindsAreRejectedByTheDispatch) {
    card.InvokeMethod(99);
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡控件调用失败！"));
    card.InvokeMethod(dispid::CardInfo); // a property is not a method
    EXPECT_EQ(card.GetStatus(), -1);
}

TEST_P(CardKeyContract, ClientReaderGetsThirteenFieldsAndTheAlgorithm) {
    test::CoreFixture core;
    test::FakeView view;
    MainWindowModel model{card, view};
    Login(card);
    card.ReadCardInfo();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    EXPECT_EQ(card.GetCardInfo(), "SEQ-0042|" + Gbk(u8"张三") + "|01|110101199001011234|F5|C9000001|" +
                                      Gbk(u8"某億科技有限公司") +
                                      "|91110000MA01|NINE|RA07|10|20240115083000|20260114235959");
    // The member the renewal compares new certificates with: the certificate behind those dates.
    std::string cardCert;
    ASSERT_TRUE(card.GetCardCert(cardCert));
    EXPECT_EQ(cardCert, card_->firstCertPem());
    ASSERT_EQ(model.ReadCardInfo(), 0) << (core.boxes.TextsUtf8().empty() ? "" : core.boxes.TextsUtf8()[0]);
    EXPECT_EQ(Utf8(model.data.applicantName), S(u8"张三"));
    // "億" ends in the separator byte and must not split the unit name.
    EXPECT_EQ(Utf8(model.data.unitName), S(u8"某億科技有限公司"));
    EXPECT_EQ(model.data.raCode, "RA07");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"法人IC卡"));
    EXPECT_EQ(model.data.validFrom, "20240115");
    EXPECT_EQ(model.data.validTo, "20260114");
    EXPECT_EQ(model.data.cryptAlgo, card_->algo());
}

TEST_P(CardKeyContract, SignatureOverTheGbkTextVerifiesAgainstTheCardCertificate) {
    Login(card);
    const std::string text = "OP1C9" + Gbk(u8"张三某億科技有限公司") + "20250101UCC93";
    card.SetSignSource(text);
    card.SignData();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    std::string sig = card.GetSignature();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(sig.find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(test::OpenSslVerifies(card_->firstCertPem(), text, sig));
    // Exactly the GBK bytes were signed, not a re-encoding.
    EXPECT_FALSE(test::OpenSslVerifies(card_->firstCertPem(), Utf8(text), sig));
    card.SetSignSource("");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"待签名数据为空！"));
}

TEST_P(CardKeyContract, InitUpdateChecksTheManagePasswordAndGivesAKeyTheClientCanCompare) {
    Login(card);
    std::string before = card_->Snapshot();
    card.SetInitManagePassword("wrong");
    card.InitUpdate();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"管理员口令错误，IC卡初始化失败！"));
    EXPECT_TRUE(card_->Snapshot() == before) << "the card changed";

    std::string pub = NewKeyPair();
    EXPECT_EQ(pub.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
    EXPECT_EQ(pub.find('\r'), std::string::npos);
    EXPECT_EQ(card_->CurrentCertPem(), card_->firstCertPem()); // the current key is untouched until WriteCard
    // The client compares it, as text, with the key its certificate field reader takes from a
    // certificate issued over it.
    test::CoreFixture core;
    std::string cert = card_->ca().Issue(pub, "20260101000000Z", "20310630120000Z");
    EXPECT_EQ(ReadCertificateField(cert, kCertItemPublicKey), pub);
    // A repeat generates a fresh pair.
    EXPECT_NE(NewKeyPair(), pub);
}

TEST_P(CardKeyContract, WriteCardMakesTheNewKeyAndCertificateCurrent) {
    test::CoreFixture core;
    test::FakeView view;
    MainWindowModel model{card, view};
    Login(card);
    std::string pub = NewKeyPair();
    std::string newCert = card_->ca().Issue(pub, "20260101000000Z", "20310630120000Z");
    SetWriteProperties(newCert, "MP-0002");
    card.WriteCard();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    EXPECT_EQ(card_->CurrentCertPem(), newCert);

    // The card now reports the new validity and certificate ...
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.validFrom, "20260101");
    EXPECT_EQ(model.data.validTo, "20310630");
    std::string cardCert;
    ASSERT_TRUE(card.GetCardCert(cardCert));
    EXPECT_EQ(cardCert, newCert);
    // ... signs with the new key ...
    card.SetSignSource("after renewal");
    card.SignData();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_TRUE(test::OpenSslVerifies(newCert, "after renewal", card.GetSignature()));
    EXPECT_FALSE(test::OpenSslVerifies(card_->firstCertPem(), "after renewal", card.GetSignature()));
    // ... and only the rotated management password prepares it again, also after reopening.
    card.CloseCard();
    Login(card);
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    EXPECT_EQ(card.GetStatus(), -1);
    NewKeyPair("MP-0002");
}

TEST_P(CardContract, CertificateOverAnotherKeyGivesStatusOneAndChangesNothing) {
    Login(card);
    // No key pair prepared yet.
    SetWriteProperties(card_->firstCertPem(), "MP-0002");
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), 1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡中没有待更新的密钥对，请先初始化IC卡！"));

    NewKeyPair();
    std::string before = card_->Snapshot();
    std::string otherKey = test::NewPrivateKeyPem(card_->algo());
    for (const std::string& cert : {card_->ca().Issue(otherKey, "20260101000000Z", "20310630120000Z"),
                                    card_->firstCertPem(), std::string("garbage")}) {
        SetWriteProperties(cert, "MP-0002");
        card.WriteCard();
        EXPECT_EQ(card.GetStatus(), 1);
        EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"签名证书的公钥与IC卡中的密钥不一致！"));
        EXPECT_TRUE(card_->Snapshot() == before) << "the card changed";
    }
}

TEST_P(CardContract, PendingKeySurvivesReopeningAndANewControl) {
    Login(card);
    std::string pub = NewKeyPair();
    card.CloseCard();
    CDCertUpdate again;
    ASSERT_TRUE(again.Create(kCardControlClsid));
    Login(again);
    std::string cert = card_->ca().Issue(pub, "20260101000000Z", "20310630120000Z");
    std::string encKey = test::NewPrivateKeyPem(card_->algo());
    again.SetSignCert(cert);
    again.SetEnvCert(card_->ca().Issue(encKey, "20260101000000Z", "20310630120000Z"));
    again.SetEnvData(test::EncryptPrivateKeyPem(encKey, "MP-0003"));
    again.SetWriteManagePassword("MP-0003");
    again.WriteCard();
    EXPECT_EQ(again.GetStatus(), 0) << Utf8(again.GetErrorMessage());
    EXPECT_EQ(card_->CurrentCertPem(), cert);
}

TEST_P(CardContract, EmptyNewManagePasswordIsRefusedBeforeAnythingIsWritten) {
    Login(card);
    std::string pub = NewKeyPair();
    std::string before = card_->Snapshot();
    SetWriteProperties(card_->ca().Issue(pub, "20260101000000Z", "20310630120000Z"), "");
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"管理员口令为空，IC卡未写入！"));
    EXPECT_TRUE(card_->Snapshot() == before) << "the card changed";
}

std::string ParamName(const ::testing::TestParamInfo<std::string>& info) {
    std::string name = info.param;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

#ifdef RENVORA_CONTRACT_ON_CARD_STACK
INSTANTIATE_TEST_SUITE_P(CardStack, CardContract, ::testing::Values("emulated"), ParamName);
INSTANTIATE_TEST_SUITE_P(CardStack, CardKeyContract, ::testing::Values("emulated"), ParamName);
#else
INSTANTIATE_TEST_SUITE_P(Plugins, CardContract, ::testing::Values("softcard", "token-ECC"), ParamName);
INSTANTIATE_TEST_SUITE_P(Plugins, CardKeyContract, ::testing::Values("softcard", "token-ECC", "token-RSA"),
                         ParamName);
#endif

} // namespace
} // namespace rv
