// The settings dialog on real widgets (offscreen): first run, stored values shown, typing limits, the
// store button, Enter on a button or in a field, and the cancel question.
#include "config/config_file.h"
#include "config/gui/setDialog.h"
#include "platform/paths.h"
#include "platform/qt/ip_address_ctrl.h"
#include "platform/qt/template_dialog.h"
#include "res/resource_ids.h"
#include "support/dialog_driver.h"
#include "support/qt_app.h"
#include "support/test_env.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <filesystem>

namespace rv {
namespace {

namespace fs = std::filesystem;
using qt::IpAddressCtrl;
using qt::TemplateDialog;
using test::HookGuard;
using test::Key;
using test::Screenshot;
using test::Type;
using Texts = std::vector<std::string>;

std::string U(const char8_t* utf8) {
    return reinterpret_cast<const char*>(utf8);
}

const std::string kStored = U(u8"配置IP地址、端口号成功！");
const std::string kNotStored = U(u8"配置IP地址、端口号失败，请重新配置！");
const std::string kRange = U(u8"请输入0-65535之间的数字,请重新输入！");
const std::string kAskQuit = U(u8"您确定退出设置吗？");

class SettingsDialog : public ::testing::Test {
protected:
    SettingsDialog() { test::QtApp(); }

    static IpAddressCtrl* Ip(TemplateDialog& d) { return d.Item<IpAddressCtrl>(res::kIpAddressCtrl); }
    static QLineEdit* Port(TemplateDialog& d) { return d.Item<QLineEdit>(res::kPortEdit); }
    static void Store(TemplateDialog& d) { d.Item<QPushButton>(res::kSettingsStoreButton)->click(); }
    std::string Conf() const { return dir.Read("Config/conf.ini"); }

    // Runs the dialog with `act` inside its modal run; returns the end code.
    int Run(std::function<void(TemplateDialog&)> act) {
        setDialog d;
        HookGuard hook([&](TemplateDialog& dlg) {
            act(dlg);
            if (!dlg.IsEnded()) {
                dlg.EndDialog(-1);
            }
        });
        return d.DoModal();
    }

    test::TempWorkDir dir;
    test::CoreFixture core;
};

TEST_F(SettingsDialog, FirstRunCreatesTheFilesAndShowsEmptyFields) {
    Run([&](TemplateDialog& d) {
        EXPECT_TRUE(Ip(d)->IsBlank());
        EXPECT_EQ(Port(d)->text(), QString());
        // Focus on the first control of the tab order: the store button.
        EXPECT_EQ(d.focusWidget(), d.GetDlgItem(res::kSettingsStoreButton));
        Screenshot(d, "settings-first-run");
    });
    EXPECT_TRUE(fs::is_directory(dir.path() / "Config"));
    EXPECT_EQ(Conf(), "");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(SettingsDialog, ShowsTheStoredAddressAndPort) {
    dir.Write("Config/conf.ini", "realmName=http://h\r\nip=10.20.30.40\r\nport=0080\r\n");
    Run([&](TemplateDialog& d) {
        EXPECT_EQ(Ip(d)->GetWindowText(), "10.20.30.40");
        EXPECT_EQ(Port(d)->text(), QStringLiteral("0080"));
        Screenshot(d, "settings-stored");
    });
}

TEST_F(SettingsDialog, PortFieldTakesFiveDigitsOnly) {
    Run([&](TemplateDialog& d) {
        Type(Port(d), QStringLiteral("1a2-3 4567"));
        EXPECT_EQ(Port(d)->text(), QStringLiteral("12345"));
    });
}

TEST_F(SettingsDialog, StoreWritesBothEntriesKeepsRealmNameAndStaysOpen) {
    dir.Write("Config/conf.ini", "realmName=https://renew:8443\r\nip=1.1.1.1\r\nport=1\r\n");
    int code = Run([&](TemplateDialog& d) {
        Ip(d)->ClearAddress();
        Type(Ip(d)->Field(0), QStringLiteral("192"));
        Type(Ip(d)->Field(1), QStringLiteral("168"));
        Type(Ip(d)->Field(2), QStringLiteral("7"));
        Type(Ip(d)->Field(3), QStringLiteral("21"));
        Port(d)->clear();
        Type(Port(d), QStringLiteral("08443"));
        Screenshot(d, "settings-typed");
        Store(d);
        EXPECT_FALSE(d.IsEnded());
        Store(d); // again: still exactly one ip and one port entry
    });
    EXPECT_EQ(code, -1);
    EXPECT_EQ(Conf(), "realmName=https://renew:8443\r\nip=192.168.7.21\r\nport=08443\r\n");
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kStored, kStored}));
    // The next run shows what was stored.
    Run([&](TemplateDialog& d) {
        EXPECT_EQ(Ip(d)->GetWindowText(), "192.168.7.21");
        EXPECT_EQ(Port(d)->text(), QStringLiteral("08443"));
    });
}

TEST_F(SettingsDialog, OutOfRangePortClearsTheFieldAndStoresNothing) {
    const std::string bytes = "realmName=http://h\r\nip=9.9.9.9\r\nport=99\r\n";
    dir.Write("Config/conf.ini", bytes);
    Run([&](TemplateDialog& d) {
        Port(d)->clear();
        Type(Port(d), QStringLiteral("65536"));
        Store(d);
        EXPECT_EQ(Port(d)->text(), QString());
        EXPECT_EQ(Ip(d)->GetWindowText(), "9.9.9.9");
    });
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{kRange});
    EXPECT_EQ(Conf(), bytes);
}

TEST_F(SettingsDialog, BlankAddressAndEmptyPort) {
    Run([&](TemplateDialog& d) {
        Type(Port(d), QStringLiteral("65535"));
        Store(d);
        Port(d)->clear();
        Store(d);
    });
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kStored, kNotStored}));
    EXPECT_EQ(Conf(), "ip=0.0.0.0\r\nport=\r\n");
}

TEST_F(SettingsDialog, EnterOnTheStoreButtonStores) {
    Run([&](TemplateDialog& d) {
        Type(Port(d), QStringLiteral("21"));
        d.GetDlgItem(res::kSettingsStoreButton)->setFocus();
        Key(d.GetDlgItem(res::kSettingsStoreButton), Qt::Key_Return);
        EXPECT_FALSE(d.IsEnded());
    });
    EXPECT_EQ(ReadConfigValue(paths::kConfIni, "port"), "21");
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{kStored});
}

TEST_F(SettingsDialog, EnterInAFieldEndsWithOkWithoutStoring) {
    dir.Write("Config/conf.ini", "port=99\r\n");
    int code = Run([&](TemplateDialog& d) {
        Port(d)->setFocus();
        Type(Port(d), QStringLiteral("1"));
        Key(Port(d), Qt::Key_Return);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(Conf(), "port=99\r\n");

    code = Run([&](TemplateDialog& d) {
        Ip(d)->Field(2)->setFocus();
        Key(Ip(d)->Field(2), Qt::Key_Return);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(Conf(), "port=99\r\n");
    EXPECT_TRUE(core.boxes.Entries().empty());
}

TEST_F(SettingsDialog, EveryCancelPathAsksAndOnlyYesEnds) {
    core.boxes.QueueAnswers({IDNO, IDNO, IDNO, IDYES});
    int stillOpen = 0;
    int code = Run([&](TemplateDialog& d) {
        Type(Port(d), QStringLiteral("77"));
        d.Item<QPushButton>(res::kSettingsCancelButton)->click();
        stillOpen += !d.IsEnded();
        Key(Port(d), Qt::Key_Escape);
        stillOpen += !d.IsEnded();
        d.close();
        stillOpen += !d.IsEnded();
        EXPECT_EQ(Port(d)->text(), QStringLiteral("77"));
        d.Item<QPushButton>(res::kSettingsCancelButton)->click();
    });
    EXPECT_EQ(code, 141);
    EXPECT_EQ(stillOpen, 3);
    EXPECT_EQ(core.boxes.TextsUtf8(), (Texts{kAskQuit, kAskQuit, kAskQuit, kAskQuit}));
    EXPECT_EQ(Conf(), "");
}

} // namespace
} // namespace rv
