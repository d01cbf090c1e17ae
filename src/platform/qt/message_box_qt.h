// The message boxes on screen: caption "提示信息"; notices with "确定" and the active window as owner,
// questions with "是"/"否" and no owner window. Results 1 / 6 / 7 as on Windows.
#pragma once

#include "platform/message_box.h"

#include <functional>

class QMessageBox;

namespace rv::qt {

class QtMessageBox : public IMessageBox {
public:
    int Show(const std::string& text, MbKind kind) override;

    // Like TemplateDialog's modal hook: called with every box once it is shown, before its event loop.
    // A hook that clicks a button ends the box at once. Returns the previous hook.
    using Hook = std::function<void(QMessageBox&)>;
    static Hook SetHook(Hook hook);
};

} // namespace rv::qt
