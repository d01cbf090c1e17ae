// What only the software card has: its card image, chosen by registration or environment, its PIN
// counter, and what WriteCard stores in the image. The contract every card control honours is
// tests/cards/.
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

// ---- Key pair and write-back ----

TEST_F(SoftCardPlugin, WriteCardStoresEverythingInTheImageInOneSave) {
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
    EXPECT_EQ(softcard::PublicKeyPemOfKey(stored.signKeyPem), pub);
    EXPECT_TRUE(stored.pendingKeyPem.empty());
}

} // namespace
} // namespace rv
