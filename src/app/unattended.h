// The unattended run: the real client, offscreen, driven like a person would drive it. It types the PIN
// into the login dialog, presses the renewal button, answers every question with Yes and every notice
// with OK, prints each message box text as it appears, saves a PNG of every window it passes through
// (unless told not to), prints how long the renewal took and leaves by the exit button. It succeeds when
// the client announced a successful renewal; it reads the card only through the card control, like the
// client itself (whether the card holds a new certificate is for the card's own tools to check).
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace rv {

class CRenvoraApp;

struct UnattendedOptions {
    std::filesystem::path shotsDir; // created when missing
    bool screenshots = true;        // false: no PNGs (a run timed as a user would see it)
    std::string pin = "123456";     // ASCII digits, as typed
    int timeoutSeconds = 120;       // the whole run; the process ends with status 3 beyond it
    // Receives each line of the run's account (UTF-8); stdout when unset.
    std::function<void(const std::string&)> print;
};

struct UnattendedResult {
    int exitCode = 1;                  // 0: the client announced a successful renewal
    std::vector<std::string> messages; // every message box text, UTF-8, in order
    std::vector<std::filesystem::path> shots;
    bool renewalEnabled = false; // the renewal button after login
    bool renewalPressed = false;
    // Renewal button to the transaction's end, questions answered at once (screenshots, when on, are
    // saved inside this span), and the CPU of the user interface thread and the call thread over it.
    double renewalWallMs = 0;
    double renewalCpuMs = 0;
    std::string successMessage; // the success dialog's text, UTF-8 ("" when none was shown)
    std::string endDate;        // the end date read back from the card after the renewal (YYYYMMDD)
    std::string failure;        // why exitCode is not 0
};

// Runs `app` (a QApplication must exist) unattended and reports what happened.
UnattendedResult RunUnattended(CRenvoraApp& app, const UnattendedOptions& options);

} // namespace rv
