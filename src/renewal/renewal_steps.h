// Pieces the renewal transaction and the card write-back share.
#pragma once

#include "renewal/main_window_model.h"

namespace rv {

// Shown when the card refuses certificates that do not carry its key, and when the new signing
// certificate's key differs from the card's.
inline constexpr const char* kMsgKeyMismatch = "公钥匹配不一致，请插入登录时的IC卡！";

// The notice window around one blocking call. Close() right after the call; should the call throw,
// the window still goes away instead of staying on screen over the catch-all's message.
class NoticeScope {
public:
    NoticeScope(MainWindowView& view, int picture) : view_(view) { view_.ShowNotice(picture); }
    ~NoticeScope() { Close(); }
    NoticeScope(const NoticeScope&) = delete;
    NoticeScope& operator=(const NoticeScope&) = delete;
    void Close() {
        if (open_) {
            open_ = false;
            view_.CloseNotice();
        }
    }

private:
    MainWindowView& view_;
    bool open_ = true;
};

} // namespace rv
