#include "platform/qt/platform.h"

#include "platform/qt/fonts.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyleFactory>

namespace rv::qt {

void InitPlatform() {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    InstallFontSubstitutions();
    QApplication::setFont(PointFont(90, "MS Shell Dlg"));
    QApplication::setWindowIcon(AppIcon());
}

QPixmap DrawAppIcon(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    qreal s = size / 32.0;
    p.setPen(QPen(QColor(30, 60, 120), 1.5 * s));
    p.setBrush(QColor(60, 110, 190));
    p.drawRoundedRect(QRectF(2 * s, 7 * s, 28 * s, 19 * s), 3 * s, 3 * s);
    p.setPen(QPen(QColor(120, 90, 20), 1 * s));
    p.setBrush(QColor(230, 190, 70));
    p.drawRoundedRect(QRectF(6 * s, 12 * s, 8 * s, 7 * s), 1.5 * s, 1.5 * s);
    p.setPen(QPen(Qt::white, 1.5 * s));
    p.drawLine(QPointF(17 * s, 14 * s), QPointF(27 * s, 14 * s));
    p.drawLine(QPointF(17 * s, 18 * s), QPointF(24 * s, 18 * s));
    p.end();
    return pm;
}

QIcon AppIcon() {
    static const QIcon icon = [] {
        QIcon i;
        // Every size a panel or title bar asks for at 1x, 1.5x and 2x, drawn rather than stretched.
        for (int size : {16, 24, 32, 48, 64, 96}) {
            i.addPixmap(DrawAppIcon(size));
        }
        return i;
    }();
    return icon;
}

} // namespace rv::qt
