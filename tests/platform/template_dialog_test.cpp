// The dialog framework on real Qt widgets (offscreen): building, controls by id, commands, the
// Windows keys, the modal hook, fonts and the IP address control.
#include "platform/qt/fonts.h"
#include "platform/qt/ip_address_ctrl.h"
#include "platform/qt/message_box_qt.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "res/resource_ids.h"
#include "support/dialog_driver.h"
#include "support/qt_app.h"
#include "support/test_env.h"

#include <QApplication>
#include <QFontInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QValidator>

#include <gtest/gtest.h>

#include <vector>

namespace rv::test {
namespace {

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

using qt::Q;
using qt::TemplateDialog;

void Key(QWidget* target, int key) {
    ASSERT_NE(target, nullptr);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

// A dialog that records the commands and calls that reach it.
class Probe : public TemplateDialog {
public:
    explicit Probe(int id) : TemplateDialog(id) {}
    std::vector<int> commands;
    int okCalls = 0;
    int cancelCalls = 0;
    bool endOnCancel = true;
    std::string text;
    int textId = 0;

    void Handle(int id) {
        OnCommandId(id, [this, id] { commands.push_back(id); });
    }

protected:
    void OnOK() override {
        ++okCalls;
        TemplateDialog::OnOK();
    }
    void OnCancel() override {
        ++cancelCalls;
        if (endOnCancel) {
            TemplateDialog::OnCancel();
        }
    }
    void DoDataExchange(bool save) override {
        if (textId) {
            DDX_Text(save, textId, text);
        }
    }
};

class TemplateDialogTest : public ::testing::Test {
protected:
    void SetUp() override { QtApp(); }
};

TEST_F(TemplateDialogTest, BuildsControlsAtTheirMappedRectanglesWithTheTemplateFont) {
    TemplateDialog d(res::kMainDialog);
    EXPECT_EQ(QFontInfo(d.font()).family(), QStringLiteral("AR PL UMing CN"));
    EXPECT_EQ(d.font().pixelSize(), 12); // 9 pt at 96 dpi
    dlg::BaseUnits b = d.BaseUnits();
    EXPECT_EQ(b.cx, qt::BaseUnitsOf(d.font()).cx);
    EXPECT_GT(b.cx, 3);
    EXPECT_GT(b.cy, 10);
    EXPECT_EQ(d.size(), QSize(dlg::MulDiv(468, b.cx, 4), dlg::MulDiv(229, b.cy, 8)));
    for (const auto& c : d.Template().controls) {
        if (c.id == dlg::kNoId) {
            continue;
        }
        QWidget* w = d.GetDlgItem(c.id);
        ASSERT_NE(w, nullptr) << c.id;
        EXPECT_EQ(w->geometry(), d.MapDialogRect(c.x, c.y, c.cx, c.cy)) << c.id;
    }
    EXPECT_EQ(d.GetDlgItem(4242), nullptr);
    EXPECT_EQ(d.MapDialogRect(4, 8, 4, 8), QRect(b.cx, b.cy, b.cx, b.cy));
    EXPECT_EQ(Utf8(qt::ToGbk(d.windowTitle())), U(u8"TessamarIC卡证书自主延期客户端"));
}

TEST_F(TemplateDialogTest, UnknownTemplateIsRefused) {
    EXPECT_THROW(TemplateDialog d(4711), std::logic_error);
}

TEST_F(TemplateDialogTest, StylesAreHonoured) {
    TemplateDialog login(res::kLoginDialog);
    auto* pw = login.Item<QLineEdit>(res::kPasswordEdit);
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(login.Item<QPushButton>(res::kLoginButton)->isDefault());

    TemplateDialog settings(res::kSettingsDialog);
    auto* port = settings.Item<QLineEdit>(res::kPortEdit);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(port->validator(), nullptr);
    QString digits = QStringLiteral("8080"), mixed = QStringLiteral("80a");
    int pos = 0;
    EXPECT_EQ(port->validator()->validate(digits, pos), QValidator::Acceptable);
    EXPECT_EQ(port->validator()->validate(mixed, pos), QValidator::Invalid);
    settings.LimitText(res::kPortEdit, 5);
    EXPECT_EQ(settings.Item<qt::TemplateEdit>(res::kPortEdit)->LimitText(), 5);
    EXPECT_FALSE(settings.Item<QPushButton>(res::kSettingsStoreButton)->isDefault());
    EXPECT_NE(settings.Item<qt::IpAddressCtrl>(res::kIpAddressCtrl), nullptr);

    TemplateDialog main(res::kMainDialog);
    EXPECT_TRUE(main.Item<QLineEdit>(res::kEditApplicantName)->isReadOnly());
    EXPECT_FALSE(main.GetDlgItem(res::kRenewalButton)->isEnabled());
    EXPECT_TRUE(main.GetDlgItem(res::kExitButton)->isEnabled());
    EXPECT_TRUE(main.GetDlgItem(res::kCardControl)->isHidden());
    auto* centred = main.Item<QLabel>(res::kLabelValidFrom);
    ASSERT_NE(centred, nullptr);
    EXPECT_TRUE(centred->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(main.Item<QLabel>(res::kLabelApplicantName)->alignment() & Qt::AlignLeft);
}

TEST_F(TemplateDialogTest, TextsRoundTripAsGbkAndSetTextIgnoresTheTypingLimit) {
    TemplateDialog settings(res::kSettingsDialog);
    settings.LimitText(res::kPortEdit, 5);
    settings.SetDlgItemText(res::kPortEdit, "1234567");
    EXPECT_EQ(settings.GetDlgItemText(res::kPortEdit), "1234567");
    // Typing stops at the limit; deleting from an over-long text still works.
    auto* port = settings.GetDlgItem(res::kPortEdit);
    auto type = [&](const QString& s) {
        for (QChar ch : s) {
            QKeyEvent k(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
            QApplication::sendEvent(port, &k);
        }
    };
    type(QStringLiteral("8"));
    EXPECT_EQ(settings.GetDlgItemText(res::kPortEdit), "1234567");
    Key(port, Qt::Key_Delete); // the cursor stands at the start after SetWindowText
    EXPECT_EQ(settings.GetDlgItemText(res::kPortEdit), "234567");
    settings.SetDlgItemText(res::kPortEdit, "");
    type(QStringLiteral("6553599"));
    EXPECT_EQ(settings.GetDlgItemText(res::kPortEdit), "65535");
    EXPECT_EQ(Utf8(settings.GetDlgItemText(res::kSettingsStoreButton)), U(u8"确定"));

    TemplateDialog main(res::kMainDialog);
    std::string name = Gbk(u8"北京億乗科技有限公司");
    main.SetDlgItemText(res::kEditApplicantName, name);
    EXPECT_EQ(main.GetDlgItemText(res::kEditApplicantName), name);
    EXPECT_EQ(Utf8(main.GetDlgItemText(res::kNoticeText)).substr(0, 9), U(u8"提示："));
}

TEST_F(TemplateDialogTest, DataExchangeMovesTextsBothWays) {
    Probe d(res::kMainDialog);
    d.textId = res::kEditCardNumber;
    d.text = Gbk(u8"卡001");
    d.UpdateData(false);
    EXPECT_EQ(Utf8(d.GetDlgItemText(res::kEditCardNumber)), U(u8"卡001"));
    d.Item<QLineEdit>(res::kEditCardNumber)->setText(QStringLiteral("X9"));
    d.UpdateData(true);
    EXPECT_EQ(d.text, "X9");
}

TEST_F(TemplateDialogTest, ModalHookSeesTheInitialisedDialogAndEndDialogReturnsItsCode) {
    std::vector<int> seen;
    HookGuard guard([&](TemplateDialog& d) {
        seen.push_back(d.TemplateId());
        EXPECT_TRUE(d.isVisible());
        if (d.TemplateId() == res::kSettingsDialog) {
            // A nested modal dialog goes through the hook too.
            TemplateDialog about(res::kAboutDialog, &d);
            EXPECT_EQ(about.DoModal(), 77);
            d.EndDialog(141);
        } else {
            d.EndDialog(77);
        }
    });
    Probe d(res::kSettingsDialog);
    d.textId = res::kPortEdit;
    d.text = "443";
    EXPECT_EQ(d.DoModal(), 141);
    EXPECT_EQ(d.GetDlgItemText(res::kPortEdit), "443"); // OnInitDialog ran before the hook
    EXPECT_EQ(seen, (std::vector<int>{res::kSettingsDialog, res::kAboutDialog}));
    EXPECT_FALSE(d.isVisible());
}

TEST_F(TemplateDialogTest, SetModalHookReturnsThePreviousHook) {
    int calls = 0;
    auto prev = TemplateDialog::SetModalHook([&](TemplateDialog& d) {
        ++calls;
        d.EndDialog(5);
    });
    TemplateDialog d(res::kAboutDialog);
    EXPECT_EQ(d.DoModal(), 5);
    auto mine = TemplateDialog::SetModalHook(std::move(prev));
    ASSERT_TRUE(mine);
    EXPECT_EQ(calls, 1);
}

TEST_F(TemplateDialogTest, ButtonsSendTheirIdsThroughTheMessageMap) {
    Probe d(res::kSettingsDialog);
    d.Handle(res::kSettingsStoreButton);
    d.Item<QPushButton>(res::kSettingsStoreButton)->click();
    d.SendCommand(res::kSettingsStoreButton);
    EXPECT_EQ(d.commands, (std::vector<int>{res::kSettingsStoreButton, res::kSettingsStoreButton}));
    // An id nobody handles is dropped; OK and Cancel fall back to OnOK / OnCancel.
    d.SendCommand(res::kSettingsCancelButton);
    EXPECT_EQ(d.okCalls + d.cancelCalls, 0);
    EXPECT_FALSE(d.IsEnded());
}

TEST_F(TemplateDialogTest, EnterPressesTheFocusedButton) {
    Probe d(res::kSettingsDialog);
    d.Handle(res::kSettingsStoreButton);
    HookGuard guard([&](TemplateDialog& dlg) {
        EXPECT_EQ(dlg.focusWidget(), dlg.GetDlgItem(res::kSettingsStoreButton)); // first tab stop
        Key(dlg.focusWidget(), Qt::Key_Return);
        dlg.EndDialog(9);
    });
    EXPECT_EQ(d.DoModal(), 9);
    EXPECT_EQ(d.commands, (std::vector<int>{res::kSettingsStoreButton}));
    EXPECT_EQ(d.okCalls, 0);
}

TEST_F(TemplateDialogTest, EnterInAnEditWithoutDefaultButtonSendsOk) {
    Probe d(res::kSettingsDialog);
    d.Handle(res::kSettingsStoreButton);
    d.textId = res::kPortEdit;
    HookGuard guard([&](TemplateDialog& dlg) {
        auto* port = dlg.Item<QLineEdit>(res::kPortEdit);
        port->setFocus();
        port->setText(QStringLiteral("8443"));
        Key(port, Qt::Key_Enter);
    });
    EXPECT_EQ(d.DoModal(), res::kIdOk);
    EXPECT_EQ(d.okCalls, 1);
    EXPECT_TRUE(d.commands.empty());
    EXPECT_EQ(d.text, "8443"); // the OK path exchanged the data
}

TEST_F(TemplateDialogTest, EnterInAnEditPressesTheDefaultButton) {
    Probe d(res::kLoginDialog);
    d.Handle(res::kLoginButton);
    HookGuard guard([&](TemplateDialog& dlg) {
        EXPECT_EQ(dlg.focusWidget(), dlg.GetDlgItem(res::kPasswordEdit));
        Key(dlg.GetDlgItem(res::kPasswordEdit), Qt::Key_Return);
        dlg.GetDlgItem(res::kLoginButton)->setEnabled(false);
        Key(dlg.GetDlgItem(res::kPasswordEdit), Qt::Key_Return); // a disabled default button does nothing
        dlg.EndDialog(3);
    });
    EXPECT_EQ(d.DoModal(), 3);
    EXPECT_EQ(d.commands, (std::vector<int>{res::kLoginButton}));
    EXPECT_EQ(d.okCalls, 0);
}

TEST_F(TemplateDialogTest, EscAndCloseBoxGoToOnCancel) {
    Probe d(res::kSettingsDialog);
    d.endOnCancel = false;
    HookGuard guard([&](TemplateDialog& dlg) {
        Key(dlg.GetDlgItem(res::kPortEdit), Qt::Key_Escape);
        dlg.close(); // the close box
        EXPECT_TRUE(dlg.isVisible()) << "OnCancel chose to stay open";
        d.endOnCancel = true;
        dlg.close();
    });
    EXPECT_EQ(d.DoModal(), res::kIdCancel);
    EXPECT_EQ(d.cancelCalls, 3);
    EXPECT_EQ(d.okCalls, 0);
}

TEST_F(TemplateDialogTest, DialogEndedDuringInitialisationReturnsWithoutALoop) {
    class EndsAtOnce : public TemplateDialog {
    public:
        EndsAtOnce() : TemplateDialog(res::kAboutDialog) {}

    protected:
        bool OnInitDialog() override {
            TemplateDialog::OnInitDialog();
            EndDialog(42);
            return true;
        }
    };
    int hookCalls = 0;
    HookGuard guard([&](TemplateDialog&) { ++hookCalls; });
    EndsAtOnce d;
    EXPECT_EQ(d.DoModal(), 42);
    EXPECT_EQ(hookCalls, 0);
}

TEST_F(TemplateDialogTest, ModelessCreateShowsAndDestroyHides) {
    TemplateDialog notice(res::kNoticeDialog);
    EXPECT_TRUE(notice.CreateModeless());
    EXPECT_TRUE(notice.isVisible());
    EXPECT_TRUE(notice.windowFlags() & Qt::FramelessWindowHint);
    notice.DestroyWindow();
    EXPECT_FALSE(notice.isVisible());
}

TEST_F(TemplateDialogTest, TextBackgroundIsPaintedBehindTheTextOnly) {
    class Coloured : public TemplateDialog {
    public:
        Coloured() : TemplateDialog(res::kMainDialog) {}

    protected:
        qt::CtlColor OnCtlColor(int id) override {
            if (id == res::kEditValidTo) {
                return {QColor(255, 0, 0), QColor(255, 255, 0), std::nullopt};
            }
            return {};
        }
    };
    Coloured d;
    d.SetDlgItemText(res::kEditValidTo, "20251231");
    d.ApplyControlColors();
    auto* edit = d.Item<qt::TemplateEdit>(res::kEditValidTo);
    ASSERT_NE(edit, nullptr);
    QImage img = edit->grab().toImage();
    QRect text = edit->TextRect();
    int yellowInside = 0, yellowOutside = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (img.pixelColor(x, y) == QColor(255, 255, 0)) {
                (text.contains(x, y) ? yellowInside : yellowOutside)++;
            }
        }
    }
    EXPECT_GT(yellowInside, text.width() * text.height() / 4);
    EXPECT_EQ(yellowOutside, 0);
    EXPECT_LT(text.right(), img.width() - 10) << "the background covers the characters, not the whole field";

    // Shown on screen, the field paints once and then rests: painting it must not ask for another paint
    // (a field that repaints itself for ever burns a core and starves every other event).
    struct PaintCounter : QObject {
        int paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    d.show();
    edit->installEventFilter(&counter);
    edit->repaint();
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    EXPECT_LE(counter.paints, 3);
}

TEST_F(TemplateDialogTest, FontSubstitutionsResolveTheClientFaceNames) {
    struct Case {
        const char8_t* face;
        const char* installed;
    };
    for (const Case& c : {Case{u8"楷体", "AR PL UKai CN"}, Case{u8"黑体", "WenQuanYi Zen Hei"},
                          Case{u8"华文中宋", "AR PL UMing CN"}, Case{u8"隶书", "AR PL UKai CN"}}) {
        // Through the substitution table, as a face name in a QFont...
        QFont byName(Q(Gbk(c.face)));
        EXPECT_EQ(QFontInfo(byName).family(), QString::fromLatin1(c.installed)) << c.installed;
        // ... and through CreatePointFont with its pixel height at 96 dpi.
        QFont f = qt::PointFont(200, Gbk(c.face));
        EXPECT_EQ(QFontInfo(f).family(), QString::fromLatin1(c.installed));
        EXPECT_EQ(f.pixelSize(), 27);
    }
    EXPECT_EQ(qt::PointFont(110, Gbk(u8"黑体")).pixelSize(), 15);
}

TEST_F(TemplateDialogTest, IpAddressControlFieldsAndBlanks) {
    qt::IpAddressCtrl ip;
    EXPECT_TRUE(ip.IsBlank());
    unsigned char f[4] = {9, 9, 9, 9};
    EXPECT_EQ(ip.GetAddress(f[0], f[1], f[2], f[3]), 0);
    EXPECT_EQ(f[0] + f[1] + f[2] + f[3], 0) << "a blank field reads as 0";

    ip.SetWindowText("192.168.1.20");
    EXPECT_FALSE(ip.IsBlank());
    EXPECT_EQ(ip.GetAddress(f[0], f[1], f[2], f[3]), 4);
    EXPECT_EQ(f[0], 192);
    EXPECT_EQ(f[1], 168);
    EXPECT_EQ(f[2], 1);
    EXPECT_EQ(f[3], 20);
    EXPECT_EQ(ip.GetWindowText(), "192.168.1.20");

    ip.SetWindowText("");
    EXPECT_TRUE(ip.IsBlank());

    ip.SetWindowText("300.x.7");
    EXPECT_EQ(ip.GetAddress(f[0], f[1], f[2], f[3]), 2);
    EXPECT_EQ(f[0], 255);
    EXPECT_EQ(f[1], 0);
    EXPECT_EQ(f[2], 7);
    EXPECT_EQ(f[3], 0);

    // Typing: digits only, at most 3, a value above 255 corrected to 255.
    ip.ClearAddress();
    ip.Field(1)->setFocus();
    for (QChar ch : QStringLiteral("9a9")) {
        QKeyEvent k(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(ip.Field(1), &k);
    }
    EXPECT_EQ(ip.Field(1)->text(), QStringLiteral("99"));
    QKeyEvent k(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("9"));
    QApplication::sendEvent(ip.Field(1), &k);
    EXPECT_EQ(ip.Field(1)->text(), QStringLiteral("255"));
}

TEST_F(TemplateDialogTest, QtMessageBoxAnswersWithWindowsCodesAndTheAppTitle) {
    qt::QtMessageBox boxes;
    std::vector<QString> titles;
    std::vector<bool> owned;
    QString answer;
    auto prev = qt::QtMessageBox::SetHook([&](QMessageBox& box) {
        titles.push_back(box.windowTitle());
        owned.push_back(box.parentWidget() != nullptr);
        for (QAbstractButton* b : box.buttons()) {
            if (b->text().startsWith(answer)) {
                b->click();
                return;
            }
        }
    });
    answer = Q(Gbk(u8"是"));
    EXPECT_EQ(boxes.Show(Gbk(u8"您确定退出客户端吗？"), MbKind::YesNo), IDYES);
    answer = Q(Gbk(u8"否"));
    EXPECT_EQ(boxes.Show(Gbk(u8"您确定退出客户端吗？"), MbKind::YesNo), IDNO);
    answer = Q(Gbk(u8"确定"));
    TemplateDialog owner(res::kAboutDialog);
    owner.show();
    QApplication::setActiveWindow(&owner);
    EXPECT_EQ(boxes.Show(Gbk(u8"登录成功！"), MbKind::Ok), IDOK);
    qt::QtMessageBox::SetHook(std::move(prev));
    ASSERT_EQ(titles.size(), 3u);
    for (const auto& t : titles) {
        EXPECT_EQ(t, Q(kAppTitle));
    }
    EXPECT_FALSE(owned[0]) << "questions have no owner window";
    EXPECT_FALSE(owned[1]);
}

} // namespace
} // namespace rv::test
