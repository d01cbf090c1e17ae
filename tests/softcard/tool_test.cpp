// The card-image tool, run as a program: create, show, faults, PIN reset, and registration that the
// client's plugin loader then follows to a working card.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "core/card_image.h"
#include "core/faults.h"
#include "platform/registry.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace rv {
namespace {

namespace fs = std::filesystem;
constexpr const char* kTool = RENVORA_BUILD_DIR "/softcard/renvora-softcard";

// Runs the tool with `args` (already shell-quoted) and collects stdout and stderr.
test::CommandRun Tool(const std::string& args) {
    return test::RunCommand(std::string(kTool) + " " + args + " 2>&1");
}

std::string U8(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

class SoftCardTool : public ::testing::Test {
protected:
    void SetUp() override { ::unsetenv("RENVORA_CARD_IMAGE"); }
    test::TempWorkDir dir;
};

// The secrets' ways in: a file or standard input (the PIN's line first), or the environment.
test::CommandRun Secrets(const std::string& secrets, const std::string& args) {
    return test::RunCommand(secrets + " " + kTool + " " + args + " 2>&1");
}
const std::string kSecrets = "RENVORA_SOFTCARD_PIN=1 RENVORA_SOFTCARD_MANAGE_PASSWORD=x";

TEST_F(SoftCardTool, CreatesACardThatShowsWithoutSecrets) {
    test::CommandRun r = Secrets("printf '135790\\nS3cret\\n' |",
                                 "create card.json --pin-file - --manage-password-file - --days 90 "
                                 "--cert-seq-no SEQ1 --name " +
                                     U8(u8"李四") + " --unit-name " + U8(u8"某億公司") + " --card-type 11");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    softcard::CardImage card;
    std::string error;
    ASSERT_TRUE(softcard::LoadCardImage(dir.path() / "card.json", card, error)) << test::Utf8(error);
    EXPECT_EQ(card.holder.applicantName, U8(u8"李四"));
    EXPECT_EQ(card.holder.cardType, "11");
    EXPECT_EQ(card.managePassword, "S3cret");
    EXPECT_TRUE(softcard::PinMatches(card, "135790"));
    EXPECT_EQ(softcard::PublicKeyPemOfCert(card.signCertPem), softcard::PublicKeyPemOfKey(card.signKeyPem));

    test::CommandRun show = Tool("show card.json");
    ASSERT_EQ(show.exitCode, 0);
    EXPECT_NE(show.output.find(U8(u8"某億公司")), std::string::npos);
    EXPECT_NE(show.output.find("6 tries left"), std::string::npos);
    EXPECT_EQ(show.output.find("S3cret"), std::string::npos);
    EXPECT_EQ(show.output.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(show.output.find(card.pin.hashHex), std::string::npos);

    // An existing card is not overwritten by accident; bad input is refused with a reason.
    EXPECT_NE(Secrets(kSecrets, "create card.json").exitCode, 0);
    EXPECT_NE(Secrets("RENVORA_SOFTCARD_PIN=1", "create c2.json").exitCode, 0);
    EXPECT_NE(Secrets(kSecrets, "create c3.json --days soon").exitCode, 0);
    EXPECT_NE(Secrets(kSecrets, "create c4.json --unit-code 'A|B'").exitCode, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "c4.json"));
    EXPECT_NE(Tool("show nothing.json").exitCode, 0);
    // Secrets on the command line, which every local user can read, are refused before anything is made.
    test::CommandRun onTheLine = Secrets(kSecrets, "create c5.json --pin 1");
    EXPECT_EQ(onTheLine.exitCode, 2);
    EXPECT_NE(onTheLine.output.find("not taken from the command line"), std::string::npos)
        << onTheLine.output;
    EXPECT_EQ(Secrets(kSecrets, "create c5.json --manage-password x").exitCode, 2);
    EXPECT_EQ(Tool("set-pin card.json --pin 9999").exitCode, 2);
    EXPECT_FALSE(fs::exists(dir.path() / "c5.json"));
}

TEST_F(SoftCardTool, RegisteredCardWorksThroughThePluginLoaderAndFaultsReachIt) {
    ASSERT_EQ(
        Secrets("RENVORA_SOFTCARD_PIN=2468 RENVORA_SOFTCARD_MANAGE_PASSWORD=m", "create card.json").exitCode,
        0);
    test::CommandRun reg = Tool("register --image card.json --classes-root " + dir.classesRoot().string());
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    EXPECT_EQ(reg::ReadValue(kCardControlKey, "CardImage"), (dir.path() / "card.json").string());

    CDCertUpdate card;
    ASSERT_TRUE(card.Create(kCardControlClsid));
    card.OpenCard();
    ASSERT_EQ(card.GetStatus(), 0) << test::Utf8(card.GetErrorMessage());

    ASSERT_EQ(
        Tool("fault card.json --fail VerifyPassword --count 1 --status -5 --message " + U8(u8"卡座松动"))
            .exitCode,
        0);
    card.SetPassword("2468");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), -5);
    EXPECT_EQ(test::Utf8(card.GetErrorMessage()), U8(u8"卡座松动"));
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), 0);

    // Lock the card, then unlock it with a new PIN.
    card.SetPassword("0000");
    for (int i = 0; i < softcard::kMaxPinTries; ++i) {
        card.VerifyPassword();
    }
    card.SetPassword("2468");
    card.VerifyPassword();
    EXPECT_NE(card.GetStatus(), 0);
    dir.Write("new-pin", "1111\n");
    ASSERT_EQ(Tool("set-pin card.json --pin-file new-pin").exitCode, 0);
    card.SetPassword("1111");
    card.VerifyPassword();
    EXPECT_EQ(card.GetStatus(), 0) << test::Utf8(card.GetErrorMessage());

    ASSERT_EQ(Tool("fault card.json --fail OpenCard --count -1").exitCode, 0);
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), -1);
    ASSERT_EQ(Tool("fault card.json --clear").exitCode, 0);
    EXPECT_FALSE(fs::exists(dir.path() / "card.json.faults"));
    card.OpenCard();
    EXPECT_EQ(card.GetStatus(), 0);
    EXPECT_NE(Tool("fault card.json --delay OpenCard --ms 999999999").exitCode, 0);
}

} // namespace
} // namespace rv
