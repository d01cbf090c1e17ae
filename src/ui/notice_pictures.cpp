#include "ui/notice_pictures.h"

#include "platform/qt/fonts.h"
#include "platform/qt/text.h"
#include "res/resource_ids.h"

#include <QFontMetrics>
#include <QPainter>
#include <QtMath>

#include <map>

namespace rv {

namespace {

const NoticePicture kPictures[] = {
    {res::kPictureWriteCard, 676, 158, "正在写卡，"},
    {res::kPictureSign, 654, 171, "正在做签名，"},
    {res::kPictureSendData, 707, 198, "正在向服务器发送数据，"},
    {res::kPictureKeyPair, 763, 202, "正在生成公私钥对，"},
};

// The face the pictures were drawn with: a bold Chinese serif ("华文中宋"), characters about 18 pixels
// high. Pixel size 20 gives CJK glyphs of 18 to 19 pixels in AR PL UMing.
QFont PictureFont() {
    QFont f = qt::PointFont(150, "华文中宋");
    f.setPixelSize(20);
    f.setBold(true);
    return f;
}

// A spinner of eight grey dots, about 18 pixels across, as the "busy" mark.
void DrawBusySymbol(QPainter& p, int x, int centreY) {
    const double r = 7.0;
    const double dot = 2.2;
    // The leftmost dot touches x exactly.
    const QPointF centre(x + r + dot, centreY);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        double a = i * M_PI / 4.0;
        int grey = 72 + i * 16; // darkest dot leads
        p.setBrush(QColor(grey, grey, grey));
        p.drawEllipse(QPointF(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a)), dot, dot);
    }
    p.restore();
}

} // namespace

const NoticePicture& NoticePictureFor(int picture) {
    for (const auto& p : kPictures) {
        if (p.id == picture) {
            return p;
        }
    }
    return kPictures[0];
}

const char* NoticeWarning() {
    return "请勿进行其他操作.....";
}

QImage DrawNoticePicture(int picture) {
    const NoticePicture& info = NoticePictureFor(picture);
    QImage image(info.width, info.height, QImage::Format_RGB888);
    image.fill(Qt::white);

    QPainter p(&image);
    const int bandHeight = kNoticeBandBottom - kNoticeBandTop + 1;
    DrawBusySymbol(p, kNoticeSymbolX, kNoticeBandTop + bandHeight / 2);

    QFont font = PictureFont();
    p.setFont(font);
    p.setRenderHint(QPainter::TextAntialiasing);
    QFontMetrics fm(font);
    // Baseline so that the glyphs' ink sits in the middle of the band.
    const int baseline = kNoticeBandTop + (bandHeight + fm.ascent() - fm.descent()) / 2;
    int x = kNoticeSymbolX + 18 + 6;

    const QString phrase = qt::Q(info.phrase);
    p.setPen(Qt::black);
    p.drawText(QPoint(x, baseline), phrase);
    x += fm.horizontalAdvance(phrase);

    p.setPen(kNoticeRed);
    p.drawText(QPoint(x, baseline), qt::Q(NoticeWarning()));
    p.end();
    return image;
}

const QImage& CachedNoticePicture(int picture) {
    static std::map<int, QImage> drawn; // at most one per picture, unknown numbers share 156's
    const int id = NoticePictureFor(picture).id;
    auto it = drawn.find(id);
    if (it == drawn.end()) {
        it = drawn.emplace(id, DrawNoticePicture(id)).first;
    }
    return it->second;
}

void PrepareNoticePictures() {
    for (const auto& p : kPictures) {
        CachedNoticePicture(p.id);
    }
}

} // namespace rv
