#include "ui/CNewMenu.h"

#include "platform/qt/call_thread.h"
#include "platform/qt/colours.h"
#include "platform/qt/fonts.h"
#include "platform/qt/text.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
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
// The bar's own face: its captions' colour is fixed, so their background is too.
const QColor kBarFace = qt::kClassicFace;

// One item of the menu bar for assistive tools: a menu item named by its caption, focused while it is
// selected in menu mode, pressed by its action.
class MenuItemAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    explicit MenuItemAccessible(QAction* object) : object_(object) {}

    bool isValid() const override { return object_ && Menu() && Index() >= 0; }
    QObject* object() const override { return object_; }
    QWindow* window() const override { return Menu() ? Menu()->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override { return QAccessible::queryAccessibleInterface(Menu()); }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        return t == QAccessible::Name && isValid() ? Menu()->GetMenuString(Index()) : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override {
        if (!isValid()) {
            return {};
        }
        const QRect r = Menu()->ItemRect(Index());
        return QRect(Menu()->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::MenuItem; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.focusable = true;
        s.selectable = true;
        if (isValid() && Menu()->InMenuMode() && Menu()->SelectedItem() == Index()) {
            s.focused = true;
            s.selected = true;
        }
        if (isValid() && !Menu()->isVisible()) {
            s.invisible = true;
        }
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType t) override {
        return t == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        if (name == pressAction() && isValid()) {
            Menu()->Choose(Index());
        }
    }
    QStringList keyBindingsForAction(const QString&) const override { return {}; }

private:
    CNewMenu* Menu() const { return object_ ? qobject_cast<CNewMenu*>(object_->parent()) : nullptr; }
    int Index() const { return Menu() ? Menu()->ItemOf(object_) : -1; }
    QPointer<QAction> object_;
};

// The bar itself: a menu bar whose children are its items.
class MenuBarAccessible : public QAccessibleWidget {
public:
    explicit MenuBarAccessible(CNewMenu* menu) : QAccessibleWidget(menu, QAccessible::MenuBar) {}
    int childCount() const override { return Menu()->GetMenuItemCount(); }
    QAccessibleInterface* child(int index) const override {
        return QAccessible::queryAccessibleInterface(Menu()->ItemObject(index));
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child ? Menu()->ItemOf(child->object()) : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        for (int i = 0; i < childCount(); ++i) {
            QAccessibleInterface* c = child(i);
            if (c && c->rect().contains(x, y)) {
                return c;
            }
        }
        return nullptr;
    }
    QAccessibleInterface* focusChild() const override {
        return Menu()->InMenuMode() ? child(Menu()->SelectedItem()) : nullptr;
    }

private:
    CNewMenu* Menu() const { return static_cast<CNewMenu*>(widget()); }
};

QAccessibleInterface* MenuAccessible(const QString&, QObject* object) {
    if (auto* menu = qobject_cast<CNewMenu*>(object)) {
        return new MenuBarAccessible(menu);
    }
    if (auto* action = qobject_cast<QAction*>(object); action && qobject_cast<CNewMenu*>(action->parent())) {
        return new MenuItemAccessible(action);
    }
    return nullptr;
}

} // namespace

CNewMenu::CNewMenu(QWidget* parent) : QWidget(parent) {
    static const bool installed = [] {
        QAccessible::installFactory(&MenuAccessible);
        return true;
    }();
    (void)installed;
    setAutoFillBackground(true);
    QPalette pal = palette();
    for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Window, kBarFace);
        pal.setColor(group, QPalette::Mid, QColor(160, 160, 160));
    }
    setPalette(pal);
    setMouseTracking(false);
    setObjectName(QStringLiteral("menuBar"));
}

void CNewMenu::LoadMenu(std::span<const res::MenuItemTemplate> menu) {
    for (auto& item : items_) {
        delete item.object;
    }
    items_.clear();
    for (const auto& m : menu) {
        auto* object = new QAction(qt::Q(m.text), this);
        items_.push_back({m.id, qt::Q(m.text), nullptr, object});
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

QAction* CNewMenu::ItemObject(int pos) const {
    return pos >= 0 && pos < GetMenuItemCount() ? items_[static_cast<std::size_t>(pos)].object : nullptr;
}

int CNewMenu::ItemOf(const QObject* object) const {
    for (int i = 0; i < GetMenuItemCount(); ++i) {
        if (object != nullptr && items_[static_cast<std::size_t>(i)].object == object) {
            return i;
        }
    }
    return -1;
}

void CNewMenu::Choose(int pos) {
    // An assistive tool's press action is no input the call gate sees: during a call it starts nothing.
    if (pos >= 0 && pos < GetMenuItemCount() && !qt::CallThread::CallInFlight()) {
        const int id = items_[static_cast<std::size_t>(pos)].id;
        LeaveMenuMode();
        emit command(id);
    }
}

void CNewMenu::AnnounceSelected() {
    if (menuMode_ && QAccessible::isActive()) {
        if (QAction* object = ItemObject(selected_)) {
            QAccessibleEvent focus(object, QAccessible::Focus);
            QAccessible::updateAccessibility(&focus);
        }
    }
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
    // Dark grey on the bar; on the selected item's grey that is not enough to be read (3.5:1), so
    // there it is darkened to reach 4.5:1.
    painter.setPen(qt::ReadableOn(kTextColour, selected ? kSelectedFill : kBarFace));
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
    AnnounceSelected();
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
        AnnounceSelected();
        return;
    case Qt::Key_Right:
        selected_ = (selected_ + 1) % n;
        update();
        AnnounceSelected();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Down:
        Choose(selected_);
        return;
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
        Choose(chosen);
    }
}

} // namespace rv
