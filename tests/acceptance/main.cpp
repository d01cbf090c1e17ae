// The acceptance program: the scenarios, or (with kNeverMapsOption) the broken window manager one of
// them runs.
#include "acceptance/desktop.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], rv::acceptance::kNeverMapsOption) == 0) {
        return rv::acceptance::RunWindowManagerThatNeverMaps();
    }
    // Offscreen for this program itself (it measures the client's fonts to know where windows belong);
    // the clients it starts find their display as a person's session would.
    int qtArgc = 3;
    char name[] = "test_acceptance";
    char platformOption[] = "-platform";
    char offscreen[] = "offscreen";
    char* qtArgv[] = {name, platformOption, offscreen, nullptr};
    QApplication app(qtArgc, qtArgv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
