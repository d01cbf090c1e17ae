#include "ui/WritCarDialog.h"

#include "platform/qt/display.h"
#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "ui/notice_pictures.h"

#include <QPixmap>

#include <cstdio>

namespace rv {

// The window itself: the template dialog whose background brush is the picture.
class NoticeWindow : public qt::TemplateDialog {
public:
    NoticeWindow(int picture, QWidget* parent)
        : qt::TemplateDialog(res::kNoticeDialog, parent), picture_(picture) {
        // It takes no input: showing it must not take the focus from the main window.
        setAttribute(Qt::WA_ShowWithoutActivating);
        setWindowFlag(Qt::WindowDoesNotAcceptFocus);
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
        // The picture as the background brush, anchored at the window's top-left corner; the
        // right and lower parts fall outside the window.
        QPalette pal = palette();
        pal.setBrush(QPalette::Window, QBrush(QPixmap::fromImage(CachedNoticePicture(picture_))));
        setPalette(pal);
        setAutoFillBackground(true);
        return true;
    }

private:
    int picture_;
};

WritCarDialog::WritCarDialog(int picture) : picture_(picture) {}

WritCarDialog::~WritCarDialog() {
    DestroyWindow();
}

bool WritCarDialog::Create(QWidget* parent) {
    // What the user does while the call blocks is dropped, from now until the window is gone.
    gate_ = std::make_unique<qt::InputGate>();
    window_ = std::make_unique<NoticeWindow>(picture_, parent);
    if (!window_->CreateModeless()) {
        window_.reset();
        gate_.reset();
        return false;
    }
    // The blocking call that follows handles no window messages: the window must be on the screen,
    // drawn by the display server, before it starts.
    if (!qt::ShowPainted(*window_)) {
        std::fprintf(stderr,
                     "renvora: the notice window was not shown within %d ms (window manager?); "
                     "going on without it\n",
                     qt::kExposeWaitMs);
    }
    return true;
}

void WritCarDialog::DestroyWindow() {
    if (window_) {
        const quintptr id = window_->internalWinId();
        const quintptr frame = qt::FrameOf(id);
        window_->DestroyWindow();
        // Input given during the call is dropped, and the main window repaints what the notice covered.
        gate_->Drain(id);
        qt::SettleAfterClose(frame);
        window_.reset();
    }
    gate_.reset();
}

QWidget* WritCarDialog::Window() const {
    return window_.get();
}

} // namespace rv
