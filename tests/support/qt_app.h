// One QApplication for a GUI test program, created on first use, offscreen unless the environment
// names a platform, with the client's style and fonts. Header-only: only GUI test folders include it.
#pragma once

#include "platform/qt/platform.h"

#include <QApplication>

#include <cstdlib>

namespace rv::test {

inline QApplication& QtApp() {
    static QApplication* app = [] {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        static int argc = 1;
        static char name[] = "renvora-test";
        static char* argv[] = {name, nullptr};
        auto* a = new QApplication(argc, argv);
        qt::InitPlatform();
        return a;
    }();
    return *app;
}

} // namespace rv::test
