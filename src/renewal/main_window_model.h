// The display-free half of the main window: the members the card, login, network test and renewal
// work on, and the handlers that run them. The Qt window (ui/CRenvoraDlg) owns one and implements
// MainWindowView; tests drive it with a view double, the software card and scripted message boxes.
#pragma once

#include "card/CDCertUpdate.h"
#include "card/card_data.h"

#include <cstdint>
#include <string>

namespace rv {

// The message that announces a renewal the card has taken (the unattended run looks for it).
inline constexpr const char* kMsgRenewed = "延期成功！";

// What the core asks of the window. Everything else it says goes through message boxes.
class MainWindowView {
public:
    virtual ~MainWindowView() = default;
    virtual void EnableRenewalButton(bool enable) = 0;
    virtual bool IsRenewalButtonEnabled() const = 0;
    // Data exchange towards the eight edit fields.
    virtual void ShowCardData() = 0;
    // The 20 pt date font on edits 1009 and 1010, with immediate redraw.
    virtual void ApplyDateFont() = 0;
    // Runs the login dialog modally; returns 1 (OK) or the code it ended with (130 on cancel).
    virtual int RunLoginDialog() = 0;
    // Shows the notice window with a picture number, fully painted before it returns.
    virtual void ShowNotice(int picture) = 0;
    virtual void CloseNotice() = 0;
    // Runs the success dialog modally; it reads the end date from the model.
    virtual void RunSuccessDialog() = 0;
};

class MainWindowModel {
public:
    MainWindowModel(CDCertUpdate& card, MainWindowView& view) : card(card), view(view) {}

    CDCertUpdate& card;
    MainWindowView& view;
    CardData data;
    std::string serverAddress;
    int32_t loggedIn = 0;

    // Card information reader (card/card_reader.h) on the window's card and data, then the date font:
    // 0 or -1 after its messages.
    int ReadCardInfo();

    // Login flow (renewal/login.cpp): at the end of initialisation and on menu 32791.
    void LoginFlow();
    // Command 32793 (renewal/login.cpp).
    void OnCommand32793();

    // Network test on menu 32794 (net/network_test.cpp) on the window's server address.
    void NetworkTest();

    // Identity verification step (renewal/verification.cpp): 0 or -1 after its messages.
    int VerifyIdentity();

    // Renewal transaction on button 1000 (renewal/transaction.cpp).
    void RenewalTransaction();

    // Card write-back (renewal/writeback.cpp), texts in this order.
    void WriteBack(std::string signCertPem, std::string envCertPem, std::string cssEnvKeyPem,
                   std::string cssSignKeyPem, std::string kmsKeyPem, std::string envDataPem);

    // After the settings dialog ended with OK: re-read realmName; keep the old address when empty.
    void AfterSettingsOk();

    // Exit path (Esc, close box, button 1011). Returns true when the window should close; ends the
    // process with status 1 itself when closing the card fails.
    bool ExitPath();
};

} // namespace rv
