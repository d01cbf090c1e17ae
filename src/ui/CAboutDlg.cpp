#include "ui/CAboutDlg.h"

#include "res/resource_ids.h"

namespace rv {

CAboutDlg::CAboutDlg(QWidget* parent) : qt::TemplateDialog(res::kAboutDialog, parent) {}

} // namespace rv
