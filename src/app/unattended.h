// The unattended run: the real client, offscreen, driven like a person would drive it. It types the PIN
// into the login dialog, presses the renewal button, answers every question with Yes and every notice
// with OK, prints each message box text as it appears, saves a PNG of every window it passes through
// (unless told not to), prints how long the renewal took, leaves by the exit button, and then checks
// the card image for the new certificate. With a card control other than the software card (no card
// image configured) it can only go by what the client showed: "延期成功！" and the success dialog.
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
    std::filesystem::path caCert;   // when set, the new certificate must be issued by this CA
    int timeoutSeconds = 120;       // the whole run; the process ends with status 3 beyond it
    // Receives each line of the run's account (UTF-8); stdout when unset.
    std::function<void(const std::string&)> print;
};

struct UnattendedResult {
    int exitCode = 1; // 0: the card holds a new certificate (other cards: the client says so)
    std::vector<std::string> messages; // every message box text, UTF-8, in order
    std::vector<std::filesystem::path> shots;
    bool renewalEnabled = false; // the renewal button after login
    bool renewalPressed = false;
    // Renewal button to the transaction's end, questions answered at once (screenshots, when on, are
    // saved inside this span), and the user-interface thread's CPU over the same span.
    double renewalWallMs = 0;
    double renewalCpuMs = 0;
    std::string successMessage; // the success dialog's text, UTF-8 ("" when none was shown)
    std::string oldCertPem, newCertPem;
    std::string failure; // why exitCode is not 0
};

// Runs `app` (a QApplication must exist) unattended and reports what happened.
UnattendedResult RunUnattended(CRenvoraApp& app, const UnattendedOptions& options);

// The card image the software card reads: $RENVORA_CARD_IMAGE, else its registration's "CardImage".
std::filesystem::path InsertedCardImage();

} // namespace rv
