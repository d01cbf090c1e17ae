// The owner-drawn menu bar of the main window. Qt has no owner-drawn Win32 menu, so the bar is a widget
// that paints its items itself with the same measuring and drawing rules: every item 75 x 25 pixels; a
// selected item filled with RGB(139,137,137) from 20 pixels right of its left edge, an unselected one
// not filled; the caption in RGB(54,54,54), 11 pt "黑体", one line, vertically centred, left-aligned in
// the narrowed rectangle. An item is selected while the mouse button is held on it, as a Windows menu
// bar item is while it is being chosen.
//
// Assistive tools see a menu bar whose children are its items (menu items named by their captions,
// pressed by their action); in menu mode the selected item has the focus and each move is announced.
//
// Keyboard, as a Windows menu bar has it: in menu mode (entered by the owner on F10 or a lone Alt) the
// bar holds the focus and one item is drawn selected, the first on entry; Left and Right move (wrapping),
// Enter or Down chooses the item, Esc leaves; leaving gives the focus back to where it was.
#pragma once

#include "res/resources.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <span>
#include <vector>

class QAction;
class QPainter;

namespace rv {

class CNewMenu : public QWidget {
    Q_OBJECT
public:
    explicit CNewMenu(QWidget* parent = nullptr);

    // Loads a menu bar (menu resource 131) into the object; items are plain until converted.
    void LoadMenu(std::span<const res::MenuItemTemplate> menu);
    // Makes every item owner-drawn, its item data a string object holding its caption.
    void ConvertToOwnerDrawn();

    int GetMenuItemCount() const { return static_cast<int>(items_.size()); }
    int GetMenuItemID(int pos) const;
    QString GetMenuString(int pos) const;
    bool IsOwnerDrawn(int pos) const;
    QRect ItemRect(int pos) const;
    int SelectedItem() const { return selected_; }
    // The object that stands for item `pos` to assistive tools (nullptr out of range).
    QAction* ItemObject(int pos) const;
    int ItemOf(const QObject* object) const;
    // Chooses item `pos` as a click would: its command.
    void Choose(int pos);

    // Menu mode: the bar takes the focus with the first item selected; leaving restores the focus.
    void EnterMenuMode();
    void LeaveMenuMode();
    bool InMenuMode() const { return menuMode_; }

    // MeasureItem: the size of any item, whatever its text.
    static QSize MeasureItem(const QString& caption);
    // DrawItem into `painter` for an item occupying `itemRect`.
    static void DrawItem(QPainter& painter, const QRect& itemRect, const QString& caption, bool selected);

    QSize sizeHint() const override;

signals:
    // The command of a chosen item.
    void command(int id);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    struct Item {
        int id;
        QString caption;
        // Owner-drawn item data: the caption string made when the menu is converted.
        std::unique_ptr<QString> data;
        QAction* object; // owned by the menu
    };
    int ItemAt(const QPoint& pos) const;
    // Tells assistive tools that the selected item has the focus (menu mode).
    void AnnounceSelected();

    std::vector<Item> items_;
    int selected_ = -1;
    bool menuMode_ = false;
    QPointer<QWidget> focusBefore_;
};

} // namespace rv
