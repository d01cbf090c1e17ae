// The notice window on real Qt widgets (offscreen): its pictures drawn from the table, its size, and
// above all that it is on screen while a blocking call runs, with no event loop turning meanwhile.
// With $RENVORA_SCREENSHOT_DIR set, the window of every picture is saved there as a PNG.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "platform/qt/colours.h"
#include "platform/qt/template_dialog.h"
#include "renewal/main_window_model.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/WritCarDialog.h"
#include "ui/notice_pictures.h"

#include <QScreen>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

namespace rv::test {
namespace {

// What the window system holds for a window: the flushed backing store, not a fresh rendering.
QImage OnScreen(QWidget* w) {
    return w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB888);
}

bool IsRed(QRgb c) {
    return (c & 0xFFFFFF) == (NoticeRed().rgb() & 0xFFFFFF);
}
bool IsWhite(QRgb c) {
    return qRed(c) == 255 && qGreen(c) == 255 && qBlue(c) == 255;
}

struct Ink {
    int redPixels = 0;
    int darkPixels = 0; // near black: the phrase
    QRect red, any;     // bounding boxes
};

Ink Measure(const QImage& img) {
    Ink ink;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            QRgb c = img.pixel(x, y);
            if (IsWhite(c)) {
                continue;
            }
            ink.any |= QRect(x, y, 1, 1);
            if (IsRed(c)) {
                ++ink.redPixels;
                ink.red |= QRect(x, y, 1, 1);
            } else if (qRed(c) < 40 && qGreen(c) < 40 && qBlue(c) < 40) {
                ++ink.darkPixels;
            }
        }
    }
    return ink;
}

void SaveIfAsked(const QImage& img, const QString& name) {
    if (const char* dir = std::getenv("RENVORA_SCREENSHOT_DIR")) {
        img.save(QString::fromLocal8Bit(dir) + "/" + name + ".png");
    }
}

class NoticeWindow : public ::testing::Test {
protected:
    void SetUp() override { QtApp(); }
};

TEST_F(NoticeWindow, PicturesFollowTheirTable) {
    struct Row {
        int id, width, height;
    } rows[] = {{156, 676, 158}, {159, 654, 171}, {160, 707, 198}, {162, 763, 202}};
    int lastRedStart = 0;
    // In order of the length of their black phrase, so the red warning starts further right each time.
    for (int id : {156, 159, 162, 160}) {
        const Row& row =
            *std::find_if(std::begin(rows), std::end(rows), [id](const Row& r) { return r.id == id; });
        QImage img = DrawNoticePicture(id);
        SCOPED_TRACE(id);
        EXPECT_EQ(img.size(), QSize(row.width, row.height));
        EXPECT_EQ(img.depth(), 24);
        Ink ink = Measure(img);
        // One line in the band y 22..45, from the busy symbol at x = 29 to before x = 560.
        EXPECT_EQ(ink.any.left(), 29);
        EXPECT_LT(ink.any.right(), 560);
        EXPECT_GE(ink.any.top(), 22);
        EXPECT_LE(ink.any.bottom(), 45);
        // A bold red warning about 18 pixels high, after the black phrase.
        EXPECT_GT(ink.redPixels, 150);
        EXPECT_GE(ink.red.height(), 16);
        EXPECT_LE(ink.red.height(), 21);
        EXPECT_GT(ink.darkPixels, 150);
        EXPECT_GT(ink.red.left(), lastRedStart);
        lastRedStart = ink.red.left();
        // The busy symbol is grey, neither black nor red.
        QRgb symbol = img.pixel(31, 33);
        EXPECT_EQ(qRed(symbol), qGreen(symbol));
        EXPECT_GT(qRed(symbol), 60);
        EXPECT_LT(qRed(symbol), 240);
    }
}

// The original's red is 4.4:1 on the white; the pictures use the nearest red that reads at 4.5:1.
TEST_F(NoticeWindow, TheWarningsRedIsTheOriginalsDarkenedToReadOnWhite) {
    EXPECT_EQ(NoticeRed(), QColor(233, 28, 35));
    EXPECT_GE(qt::ContrastRatio(NoticeRed(), Qt::white), 4.5);
    EXPECT_LT(qt::ContrastRatio(QColor(237, 28, 36), Qt::white), 4.5);
}

TEST_F(NoticeWindow, AnyOtherNumberShowsTheWritingPicture) {
    QImage writing = DrawNoticePicture(156);
    for (int id : {0, -1, 157, 161, 1000}) {
        EXPECT_EQ(DrawNoticePicture(id), writing) << id;
        EXPECT_EQ(NoticePictureFor(id).id, 156);
    }
    EXPECT_NE(DrawNoticePicture(159), writing);
}

TEST_F(NoticeWindow, PreparedPicturesAreTheDrawnOnesWhateverTheOrderOfAsking) {
    // Asked first for an unknown number: the cache must still file it under the writing picture only.
    EXPECT_EQ(CachedNoticePicture(7), DrawNoticePicture(156));
    PrepareNoticePictures();
    for (int id : {162, 160, 159, 156, 0}) {
        EXPECT_EQ(CachedNoticePicture(id), DrawNoticePicture(id)) << id;
    }
    EXPECT_NE(CachedNoticePicture(159), CachedNoticePicture(160));
}

TEST_F(NoticeWindow, IsPaintedWhenCreateReturnsAndShowsTheTopLeftOfItsPicture) {
    for (int id : {156, 159, 160, 162, 7}) {
        SCOPED_TRACE(id);
        WritCarDialog notice(id);
        ASSERT_TRUE(notice.Create(nullptr));
        QWidget* w = notice.Window();
        ASSERT_NE(w, nullptr);
        EXPECT_TRUE(w->isVisible());
        EXPECT_EQ(w->size(), QSize(kNoticeWidth, kNoticeHeight));
        EXPECT_TRUE(w->windowFlags() & Qt::FramelessWindowHint);
        // Centred at its template size, then cut to 571 x 61 keeping its top-left corner.
        auto* d = qobject_cast<qt::TemplateDialog*>(w);
        ASSERT_NE(d, nullptr);
        const QSize templ = d->MapDialogRect(0, 0, d->Template().cx, d->Template().cy).size();
        ASSERT_NE(templ, w->size());
        const QRect area = w->screen()->availableGeometry();
        EXPECT_EQ(w->pos(), area.center() - QPoint(templ.width() / 2, templ.height() / 2));
        // No event loop has run since Create: what is on screen must be the picture already.
        QImage shown = OnScreen(w);
        ASSERT_EQ(shown.size(), QSize(kNoticeWidth, kNoticeHeight));
        EXPECT_EQ(shown, DrawNoticePicture(id).copy(0, 0, kNoticeWidth, kNoticeHeight));
        SaveIfAsked(shown, QString("notice-%1").arg(id));
        notice.DestroyWindow();
        EXPECT_EQ(notice.Window(), nullptr);
    }
}

// A main-window view that shows the real notice window, as the client's window does.
class NoticeView : public FakeView {
public:
    void ShowNotice(int picture) override {
        FakeView::ShowNotice(picture);
        notice_.emplace(picture);
        notice_->Create(nullptr);
    }
    void CloseNotice() override {
        FakeView::CloseNotice();
        notice_.reset();
    }
    QWidget* Window() const { return notice_ ? notice_->Window() : nullptr; }

private:
    std::optional<WritCarDialog> notice_;
};

TEST_F(NoticeWindow, IsOnScreenWhileASlowCardWriteBlocks) {
    TempWorkDir dir;
    CoreFixture core;
    FakeCard fake;
    CDCertUpdate card;
    card.Attach(fake.Dispatch());
    NoticeView view;
    MainWindowModel model(card, view);

    QImage during;
    fake.QueueResult(dispid::WriteCard, 1, Gbk(u8"卡不匹配"));
    fake.OnMethod(dispid::WriteCard, [&] {
        // The card takes its time; the user interface thread is inside this call.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (QWidget* w = view.Window()) {
            during = OnScreen(w);
        }
    });
    model.WriteBack("x", "", "", "", "", "");

    ASSERT_FALSE(during.isNull()) << "no notice window during the write";
    Ink ink = Measure(during);
    EXPECT_GT(ink.redPixels, 150);
    EXPECT_GE(ink.red.top(), 22);
    EXPECT_LE(ink.red.bottom(), 45);
    EXPECT_EQ(view.notices, std::vector<int>{156});
    EXPECT_EQ(view.Window(), nullptr) << "closed after the call";
}

} // namespace
} // namespace rv::test
