// The settings dialog (template 141): IP address control 1017 and port edit 1018 (digits only, at most
// 5), stored into conf.ini by button 1014. The file work is config/settings_store; this class only
// wires the widgets to it.
#pragma once

#include "platform/qt/template_dialog.h"

#include <string>

namespace rv {

namespace qt {
class IpAddressCtrl;
}

// DoModal ends with 1 (the OK command: Enter outside the buttons) or 141 (cancelled with Yes).
class setDialog : public qt::TemplateDialog {
    Q_OBJECT
public:
    explicit setDialog(QWidget* parent = nullptr);

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool saveAndValidate) override;
    void OnCancel() override;

private:
    void OnStore();

    qt::IpAddressCtrl* ipAddress_ = nullptr; // control 1017, bound by the data exchange
    std::string portText_;                   // edit 1018
};

} // namespace rv
