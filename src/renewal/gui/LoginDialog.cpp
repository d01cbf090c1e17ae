#include "renewal/gui/LoginDialog.h"

#include "platform/message_box.h"
#include "renewal/login.h"
#include "renewal/main_window_model.h"
#include "res/resource_ids.h"

#include <QWidget>

namespace rv {

namespace {
// The password is at most 8 characters.
constexpr int kPasswordLimit = 8;
} // namespace

LoginDialog::LoginDialog(MainWindowModel& owner, QWidget* parent)
    : qt::TemplateDialog(res::kLoginDialog, parent), owner_(owner) {
    OnCommandId(res::kLoginButton, [this] { OnLoginButton(); });
}

bool LoginDialog::OnInitDialog() {
    qt::TemplateDialog::OnInitDialog();
    recordedOwner_ = &owner_;
    // Every run starts with an empty edit, whatever was typed last time.
    SetDlgItemText(res::kPasswordEdit, "");
    LimitText(res::kPasswordEdit, kPasswordLimit);
    return true;
}

void LoginDialog::DoDataExchange(bool saveAndValidate) {
    DDX_Text(saveAndValidate, res::kPasswordEdit, password);
}

void LoginDialog::OnLoginButton() {
    password = GetDlgItemText(res::kPasswordEdit);
    if (!recordedOwner_) {
        return; // not initialised: no window to log in for
    }
    if (LoginButtonPressed(recordedOwner_->card, password)) {
        OnOK();
        return;
    }
    // The next PIN goes into an empty field with the focus: typed after the wrong one it would be
    // appended to it, and the card would count a second wrong PIN for one typo.
    SetDlgItemText(res::kPasswordEdit, "");
    if (QWidget* edit = GetDlgItem(res::kPasswordEdit)) {
        edit->setFocus(Qt::OtherFocusReason);
    }
}

void LoginDialog::OnCancel() {
    if (AskYesNo("您确定退出登录吗？") == IDYES) {
        EndDialog(res::kLoginDialog);
    }
}

} // namespace rv
