#include "ui/CNewMenu.h"

#include "platform/qt/fonts.h"
#include "platform/qt/text.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace rv {
namespace {

constexpr int kItemWidth = 75;
constexpr int kItemHeight = 25;
constexpr int kTextIndent = 20;
const QColor kSelectedFill(139, 137, 137);
const QColor kTextColour(54, 54, 54);

} // namespace

CNewMenu::CNewMenu(QWidget* parent) : QWidget(parent) {
    setAutoFillBackground(true);
    setMouseTracking(false);
    setObjectName(QStringLiteral("menuBar"));
}

void CNewMenu::LoadMenu(std::span<const res::MenuItemTemplate> menu) {
    items_.clear();
    for (const auto& m : menu) {
        items_.push_back({m.id, qt::Q(m.text), nullptr});
    }
    selected_ = -1;
    updateGeometry();
    update();
}

void CNewMenu::ConvertToOwnerDrawn() {
    // The menu bar has no pop-ups, so there is nothing to convert recursively.
    for (auto& item : items_) {
        item.data = std::make_unique<QString>(item.caption);
    }
    update();
}

int CNewMenu::GetMenuItemID(int pos) const {
    return pos >= 0 && pos < GetMenuItemCount() ? items_[static_cast<std::size_t>(pos)].id : -1;
}

QString CNewMenu::GetMenuString(int pos) const {
    return pos >= 0 && pos < GetMenuItemCount() ? items_[static_cast<std::size_t>(pos)].caption : QString();
}

bool CNewMenu::IsOwnerDrawn(int pos) const {
    return pos >= 0 && pos < GetMenuItemCount() && items_[static_cast<std::size_t>(pos)].data != nullptr;
}

QSize CNewMenu::MeasureItem(const QString&) {
    return {kItemWidth, kItemHeight};
}

void CNewMenu::DrawItem(QPainter& painter, const QRect& itemRect, const QString& caption, bool selected) {
    painter.save();
    QRect r = itemRect;
    painter.setFont(qt::PointFont(110, "黑体"));
    r.setLeft(r.left() + kTextIndent);
    if (selected) {
        painter.fillRect(r, kSelectedFill);
    }
    painter.setPen(kTextColour);
    // "网络测试" at 11 pt is wider than the 55 pixels its cell leaves after the indent: the caption may run
    // past its cell rather than lose its last character (the cells, and where a click lands, stay).
    painter.drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine | Qt::TextDontClip, caption);
    painter.restore();
}

QRect CNewMenu::ItemRect(int pos) const {
    int x = 0;
    for (int i = 0; i < pos && i < GetMenuItemCount(); ++i) {
        x += MeasureItem(items_[static_cast<std::size_t>(i)].caption).width();
    }
    QSize s = pos >= 0 && pos < GetMenuItemCount()
                  ? MeasureItem(items_[static_cast<std::size_t>(pos)].caption)
                  : QSize();
    return QRect(QPoint(x, 0), s);
}

QSize CNewMenu::sizeHint() const {
    return {ItemRect(GetMenuItemCount() - 1).right() + 1, kItemHeight + 1};
}

int CNewMenu::ItemAt(const QPoint& pos) const {
    for (int i = 0; i < GetMenuItemCount(); ++i) {
        if (ItemRect(i).contains(pos)) {
            return i;
        }
    }
    return -1;
}

void CNewMenu::paintEvent(QPaintEvent*) {
    QPainter p(this);
    // A thin line under the bar separates it from the client area, as the Windows menu bar does.
    p.setPen(palette().color(QPalette::Mid));
    p.drawLine(0, height() - 1, width(), height() - 1);
    for (int i = 0; i < GetMenuItemCount(); ++i) {
        const Item& item = items_[static_cast<std::size_t>(i)];
        if (item.data) {
            DrawItem(p, ItemRect(i), *item.data, i == selected_);
        } else {
            p.setPen(palette().color(QPalette::WindowText));
            p.drawText(ItemRect(i), Qt::AlignCenter | Qt::TextSingleLine, item.caption);
        }
    }
}

void CNewMenu::EnterMenuMode() {
    if (menuMode_ || GetMenuItemCount() == 0) {
        return;
    }
    focusBefore_ = QApplication::focusWidget();
    menuMode_ = true;
    selected_ = 0;
    setFocus(Qt::ShortcutFocusReason);
    update();
}

void CNewMenu::LeaveMenuMode() {
    if (!menuMode_) {
        return;
    }
    menuMode_ = false;
    selected_ = -1;
    update();
    if (focusBefore_ && focusBefore_ != this && focusBefore_->isEnabled()) {
        focusBefore_->setFocus(Qt::ShortcutFocusReason);
    } else if (hasFocus()) {
        clearFocus();
    }
    focusBefore_ = nullptr;
}

void CNewMenu::keyPressEvent(QKeyEvent* event) {
    if (!menuMode_) {
        QWidget::keyPressEvent(event);
        return;
    }
    event->accept();
    const int n = GetMenuItemCount();
    switch (event->key()) {
    case Qt::Key_Left:
        selected_ = (selected_ + n - 1) % n;
        update();
        return;
    case Qt::Key_Right:
        selected_ = (selected_ + 1) % n;
        update();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Down: {
        const int id = items_[static_cast<std::size_t>(selected_)].id;
        LeaveMenuMode();
        emit command(id);
        return;
    }
    case Qt::Key_Escape:
        LeaveMenuMode();
        return;
    default:
        return; // other keys do nothing while the menu is active
    }
}

void CNewMenu::focusOutEvent(QFocusEvent* event) {
    // A click elsewhere, or another window coming up, ends menu mode; the focus stays where it went.
    if (menuMode_) {
        menuMode_ = false;
        selected_ = -1;
        focusBefore_ = nullptr;
        update();
    }
    QWidget::focusOutEvent(event);
}

void CNewMenu::mousePressEvent(QMouseEvent* event) {
    LeaveMenuMode();
    if (event->button() == Qt::LeftButton) {
        selected_ = ItemAt(event->position().toPoint());
        update();
    }
}

void CNewMenu::mouseMoveEvent(QMouseEvent* event) {
    if (selected_ >= 0 || (event->buttons() & Qt::LeftButton)) {
        int at = ItemAt(event->position().toPoint());
        if (at != selected_) {
            selected_ = at;
            update();
        }
    }
}

void CNewMenu::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    int at = ItemAt(event->position().toPoint());
    int chosen = at == selected_ ? at : -1;
    selected_ = -1;
    update();
    if (chosen >= 0) {
        emit command(items_[static_cast<std::size_t>(chosen)].id);
    }
}

} // namespace rv
