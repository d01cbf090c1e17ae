#include "renewal/login.h"

#include "card/CDCertUpdate.h"
#include "platform/client_strings.h"
#include "platform/message_box.h"
#include "renewal/main_window_model.h"
#include "renewal/remembered_cards.h"
#include "renewal/renewal_window.h"

#include <cstdio>

namespace rv {

bool LoginButtonPressed(CDCertUpdate& card, const std::string& typedPassword) {
    if (typedPassword.empty()) {
        ShowNotice("请输入口令！");
        return false;
    }
    card.OpenCard();
    if (card.GetStatus() != 0) {
        ShowNotice(card.GetErrorMessage() + "\n打开IC卡失败，请查看IC卡是否插好！");
        return false;
    }
    card.SetPassword(typedPassword);
    card.VerifyPassword();
    if (card.GetStatus() == 0) {
        ShowNotice("登录成功！");
        return true;
    }
    ShowNotice("登录失败," + card.GetErrorMessage() + "\n请重新输入！");
    // Closed so that the next try opens it afresh.
    card.CloseCard();
    if (card.GetStatus() != 0) {
        ShowNotice(card.GetErrorMessage() + "\n关闭IC失败！");
    }
    return false;
}

std::string FormatDateText(const UtcDate& d) {
    const char* format =
        d.month >= 10 ? (d.day >= 10 ? "%d%d%d" : "%d%d0%d") : (d.day >= 10 ? "%d0%d%d" : "%d0%d0%d");
    char buf[48];
    std::snprintf(buf, sizeof buf, format, d.year, d.month, d.day);
    return buf;
}

std::string TodayDateText() {
    return FormatDateText(Clock().TodayUtc());
}

void MainWindowModel::LoginFlow() {
    // A failed card reading starts the flow again; a loop, so that a card that keeps failing cannot
    // deepen the stack with every round.
    for (;;) {
        if (loggedIn == 1) {
            ShowNotice("您已登录，无需重复登录！");
            return;
        }
        if (view.RunLoginDialog() != IDOK) {
            return;
        }
        loggedIn = 1;
        if (ReadCardInfo() != 0) {
            loggedIn = 0;
            Client().lastError = card.GetErrorMessage();
            ShowNotice(Client().lastError + "\n获取IC卡中信息失败,请重新登录！");
            continue;
        }
        break;
    }

    view.ShowCardData();
    // For the renewal reminder, silently: nothing the user sees depends on it.
    RememberCard(data);
    switch (CheckRenewalWindow(TodayDateText(), data.validTo)) {
    case kInsideRenewalWindow:
        ShowNotice("您的IC卡有效期小于180天，可以进行延期。如需延期请点击“法人卡延期”按钮！");
        view.EnableRenewalButton(true);
        break;
    case kRenewalDateExpired:
        ShowNotice("您的IC卡已过期，不可在本系统延期。请您联系当地数据分中心处理！");
        break;
    case kBeyondRenewalWindow:
        ShowNotice("您的IC卡有效期大于180天，无需延期！");
        break;
    default:
        break;
    }
}

// Nothing on screen sends this command (its toolbar is never shown). When not logged in it does nothing,
// as the menu command 32791 is the way to log in.
void MainWindowModel::OnCommand32793() {
    if (loggedIn == 1) {
        ShowNotice("您已登录，无需重复登录！");
    }
}

} // namespace rv
