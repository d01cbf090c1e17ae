// The main window on real widgets (offscreen) over a scripted card control: its controls, fonts and
// colours, the owner-drawn menu, the system-menu stand-in, the commands, Enter and the exit path.
#include "card/dispids.h"
#include "platform/qt/colours.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "res/resource_ids.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/CNewMenu.h"
#include "ui/CRenvoraDlg.h"

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>

namespace rv::test {
namespace {

using qt::TemplateDialog;

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

// The main window with a way to see every command that reaches its message map.
class RecordingDlg : public CRenvoraDlg {
public:
    using CRenvoraDlg::CRenvoraDlg;
    std::vector<int> commands;

protected:
    bool OnCommand(int id) override {
        commands.push_back(id);
        return CRenvoraDlg::OnCommand(id);
    }
};

// Runs the main window modally. `act` runs inside its modal loop; modal dialogs it opens are counted
// per template and ended with the code `answers` gives (1 by default; the login dialog is cancelled).
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtApp();
        ResetClientStrings();
        prevHook_ = TemplateDialog::SetModalHook([this](TemplateDialog& d) { OnModal(d); });
    }
    void TearDown() override { TemplateDialog::SetModalHook(std::move(prevHook_)); }

    CRenvoraDlg::ControlFactory AttachFake() {
        return [this](CDCertUpdate& c) {
            c.Attach(card.Dispatch());
            return true;
        };
    }

    int Run(CRenvoraDlg& dlg, std::function<void(CRenvoraDlg&)> act) {
        act_ = std::move(act);
        main_ = &dlg;
        return dlg.DoModal();
    }

    void OnModal(TemplateDialog& d) {
        ++opened[d.TemplateId()];
        if (d.TemplateId() == res::kMainDialog) {
            if (act_) {
                act_(*main_);
            }
            if (!d.IsEnded()) {
                d.EndDialog(kLeftOpen);
            }
            return;
        }
        if (onDialog) {
            onDialog(d);
        }
        if (!d.IsEnded()) {
            auto it = answers.find(d.TemplateId());
            d.EndDialog(it != answers.end() ? it->second : (d.TemplateId() == res::kLoginDialog ? 130 : 1));
        }
    }

    static void Key(QWidget* w, int key) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QApplication::sendEvent(w, &press);
    }

    static constexpr int kLeftOpen = 4711; // the test ended a window the client left open
    TempWorkDir dir;
    CoreFixture core;
    FakeCard card;
    std::map<int, int> opened;
    std::map<int, int> answers;
    std::function<void(TemplateDialog&)> onDialog;

private:
    TemplateDialog::ModalHook prevHook_;
    std::function<void(CRenvoraDlg&)> act_;
    CRenvoraDlg* main_ = nullptr;
};

TEST_F(MainWindowTest, EveryControlOfTheTemplateExistsWithItsTextAndState) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        struct Expect {
            int id;
            const char8_t* text;
        };
        for (const Expect& e :
             {Expect{1000, u8"法人卡延期"}, Expect{1011, u8"退出"}, Expect{1021, u8"申请者名称"},
              Expect{1022, u8"用户证书号"}, Expect{1023, u8"证件号码"}, Expect{1024, u8"IC卡号"},
              Expect{1025, u8"单位名称"}, Expect{1026, u8"卡类型"}, Expect{1027, u8"证书有效期开始时间"},
              Expect{1028, u8"证书有效期结束时间"}}) {
            ASSERT_NE(w.GetDlgItem(e.id), nullptr) << e.id;
            EXPECT_EQ(Utf8(w.GetDlgItemText(e.id)), U(e.text)) << e.id;
            EXPECT_TRUE(w.GetDlgItem(e.id)->isVisible()) << e.id;
        }
        EXPECT_EQ(Utf8(w.GetDlgItemText(res::kNoticeText)),
                  U(u8"提示：在点击法人卡延期按钮后，严禁进行插拔卡、关闭系统、注销用户、重启电脑等可能影响IC"
                    u8"卡延期的操作，"
                    u8"否则有可能导致IC卡失效。"));
        for (int id : {1003, 1007, 1008, 1006, 1004, 1005, 1009, 1010}) {
            auto* e = w.Item<QLineEdit>(id);
            ASSERT_NE(e, nullptr) << id;
            EXPECT_TRUE(e->isReadOnly()) << id;
            EXPECT_TRUE(e->text().isEmpty()) << id;
            EXPECT_TRUE(e->isEnabled()) << id;
        }
        auto groups = w.findChildren<QGroupBox*>();
        ASSERT_EQ(groups.size(), 1);
        EXPECT_EQ(groups[0]->title(), qt::Q(Gbk(u8"用户信息")));
        EXPECT_FALSE(w.GetDlgItem(res::kRenewalButton)->isEnabled());
        EXPECT_FALSE(w.IsRenewalButtonEnabled());
        EXPECT_TRUE(w.GetDlgItem(res::kExitButton)->isEnabled());
        EXPECT_FALSE(w.GetDlgItem(res::kCardControl)->isVisible());
        EXPECT_FALSE(w.GetDlgItem(res::kCardControl)->isEnabled());
        EXPECT_TRUE(w.isVisible());
    });
    EXPECT_TRUE(dlg.ControlCreated());
    EXPECT_TRUE(core.boxes.Entries().empty()) << "a working control brings no message";
}

TEST_F(MainWindowTest, FontsAreAppliedToTheirControls) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        auto face = [&](int id) { return QFontInfo(w.GetDlgItem(id)->font()).family(); };
        auto px = [&](int id) { return w.GetDlgItem(id)->font().pixelSize(); };
        for (int id : {1000, 1011}) {
            EXPECT_EQ(face(id), QStringLiteral("WenQuanYi Zen Hei"));
            EXPECT_EQ(px(id), 20);
        }
        for (int id : {1021, 1022, 1023, 1024, 1025, 1026, 1027, 1028}) {
            EXPECT_EQ(face(id), QStringLiteral("AR PL UMing CN")) << id;
            EXPECT_EQ(px(id), 16) << id;
        }
        EXPECT_EQ(w.findChildren<QGroupBox*>()[0]->font().pixelSize(), 16);
        for (int id : {1003, 1007, 1005, 1008, 1006, 1004}) {
            EXPECT_EQ(face(id), QStringLiteral("AR PL UKai CN")) << id;
            EXPECT_EQ(px(id), 20) << id;
        }
        EXPECT_EQ(face(1037), QStringLiteral("WenQuanYi Zen Hei"));
        EXPECT_EQ(px(1037), 15);
        // The date font comes only with the card data.
        EXPECT_EQ(px(1009), 12);
        w.ApplyDateFont();
        for (int id : {1009, 1010}) {
            EXPECT_EQ(face(id), QStringLiteral("AR PL UKai CN"));
            EXPECT_EQ(px(id), 27);
        }
    });
}

// Counts pixels of red text: strongly red, whatever the antialiasing blended in.
int CountReddish(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            QColor p = img.pixelColor(x, y);
            if (p.red() > 180 && p.red() - p.green() > 60 && p.red() - p.blue() > 60) {
                ++n;
            }
        }
    }
    return n;
}

// Counts pixels of an image close to a colour.
int CountNear(const QImage& img, QColor c, int tolerance = 40) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            QColor p = img.pixelColor(x, y);
            if (std::abs(p.red() - c.red()) + std::abs(p.green() - c.green()) +
                    std::abs(p.blue() - c.blue()) <=
                tolerance) {
                ++n;
            }
        }
    }
    return n;
}

// The original's red, darkened just enough to read at 4.5:1 on the face colour it was chosen for (or on
// the end date's yellow), which these controls keep whatever the theme.
TEST_F(MainWindowTest, ValidityDatesAndNoticeAreReadableRedAndTheEndDateOnYellow) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        w.Model().data.validFrom = "20230101";
        w.Model().data.validTo = "20251231";
        w.Model().data.applicantName = "ACME";
        w.ShowCardData();
        const QColor red(221, 0, 0), yellow(255, 255, 0);
        EXPECT_EQ(w.GetDlgItem(1009)->palette().color(QPalette::Text), red);
        EXPECT_EQ(w.GetDlgItem(1010)->palette().color(QPalette::Text), QColor(229, 0, 0));
        EXPECT_EQ(w.GetDlgItem(1037)->palette().color(QPalette::WindowText), red);
        EXPECT_NE(w.GetDlgItem(1003)->palette().color(QPalette::Text), red);
        EXPECT_EQ(w.GetDlgItem(1009)->palette().color(QPalette::Base), qt::kClassicFace);
        EXPECT_EQ(w.GetDlgItem(1037)->palette().color(QPalette::Window), qt::kClassicFace);
        EXPECT_EQ(w.Item<qt::TemplateEdit>(1010)->TextBackground(), yellow);
        EXPECT_FALSE(w.Item<qt::TemplateEdit>(1009)->TextBackground().has_value());

        QImage from = w.GetDlgItem(1009)->grab().toImage();
        QImage to = w.GetDlgItem(1010)->grab().toImage();
        QImage notice = w.GetDlgItem(1037)->grab().toImage();
        QImage name = w.GetDlgItem(1003)->grab().toImage();
        EXPECT_GT(CountReddish(from), 10);
        EXPECT_EQ(CountNear(from, yellow, 0), 0);
        EXPECT_GT(CountReddish(to), 10);
        EXPECT_GT(CountNear(to, yellow, 0), 50);
        EXPECT_GT(CountReddish(notice), 50);
        EXPECT_EQ(CountReddish(name), 0);
    });
}

TEST_F(MainWindowTest, MenuBarHoldsMenu131OwnerDrawnAndRoutesItsCommands) {
    RecordingDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        CNewMenu& m = w.Menu();
        ASSERT_EQ(m.GetMenuItemCount(), 2);
        EXPECT_EQ(m.GetMenuItemID(0), res::kCmdLogin);
        EXPECT_EQ(m.GetMenuString(0), qt::Q(Gbk(u8"登录")));
        EXPECT_EQ(m.GetMenuItemID(1), res::kCmdNetworkTest);
        EXPECT_EQ(m.GetMenuString(1), qt::Q(Gbk(u8"网络测试")));
        EXPECT_TRUE(m.IsOwnerDrawn(0));
        EXPECT_TRUE(m.IsOwnerDrawn(1));
        EXPECT_EQ(m.ItemRect(1), QRect(75, 0, 75, 25));
        EXPECT_TRUE(m.isVisible());
        // The bar sits above the client area, which keeps its template size.
        EXPECT_GE(w.ClientArea()->y(), 25);

        // Press and release on the first item: selected while held, then its command.
        QPointF at(m.ItemRect(0).center());
        QMouseEvent press(QEvent::MouseButtonPress, at, m.mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QApplication::sendEvent(&m, &press);
        EXPECT_EQ(m.SelectedItem(), 0);
        QMouseEvent release(QEvent::MouseButtonRelease, at, m.mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(&m, &release);
        EXPECT_EQ(m.SelectedItem(), -1);
    });
    ASSERT_FALSE(dlg.commands.empty());
    EXPECT_EQ(dlg.commands.front(), res::kCmdLogin);
}

// The menu bar and the context menu from the keyboard: a lone Alt enters menu mode on the first item and
// Esc gives the focus back; Down chooses the item; an Alt that went with a switch to another window is no
// lone Alt; the Menu key opens the context menu on its first entry.
TEST_F(MainWindowTest, KeyboardReachesTheMenuBarAndTheContextMenu) {
    RecordingDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        auto key = [&](QEvent::Type type, int k) {
            QApplication::setActiveWindow(&w);
            QKeyEvent e(type, k, Qt::NoModifier);
            QApplication::sendEvent(w.focusWidget(), &e);
        };
        QWidget* exitButton = w.GetDlgItem(res::kExitButton);
        exitButton->setFocus();
        key(QEvent::KeyPress, Qt::Key_Alt);
        key(QEvent::KeyRelease, Qt::Key_Alt);
        ASSERT_TRUE(w.Menu().InMenuMode());
        EXPECT_EQ(w.Menu().SelectedItem(), 0);
        EXPECT_EQ(w.focusWidget(), &w.Menu());
        key(QEvent::KeyPress, Qt::Key_Right);
        EXPECT_EQ(w.Menu().SelectedItem(), 1);
        key(QEvent::KeyPress, Qt::Key_Escape);
        EXPECT_FALSE(w.Menu().InMenuMode());
        EXPECT_EQ(w.focusWidget(), exitButton);
        EXPECT_TRUE(dlg.commands.empty());

        key(QEvent::KeyPress, Qt::Key_Alt);
        key(QEvent::KeyRelease, Qt::Key_Alt);
        key(QEvent::KeyPress, Qt::Key_Down); // "登录": the login dialog again
        EXPECT_EQ(dlg.commands, std::vector<int>{res::kCmdLogin});
        EXPECT_EQ(opened[res::kLoginDialog], 2);
        EXPECT_EQ(w.focusWidget(), exitButton);

        key(QEvent::KeyPress, Qt::Key_Alt);
        QEvent away(QEvent::WindowDeactivate);
        QApplication::sendEvent(&w, &away);
        key(QEvent::KeyRelease, Qt::Key_Alt);
        EXPECT_FALSE(w.Menu().InMenuMode()) << "Alt+Tab away and back is no lone Alt";

        key(QEvent::KeyPress, Qt::Key_Menu);
        ASSERT_TRUE(w.SystemMenu()->isVisible());
        EXPECT_EQ(w.SystemMenu()->activeAction(), w.SystemMenu()->actions().first());
        w.SystemMenu()->close();
    });
}

TEST(OwnerDrawnMenu, EveryItemMeasures75By25) {
    for (const char8_t* text : {u8"登录", u8"网络测试", u8"", u8"一个很长很长很长很长的菜单项"}) {
        EXPECT_EQ(CNewMenu::MeasureItem(qt::Q(Gbk(text))), QSize(75, 25));
    }
}

QImage DrawnItem(const QString& caption, bool selected) {
    QtApp();
    QImage img(100, 35, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    CNewMenu::DrawItem(p, QRect(5, 5, 75, 25), caption, selected);
    return img;
}

TEST(OwnerDrawnMenu, SelectedItemIsFilledOnlyFrom20PixelsRightOfItsLeftEdge) {
    const QColor fill(139, 137, 137);
    QImage img = DrawnItem(qt::Q(Gbk(u8"登录")), true);
    // Item rectangle 5..79 x 5..29: the fill covers x 25..79 and nothing else.
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            bool inFill = x >= 25 && x < 80 && y >= 5 && y < 30;
            QColor c = img.pixelColor(x, y);
            if (!inFill) {
                EXPECT_EQ(c, QColor(Qt::white)) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(img.pixelColor(25, 6), fill);
    EXPECT_EQ(img.pixelColor(78, 28), fill);
    EXPECT_EQ(img.pixelColor(24, 6), QColor(Qt::white));
}

TEST(OwnerDrawnMenu, UnselectedItemHasNoFillAndDarkGreyTextLeftAlignedAndCentred) {
    QImage img = DrawnItem(qt::Q(Gbk(u8"网络测试")), false);
    EXPECT_EQ(CountNear(img, QColor(139, 137, 137), 0), 0);
    // The text: its darkest pixels are RGB(54,54,54); none left of x = 25; centred vertically.
    int minX = img.width(), minY = img.height(), maxY = -1;
    int darkest = 255 * 3;
    QColor darkestColour;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            QColor c = img.pixelColor(x, y);
            if (c != QColor(Qt::white)) {
                minX = std::min(minX, x);
                minY = std::min(minY, y);
                maxY = std::max(maxY, y);
                if (c.red() + c.green() + c.blue() < darkest) {
                    darkest = c.red() + c.green() + c.blue();
                    darkestColour = c;
                }
            }
        }
    }
    ASSERT_GE(maxY, 0) << "no text drawn";
    EXPECT_GE(minX, 25);
    EXPECT_LE(minX, 28);
    EXPECT_EQ(darkestColour, QColor(54, 54, 54));
    int centre = (minY + maxY) / 2;
    EXPECT_NEAR(centre, 17, 2); // the item's middle is y = 5 + 25/2
}

TEST_F(MainWindowTest, SystemCommands16To31OpenTheAboutBox) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        for (unsigned v = 16; v <= 31; ++v) {
            w.OnSysCommand(v);
        }
        EXPECT_EQ(opened[res::kAboutDialog], 16);
        w.OnSysCommand(32);
        w.OnSysCommand(15);
        w.OnSysCommand(0xF010); // move: default handling, nothing here
        EXPECT_EQ(opened[res::kAboutDialog], 16);
        EXPECT_FALSE(w.IsEnded());
    });
}

TEST_F(MainWindowTest, AboutBoxShowsTheProductLineAndOk) {
    std::string line;
    onDialog = [&](TemplateDialog& d) {
        if (d.TemplateId() == res::kAboutDialog) {
            EXPECT_EQ(Utf8(qt::ToGbk(d.windowTitle())), U(u8"关于 Renvora"));
            for (auto* label : d.findChildren<qt::TemplateStatic*>()) {
                line += qt::ToGbk(label->PlainText()) + "|";
            }
            EXPECT_EQ(Utf8(d.GetDlgItemText(res::kIdOk)), U(u8"确定"));
            d.Item<QPushButton>(res::kIdOk)->click();
        }
    };
    answers[res::kAboutDialog] = -99; // would show up if the OK button did not end it
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) { w.SendCommand(res::kCmdAbout); });
    EXPECT_EQ(Utf8(line).rfind(U(u8"法人卡自主延期客户端，1.0 版|"), 0), 0u) << Utf8(line);
}

TEST_F(MainWindowTest, ContextMenuOffersSettingsAndAbout) {
    dir.Write("Config/conf.ini", "realmName=http://127.0.0.1:9/\r\n");
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        QMenu* menu = w.SystemMenu();
        ASSERT_NE(menu, nullptr);
        QStringList texts;
        for (QAction* a : menu->actions()) {
            texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        }
        EXPECT_EQ(texts, (QStringList{qt::Q(Gbk(u8"设置参数")), QStringLiteral("-"),
                                      qt::Q(Gbk(u8"关于 Renvora(&A)..."))}));
        menu->actions()[2]->trigger();
        EXPECT_EQ(opened[res::kAboutDialog], 1);
        // Settings ending with OK re-read the server address.
        answers[res::kSettingsDialog] = 1;
        menu->actions()[0]->trigger();
        EXPECT_EQ(opened[res::kSettingsDialog], 1);
        EXPECT_EQ(w.Model().serverAddress, "http://127.0.0.1:9/");
    });
}

TEST_F(MainWindowTest, HiddenCommandsOpenSettingsAndAbout) {
    dir.Write("Config/conf.ini", "realmName=http://127.0.0.1:9/\r\n");
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        // Cancelled settings and command 32788 leave the address alone.
        answers[res::kSettingsDialog] = 141;
        w.SendCommand(res::kCmdSettings);
        EXPECT_EQ(w.Model().serverAddress, "");
        answers[res::kSettingsDialog] = 1;
        w.SendCommand(res::kCmdSettingsPlain);
        EXPECT_EQ(w.Model().serverAddress, "");
        EXPECT_EQ(opened[res::kSettingsDialog], 2);
        w.SendCommand(res::kCmdSettings);
        EXPECT_EQ(w.Model().serverAddress, "http://127.0.0.1:9/");
        w.SendCommand(res::kCmdAbout);
        w.SendCommand(res::kCmdAboutToolbar);
        EXPECT_EQ(opened[res::kAboutDialog], 2);
        EXPECT_FALSE(w.IsEnded());
    });
}

TEST_F(MainWindowTest, ExitQuestionAnsweredNoLeavesWindowAndCardAlone) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    core.boxes.SetDefaultAnswer(IDNO);
    int result = Run(dlg, [&](CRenvoraDlg& w) {
        w.Model().loggedIn = 1;
        w.Item<QPushButton>(res::kExitButton)->click();
        Key(w.GetDlgItem(res::kEditApplicantName), Qt::Key_Escape);
        w.close(); // the close box
        w.OnSysCommand(0xF060);
        EXPECT_FALSE(w.IsEnded());
        EXPECT_TRUE(w.isVisible());
    });
    EXPECT_EQ(result, kLeftOpen);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>(4, U(u8"您确定退出客户端吗？")));
    for (const auto& e : core.boxes.Entries()) {
        EXPECT_EQ(e.kind, MbKind::YesNo);
    }
    EXPECT_TRUE(card.Calls().empty());
}

TEST_F(MainWindowTest, ExitWhenNotLoggedInNeverCallsTheCard) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    int result = Run(dlg, [&](CRenvoraDlg& w) { w.Item<QPushButton>(res::kExitButton)->click(); });
    EXPECT_EQ(result, res::kIdCancel);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{U(u8"您确定退出客户端吗？")});
    EXPECT_TRUE(card.Calls().empty());
}

TEST_F(MainWindowTest, ExitWhenLoggedInClosesTheCardAndTheWindow) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    int result = Run(dlg, [&](CRenvoraDlg& w) {
        w.Model().loggedIn = 1;
        Key(w.GetDlgItem(res::kEditCardType), Qt::Key_Escape);
    });
    EXPECT_EQ(result, res::kIdCancel);
    EXPECT_EQ(card.CountMethod(dispid::CloseCard), 1);
    EXPECT_EQ(core.boxes.Entries().size(), 1u);
}

TEST_F(MainWindowTest, FailingCardCloseEndsTheProcessWithStatus1AfterTheMessage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    card.QueueResult(dispid::CloseCard, 7, Gbk(u8"卡已拔出"));
    core.boxes.onShow = [](const ScriptedMessageBox::Entry& e) {
        std::fprintf(stderr, "[box] %s\n", Utf8(e.text).c_str());
    };
    CRenvoraDlg dlg(nullptr, AttachFake());
    const std::string expected = U(u8"\\[box\\] .*\n\\[box\\] 卡已拔出\n关闭IC卡失败！");
    EXPECT_EXIT(Run(dlg,
                    [&](CRenvoraDlg& w) {
                        w.Model().loggedIn = 1;
                        w.Item<QPushButton>(res::kExitButton)->click();
                    }),
                ::testing::ExitedWithCode(1), expected);
}

// Enter in a read-only field would end the Windows dialog at once, past the question and without closing
// the card; here it takes the exit path.
TEST_F(MainWindowTest, EnterInAReadOnlyFieldTakesTheExitPathWithItsQuestionAndTheCardClose) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    core.boxes.QueueAnswers({IDNO, IDYES});
    int result = Run(dlg, [&](CRenvoraDlg& w) {
        w.Model().loggedIn = 1;
        w.Model().data.cardNumber = "0001";
        w.ShowCardData();
        w.GetDlgItem(res::kEditIdNumber)->setFocus();
        Key(w.GetDlgItem(res::kEditIdNumber), Qt::Key_Return);
        EXPECT_FALSE(w.IsEnded()) << "No keeps the window";
        EXPECT_TRUE(card.Calls().empty()) << "and leaves the card alone";
        Key(w.GetDlgItem(res::kEditCardNumber), Qt::Key_Enter);
    });
    EXPECT_EQ(result, res::kIdCancel);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>(2, U(u8"您确定退出客户端吗？")));
    EXPECT_EQ(card.CountMethod(dispid::CloseCard), 1);
    EXPECT_EQ(dlg.Model().data.cardNumber, "0001");
}

TEST_F(MainWindowTest, ButtonsAndMenuCommandsReachTheirHandlers) {
    RecordingDlg dlg(nullptr, AttachFake());
    core.boxes.SetDefaultAnswer(IDNO);
    Run(dlg, [&](CRenvoraDlg& w) {
        w.EnableRenewalButton(true);
        EXPECT_TRUE(w.IsRenewalButtonEnabled());
        w.EnableRenewalButton(false);
        w.Item<QPushButton>(res::kRenewalButton)->click(); // disabled: nothing
        w.Item<QPushButton>(res::kExitButton)->click();
        w.SendCommand(res::kCmdAlreadyLoggedIn);
    });
    // Button 1011 goes to OnCancel directly, not through the Cancel command.
    EXPECT_EQ(dlg.commands, (std::vector<int>{res::kExitButton, res::kCmdAlreadyLoggedIn}));
}

TEST_F(MainWindowTest, CardDataIsExchangedWithTheEightFields) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        CardData& d = w.Model().data;
        d.applicantName = Gbk(u8"北京億乗科技");
        d.certSeqNo = "SN1";
        d.idNumber = "ID2";
        d.cardNumber = "C3";
        d.unitName = Gbk(u8"单位");
        d.cardType = Gbk(u8"法人卡");
        d.validFrom = "20230101";
        d.validTo = "20251231";
        d.unitCode = "not shown";
        w.ShowCardData();
        EXPECT_EQ(w.GetDlgItemText(1003), d.applicantName);
        EXPECT_EQ(w.GetDlgItemText(1007), "SN1");
        EXPECT_EQ(w.GetDlgItemText(1008), "ID2");
        EXPECT_EQ(w.GetDlgItemText(1006), "C3");
        EXPECT_EQ(w.GetDlgItemText(1004), d.unitName);
        EXPECT_EQ(w.GetDlgItemText(1005), d.cardType);
        EXPECT_EQ(w.GetDlgItemText(1009), "20230101");
        EXPECT_EQ(w.GetDlgItemText(1010), "20251231");
    });
}

TEST_F(MainWindowTest, NoticeWindowLivesBetweenShowAndCloseAndSuccessDialogRefreshesTheFields) {
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg& w) {
        w.ShowNotice(res::kPictureSign);
        ASSERT_NE(w.Notice(), nullptr);
        ASSERT_NE(w.Notice()->Window(), nullptr);
        EXPECT_TRUE(w.Notice()->Window()->isVisible());
        w.ShowNotice(res::kPictureWriteCard); // only one at a time
        EXPECT_EQ(w.Notice()->Picture(), res::kPictureWriteCard);
        w.CloseNotice();
        EXPECT_EQ(w.Notice(), nullptr);
        w.CloseNotice();

        onDialog = [&](TemplateDialog& d) {
            if (d.TemplateId() == res::kSuccessDialog) {
                w.Model().data.validTo = "20300101"; // stands for the date the write-back stored
            }
        };
        w.RunSuccessDialog();
        EXPECT_EQ(opened[res::kSuccessDialog], 1);
        EXPECT_EQ(w.GetDlgItemText(res::kEditValidTo), "20300101");
    });
}

TEST_F(MainWindowTest, LoginPromptComesUpWithTheWindow) {
    bool mainVisible = false;
    onDialog = [&](TemplateDialog& d) {
        if (d.TemplateId() == res::kLoginDialog) {
            mainVisible = d.parentWidget() && d.parentWidget()->isVisible();
        }
    };
    CRenvoraDlg dlg(nullptr, AttachFake());
    Run(dlg, [&](CRenvoraDlg&) {});
    // The login flow runs at the end of initialisation; where it opens its dialog, the window is
    // already on screen.
    if (opened[res::kLoginDialog] > 0) {
        EXPECT_TRUE(mainVisible);
    }
    EXPECT_EQ(opened[res::kMainDialog], 1);
}

TEST_F(MainWindowTest, FailedControlCreationIsReportedAndTheWindowStillWorks) {
    CRenvoraDlg dlg(nullptr, [](CDCertUpdate&) { return false; });
    int result = Run(dlg, [&](CRenvoraDlg& w) {
        EXPECT_TRUE(w.isVisible());
        EXPECT_FALSE(w.Card().HasControl());
        w.Model().loggedIn = 1;
        core.boxes.QueueAnswers({IDNO});
        w.Item<QPushButton>(res::kExitButton)->click();
        EXPECT_FALSE(w.IsEnded());
        w.SendCommand(res::kCmdAbout);
    });
    EXPECT_FALSE(dlg.ControlCreated());
    auto texts = core.boxes.TextsUtf8();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], U(u8"初始化Tessamar应用控件失败，请检查控件是否损坏！"));
    EXPECT_EQ(core.boxes.Entries()[0].kind, MbKind::Ok);
    EXPECT_EQ(texts.back(), U(u8"您确定退出客户端吗？"));
    EXPECT_EQ(opened[res::kAboutDialog], 1);
    EXPECT_EQ(result, kLeftOpen);
}

} // namespace
} // namespace rv::test
