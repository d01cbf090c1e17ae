// Entry point: --help and --version need no display, everything else does; then the application
// object's InitInstance runs the client (in the user's own folder for a menu launch).
#include "app/CRenvoraApp.h"
#include "app/launch.h"
#include "app/unattended.h"
#include "platform/message_box.h"
#include "platform/qt/message_box_qt.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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
    rv::LaunchOptions launch = rv::ParseLaunchOptions(argc, argv);
    if (launch.help || launch.version) {
        launch.help ? rv::PrintUsage() : rv::PrintVersion();
        return 0;
    }
    if (!launch.error.empty()) {
        std::fprintf(stderr, "renvora: %s (see --help)\n", launch.error.c_str());
        return 2;
    }
    if (!HaveDisplay()) {
        std::fprintf(stderr, "renvora: no display available (set DISPLAY or WAYLAND_DISPLAY, or run with "
                             "QT_QPA_PLATFORM=offscreen)\n");
        return 2;
    }
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QString::fromLatin1(rv::kDesktopFileName));
    // --unattended DIR: the demo's renewal without a person (app/unattended.h); exit 0 only when the
    // card holds its new certificate.
    if (!launch.unattendedDir.empty()) {
        rv::UnattendedOptions options;
        // Taken before a desktop launch changes the working directory.
        options.shotsDir = std::filesystem::absolute(launch.unattendedDir);
        if (launch.desktop && !rv::EnterUserFolder()) {
            return 1;
        }
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
    if (launch.desktop && !rv::EnterUserFolder()) {
        return 1;
    }
    theApp.InitInstance();
    return 0;
}
