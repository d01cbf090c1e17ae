#include "platform/qt/message_box_qt.h"

#include "platform/qt/display.h"
#include "platform/qt/text.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>

namespace rv::qt {
namespace {

QtMessageBox::Hook& HookSlot() {
    static QtMessageBox::Hook hook;
    return hook;
}

} // namespace

QtMessageBox::Hook QtMessageBox::SetHook(Hook hook) {
    Hook prev = std::move(HookSlot());
    HookSlot() = std::move(hook);
    return prev;
}

int QtMessageBox::Show(const std::string& text, MbKind kind) {
    // Questions have no owner window; notices belong to the window the user works in.
    QWidget* owner = nullptr;
    if (kind == MbKind::Ok) {
        owner = QApplication::activeModalWidget();
        if (!owner) {
            owner = QApplication::activeWindow();
        }
    }
    QMessageBox box(owner);
    box.setWindowTitle(Q(kAppTitle));
    box.setText(Q(text));
    box.setTextFormat(Qt::PlainText);
    QPushButton* ok = nullptr;
    QPushButton* yes = nullptr;
    if (kind == MbKind::Ok) {
        box.setIcon(QMessageBox::Warning);
        ok = box.addButton(Q("确定"), QMessageBox::AcceptRole);
        box.setDefaultButton(ok);
        box.setEscapeButton(ok);
    } else {
        yes = box.addButton(Q("是(&Y)"), QMessageBox::YesRole);
        box.addButton(Q("否(&N)"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
    }
    box.setModal(true);
    // Wide enough for its caption, as a Windows message box is: a short text ("延期成功！") made a box
    // whose title the window manager cut to "提…". The frame's icon and three buttons take about 96 px.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        QFont titleFont = box.font();
        titleFont.setBold(true);
        const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + 96;
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Minimum), grid->rowCount(),
                      0, 1, grid->columnCount());
    }
    // Assistive tools read the box as its caption and its text.
    box.setAccessibleName(box.windowTitle());
    box.setAccessibleDescription(box.text());
    // On the screen before the person is waited for (see ShowOrExit for a box that does not appear).
    ShowOrExit(box);
    if (HookSlot()) {
        Hook hook = HookSlot();
        hook(box);
    }
    if (!box.clickedButton()) {
        box.exec();
    }
    box.hide();
    QAbstractButton* clicked = box.clickedButton();
    if (kind == MbKind::Ok) {
        return IDOK;
    }
    return clicked == yes ? IDYES : IDNO;
}

} // namespace rv::qt
