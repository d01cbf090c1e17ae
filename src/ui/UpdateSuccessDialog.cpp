#include "ui/UpdateSuccessDialog.h"

#include "platform/qt/colours.h"
#include "platform/qt/fonts.h"
#include "platform/qt/text.h"
#include "renewal/main_window_model.h"
#include "renewal/renewal_window.h"
#include "res/resource_ids.h"

namespace rv {

namespace {
// What assistive tools call the dialog: the renewal succeeded.
constexpr const char* kSuccessName = "延期成功";
} // namespace

UpdateSuccessDialog::UpdateSuccessDialog(const MainWindowModel& owner, QWidget* parent)
    : qt::TemplateDialog(res::kSuccessDialog, parent), owner_(owner) {}

void UpdateSuccessDialog::DoDataExchange(bool saveAndValidate) {
    DDX_Text(saveAndValidate, res::kSuccessText, message_);
}

bool UpdateSuccessDialog::OnInitDialog() {
    qt::TemplateDialog::OnInitDialog();
    message_ += "您的证书有效期已延期到：\n     " + ChineseDateText(owner_.data.validTo) + "     ";
    SetDlgItemText(res::kSuccessText, message_);
    messageFont_ = qt::PointFont(200, "楷体");
    SetItemFont(res::kSuccessText, messageFont_);
    // The window has no caption; assistive tools get a name and the message.
    setAccessibleName(qt::Q(kSuccessName));
    setAccessibleDescription(qt::Q(message_));
    // The template has position (0, 0) and no centring: on Windows that is the top-left corner of the
    // owner's client area, which begins below its menu bar.
    if (auto* owner = qobject_cast<qt::TemplateDialog*>(parentWidget())) {
        move(owner->ClientArea()->mapToGlobal(QPoint(0, 0)));
    } else if (QWidget* other = parentWidget()) {
        move(other->mapToGlobal(QPoint(0, 0)));
    }
    return true;
}

qt::CtlColor UpdateSuccessDialog::OnCtlColor(int id) {
    qt::CtlColor c = qt::TemplateDialog::OnCtlColor(id);
    if (id == res::kSuccessText) {
        // Red on sky blue, as the original has it, the red darkened to be read there.
        const QColor skyBlue(0, 191, 255);
        c.text = qt::ReadableOn(QColor(255, 0, 0), skyBlue);
        c.textBackground = skyBlue;
    }
    return c;
}

} // namespace rv
