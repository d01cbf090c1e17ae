// The notice window (template 157): a borderless strip with a picture saying what the client is busy
// with, shown modeless around one blocking call. The call runs on the call thread while the event loop
// turns (platform/qt/call_thread.h): the window is painted, its busy symbol turns, and assistive tools
// are told what it says (an alert named by its text).
#pragma once

#include <memory>

class QWidget;

namespace rv {

class NoticeWindow;

class WritCarDialog {
public:
    // Records the picture number (159, 160, 162, or anything else for 156).
    explicit WritCarDialog(int picture);
    ~WritCarDialog();
    WritCarDialog(const WritCarDialog&) = delete;
    WritCarDialog& operator=(const WritCarDialog&) = delete;

    // Creates the window from template 157 with `parent` as owner and shows it (offscreen: painted).
    bool Create(QWidget* parent);
    void DestroyWindow();

    int Picture() const { return picture_; }
    // The window while it exists (tests and screenshots), else nullptr.
    QWidget* Window() const;

private:
    int picture_;
    std::unique_ptr<NoticeWindow> window_;
};

} // namespace rv
