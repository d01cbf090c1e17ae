// Login: the password check behind the dialog's button, the login flow with the card reading and the
// renewal-window outcome, and today's date text from the UTC clock.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "renewal/login.h"
#include "renewal/main_window_model.h"
#include "support/fake_card.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>

namespace rv {
namespace {

using test::Gbk;

std::string U(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}
using Texts = std::vector<std::string>;

const std::string kLoggedIn = U(u8"登录成功！");
const std::string kInside = U(u8"您的IC卡有效期小于180天，可以进行延期。如需延期请点击“法人卡延期”按钮！");
const std::string kBeyond = U(u8"您的IC卡有效期大于180天，无需延期！");
const std::string kExpired = U(u8"您的IC卡已过期，不可在本系统延期。请您联系当地数据分中心处理！");
const std::string kAlready = U(u8"您已登录，无需重复登录！");

class Login : public ::testing::Test {
protected:
    Login() {
        card.Attach(fake.Dispatch());
        prevClock_ = InstallClock(&clock);
        MaxDay("180");
        Client().lastError = "untouched";
    }
    ~Login() override { InstallClock(prevClock_); }

    void MaxDay(const std::string& v) { dir.Write("drive_c/Windows/time.ini", "MaxDay=" + v + "\r\n"); }
    // A card record of thirteen fields whose end date is `validTo`.
    void CardEndsOn(const std::string& validTo) {
        fake.SetString(dispid::CardInfo, "C0001|" + Gbk(u8"张三") + "|0|110101199001011234|x|IC7788|" +
                                             Gbk(u8"某某公司") + "|U01|y|RA09|10|20220305|" + validTo);
        fake.SetString(dispid::CryptAlgo, "SM2");
    }
    // The login dialog as a user who types `pin` and presses the button, and cancels (with Yes) after
    // `tries` presses that did not end the dialog.
    void UserTypes(std::string pin, int tries = 1) {
        view.loginDialog = [this, pin, tries] {
            for (int i = 0; i < tries; ++i) {
                if (LoginButtonPressed(card, pin)) {
                    return IDOK;
                }
            }
            return 130;
        };
    }

    test::TempWorkDir dir;
    test::CoreFixture core;
    test::FakeCard fake; // outlives the wrapper that releases it
    CDCertUpdate card;
    test::FakeView view;
    MainWindowModel model{card, view};
    FixedClock clock{{2024, 3, 5}};

private:
    const IClock* prevClock_ = nullptr;
};

// --- the button ---

TEST_F(Login, EmptyPasswordTouchesNoCard) {
    EXPECT_FALSE(LoginButtonPressed(card, ""));
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{U(u8"请输入口令！")});
    EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(Login, CardThatCannotBeOpenedIsNotClosed) {
    fake.QueueResult(dispid::OpenCard, 5, Gbk(u8"未检测到读卡器"));
    EXPECT_FALSE(LoginButtonPressed(card, "123456"));
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{U(u8"未检测到读卡器\n打开IC卡失败，请查看IC卡是否插好！")});
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 0);
    EXPECT_EQ(fake.CountMethod(dispid::VerifyPassword), 0);
    EXPECT_EQ(fake.LastSet(dispid::Password), "");
    EXPECT_EQ(Client().lastError, "untouched");
}

TEST_F(Login, WrongPasswordClosesTheCard) {
    fake.QueueResult(dispid::VerifyPassword, 3, Gbk(u8"口令错误，还可尝试5次"));
    EXPECT_FALSE(LoginButtonPressed(card, "12345678"));
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{U(u8"登录失败,口令错误，还可尝试5次\n请重新输入！")});
    EXPECT_EQ(fake.Calls(), (Texts{"M1", "G2", "S6=12345678", "M19", "G2", "G3", "M4", "G2"}));
    EXPECT_EQ(Client().lastError, "untouched");
}

TEST_F(Login, FailedCloseAfterAWrongPasswordIsReportedToo) {
    fake.QueueResult(dispid::VerifyPassword, 3, "bad pin");
    fake.QueueResult(dispid::CloseCard, 9, Gbk(u8"卡片已拔出"));
    EXPECT_FALSE(LoginButtonPressed(card, "1111"));
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (Texts{U(u8"登录失败,bad pin\n请重新输入！"), U(u8"卡片已拔出\n关闭IC失败！")}));
    EXPECT_EQ(Client().lastError, "untouched");
}

TEST_F(Login, RightPasswordEndsTheDialogWithTheTextAsTyped) {
    EXPECT_TRUE(LoginButtonPressed(card, " 12 34 "));
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{kLoggedIn});
    EXPECT_EQ(fake.LastSet(dispid::Password), " 12 34 ");
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 0);
}

TEST_F(Login, WithoutACardControlTheButtonFailsLikeACardError) {
    CDCertUpdate empty;
    EXPECT_FALSE(LoginButtonPressed(empty, "1234"));
    ASSERT_EQ(core.boxes.Entries().size(), 1u);
    EXPECT_NE(core.boxes.TextsUtf8()[0].find(U(u8"打开IC卡失败")), std::string::npos);
}

// --- the flow ---

TEST_F(Login, CertificateInsideTheWindowEnablesRenewal) {
    CardEndsOn("20240901"); // 180 days after 5 March 2024
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kLoggedIn, kInside}));
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(model.loggedIn, 1);
    EXPECT_EQ(view.showCardDataCalls, 1);
    EXPECT_EQ(model.data.validTo, "20240901");
}

TEST_F(Login, CertificateBeyondTheWindowLeavesTheButtonAlone) {
    CardEndsOn("20240902");
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kLoggedIn, kBeyond}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(model.loggedIn, 1);
}

TEST_F(Login, ExpiredCertificateLeavesTheButtonAlone) {
    CardEndsOn("20240304");
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kLoggedIn, kExpired}));
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(view.showCardDataCalls, 1);
}

TEST_F(Login, TheFlowNeverDisablesTheButton) {
    view.renewalEnabled = true;
    CardEndsOn("20300101");
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_TRUE(view.renewalEnabled);
}

TEST_F(Login, WithoutTimeIniOnlyACertificateEndingTodayIsInside) {
    std::filesystem::remove(dir.driveC() / "Windows" / "time.ini");
    CardEndsOn("20240305");
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8().back(), kInside);
}

TEST_F(Login, FailedReadingBringsTheDialogBack) {
    CardEndsOn("20240601");
    fake.QueueResult(dispid::ReadCardInfo, 7, Gbk(u8"卡片无响应"));
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (Texts{kLoggedIn, U(u8"卡片无响应\n获取IC卡中信息失败，请查看IC卡是否正常！"),
                     U(u8"卡片无响应\n获取IC卡中信息失败,请重新登录！"), kLoggedIn, kInside}));
    EXPECT_EQ(view.loginRuns, 2u);
    EXPECT_EQ(model.loggedIn, 1);
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(Client().lastError, Gbk(u8"卡片无响应"));
}

TEST_F(Login, ReadingThatKeepsFailingLoopsUntilTheUserCancels) {
    fake.SetDefaultResult(dispid::ReadCardInfo, 7, "E");
    std::size_t rounds = 0;
    view.loginDialog = [&] {
        // Many rounds: a flow that called itself again would grow the stack with each.
        return ++rounds <= 5000 && LoginButtonPressed(card, "1234") ? IDOK : 130;
    };
    model.LoginFlow();
    EXPECT_EQ(view.loginRuns, 5001u);
    EXPECT_EQ(model.loggedIn, 0);
    EXPECT_EQ(view.showCardDataCalls, 0);
    EXPECT_FALSE(view.renewalEnabled);
    EXPECT_EQ(core.boxes.Entries().size(), 5000u * 3);
    EXPECT_EQ(core.boxes.TextsUtf8().back(), U(u8"E\n获取IC卡中信息失败,请重新登录！"));
}

TEST_F(Login, CancelledDialogChangesNothing) {
    view.loginResults = {130};
    model.LoginFlow();
    EXPECT_EQ(view.loginRuns, 1u);
    EXPECT_EQ(model.loggedIn, 0);
    EXPECT_TRUE(core.boxes.Entries().empty());
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_FALSE(view.renewalEnabled);
}

TEST_F(Login, LoginWhileLoggedInOnlySaysSo) {
    CardEndsOn("20240601");
    UserTypes("1234");
    model.LoginFlow();
    core.boxes.Clear();
    std::size_t runs = view.loginRuns;
    model.LoginFlow();
    model.OnCommand32793();
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kAlready, kAlready}));
    EXPECT_EQ(view.loginRuns, runs);
}

TEST_F(Login, Command32793DoesNothingWhenNotLoggedIn) {
    model.OnCommand32793();
    EXPECT_TRUE(core.boxes.Entries().empty());
    EXPECT_EQ(view.loginRuns, 0u);
    EXPECT_TRUE(fake.Calls().empty());
}

// --- today's date ---

TEST(DateTextFormat, OneDigitMonthsAndDaysGetALeadingZero) {
    EXPECT_EQ(FormatDateText({2024, 3, 5}), "20240305");
    EXPECT_EQ(FormatDateText({2024, 11, 15}), "20241115");
    EXPECT_EQ(FormatDateText({2024, 11, 5}), "20241105");
    EXPECT_EQ(FormatDateText({2024, 3, 15}), "20240315");
    EXPECT_EQ(FormatDateText({2024, 10, 10}), "20241010");
    EXPECT_EQ(FormatDateText({2024, 9, 9}), "20240909");
}

TEST_F(Login, TodayComesFromTheClockAndDecidesTheWindow) {
    clock = FixedClock({2024, 11, 15});
    EXPECT_EQ(TodayDateText(), "20241115");
    CardEndsOn("20250514"); // 180 days after 15 November 2024
    UserTypes("1234");
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8().back(), kInside);

    // One day later the same card is outside the window.
    clock = FixedClock({2024, 11, 14});
    model.loggedIn = 0;
    view.renewalEnabled = false;
    model.LoginFlow();
    EXPECT_EQ(core.boxes.TextsUtf8().back(), kBeyond);
    EXPECT_FALSE(view.renewalEnabled);
}

TEST(TodayUtc, IsTheUtcDateWhateverTheLocalTimeZone) {
    // Fourteen hours east of Greenwich the local date is a day ahead for most of the UTC day.
    const char* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    ::setenv("TZ", "XYZ-14", 1);
    ::tzset();
    auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
    std::string text = TodayDateText();
    if (old) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
    std::chrono::year_month_day ymd(today);
    EXPECT_EQ(text, FormatDateText({static_cast<int>(ymd.year()),
                                    static_cast<int>(static_cast<unsigned>(ymd.month())),
                                    static_cast<int>(static_cast<unsigned>(ymd.day()))}));
}

} // namespace
} // namespace rv
