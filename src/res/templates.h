// The client's dialog templates (100, 102, 130, 141, 151, 157) as data.
#pragma once

#include "platform/dialog_template.h"

namespace rv::res {

// The template with this id, or nullptr.
const dlg::DialogTemplate* FindTemplate(int id);

} // namespace rv::res
