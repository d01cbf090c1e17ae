#include "res/resources.h"

#include "platform/message_box.h"
#include "res/resource_ids.h"

#include <array>

namespace rv::res {
namespace {

constexpr std::array kMenu{
    MenuItemTemplate{kCmdLogin, "登录"},
    MenuItemTemplate{kCmdNetworkTest, "网络测试"},
};

constexpr std::array kToolbarButtons{
    ToolbarButton{kCmdSettingsPlain, "设置参数"},
    ToolbarButton{kCmdAlreadyLoggedIn, "登录"},
    ToolbarButton{kCmdAboutToolbar, "关于"},
};

} // namespace

const char* LoadString(int id) {
    switch (id) {
    case kIdsAboutBox:
        return "关于 Renvora(&A)...";
    case kIdsAppTitle:
        return kAppTitle; // the message boxes own the text
    default:
        return "";
    }
}

std::span<const MenuItemTemplate> MainMenu() {
    return kMenu;
}

std::span<const ToolbarButton> ToolbarButtons() {
    return kToolbarButtons;
}

} // namespace rv::res
