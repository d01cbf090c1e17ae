#include "config/gui/setDialog.h"

#include "config/settings_store.h"
#include "platform/message_box.h"
#include "platform/qt/ip_address_ctrl.h"
#include "res/resource_ids.h"

namespace rv {

namespace {
constexpr int kPortLimit = 5; // 65535 has five digits
} // namespace

setDialog::setDialog(QWidget* parent) : qt::TemplateDialog(res::kSettingsDialog, parent) {
    OnCommandId(res::kSettingsStoreButton, [this] { OnStore(); });
    OnCommandId(res::kSettingsCancelButton, [this] { OnCancel(); });
}

void setDialog::DoDataExchange(bool saveAndValidate) {
    ipAddress_ = Item<qt::IpAddressCtrl>(res::kIpAddressCtrl);
    DDX_Text(saveAndValidate, res::kPortEdit, portText_);
}

bool setDialog::OnInitDialog() {
    qt::TemplateDialog::OnInitDialog();
    LimitText(res::kPortEdit, kPortLimit);
    StoredSettings stored = PrepareSettingsFiles();
    portText_ = stored.port;
    if (ipAddress_) {
        ipAddress_->SetWindowText(stored.ip);
    }
    SetDlgItemText(res::kPortEdit, portText_);
    // Nonzero: the focus goes to the first control of the tab order, the store button.
    return true;
}

void setDialog::OnStore() {
    portText_ = GetDlgItemText(res::kPortEdit);
    unsigned char f[4] = {0, 0, 0, 0};
    if (ipAddress_) {
        ipAddress_->GetAddress(f[0], f[1], f[2], f[3]);
    }
    if (StoreSettings({f[0], f[1], f[2], f[3]}, portText_) == StoreResult::PortRefused) {
        SetDlgItemText(res::kPortEdit, "");
    }
    // The dialog stays open either way.
}

void setDialog::OnCancel() {
    if (AskYesNo("您确定退出设置吗？") == IDYES) {
        EndDialog(res::kSettingsDialog);
    }
}

} // namespace rv
