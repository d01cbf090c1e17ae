// Pictures of the main window and the About box as the offscreen tests see them. With
// RENVORA_SCREENSHOT_DIR set (scripts/screenshots) they are saved there as PNG files.
#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/CNewMenu.h"
#include "ui/CRenvoraDlg.h"

#include <QImage>
#include <QMouseEvent>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace rv::test {
namespace {

using qt::TemplateDialog;

void Save(const QImage& img, const char* name) {
    const char* dir = std::getenv("RENVORA_SCREENSHOT_DIR");
    if (!dir || !*dir) {
        return;
    }
    std::filesystem::create_directories(dir);
    std::string path = (std::filesystem::path(dir) / name).string();
    EXPECT_TRUE(img.save(QString::fromStdString(path), "PNG")) << path;
}

// Pixels that are neither the window face nor white: something was drawn.
int InkPixels(const QImage& img) {
    const QColor face = img.pixelColor(img.width() - 2, img.height() - 2);
    int n = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            QColor c = img.pixelColor(x, y);
            if (c != face && c != QColor(Qt::white)) {
                ++n;
            }
        }
    }
    return n;
}

TEST(Screenshots, MainWindowEmptyFilledWithMenuSelectedAndAboutBox) {
    QtApp();
    TempWorkDir dir;
    CoreFixture core;
    FakeCard card;
    QImage empty, filled, about;
    auto prev = TemplateDialog::SetModalHook([&](TemplateDialog& d) {
        if (d.TemplateId() == res::kAboutDialog) {
            about = d.grab().toImage();
            d.EndDialog(1);
            return;
        }
        if (d.TemplateId() != res::kMainDialog) {
            d.EndDialog(d.TemplateId() == res::kLoginDialog ? 130 : 1);
            return;
        }
        auto& w = static_cast<CRenvoraDlg&>(d);
        empty = w.grab().toImage();
        CardData& data = w.Model().data;
        data.applicantName = Gbk(u8"北京示例科技有限公司");
        data.certSeqNo = "5A3F0019C2";
        data.idNumber = "91110108MA01XXXX3K";
        data.cardNumber = "1100000012345678";
        data.unitName = Gbk(u8"北京示例科技有限公司");
        data.cardType = Gbk(u8"法人卡");
        data.validFrom = "20230615";
        data.validTo = "20250614";
        w.ShowCardData();
        w.ApplyDateFont();
        w.EnableRenewalButton(true);
        // The first menu item held down.
        QPointF at(w.Menu().ItemRect(0).center());
        QMouseEvent press(QEvent::MouseButtonPress, at, w.Menu().mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w.Menu(), &press);
        filled = w.grab().toImage();
        QMouseEvent away(QEvent::MouseMove, QPointF(-50, -50), w.Menu().mapToGlobal(QPointF(-50, -50)),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&w.Menu(), &away);
        w.OnSysCommand(res::kSysCommandAbout);
        w.EndDialog(1);
    });
    {
        CRenvoraDlg dlg(nullptr, [&](CDCertUpdate& c) {
            c.Attach(card.Dispatch());
            return true;
        });
        dlg.DoModal();
        EXPECT_EQ(filled.size(), dlg.size());
    }
    TemplateDialog::SetModalHook(std::move(prev));
    ASSERT_FALSE(empty.isNull());
    ASSERT_FALSE(filled.isNull());
    ASSERT_FALSE(about.isNull());
    EXPECT_GT(InkPixels(filled), InkPixels(empty)) << "the card data was drawn";
    EXPECT_GT(InkPixels(about), 200);
    Save(empty, "main_window_empty.png");
    Save(filled, "main_window.png");
    Save(about, "about.png");
}

} // namespace
} // namespace rv::test
