// The success dialog (template 151): announces the certificate's new end date, read from its owner's
// card data, in red 20 pt "楷体" on a sky-blue text background.
#pragma once

#include "platform/qt/template_dialog.h"

#include <QFont>

#include <string>

namespace rv {

class MainWindowModel;

class UpdateSuccessDialog : public qt::TemplateDialog {
    Q_OBJECT
public:
    // `owner` supplies the end date; `parent` is its window (the dialog is placed at its top-left).
    UpdateSuccessDialog(const MainWindowModel& owner, QWidget* parent);

    // The message as shown in static 1020 (GBK).
    const std::string& Message() const { return message_; }

protected:
    void DoDataExchange(bool saveAndValidate) override;
    bool OnInitDialog() override;
    qt::CtlColor OnCtlColor(int id) override;

private:
    const MainWindowModel& owner_;
    std::string message_;
    QFont messageFont_;
};

} // namespace rv
