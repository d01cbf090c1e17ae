#include "ui/notice_pictures.h"

#include "platform/qt/colours.h"
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

} // namespace

QColor NoticeRed() {
    static const QColor red = qt::ReadableOn(QColor(237, 28, 36), Qt::white);
    return red;
}

// A spinner of eight grey dots, about 18 pixels across, as the "busy" mark.
void DrawBusySymbol(QPainter& p, int x, int centreY, int phase) {
    const double r = 7.0;
    const double dot = 2.2;
    // The leftmost dot touches x exactly.
    const QPointF centre(x + r + dot, centreY);
    p.save();
    // White under it, a pixel beyond its antialiased edge, so that each turn replaces the last.
    p.fillRect(
        QRect(x - 1, centreY - kNoticeSymbolSize / 2 - 2, kNoticeSymbolSize + 2, kNoticeSymbolSize + 4),
        Qt::white);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        double a = i * M_PI / 4.0;
        int grey = 72 + ((i - phase) % 8 + 8) % 8 * 16; // darkest dot leads
        p.setBrush(QColor(grey, grey, grey));
        p.drawEllipse(QPointF(centre.x() + r * std::cos(a), centre.y() + r * std::sin(a)), dot, dot);
    }
    p.restore();
}

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

QString NoticeText(int picture) {
    return qt::Q(NoticePictureFor(picture).phrase) + qt::Q(NoticeWarning());
}

QImage DrawNoticePicture(int picture, qreal devicePixelRatio) {
    const NoticePicture& info = NoticePictureFor(picture);
    QImage image(qCeil(info.width * devicePixelRatio), qCeil(info.height * devicePixelRatio),
                 QImage::Format_RGB888);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::white);

    // Drawn in logical pixels; the painter renders them at the image's ratio.
    QPainter p(&image);
    const int bandHeight = kNoticeBandBottom - kNoticeBandTop + 1;
    DrawBusySymbol(p, kNoticeSymbolX, kNoticeBandTop + bandHeight / 2, 0);

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

    p.setPen(NoticeRed());
    p.drawText(QPoint(x, baseline), qt::Q(NoticeWarning()));
    p.end();
    return image;
}

const QImage& CachedNoticePicture(int picture, qreal devicePixelRatio) {
    // At most one per picture and ratio; unknown numbers share 156's.
    static std::map<std::pair<int, qreal>, QImage> drawn;
    const std::pair key(NoticePictureFor(picture).id, devicePixelRatio);
    auto it = drawn.find(key);
    if (it == drawn.end()) {
        it = drawn.emplace(key, DrawNoticePicture(key.first, devicePixelRatio)).first;
    }
    return it->second;
}

void PrepareNoticePictures(qreal devicePixelRatio) {
    for (const auto& p : kPictures) {
        CachedNoticePicture(p.id, devicePixelRatio);
    }
}

} // namespace rv
