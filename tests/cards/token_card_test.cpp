// What only the token card meets: modules that are not what they claim, tokens that go away, two
// tokens, a token without a card, PINs the token cannot take, and write-back input that does not fit
// together. Each ends in a clear text, with nothing written and the control still usable.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "card_under_test.h"
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

    test::TokenCard token{"ECC"};
    CDCertUpdate card;
};

TEST_F(TokenCardFaults, ABrokenModuleIsNamedAndTheControlStaysUsable) {
    // A file that is no library at all, a library that is not a PKCS#11 module, and no file.
    fs::path text = token.dir().Write("not-a-module.so", "plain text");
    const std::string modules[] = {text.string(), "/usr/lib/x86_64-linux-gnu/libz.so.1",
                                   (token.dir().path() / "missing.so").string(), "no-such-p11-kit-module"};
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
    EXPECT_NE(Error().find(S(u8"初始化失败（CKR_DEVICE_ERROR）")), std::string::npos) << Error();
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
    card.SetSignSource("x");
    card.SignData();
    EXPECT_EQ(card.GetStatus(), -1);
    card.OpenCard();
    EXPECT_EQ(Error(), S(u8"未检测到IC卡，请插入IC卡！"));
    token.hsm().Insert();
    Login();
    card.ReadCardInfo();
    EXPECT_EQ(card.GetStatus(), 0) << Error();
}

TEST_F(TokenCardFaults, WriteBackInputThatDoesNotFitTogetherWritesNothing) {
    Login();
    card.SetInitManagePassword(test::kManagePassword);
    card.InitUpdate();
    ASSERT_EQ(card.GetStatus(), 0) << Error();
    std::string cert = token.ca().Issue(card.GetPublicKey(), "20260101000000Z", "20310630120000Z");
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
