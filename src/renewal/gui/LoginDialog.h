// The password dialog (template 130): a masked edit of at most 8 characters and the default button
// "登录". The check itself is LoginButtonPressed (renewal/login.h); this class only wires the widgets.
#pragma once

#include "platform/qt/template_dialog.h"

#include <string>

namespace rv {

class MainWindowModel;

// DoModal ends with 1 (logged in) or 130 (cancelled with Yes).
class LoginDialog : public qt::TemplateDialog {
    Q_OBJECT
public:
    LoginDialog(MainWindowModel& owner, QWidget* parent);
    // The text of edit 1013, exchanged by the data exchange.
    std::string password;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool saveAndValidate) override;
    void OnCancel() override;

private:
    void OnLoginButton();

    MainWindowModel& owner_;
    // The window whose card the button uses, recorded when the dialog initialises.
    MainWindowModel* recordedOwner_ = nullptr;
};

} // namespace rv
