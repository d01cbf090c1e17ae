#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "platform/registry.h"
#include "support/fake_card.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

namespace rv {
namespace {

TEST(CardWrapper, WithoutAControlEveryCallFailsLikeACardError) {
    CDCertUpdate card;
    card.OpenCard();
    EXPECT_NE(card.GetStatus(), 0);
    EXPECT_FALSE(card.GetErrorMessage().empty());
    card.SetPassword("1234");
    card.CloseCard();
    EXPECT_NE(card.GetStatus(), 0);
    EXPECT_EQ(card.GetCardInfo(), "");
}

TEST(CardWrapper, MembersGoToTheirDispids) {
    test::FakeCard fake;
    {
        CDCertUpdate card;
        card.Attach(fake.Dispatch());
        fake.QueueResult(dispid::OpenCard, 3, "bad");
        card.OpenCard();
        EXPECT_EQ(card.GetStatus(), 3);
        EXPECT_EQ(card.GetErrorMessage(), "bad");
        card.SetSignSource("abc");
        fake.SetString(dispid::PublicKey, "PK");
        EXPECT_EQ(card.GetPublicKey(), "PK");
    }
    EXPECT_TRUE(fake.released);
    EXPECT_EQ(fake.Calls(), (std::vector<std::string>{"M1", "G2", "G3", "S28=abc", "G32"}));
}

TEST(PluginLoading, MissingOrBrokenRegistrationsCreateNoControl) {
    test::TempWorkDir dir;
    std::string why;
    EXPECT_EQ(CreateControlByClsid(kCardControlClsid, &why), nullptr);
    EXPECT_FALSE(why.empty());

    // Registered library that is not a library at all.
    auto notALib = dir.Write("notalib.so", "this is text");
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "x", notALib.string());
    EXPECT_EQ(CreateControlByClsid(kCardControlClsid, &why), nullptr);

    // A real library without the factory.
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "x", "libm.so.6");
    EXPECT_EQ(CreateControlByClsid(kCardControlClsid, &why), nullptr);
    EXPECT_NE(why.find("RenvoraCreateControl"), std::string::npos);

    CDCertUpdate card;
    EXPECT_FALSE(card.Create(kCardControlClsid));
    card.OpenCard();
    EXPECT_NE(card.GetStatus(), 0);
}

} // namespace
} // namespace rv
