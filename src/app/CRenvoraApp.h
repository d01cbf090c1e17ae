// The application object: prepares the platform, checks that the card control is registered, and runs
// the main window modally. The process lives exactly as long as that modal run.
#pragma once

#include "ui/CRenvoraDlg.h"

namespace rv {

class CRenvoraApp {
public:
    CRenvoraApp() = default;

    // Always false: there is no message loop of the application's own after the main window.
    bool InitInstance();

    // Restart-manager support: restart only, no recovery or autosave (kept for fidelity; a desktop
    // session manager restarts nothing here).
    int restartManagerSupportFlags = 1;
    // How the main window creates its card control (tests attach a double).
    CRenvoraDlg::ControlFactory createControl = CRenvoraDlg::CreateCardControl;
};

// The registration check of start-up: reads the card control's class key's default value, at most 300
// bytes with its terminator, as RegQueryValueA does. True when the read succeeds.
bool CardControlRegistered();

} // namespace rv
