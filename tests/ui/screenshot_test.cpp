// Pictures of the main window and the About box as the offscreen tests see them. With
// RENVORA_SCREENSHOT_DIR set (scripts/screenshots) they are saved there as PNG files; with
// RENVORA_SCREENSHOT_FRAME set too (scripts/screenshots --xvfb, on an X server with a window manager)
// the main window with the card's data is also taken from the screen, frame and all, as a person sees it.
#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/CNewMenu.h"
#include "ui/CRenvoraDlg.h"

#include <QElapsedTimer>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QThread>

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

// The window as the X server shows it, the window manager's frame included, once the manager has framed
// it (a picture for people, not a check: the wait is bounded and only the screenshot script asks).
QImage FromTheScreen(QWidget& w) {
    w.raise();
    w.activateWindow();
    QElapsedTimer waited;
    waited.start();
    while (w.frameGeometry() == w.geometry() && waited.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(20);
    }
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
        QThread::msleep(30);
    }
    const QRect f = w.frameGeometry();
    return w.screen()->grabWindow(0, f.x(), f.y(), f.width(), f.height()).toImage();
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
    QImage empty, filled, about, onScreen;
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
        // The demo card of scripts/run, as the login shows it.
        data.applicantName = Gbk(u8"张建国");
        data.certSeqNo = "5101202400001234";
        data.idNumber = "110101198001010017";
        data.cardNumber = "8800012345";
        data.unitName = Gbk(u8"北京云杉科技有限公司");
        data.cardType = Gbk(u8"法人IC卡");
        data.validFrom = "20250106";
        data.validTo = "20270106";
        w.ShowCardData();
        w.ApplyDateFont();
        w.EnableRenewalButton(true);
        if (std::getenv("RENVORA_SCREENSHOT_FRAME")) {
            onScreen = FromTheScreen(w);
        }
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
    if (!onScreen.isNull()) {
        Save(onScreen, "main_window_on_screen.png");
    }
}

} // namespace
} // namespace rv::test
