// The About box (template 100): the application icon, the product line, a notice line and "确定".
#pragma once

#include "platform/qt/template_dialog.h"

namespace rv {

class CAboutDlg : public qt::TemplateDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace rv
