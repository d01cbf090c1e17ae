#include "ui/WritCarDialog.h"

#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "ui/notice_pictures.h"

#include <QCoreApplication>
#include <QPixmap>

namespace rv {

// The window itself: the template dialog whose background brush is the picture.
class NoticeWindow : public qt::TemplateDialog {
public:
    NoticeWindow(int picture, QWidget* parent)
        : qt::TemplateDialog(res::kNoticeDialog, parent), picture_(picture) {}

protected:
    bool OnInitDialog() override {
        // Only the top-left 571 x 61 pixels of a picture are meant to be seen, whatever the template's
        // size in dialog units comes to with the installed font.
        setFixedSize(kNoticeWidth, kNoticeHeight);
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
    window_ = std::make_unique<NoticeWindow>(picture_, parent);
    if (!window_->CreateModeless()) {
        window_.reset();
        return false;
    }
    // The blocking call that follows handles no window messages: paint now, let the window system
    // map and expose the window (user input stays queued), and paint what the expose asked for.
    window_->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    window_->repaint();
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
