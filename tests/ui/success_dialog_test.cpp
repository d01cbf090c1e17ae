// The success dialog on real Qt widgets (offscreen): the message built from the owner's end date, its
// font and colours, where it opens, and how it closes. With $RENVORA_SCREENSHOT_DIR set, the dialog is
// saved there as a PNG.
#include "card/CDCertUpdate.h"
#include "platform/qt/colours.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "renewal/main_window_model.h"
#include "renewal/renewal_window.h"
#include "res/resource_ids.h"
#include "res/resources.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/CNewMenu.h"
#include "ui/UpdateSuccessDialog.h"

#include <QFontInfo>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

namespace rv::test {
namespace {

using qt::TemplateDialog;

// Runs the dialog for an end date; `inside` sees it during its modal run and may end it.
class SuccessDialog : public ::testing::Test {
protected:
    void SetUp() override { QtApp(); }

    int Run(const std::string& endDate, std::function<void(UpdateSuccessDialog&)> inside,
            QWidget* parent = nullptr) {
        model.data.validTo = endDate;
        UpdateSuccessDialog dlg(model, parent);
        auto prev = TemplateDialog::SetModalHook([&](TemplateDialog& d) {
            auto& s = static_cast<UpdateSuccessDialog&>(d);
            inside(s);
            if (!s.IsEnded()) {
                s.EndDialog(res::kIdOk);
            }
        });
        int rc = dlg.DoModal();
        TemplateDialog::SetModalHook(prev);
        return rc;
    }

    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
};

TEST_F(SuccessDialog, AnnouncesTheDateInItsPieces) {
    std::string shown;
    Run("20230115", [&](UpdateSuccessDialog& d) { shown = d.GetDlgItemText(res::kSuccessText); });
    EXPECT_EQ(Utf8(shown),
              reinterpret_cast<const char*>(u8"您的证书有效期已延期到：\n     2023年01月15日     "));
}

TEST_F(SuccessDialog, ShortDatesGiveWhatTheyHold) {
    struct Case {
        std::string date;
        const char8_t* text;
    } cases[] = {{"", u8"年月日"},
                 {"2", u8"2年月2日"},
                 {"2023", u8"2023年月23日"},
                 {"20231", u8"2023年1月31日"},
                 {"202301", u8"2023年01月01日"},
                 {"2023011", u8"2023年01月11日"},
                 {"20230115120000", u8"2023年01月00日"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8(ChineseDateText(c.date)), reinterpret_cast<const char*>(c.text)) << c.date;
    }
    std::string shown;
    Run("", [&](UpdateSuccessDialog& d) { shown = d.GetDlgItemText(res::kSuccessText); });
    EXPECT_EQ(Utf8(shown), reinterpret_cast<const char*>(u8"您的证书有效期已延期到：\n     年月日     "));
}

// Red on sky blue is 1.9:1; the red is darkened until it reads at 4.5:1 there.
TEST_F(SuccessDialog, ShowsReadableRedKaitiOnSkyBlue) {
    QImage shot;
    Run("20280927", [&](UpdateSuccessDialog& d) {
        auto* text = d.Item<qt::TemplateStatic>(res::kSuccessText);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(QFontInfo(text->font()).family(), "AR PL UKai CN");
        EXPECT_EQ(text->font().pixelSize(), 27) << "20 pt at 96 dots per inch";
        const QColor red = text->palette().color(QPalette::WindowText);
        EXPECT_EQ(red, QColor(144, 0, 0)) << "the darkest red needed, no darker";
        EXPECT_GE(qt::ContrastRatio(red, QColor(0, 191, 255)), 4.5);
        EXPECT_EQ(d.accessibleName(), qt::Q(Gbk(u8"延期成功")));
        EXPECT_NE(d.accessibleDescription().indexOf(QStringLiteral("2028")), -1);
        ASSERT_TRUE(text->TextBackground().has_value());
        EXPECT_EQ(*text->TextBackground(), QColor(0, 191, 255));
        shot = d.grab().toImage().convertToFormat(QImage::Format_RGB888);
    });
    ASSERT_FALSE(shot.isNull());
    int red = 0, blue = 0;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            QRgb c = shot.pixel(x, y);
            red += qRed(c) == 144 && qGreen(c) == 0 && qBlue(c) == 0;
            blue += qRed(c) == 0 && qGreen(c) == 191 && qBlue(c) == 255;
        }
    }
    EXPECT_GT(red, 300) << "red characters";
    EXPECT_GT(blue, 2000) << "sky-blue behind them";
    if (const char* dir = std::getenv("RENVORA_SCREENSHOT_DIR")) {
        shot.save(QString::fromLocal8Bit(dir) + "/success-dialog.png");
    }
}

TEST_F(SuccessDialog, ClosesWithOkOrEscape) {
    EXPECT_EQ(Run("20280927",
                  [](UpdateSuccessDialog& d) {
                      auto* ok = d.Item<QPushButton>(res::kIdOk);
                      ASSERT_NE(ok, nullptr);
                      EXPECT_EQ(qt::ToGbk(ok->text()), "确定");
                      EXPECT_TRUE(ok->isDefault());
                      ok->click();
                  }),
              res::kIdOk);
    EXPECT_EQ(Run("20280927", [](UpdateSuccessDialog& d) { d.SendCommand(res::kIdCancel); }), res::kIdCancel);
}

// An owner with the main window's menu bar above its client area.
class OwnerWithMenu : public TemplateDialog {
public:
    OwnerWithMenu() : TemplateDialog(res::kMainDialog) {
        auto* bar = new CNewMenu;
        bar->LoadMenu(res::MainMenu());
        SetMenuWidget(bar);
    }
};

TEST_F(SuccessDialog, OpensAtTheTopLeftCornerOfItsOwnersClientAreaBelowTheMenuBar) {
    OwnerWithMenu owner;
    owner.move(120, 90);
    owner.show();
    QPoint at, expected;
    Run(
        "20280927",
        [&](UpdateSuccessDialog& d) {
            at = d.pos();
            expected = owner.ClientArea()->mapToGlobal(QPoint(0, 0));
        },
        &owner);
    EXPECT_EQ(at, expected);
    EXPECT_EQ(at.y(), owner.mapToGlobal(QPoint(0, 0)).y() + CNewMenu().sizeHint().height())
        << "not over the menu bar";
}

} // namespace
} // namespace rv::test
