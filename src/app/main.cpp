// Entry point: a display is needed; then the application object's InitInstance runs the client.
#include "app/CRenvoraApp.h"
#include "app/unattended.h"
#include "desktop/desktop_notifier.h"
#include "platform/message_box.h"
#include "platform/qt/message_box_qt.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    // The renewal reminder's daily check: no window, so no display needed (desktop/desktop_notifier.h).
    if (argc >= 2 && std::strcmp(argv[1], "--check-expiry") == 0) {
        return rv::desktop::RunCheckExpiry(argc, argv);
    }
    if (!HaveDisplay()) {
        std::fprintf(stderr, "renvora: no display available (set DISPLAY or WAYLAND_DISPLAY, or run with "
                             "QT_QPA_PLATFORM=offscreen)\n");
        return 2;
    }
    QApplication app(argc, argv);
    // --unattended DIR: the demo's renewal without a person (app/unattended.h); exit 0 only when the
    // card holds its new certificate.
    if (argc >= 3 && std::strcmp(argv[1], "--unattended") == 0) {
        rv::UnattendedOptions options;
        options.shotsDir = argv[2];
        if (const char* pin = std::getenv("RENVORA_UNATTENDED_PIN"); pin && *pin) {
            options.pin = pin;
        }
        if (const char* ca = std::getenv("RENVORA_UNATTENDED_CA"); ca && *ca) {
            options.caCert = ca;
        }
        if (const char* shots = std::getenv("RENVORA_UNATTENDED_SHOTS");
            shots && std::strcmp(shots, "0") == 0) {
            options.screenshots = false;
        }
        rv::UnattendedResult result = rv::RunUnattended(theApp, options);
        if (result.exitCode != 0) {
            std::fprintf(stderr, "unattended: %s\n", result.failure.c_str());
        }
        return result.exitCode;
    }
    rv::qt::QtMessageBox boxes;
    rv::MessageBoxGuard guard(boxes);
    theApp.InitInstance();
    return 0;
}
