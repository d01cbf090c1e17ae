// What only the token card meets: modules that are not what they claim, tokens that go away, two
// tokens, a token without a card, PINs the token cannot take, and write-back input that does not fit
// together. Each ends in a clear text, with nothing written and the control still usable.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "card_under_test.h"
#include "core/card_image.h"
#include "core/keys.h"
#include "core/layout.h"
#include "core/token_control.h"
#include "platform/codepage.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace rv {
namespace {

namespace fs = std::filesystem;
using test::Utf8;

std::string S(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

class TokenCardFaults : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(card.Create(kCardControlClsid)); }

    void Login() {
        card.OpenCard();
        ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
        card.SetPassword(test::kPin);
        card.VerifyPassword();
        ASSERT_EQ(card.GetStatus(), 0) << Utf8(card.GetErrorMessage());
    }
    void SetModule(const std::string& module) {
        reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "Pkcs11Module", module);
    }
    std::string Error() { return Utf8(card.GetErrorMessage()); }
    // Logged in, with a new key pair prepared; its certificate from the test CA ("" when that failed).
    std::string LoginWithANewKey() {
        Login();
        card.SetInitManagePassword(test::kManagePassword);
        card.InitUpdate();
        return card.GetStatus() == 0
                   ? token.ca().Issue(card.GetPublicKey(), "20260101000000Z", "20310630120000Z")
                   : std::string();
    }

    test::TokenCard token{"ECC"};
    CDCertUpdate card;
};

TEST_F(TokenCardFaults, ABrokenModuleIsNamedAndTheControlStaysUsable) {
    // A file that is no library at all, a library that is not a PKCS#11 module, no file (also under a
    // Chinese name, which the GBK text must carry whole), and an unknown module name.
    fs::path text = token.dir().Write("not-a-module.so", "plain text");
    const std::string modules[] = {
        text.string(), "/usr/lib/x86_64-linux-gnu/libz.so.1", (token.dir().path() / "missing.so").string(),
        (token.dir().path() / S(u8"读卡器模块.so")).string(), "no-such-p11-kit-module"};
    for (const std::string& m : modules) {
        SetModule(m);
        card.OpenCard();
        EXPECT_EQ(card.GetStatus(), -1) << m;
        EXPECT_NE(Error().find(m), std::string::npos) << Error();
        card.ReadCardInfo();
        EXPECT_EQ(Error(), S(u8"IC卡未打开，请先打开IC卡！"));
    }
    // A module whose C_Initialize fails.
    SetModule(RENVORA_BUILD_DIR "/tests/p11_failing_module.so");
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_NE(Error().find(S(u8"CKR_DEVICE_ERROR）")), std::string::npos) << Error();
    // Mended, the same control opens the card.
    SetModule(test::SoftHsm::ModulePath());
    Login();
}

TEST_F(TokenCardFaults, WithoutARegisteredModuleEveryModuleTheSystemRegistersIsSearched) {
    // Debian's softhsm2 registers its module with p11-kit; it reads the test's SOFTHSM2_CONF.
    SetModule("");
    reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "TokenLabel", "");
    Login();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
    // A p11-kit module name picks that module alone.
    SetModule("softhsm2");
    Login();
}

TEST_F(TokenCardFaults, TwoCardsAreRefusedUnlessOneIsNamed) {
    token.AddToken("second-card", true);
    reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "TokenLabel", "");
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"检测到多张IC卡，请只插入一张IC卡！"));
    // Named by its label (the environment overrides the registration), one of them opens.
    ::setenv("RENVORA_PKCS11_TOKEN_LABEL", "second-card", 1);
    Login();
    ::unsetenv("RENVORA_PKCS11_TOKEN_LABEL");
}

TEST_F(TokenCardFaults, ATokenWithoutACardIsNotTakenForOne) {
    token.AddToken("blank", false);
    reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "TokenLabel", "blank");
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡中没有持卡人信息，请到分中心办理！"));
    // Unnamed, the card is the token that holds a holder record, beside a blank one.
    reg::WriteValue(token.dir().classesRoot(), kCardControlKey, "TokenLabel", "");
    Login();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0);
}

TEST_F(TokenCardFaults, PinsTheTokenCannotTakeNeverReachIt) {
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0);
    std::string before = token.Snapshot();
    for (const std::string& pin : {std::string(300, '1'), std::string("12")}) {
        card.SetPassword(pin);
        card.VerifyPassword();
        EXPECT_EQ(card.GetStatus(), -1);
        EXPECT_EQ(Error().rfind(S(u8"口令长度应为"), 0), 0u) << Error();
    }
    EXPECT_TRUE(token.Snapshot() == before) << "the card changed";
    // A wrong PIN: SoftHSM2 flags the count as low after it (and never locks), which the text passes on.
    card.SetPassword("654321");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"口令错误，剩余尝试次数已不多，请谨慎输入"));
    // A wrong PIN is not remembered in place of the right one: the repeat path cannot sign.
    card.CloseCard();
    card.OpenCard();
    card.SetSignSource("x");
    card.SignData();
    EXPECT_EQ(Error(), S(u8"IC卡口令未校验，请先登录！"));

    // PKCS#11 PINs are UTF-8: a Chinese PIN, GBK in the client, reaches the token as UTF-8.
    card.CloseCard(); // SoftHSM2 sees the new token once no one holds it loaded
    const std::string chinesePin = S(u8"口令2024");
    ASSERT_TRUE(token.hsm().InitToken("chinese-pin", chinesePin));
    std::vector<std::shared_ptr<p11card::Module>> modules;
    p11card::Session s;
    ASSERT_TRUE(test::OpenTokenSession("chinese-pin", modules, s));
    EXPECT_EQ(s.Login(cp::Utf8ToGbk(chinesePin)), CKR_OK);
}

// Another program left a signing certificate of ours above the card's set, without its key (here over an
// SM2 key). Logged out it looks like the current set; only the login shows it is not one.
TEST_F(TokenCardFaults, AStrayCertificateAboveTheSetIsNeitherTakenNorRemovedBeforeTheLogin) {
    std::string error, step;
    std::string stray =
        token.ca().Issue(softcard::GenerateSm2KeyPem(&error), test::kNotBefore, test::kNotAfter);
    {
        std::vector<std::shared_ptr<p11card::Module>> modules;
        p11card::Session s;
        p11card::NewSet set;
        set.tag = p11card::NewTag(7);
        set.signCertPem = stray;
        ASSERT_TRUE(test::OpenTokenSession(test::TokenCard::kLabel, modules, s));
        ASSERT_EQ(p11card::WriteSet(s, set, step), CKR_OK) << step;
    }
    std::string before = token.Snapshot();
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0) << Error();
    EXPECT_TRUE(token.Snapshot() == before) << "opened without a PIN, the card changed";
    // An SM2 key without the vendor's mechanism is no card to log in to.
    card.ReadCryptAlgo();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡的SM2签名机制未配置，无法签名！"));
    EXPECT_EQ(card.GetCryptAlgo(), "");
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    ASSERT_EQ(card.GetStatus(), 0) << Error();
    card.ReadCryptAlgo();
    EXPECT_EQ(card.GetCryptAlgo(), "ECC");
    card.CloseCard();
    EXPECT_EQ(token.CurrentCertPem(), token.firstCertPem());
    test::TokenCensus c = token.Census();
    EXPECT_EQ(c.committed, 1);
    EXPECT_EQ(c.others, 0);
}

TEST_F(TokenCardFaults, TheRepeatPathReopensWithoutAPinAndPreparesANewKey) {
    Login();
    card.CloseCard();
    card.OpenCard(); // the client's repeat path after a key mismatch: no PIN again
    ASSERT_EQ(card.GetStatus(), 0);
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
    EXPECT_FALSE(card.GetPublicKey().empty());
}

TEST_F(TokenCardFaults, ATokenPulledOutFailsCleanlyAndComesBack) {
    Login();
    token.Eject();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡已被拔出，请重新插入IC卡！"));
    card.SetSignSource("x");
    card.SignData();
    EXPECT_EQ(Error(), S(u8"IC卡已被拔出，请重新插入IC卡！"));
    // Put back, the same card answers without being opened again, logged in as before.
    token.hsm().Insert();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
    card.SignData();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
    // Opened while out, there is no card.
    token.Eject();
    card.OpenCard();
    EXPECT_EQ(Error(), S(u8"未检测到IC卡，请插入IC卡！"));
    token.hsm().Insert();
    Login();
}

// The client's retry after a failed write calls WriteCard alone, after the user re-seats the card.
TEST_F(TokenCardFaults, ATokenPulledBeforeOrDuringWriteCardIsWrittenByTheRetryAlone) {
    SetModule(RENVORA_BUILD_DIR "/tests/p11_pull_module.so");
    fs::path counter = token.dir().path() / "pull-counter", pulled = token.dir().path() / "pulled";
    fs::create_directories(pulled);
    ::setenv("RENVORA_PULL_TARGET", test::SoftHsm::ModulePath().c_str(), 1);
    ::setenv("RENVORA_PULL_TOKENS", token.hsm().tokens().c_str(), 1);
    ::setenv("RENVORA_PULL_EJECTED", pulled.c_str(), 1);
    ::setenv("RENVORA_PULL_COUNTER", counter.c_str(), 1);
    auto putBack = [&] {
        for (const auto& e : fs::directory_iterator(pulled)) {
            fs::rename(e.path(), token.hsm().tokens() / e.path().filename());
        }
    };

    std::string cert = LoginWithANewKey();
    ASSERT_FALSE(cert.empty()) << Error();
    std::string encKey = test::NewPrivateKeyPem("ECC");
    card.SetSignCert(cert);
    card.SetEnvCert(token.ca().Issue(encKey, "20260101000000Z", "20310630120000Z"));
    card.SetKmsKey("KMS");
    card.SetCssSignKey("CSS-SIGN");
    card.SetCssEnvKey("CSS-ENV");
    card.SetEnvData(test::EncryptPrivateKeyPem(encKey, test::kManagePassword));
    card.SetWriteManagePassword(test::kManagePassword);

    // Pulled between InitUpdate and WriteCard.
    token.Eject();
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡已被拔出，请重新插入IC卡！"));
    token.hsm().Insert();
    // Pulled during the write: the encryption key is on the token, its certificate is being written.
    token.dir().Write("pull-counter", "2\n");
    card.WriteCard();
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡在写入时被拔出，IC卡未写入，请重新插入IC卡！"));
    ASSERT_FALSE(fs::exists(counter)) << "the pull did not happen";
    card.WriteCard(); // the user says yes before putting it back
    EXPECT_EQ(Error(), S(u8"IC卡已被拔出，请重新插入IC卡！"));
    putBack();
    card.WriteCard();
    ASSERT_EQ(card.GetStatus(), 0) << Error();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
    EXPECT_NE(Utf8(card.GetCardInfo()).find("|20260101000000|20310630120000"), std::string::npos)
        << Utf8(card.GetCardInfo());
    card.CloseCard();
    EXPECT_EQ(token.CurrentCertPem(), cert);
    test::TokenCensus c = token.Census();
    ASSERT_TRUE(c.read);
    EXPECT_EQ(c.committed, 1);
    EXPECT_EQ(c.others, 0);
    EXPECT_FALSE(c.pending);
}

// Anyone with the PIN holds a session that may change attributes: after a renewal neither key can be
// given the other's use, so the encryption key never signs (SoftHSM2 honours CKA_MODIFIABLE false;
// OpenSC refuses usage changes by itself, which the card stack test checks).
TEST_F(TokenCardFaults, WithThePinNeitherRenewedKeyCanBeTurnedToTheOthersUse) {
    std::string cert = LoginWithANewKey();
    ASSERT_FALSE(cert.empty()) << Error();
    std::string encKey = test::NewPrivateKeyPem("ECC");
    card.SetSignCert(cert);
    card.SetEnvCert(token.ca().Issue(encKey, "20260101000000Z", "20310630120000Z"));
    card.SetEnvData(test::EncryptPrivateKeyPem(encKey, test::kManagePassword));
    card.SetWriteManagePassword(test::kManagePassword);
    card.WriteCard();
    ASSERT_EQ(card.GetStatus(), 0) << Error();
    card.CloseCard();

    std::vector<std::shared_ptr<p11card::Module>> modules;
    p11card::Session s;
    p11card::TokenView view;
    CK_RV rv = CKR_OK;
    ASSERT_TRUE(test::OpenTokenSession(test::TokenCard::kLabel, modules, s));
    ASSERT_EQ(s.Login(test::kPin), CKR_OK);
    ASSERT_TRUE(p11card::ScanToken(s, view, rv));
    const p11card::TokenSet* current = view.Current(true);
    ASSERT_TRUE(current && current->encPriv != CK_INVALID_HANDLE && current->signPriv != CK_INVALID_HANDLE);
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE sign{CKA_SIGN, &yes, sizeof yes}, decrypt{CKA_DECRYPT, &yes, sizeof yes},
        derive{CKA_DERIVE, &yes, sizeof yes};
    EXPECT_NE(s.fn()->C_SetAttributeValue(s.handle(), current->encPriv, &sign, 1), CKR_OK);
    EXPECT_NE(s.fn()->C_SetAttributeValue(s.handle(), current->signPriv, &decrypt, 1), CKR_OK);
    EXPECT_NE(s.fn()->C_SetAttributeValue(s.handle(), current->signPriv, &derive, 1), CKR_OK);
    p11card::Bytes sig;
    EXPECT_NE(s.Sign(current->encPriv, CKM_ECDSA, p11card::Sha256("x"), sig), CKR_OK);
    EXPECT_EQ(s.Sign(current->signPriv, CKM_ECDSA, p11card::Sha256("x"), sig), CKR_OK);
}

// A token that says it has too little room for a new set beside the old one is refused before a key is
// generated, with a text that says so; the card keeps its set and stays usable.
TEST_F(TokenCardFaults, ATokenWithoutRoomForANewSetIsRefusedBeforeAnythingIsGenerated) {
    SetModule(RENVORA_BUILD_DIR "/tests/p11_pull_module.so");
    ::setenv("RENVORA_PULL_TARGET", test::SoftHsm::ModulePath().c_str(), 1);
    ::setenv("RENVORA_PULL_FREE_MEMORY", "1500", 1);
    Login();
    std::string before = token.Snapshot();
    card.SetInitManagePassword(test::kManagePassword);
    testing::internal::CaptureStderr();
    card.InitUpdate();
    std::string err = testing::internal::GetCapturedStderr();
    ::unsetenv("RENVORA_PULL_FREE_MEMORY");
    EXPECT_EQ(card.GetStatus(), -1);
    EXPECT_EQ(Error(), S(u8"IC卡存储空间不足，无法写入新的证书和密钥，请到分中心办理！"));
    EXPECT_NE(err.find("1500 bytes of public and 1500 of private memory free"), std::string::npos) << err;
    EXPECT_TRUE(token.Snapshot() == before) << "the token changed";
    EXPECT_TRUE(card.GetPublicKey().empty());
    card.SetSignSource("still usable");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
}

TEST_F(TokenCardFaults, WriteBackInputThatDoesNotFitTogetherWritesNothing) {
    std::string cert = LoginWithANewKey();
    ASSERT_FALSE(cert.empty()) << Error();
    std::string encKey = test::NewPrivateKeyPem("ECC");
    std::string otherKey = test::NewPrivateKeyPem("ECC");
    std::string encCert = token.ca().Issue(encKey, "20260101000000Z", "20310630120000Z");
    std::string before = token.Snapshot();
    struct Case {
        std::string envCert, envData, expected;
    } cases[] = {
        {encCert, test::EncryptPrivateKeyPem(otherKey, "MP-0002"),
         S(u8"加密证书与加密密钥不一致，IC卡未写入！")},
        {encCert, test::EncryptPrivateKeyPem(encKey, "another password"),
         S(u8"加密密钥无法解开，IC卡未写入！")},
        {encCert, encKey, S(u8"加密密钥无法解开，IC卡未写入！")}, // not sealed at all
        {"garbage", test::EncryptPrivateKeyPem(encKey, "MP-0002"), S(u8"加密证书无法读取，IC卡未写入！")},
    };
    for (const Case& c : cases) {
        card.SetSignCert(cert);
        card.SetEnvCert(c.envCert);
        card.SetEnvData(c.envData);
        card.SetWriteManagePassword("MP-0002");
        card.WriteCard();
        EXPECT_EQ(card.GetStatus(), -1);
        EXPECT_EQ(Error(), c.expected);
        EXPECT_TRUE(token.Snapshot() == before) << "the card changed";
    }
    EXPECT_EQ(token.CurrentCertPem(), token.firstCertPem());
}

} // namespace
} // namespace rv

namespace rv {
namespace {

// After a renewal that kept the management password, the first set's password hash is still the one in
// force: the token tool says so instead of calling it a leftover, and names each object by what it is.
TEST(TokenCardTool, ShowNamesEachObjectAndWhatOfAnEarlierSetIsStillInForce) {
    test::TokenCard token("ECC");
    CDCertUpdate card;
    ASSERT_TRUE(card.Create(kCardControlClsid));
    card.OpenCard();
    card.SetPassword(test::kPin);
    card.VerifyPassword();
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    ASSERT_EQ(card.GetStatus(), 0) << test::Utf8(card.GetErrorMessage());
    std::string encKey = test::NewPrivateKeyPem("ECC");
    card.SetSignCert(token.ca().Issue(card.GetPublicKey(), "20260101000000Z", "20310630120000Z"));
    card.SetEnvCert(token.ca().Issue(encKey, "20260101000000Z", "20310630120000Z"));
    card.SetEnvData(test::EncryptPrivateKeyPem(encKey, test::kManagePassword));
    card.SetWriteManagePassword(test::kManagePassword);
    card.WriteCard();
    ASSERT_EQ(card.GetStatus(), 0) << test::Utf8(card.GetErrorMessage());
    card.CloseCard();
    std::string pinFile = token.dir().Write("pin", std::string(test::kPin) + "\n").string();
    test::CommandRun show = test::RunCommand(RENVORA_BUILD_DIR "/p11card/renvora-p11card show --module " +
                                             test::SoftHsm::ModulePath() + " --token-label " +
                                             test::TokenCard::kLabel + " --pin-file " + pinFile + " 2>&1");
    EXPECT_EQ(show.exitCode, 0) << show.output;
    EXPECT_NE(show.output.find("searched module"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("earlier set, partly still in force"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("management-password hash: in force"), std::string::npos) << show.output;
    EXPECT_NE(show.output.find("signing key"), std::string::npos) << show.output;
    EXPECT_EQ(show.output.find("leftover"), std::string::npos) << show.output;
}

} // namespace
} // namespace rv
