#include "ui/WritCarDialog.h"

#include "platform/qt/display.h"
#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "ui/notice_pictures.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QTimer>

namespace rv {
namespace {

// How often the busy symbol turns by one dot.
constexpr int kTurnMs = 125;

// Assistive tools see the notice as an alert that says its text: a screen reader speaks an alert as
// it appears, whatever has the focus.
class NoticeAccessible : public QAccessibleWidget {
public:
    explicit NoticeAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::AlertMessage) {}
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name || t == QAccessible::Description) {
            return widget()->accessibleName();
        }
        return QAccessibleWidget::text(t);
    }
};

} // namespace

// The window itself: the template dialog whose background is the picture.
class NoticeWindow : public qt::TemplateDialog {
public:
    NoticeWindow(int picture, QWidget* parent)
        : qt::TemplateDialog(res::kNoticeDialog, parent), picture_(picture) {
        // It takes no input: showing it must not take the focus from the main window.
        setAttribute(Qt::WA_ShowWithoutActivating);
        setWindowFlag(Qt::WindowDoesNotAcceptFocus);
        setAttribute(Qt::WA_OpaquePaintEvent);
        const QString text = NoticeText(picture);
        setAccessibleName(text);
        setAccessibleDescription(text);
        turn_.setInterval(kTurnMs);
        QObject::connect(&turn_, &QTimer::timeout, this, [this] {
            ++phase_;
            update(QRect(kNoticeSymbolX - 2, kNoticeBandTop - 2, kNoticeSymbolSize + 4,
                         kNoticeBandBottom - kNoticeBandTop + 5));
        });
    }

    static QAccessibleInterface* Accessible(const QString&, QObject* object) {
        auto* notice = dynamic_cast<NoticeWindow*>(object);
        return notice ? new NoticeAccessible(notice) : nullptr;
    }

protected:
    bool OnInitDialog() override {
        // Centred by the system at its template size when it was created, then cut to the top-left
        // 571 x 61 pixels of the picture, keeping its top-left corner where centring put it.
        const QPoint topLeft = pos();
        setFixedSize(kNoticeWidth, kNoticeHeight);
        move(topLeft);
        ClientArea()->resize(kNoticeWidth, kNoticeHeight);
        qt::TemplateDialog::OnInitDialog();
        return true;
    }

    // The picture as the background brush would lay it: anchored at the top-left corner, the right and
    // lower parts outside the window. Drawn at the screen's pixel ratio, the busy symbol at its turn.
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawImage(QPoint(0, 0), CachedNoticePicture(picture_, devicePixelRatioF()));
        if (phase_ % 8 != 0) {
            DrawBusySymbol(p, kNoticeSymbolX, kNoticeBandTop + (kNoticeBandBottom - kNoticeBandTop + 1) / 2,
                           phase_);
        }
    }
    void showEvent(QShowEvent* event) override {
        qt::TemplateDialog::showEvent(event);
        turn_.start();
    }
    void hideEvent(QHideEvent* event) override {
        turn_.stop();
        qt::TemplateDialog::hideEvent(event);
    }

private:
    int picture_;
    int phase_ = 0;
    QTimer turn_;
};

WritCarDialog::WritCarDialog(int picture) : picture_(picture) {
    static const bool installed = [] {
        QAccessible::installFactory(&NoticeWindow::Accessible);
        return true;
    }();
    (void)installed;
}

WritCarDialog::~WritCarDialog() {
    DestroyWindow();
}

bool WritCarDialog::Create(QWidget* parent) {
    window_ = std::make_unique<NoticeWindow>(picture_, parent);
    if (!window_->CreateModeless()) {
        window_.reset();
        return false;
    }
    // The call that follows runs while the event loop turns, which paints the window.
    qt::ShowNow(*window_);
    return true;
}

void WritCarDialog::DestroyWindow() {
    if (window_) {
        window_->DestroyWindow();
        window_.reset();
    }
}

QWidget* WritCarDialog::Window() const {
    return window_.get();
}

} // namespace rv
