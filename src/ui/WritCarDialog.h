// The notice window (template 157): a borderless strip with a picture saying what the client is busy
// with, shown modeless around one blocking call. The call blocks the event loop, so Create returns only
// once the window is on the screen, drawn (with a bounded wait). While it exists, input the user gives
// is dropped: nothing clicked or typed during the call takes effect when it returns.
#pragma once

#include <memory>

class QWidget;

namespace rv {
namespace qt {
class InputGate;
}

class NoticeWindow;

class WritCarDialog {
public:
    // Records the picture number (159, 160, 162, or anything else for 156).
    explicit WritCarDialog(int picture);
    ~WritCarDialog();
    WritCarDialog(const WritCarDialog&) = delete;
    WritCarDialog& operator=(const WritCarDialog&) = delete;

    // Creates the window from template 157 with `parent` as owner, shows it and paints it.
    bool Create(QWidget* parent);
    void DestroyWindow();

    int Picture() const { return picture_; }
    // The window while it exists (tests and screenshots), else nullptr.
    QWidget* Window() const;

private:
    int picture_;
    std::unique_ptr<qt::InputGate> gate_;
    std::unique_ptr<NoticeWindow> window_;
};

} // namespace rv
