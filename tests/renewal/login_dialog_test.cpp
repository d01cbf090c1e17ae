// The password dialog on real widgets (offscreen): the edit's limit and masking, the button, Enter,
// the cancel question, and the login flow running the real dialog.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "platform/registry.h"
#include "renewal/gui/LoginDialog.h"
#include "renewal/main_window_model.h"
#include "res/resource_ids.h"
#include "support/dialog_driver.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/scripted_http_server.h"
#include "support/test_env.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <cjson/cJSON.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace rv {
namespace {

using qt::TemplateDialog;
using test::Gbk;
using test::HookGuard;
using test::Key;
using test::Screenshot;
using test::Type;
using Texts = std::vector<std::string>;

std::string U(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

const std::string kAskQuit = U(u8"您确定退出登录吗？");

class LoginDialogTest : public ::testing::Test {
protected:
    LoginDialogTest() {
        test::QtApp();
        card.Attach(fake.Dispatch());
        prevClock_ = InstallClock(&clock);
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
    }
    ~LoginDialogTest() override { InstallClock(prevClock_); }

    QLineEdit* Edit(TemplateDialog& d) { return d.Item<QLineEdit>(res::kPasswordEdit); }

    test::TempWorkDir dir;
    test::CoreFixture core;
    test::FakeCard fake;
    CDCertUpdate card;
    test::FakeView view;
    MainWindowModel model{card, view};
    FixedClock clock{{2024, 3, 5}};

private:
    const IClock* prevClock_ = nullptr;
};

TEST_F(LoginDialogTest, OpensEmptyMaskedAndTakesAtMostEightCharacters) {
    LoginDialog d(model, nullptr);
    d.password = "left over";
    bool checked = false;
    HookGuard hook([&](TemplateDialog& dlg) {
        QLineEdit* e = Edit(dlg);
        EXPECT_EQ(e->text(), QString());
        EXPECT_EQ(e->echoMode(), QLineEdit::Password);
        EXPECT_EQ(dlg.focusWidget(), e);
        Screenshot(dlg, "login-empty");
        Type(e, QStringLiteral("1234567890"));
        EXPECT_EQ(e->text(), QStringLiteral("12345678"));
        Screenshot(dlg, "login-typed");
        checked = true;
        dlg.EndDialog(res::kLoginDialog);
    });
    d.DoModal();
    EXPECT_TRUE(checked);
}

TEST_F(LoginDialogTest, RightPasswordEndsWithOkAndKeepsThePassword) {
    LoginDialog d(model, nullptr);
    HookGuard hook([&](TemplateDialog& dlg) {
        Type(Edit(dlg), QStringLiteral("2468"));
        dlg.Item<QPushButton>(res::kLoginButton)->click();
    });
    EXPECT_EQ(d.DoModal(), 1);
    EXPECT_EQ(d.password, "2468");
    EXPECT_EQ(fake.LastSet(dispid::Password), "2468");
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{U(u8"登录成功！")});
}

TEST_F(LoginDialogTest, EnterPressesTheLoginButton) {
    LoginDialog d(model, nullptr);
    HookGuard hook([&](TemplateDialog& dlg) {
        Type(Edit(dlg), QStringLiteral("99"));
        Key(Edit(dlg), Qt::Key_Return);
    });
    EXPECT_EQ(d.DoModal(), 1);
    EXPECT_EQ(fake.CountMethod(dispid::VerifyPassword), 1);
}

TEST_F(LoginDialogTest, FailuresKeepTheDialogOpenWithAnEmptyFieldThatHasTheFocus) {
    fake.QueueResult(dispid::VerifyPassword, 3, Gbk(u8"口令错误"));
    LoginDialog d(model, nullptr);
    core.boxes.QueueAnswers({IDYES});
    HookGuard hook([&](TemplateDialog& dlg) {
        dlg.Item<QPushButton>(res::kLoginButton)->click(); // empty
        EXPECT_FALSE(dlg.IsEnded());
        Type(Edit(dlg), QStringLiteral("1111"));
        dlg.Item<QPushButton>(res::kLoginButton)->setFocus(); // as a click moves it
        dlg.Item<QPushButton>(res::kLoginButton)->click();    // wrong
        EXPECT_FALSE(dlg.IsEnded());
        EXPECT_EQ(Edit(dlg)->text(), QString());
        EXPECT_EQ(dlg.focusWidget(), Edit(dlg));
        Key(Edit(dlg), Qt::Key_Escape);
    });
    EXPECT_EQ(d.DoModal(), 130);
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (Texts{U(u8"请输入口令！"), U(u8"登录失败,口令错误\n请重新输入！"), kAskQuit}));
    EXPECT_EQ(fake.CountMethod(dispid::CloseCard), 1);
}

TEST_F(LoginDialogTest, CancelAsksAndNoKeepsTheDialog) {
    LoginDialog d(model, nullptr);
    core.boxes.QueueAnswers({IDNO, IDNO, IDYES});
    int stillOpen = 0;
    HookGuard hook([&](TemplateDialog& dlg) {
        Type(Edit(dlg), QStringLiteral("12"));
        Key(Edit(dlg), Qt::Key_Escape); // No
        stillOpen += !dlg.IsEnded();
        dlg.close(); // close box, No
        stillOpen += !dlg.IsEnded();
        EXPECT_EQ(Edit(dlg)->text(), QStringLiteral("12"));
        Key(Edit(dlg), Qt::Key_Escape); // Yes
    });
    EXPECT_EQ(d.DoModal(), 130);
    EXPECT_EQ(stillOpen, 2);
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kAskQuit, kAskQuit, kAskQuit}));
    EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(LoginDialogTest, TheFlowRunsTheRealDialogAgainAfterAFailedReading) {
    fake.SetString(dispid::CardInfo, "C1|N|0|ID|x|IC|U|UC|y|RA|10|20220101|20240601");
    fake.QueueResult(dispid::ReadCardInfo, 7, "E");
    int runs = 0;
    // One dialog object for every login, as the main window keeps it.
    LoginDialog d(model, nullptr);
    view.loginDialog = [&] { return d.DoModal(); };
    HookGuard hook([&](TemplateDialog& dlg) {
        ++runs;
        // The second run starts empty although the same object saw the text before.
        EXPECT_EQ(Edit(dlg)->text(), QString());
        Type(Edit(dlg), QStringLiteral("1234"));
        dlg.SendCommand(res::kLoginButton);
    });
    model.LoginFlow();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(model.loggedIn, 1);
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(core.boxes.TextsUtf8().back(),
              U(u8"您的IC卡有效期小于180天，可以进行延期。如需延期请点击“法人卡延期”按钮！"));
}

// A person mistypes the PIN once and types the right one after the message, on the real software card:
// the second PIN goes into an empty field (not after the first), so the card counts one wrong try and
// then logs in.
TEST(LoginDialogOnACard, AMistypedPinCostsOneTryAndTheRightOneTypedAfterItLogsIn) {
    test::QtApp();
    test::TempWorkDir dir;
    test::CoreFixture core;
    const std::filesystem::path image = dir.path() / "card.json";
    ASSERT_EQ(
        test::RunCommand("RENVORA_ENROL_PIN=123456 RENVORA_ENROL_MANAGE_PASSWORD=88888888 " RENVORA_BUILD_DIR
                         "/server/renvora-server enrol --data '" +
                         (dir.path() / "server-data").string() + "' --card-image '" + image.string() +
                         "' --days 30 >/dev/null 2>&1")
            .exitCode,
        0);
    dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
    reg::RegisterControl(dir.classesRoot(), kCardControlClsid, "software card",
                         RENVORA_BUILD_DIR "/softcard/softcard.so");
    test::ScopedEnv inserted("RENVORA_CARD_IMAGE", image.c_str());
    CDCertUpdate card;
    ASSERT_TRUE(card.Create(kCardControlClsid));
    test::FakeView view;
    MainWindowModel model{card, view};
    auto wrongTries = [&] {
        cJSON* root = cJSON_Parse(dir.Read("card.json").c_str());
        const cJSON* tries = cJSON_GetObjectItem(cJSON_GetObjectItem(root, "pin"), "wrongTries");
        const int n = cJSON_IsNumber(tries) ? tries->valueint : -1;
        cJSON_Delete(root);
        return n;
    };

    LoginDialog d(model, nullptr);
    view.loginDialog = [&] { return d.DoModal(); };
    int triesAfterTheTypo = -1;
    HookGuard hook([&](TemplateDialog& dlg) {
        // Keys go where the focus is, as a person's do; the button is clicked with the mouse.
        Type(dlg.focusWidget(), QStringLiteral("654321"));
        QPushButton* login = dlg.Item<QPushButton>(res::kLoginButton);
        login->setFocus(Qt::MouseFocusReason);
        login->click();
        ASSERT_FALSE(dlg.IsEnded());
        triesAfterTheTypo = wrongTries();
        Type(dlg.focusWidget(), QStringLiteral("123456"));
        Key(dlg.focusWidget(), Qt::Key_Return);
        if (!dlg.IsEnded()) {
            dlg.EndDialog(res::kLoginDialog); // the person gives up
        }
    });
    model.LoginFlow();

    EXPECT_EQ(triesAfterTheTypo, 1);
    EXPECT_EQ(core.boxes.TextsUtf8(),
              (Texts{U(u8"登录失败,口令错误，还可以尝试5次\n请重新输入！"), U(u8"登录成功！"),
                     U(u8"您的IC卡有效期小于180天，可以进行延期。如需延期请点击“法人卡延期”按钮！")}));
    EXPECT_EQ(model.loggedIn, 1);
    EXPECT_EQ(wrongTries(), 0) << "the right PIN resets the card's count";
    card.CloseCard();
}

} // namespace
} // namespace rv
