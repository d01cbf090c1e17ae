#include "app/CRenvoraApp.h"

#include "card/dispids.h"
#include "platform/message_box.h"
#include "platform/qt/platform.h"
#include "platform/registry.h"

#include <cstdio>

namespace rv {
namespace {

constexpr const char* kNotInstalled = "您没有安装Tessamar应用控件，请安装后再使用本客户端！";
constexpr long kValueBufferSize = 300;

} // namespace

bool CardControlRegistered() {
    char key[kValueBufferSize];
    std::snprintf(key, sizeof key, "%s", kCardControlKey);
    char value[kValueBufferSize];
    long size = kValueBufferSize;
    return reg::RegQueryValueA(key, value, &size) == reg::kErrorSuccess;
}

bool CRenvoraApp::InitInstance() {
    // 1. Common controls: Qt's widgets need no registration of window classes.
    // 2. Base initialisation: nothing beyond the QApplication that main created.
    // 3. Control container: the card control is a plugin reached through platform/plugin.h; nothing to
    //    enable.
    // 4. Shell manager: no counterpart.
    // 5. Visual manager: the platform's style, fonts and icon.
    qt::InitPlatform();
    // 6. Registry key for the application's settings: the client stores none.
    // 7.-8. The card control must be registered, or the client ends without a window.
    if (!CardControlRegistered()) {
        // The system's own message stays as it is; the terminal learns how a card control is registered.
        std::fprintf(stderr,
                     "renvora: no card control is registered (%s under ~/.renvora/classes or "
                     "/etc/renvora/classes). A card in a reader or a token: renvora-p11card register "
                     "[--module opensc-pkcs11]; a software card image: renvora-softcard register --image "
                     "FILE. See renvora(1), CARDS AND TOKENS.\n",
                     kCardControlKey);
        ShowNotice(kNotInstalled);
        return false;
    }
    // 9. The main window, modally; its result is not looked at.
    {
        CRenvoraDlg dlg(nullptr, createControl);
        dlg.DoModal();
    }
    // 10. The main window is gone; no message loop follows.
    return false;
}

} // namespace rv
