#include "renewal/main_window_model.h"

#include "card/card_reader.h"
#include "config/config_file.h"
#include "net/service_messages.h"
#include "platform/client_strings.h"
#include "platform/message_box.h"

#include <cstdio>
#include <cstdlib>

namespace rv {

int MainWindowModel::ReadCardInfo() {
    if (ReadCardRecord(card, data) != 0) {
        return -1;
    }
    view.ApplyDateFont();
    return 0;
}

void MainWindowModel::NetworkTest() {
    RunNetworkTest(serverAddress);
}

void MainWindowModel::AfterSettingsOk() {
    // The result is not looked at: an empty realmName keeps the old address.
    GetServerAddress(serverAddress);
}

bool MainWindowModel::ExitPath() {
    if (AskYesNo("您确定退出客户端吗？") != IDYES) {
        return false;
    }
    if (loggedIn != 1) {
        return true;
    }
    card.CloseCard();
    if (card.GetStatus() == 0) {
        return true;
    }
    Client().lastError = card.GetErrorMessage();
    ShowNotice(Client().lastError + "\n关闭IC卡失败！");
    // The process ends at once, without closing the window first.
    std::fflush(nullptr);
    std::_Exit(1);
}

} // namespace rv
