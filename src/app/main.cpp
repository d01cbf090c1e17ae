// Entry point: a display is needed; then the application object's InitInstance runs the client.
#include "app/CRenvoraApp.h"
#include "platform/message_box.h"
#include "platform/qt/message_box_qt.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

namespace {

bool HaveDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            return true;
        }
    }
    return false;
}

// Static initialisation creates the application object, as the framework does.
rv::CRenvoraApp theApp;

} // namespace

int main(int argc, char** argv) {
    if (!HaveDisplay()) {
        std::fprintf(stderr, "renvora: no display available (set DISPLAY or WAYLAND_DISPLAY, or run with "
                             "QT_QPA_PLATFORM=offscreen)\n");
        return 2;
    }
    QApplication app(argc, argv);
    rv::qt::QtMessageBox boxes;
    rv::MessageBoxGuard guard(boxes);
    theApp.InitInstance();
    return 0;
}
