// The real software card plugin, loaded through the registry stand-in, driven through the card
// control wrapper in the sequences the client uses.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "core/card_control.h"
#include "platform/registry.h"
#include "softcard_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>

#include <cstdlib>

namespace rv {
namespace {

using test::Gbk;
using test::SoftCardEnv;
using test::Utf8;

std::string S(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

class SoftCardPlugin : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(card.Create(kCardControlClsid)); }

    // InitUpdate under the current management password; returns the new public key.
    std::string NewKeyPair(const std::string& managePassword = test::kManagePassword) {
        card.SetInitManagePassword(managePassword);
        card.InitUpdate();
        EXPECT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
        return card.GetPublicKey();
    }

    void SetWriteProperties(const std::string& signCert, const std::string& newManagePassword) {
        card.SetSignCert(signCert);
        card.SetEnvCert("ENV-CERT");
        card.SetKmsKey("KMS-KEY");
        card.SetCssSignKey("CSS-SIGN");
        card.SetCssEnvKey("CSS-ENV");
        card.SetEnvData("ENV-DATA");
        card.SetWriteManagePassword(newManagePassword);
    }

    SoftCardEnv env;
    CDCertUpdate card;
};

// ---- Inserting and opening ----

TEST_F(SoftCardPlugin, NoImageRegisteredMeansNoCard) {
    std::filesystem::remove(env.dir.classesRoot() / "CLSID" / "{5B3D91E2-7C40-4F1A-8E26-0D9A6C3F1B58}" /
                            "@CardImage");
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"未检测到IC卡，请插入IC卡！"));
}

TEST_F(SoftCardPlugin, MissingDamagedTruncatedOrSpecialImageFailsOpenCleanlyAtOnce) {
    std::string good = test::ReadAll(env.image);
    const std::string damaged[] = {"", "{not json", good.substr(0, good.size() / 2),
                                   R"({"format":"renvora-softcard-image","version":1,"holder":[],"pin":{}})"};
    for (const std::string& bytes : damaged) {
        env.dir.Write("card.json", bytes);
        card.OpenCard();
        EXPECT_EQ(card.GetStatus(), -1);
        EXPECT_EQ(Utf8(card.GetErrorMessage()).rfind(S(u8"IC卡数据损坏，无法读取！"), 0), 0u)
            << Utf8(card.GetErrorMessage());
    }
    // A FIFO (opening it for reading would wait for a writer for ever), a device, a folder: the damaged
    // card's message at once.
    for (const char* kind : {"fifo", "device", "folder"}) {
        std::filesystem::remove_all(env.image);
        if (std::string(kind) == "fifo") {
            ASSERT_EQ(::mkfifo(env.image.c_str(), 0600), 0);
        } else if (std::string(kind) == "device") {
            std::filesystem::create_symlink("/dev/zero", env.image);
        } else {
            std::filesystem::create_directory(env.image);
        }
        auto start = std::chrono::steady_clock::now();
        card.OpenCard();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << kind;
        EXPECT_EQ(card.GetStatus(), -1) << kind;
        EXPECT_EQ(Utf8(card.GetErrorMessage()).rfind(S(u8"IC卡数据损坏，无法读取！"), 0), 0u)
            << kind << ": " << Utf8(card.GetErrorMessage());
    }
    std::filesystem::remove_all(env.image);
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"未检测到IC卡，请插入IC卡！"));
}

TEST_F(SoftCardPlugin, EnvironmentVariableChoosesTheInsertedCard) {
    auto other = test::TestHolder();
    other.certSeqNo = "OTHER";
    auto path = env.MakeCard("other.json", other);
    ::setenv("RENVORA_CARD_IMAGE", path.c_str(), 1);
    test::Login(card);
    card.ReadCardInfo();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(card.GetCardInfo().rfind("OTHER|", 0), 0u);
}

TEST_F(SoftCardPlugin, MethodsNeedAnOpenCardAndSigningNeedsThePin) {
    for (int method : {dispid::ReadCardInfo, dispid::ReadCryptAlgo, dispid::VerifyPassword, dispid::SignData,
                       dispid::InitUpdate, dispid::WriteCard}) {
        card.InvokeMethod(method);
        EXPECT_EQ(card.GetStatus(), -1) << method;
        EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡未打开，请先打开IC卡！")) << method;
    }
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0);
    card.SetSignSource("abc");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡口令未校验，请先登录！"));
    // Closing ends the verified session.
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    ASSERT_EQ(card.GetStatus(), 0);
    card.CloseCard();
    EXPECT_EQ(card.GetStatus(), 0);
    card.OpenCard();
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
}

TEST_F(SoftCardPlugin, UnknownMembersAndWrongKindsAreRejectedByTheDispatch) {
    // The wrapper turns a call the control rejects into a card failure.
    CDCertUpdate other;
    ASSERT_TRUE(other.Create(kCardControlClsid));
    other.InvokeMethod(99);
    EXPECT_EQ(other.GetStatus(), -1);
    EXPECT_EQ(Utf8(other.GetErrorMessage()), S(u8"IC卡控件调用失败！"));
    other.InvokeMethod(dispid::CardInfo); // a property is not a method
    EXPECT_EQ(other.GetStatus(), -1);
}

// ---- Login ----

TEST_F(SoftCardPlugin, WrongPinsCountDownAndLockTheCardForGood) {
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0);
    for (int left = 5; left >= 1; --left) {
        card.SetPassword("000000");
        card.VerifyPassword();
        EXPECT_EQ(card.GetStatus(), -1);
        EXPECT_EQ(Utf8(card.GetErrorMessage()),
                  S(u8"口令错误，还可以尝试") + std::to_string(left) + S(u8"次"));
    }
    card.SetPassword("000000");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"口令错误次数过多，IC卡已锁定，请到分中心解锁"));
    // The right PIN no longer opens it ...
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡已锁定，请到分中心解锁"));
    // ... not even from a new control, as after a restart of the client.
    CDCertUpdate restarted;
    ASSERT_TRUE(restarted.Create(kCardControlClsid));
    restarted.OpenCard();
    ASSERT_EQ(restarted.GetStatus(), 0);
    restarted.SetPassword(test::kPin);
    restarted.VerifyPassword();
    EXPECT_EQ(restarted.GetStatus(), -1);
    EXPECT_EQ(Utf8(restarted.GetErrorMessage()), S(u8"IC卡已锁定，请到分中心解锁"));
    EXPECT_TRUE(env.LoadImage().PinLocked());
}

TEST_F(SoftCardPlugin, RightPinResetsTheCountAndEmptyPinDoesNotCount) {
    card.OpenCard();
    for (int i = 0; i < 4; ++i) {
        card.SetPassword("999999");
        card.VerifyPassword();
    }
    EXPECT_EQ(env.LoadImage().pin.wrongTries, 4);
    card.SetPassword("");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(env.LoadImage().pin.wrongTries, 4);
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(card.GetErrorMessage(), "");
    EXPECT_EQ(env.LoadImage().pin.wrongTries, 0);
    // The PIN itself is nowhere in the file.
    EXPECT_EQ(test::ReadAll(env.image).find(test::kPin), std::string::npos);
}

// ---- Reading ----

TEST_F(SoftCardPlugin, CardRecordHoldsThirteenGbkFieldsWithFullDates) {
    test::Login(card);
    card.ReadCardInfo();
    ASSERT_EQ(card.GetStatus(), 0);
    std::string expected = "SEQ-0042|" + Gbk(u8"张三") + "|01|110101199001011234|F5|C9000001|" +
                           Gbk(u8"某億科技有限公司") +
                           "|91110000MA01|NINE|RA07|10|20240115083000|20260114235959";
    EXPECT_EQ(card.GetCardInfo(), expected);
    card.ReadCryptAlgo();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(card.GetCryptAlgo(), "SM2");
}

TEST_F(SoftCardPlugin, ClientReaderGetsEveryFieldFromTheRealCard) {
    test::CoreFixture core;
    test::FakeView view;
    MainWindowModel model{card, view};
    test::Login(card);
    ASSERT_EQ(model.ReadCardInfo(), 0) << (core.boxes.TextsUtf8().empty() ? "" : core.boxes.TextsUtf8()[0]);
    EXPECT_EQ(model.data.certSeqNo, "SEQ-0042");
    EXPECT_EQ(Utf8(model.data.applicantName), S(u8"张三"));
    // "億" ends in the separator byte and must not split the unit name.
    EXPECT_EQ(Utf8(model.data.unitName), S(u8"某億科技有限公司"));
    EXPECT_EQ(model.data.unitCode, "91110000MA01");
    EXPECT_EQ(model.data.raCode, "RA07");
    EXPECT_EQ(Utf8(model.data.cardType), S(u8"法人IC卡"));
    EXPECT_EQ(model.data.validFrom, "20240115");
    EXPECT_EQ(model.data.validTo, "20260114");
    EXPECT_EQ(model.data.cryptAlgo, "SM2");
}

// ---- Signing ----

TEST_F(SoftCardPlugin, SignatureOverTheGbkTextVerifiesAgainstTheCardCertificate) {
    test::Login(card);
    const std::string text = "OP1C9" + Gbk(u8"张三某億科技有限公司") + "20250101UCC93";
    card.SetSignSource(text);
    card.SignData();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    std::string sig = card.GetSignature();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_EQ(sig.find_first_of("\r\n"), std::string::npos);
    EXPECT_TRUE(test::OpenSslVerifies(env.signCertPem, text, sig));
    // Exactly the GBK bytes were signed, not a re-encoding.
    EXPECT_FALSE(test::OpenSslVerifies(env.signCertPem, Utf8(text), sig));
    EXPECT_FALSE(test::OpenSslVerifies(env.signCertPem, text + " ", sig));
    // Empty text to sign is refused, not signed.
    card.SetSignSource("");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"待签名数据为空！"));
}

// ---- Key pair and write-back ----

TEST_F(SoftCardPlugin, InitUpdateChecksTheManagePasswordAndKeepsTheKeyPending) {
    card.OpenCard(); // the client's repeat path opens without a PIN
    card.SetInitManagePassword("wrong");
    card.InitUpdate();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"管理员口令错误，IC卡初始化失败！"));
    EXPECT_TRUE(env.LoadImage().pendingKeyPem.empty());

    std::string pub = NewKeyPair();
    EXPECT_EQ(pub.rfind("-----BEGIN PUBLIC KEY-----\n", 0), 0u);
    EXPECT_NE(pub, softcard::PublicKeyPemOfCert(env.signCertPem));
    softcard::CardImage stored = env.LoadImage();
    EXPECT_FALSE(stored.pendingKeyPem.empty());
    EXPECT_EQ(stored.signKeyPem, env.signKeyPem); // the current key is untouched until WriteCard

    // A repeat generates a fresh pair.
    EXPECT_NE(NewKeyPair(), pub);
}

TEST_F(SoftCardPlugin, PublicKeyEqualsTheKeyOfACertificateIssuedOverIt) {
    test::Login(card);
    std::string pub = NewKeyPair();
    std::string cert = env.ca.Issue(pub, "20260101000000Z", "20310630120000Z");
    // The certificate's SubjectPublicKeyInfo written as PEM_write_bio_PUBKEY writes it.
    EXPECT_EQ(softcard::PublicKeyPemOfCert(cert), pub);
    // 64-character lines ending in LF.
    std::size_t start = pub.find('\n') + 1;
    EXPECT_EQ(pub.find('\n', start) - start, 64u);
    EXPECT_EQ(pub.find('\r'), std::string::npos);
}

TEST_F(SoftCardPlugin, WriteCardStoresEverythingAndMakesTheNewKeyCurrent) {
    test::CoreFixture core;
    test::FakeView view;
    MainWindowModel model{card, view};
    test::Login(card);
    std::string pub = NewKeyPair();
    std::string newCert = env.ca.Issue(pub, "20260101000000Z", "20310630120000Z");
    SetWriteProperties(newCert, "MP-0002");
    card.WriteCard();
    ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());

    softcard::CardImage stored = env.LoadImage();
    EXPECT_EQ(stored.signCertPem, newCert);
    EXPECT_EQ(stored.written.signCert, newCert);
    EXPECT_EQ(stored.written.envCert, "ENV-CERT");
    EXPECT_EQ(stored.written.cssEnvKey, "CSS-ENV");
    EXPECT_EQ(stored.written.cssSignKey, "CSS-SIGN");
    EXPECT_EQ(stored.written.kmsKey, "KMS-KEY");
    EXPECT_EQ(stored.written.envData, "ENV-DATA");
    EXPECT_EQ(stored.managePassword, "MP-0002");
    EXPECT_TRUE(stored.pendingKeyPem.empty());

    // The card now reports the new validity ...
    ASSERT_EQ(model.ReadCardInfo(), 0);
    EXPECT_EQ(model.data.validFrom, "20260101");
    EXPECT_EQ(model.data.validTo, "20310630");
    // ... signs with the new key ...
    card.SetSignSource("after renewal");
    card.SignData();
    ASSERT_EQ(card.GetStatus(), 0);
    EXPECT_TRUE(test::OpenSslVerifies(newCert, "after renewal", card.GetSignature()));
    EXPECT_FALSE(test::OpenSslVerifies(env.signCertPem, "after renewal", card.GetSignature()));
    // ... and only the rotated management password prepares it again.
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    EXPECT_EQ(card.GetStatus(), -1);
    NewKeyPair("MP-0002");
}

TEST_F(SoftCardPlugin, CertificateOverAnotherKeyGivesStatusOneAndChangesNothing) {
    test::Login(card);
    // No key pair prepared yet.
    SetWriteProperties(env.signCertPem, "MP-0002");
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), 1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"IC卡中没有待更新的密钥对，请先初始化IC卡！"));

    NewKeyPair();
    std::string before = test::ReadAll(env.image);
    std::string otherKey = softcard::GenerateSm2KeyPem();
    for (const std::string& cert : {env.ca.Issue(otherKey, "20260101000000Z", "20310630120000Z"),
                                    env.signCertPem, std::string("garbage")}) {
        SetWriteProperties(cert, "MP-0002");
        card.WriteCard();
        EXPECT_EQ(card.GetStatus(), 1);
        EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"签名证书的公钥与IC卡中的密钥不一致！"));
        EXPECT_EQ(test::ReadAll(env.image), before);
    }
}

TEST_F(SoftCardPlugin, PendingKeySurvivesReopeningAndANewControl) {
    test::Login(card);
    std::string pub = NewKeyPair();
    card.CloseCard();
    CDCertUpdate again;
    ASSERT_TRUE(again.Create(kCardControlClsid));
    again.OpenCard();
    ASSERT_EQ(again.GetStatus(), 0);
    again.SetSignCert(env.ca.Issue(pub, "20260101000000Z", "20310630120000Z"));
    again.SetWriteManagePassword("MP-0003");
    again.WriteCard();
    EXPECT_EQ(again.GetStatus(), 0) << Utf8(again.GetErrorMessage());
    EXPECT_EQ(env.LoadImage().managePassword, "MP-0003");
}

TEST_F(SoftCardPlugin, EmptyNewManagePasswordIsRefusedBeforeAnythingIsWritten) {
    test::Login(card);
    std::string pub = NewKeyPair();
    std::string before = test::ReadAll(env.image);
    SetWriteProperties(env.ca.Issue(pub, "20260101000000Z", "20310630120000Z"), "");
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Utf8(card.GetErrorMessage()), S(u8"管理员口令为空，IC卡未写入！"));
    EXPECT_EQ(test::ReadAll(env.image), before);
}

} // namespace
} // namespace rv
