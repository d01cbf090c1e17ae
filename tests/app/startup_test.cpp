// Start-up: the registration check under the class key, the main window run modally, and the process
// entry's refusal to start without a display.
#include "app/CRenvoraApp.h"
#include "card/dispids.h"
#include "platform/qt/template_dialog.h"
#include "platform/registry.h"
#include "res/resource_ids.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sys/wait.h>

namespace rv::test {
namespace {

using qt::TemplateDialog;

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        QtApp();
        ResetClientStrings();
        prev_ = TemplateDialog::SetModalHook([this](TemplateDialog& d) {
            ++opened[d.TemplateId()];
            if (d.TemplateId() == res::kMainDialog) {
                mainMessagesAtShow = core.boxes.Entries().size();
                if (inMain) {
                    inMain(d);
                }
                if (!d.IsEnded()) {
                    // The user leaves through the exit button (the question is answered Yes).
                    d.Item<QPushButton>(res::kExitButton)->click();
                }
            } else if (!d.IsEnded()) {
                d.EndDialog(d.TemplateId() == res::kLoginDialog ? 130 : 1);
            }
        });
    }
    void TearDown() override { TemplateDialog::SetModalHook(std::move(prev_)); }

    void Register(const std::string& description, const std::string& library) {
        reg::RegisterControl(dir.classesRoot(), kCardControlClsid, description, library);
    }

    TempWorkDir dir;
    CoreFixture core;
    std::map<int, int> opened;
    std::size_t mainMessagesAtShow = 0;
    std::function<void(TemplateDialog&)> inMain;

private:
    TemplateDialog::ModalHook prev_;
};

TEST_F(StartupTest, MissingRegistrationShowsOnlyTheMessageAndNoWindow) {
    CRenvoraApp app;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(app.InitInstance());
    // The terminal also learns the commands that register a card control.
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("renvora-p11card register"), std::string::npos) << said;
    EXPECT_NE(said.find("renvora-softcard register --image"), std::string::npos) << said;
    EXPECT_EQ(core.boxes.TextsUtf8(),
              std::vector<std::string>{U(u8"您没有安装Tessamar应用控件，请安装后再使用本客户端！")});
    EXPECT_EQ(core.boxes.Entries()[0].kind, MbKind::Ok);
    EXPECT_TRUE(opened.empty());
}

TEST_F(StartupTest, RegistrationValueMustFitThe300ByteBuffer) {
    // 299 characters and the terminator fit; 300 do not, like RegQueryValueA's ERROR_MORE_DATA.
    Register(std::string(299, 'x'), "/nonexistent/libcard.so");
    EXPECT_TRUE(CardControlRegistered());
    Register(std::string(300, 'x'), "/nonexistent/libcard.so");
    EXPECT_FALSE(CardControlRegistered());

    CRenvoraApp app;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(core.boxes.TextsUtf8(),
              std::vector<std::string>{U(u8"您没有安装Tessamar应用控件，请安装后再使用本客户端！")});
    EXPECT_TRUE(opened.empty());
}

TEST_F(StartupTest, EmptyDescriptionStillCountsAsRegistered) {
    Register("", "/nonexistent/libcard.so");
    EXPECT_TRUE(CardControlRegistered());
}

TEST_F(StartupTest, RegisteredButBrokenPluginPassesStartupAndTheWindowReportsIt) {
    // A library path that is not a library.
    auto notALibrary = dir.Write("plugins/libcard.so", "this is not an ELF file");
    Register("Tessamar card control", notALibrary.string());
    bool exitWorked = false;
    inMain = [&](TemplateDialog& d) {
        EXPECT_TRUE(d.isVisible());
        EXPECT_FALSE(d.GetDlgItem(res::kRenewalButton)->isEnabled());
        // The window still works: About, then the exit path.
        d.SendCommand(res::kCmdAbout);
        d.Item<QPushButton>(res::kExitButton)->click();
        exitWorked = d.IsEnded();
    };
    CRenvoraApp app;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_EQ(opened[res::kMainDialog], 1);
    EXPECT_EQ(opened[res::kAboutDialog], 1);
    EXPECT_TRUE(exitWorked);
    auto texts = core.boxes.TextsUtf8();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], U(u8"初始化Tessamar应用控件失败，请检查控件是否损坏！"));
    EXPECT_EQ(texts.back(), U(u8"您确定退出客户端吗？"));
    EXPECT_GE(mainMessagesAtShow, 1u) << "the failure is reported while the window initialises";
}

TEST_F(StartupTest, RegisteredControlRunsTheMainWindowUntilItCloses) {
    Register("Tessamar card control", "/nonexistent/libcard.so");
    FakeCard card;
    CRenvoraApp app;
    app.createControl = [&](CDCertUpdate& c) {
        c.Attach(card.Dispatch());
        return true;
    };
    EXPECT_FALSE(app.InitInstance()) << "always false: no message loop of the application's own";
    EXPECT_EQ(opened[res::kMainDialog], 1);
    EXPECT_EQ(core.boxes.TextsUtf8(), std::vector<std::string>{U(u8"您确定退出客户端吗？")});
    EXPECT_TRUE(card.released) << "the window and its control are gone when InitInstance returns";
}

TEST(ProcessEntry, RefusesToStartWithoutADisplay) {
    std::filesystem::path exe = std::filesystem::path(RENVORA_BUILD_DIR) / "src" / "renvora";
    if (!std::filesystem::exists(exe)) {
        GTEST_SKIP() << "renvora is not built";
    }
    std::string cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + exe.string() + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) {
        out += buf;
    }
    int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    EXPECT_NE(out.find("no display"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(ProcessEntry, EveryProgramAnswersHelpAndVersionWithoutADisplay) {
    namespace fs = std::filesystem;
    const fs::path build(RENVORA_BUILD_DIR);
    for (const fs::path& exe : {build / "src" / "renvora", build / "server" / "renvora-server",
                                build / "softcard" / "renvora-softcard"}) {
        SCOPED_TRACE(exe.string());
        ASSERT_TRUE(fs::exists(exe));
        const std::string env = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ";
        CommandRun version = RunCommand(env + exe.string() + " --version 2>&1");
        EXPECT_EQ(version.exitCode, 0);
        const std::string name = exe.filename().string() + " ";
        EXPECT_EQ(version.output.rfind(name, 0), 0u) << version.output;
        EXPECT_TRUE(version.output.size() > name.size() &&
                    std::isdigit(static_cast<unsigned char>(version.output[name.size()])))
            << version.output;
        CommandRun help = RunCommand(env + exe.string() + " --help 2>&1");
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.output.find("--version"), std::string::npos) << help.output;
    }
    // The client's help is the user's, in Chinese, and names the menu entry's way of starting and every
    // option, --forget among them.
    CommandRun help = RunCommand("env -u DISPLAY " + (build / "src" / "renvora").string() + " --help");
    EXPECT_NE(help.output.find(U(u8"用法：renvora [--desktop]")), std::string::npos) << help.output;
    for (const char* option : {"--desktop", "--unattended", "--check-expiry", "--forget", "--version"}) {
        EXPECT_NE(help.output.find(option), std::string::npos) << option;
    }
}

// With a display, an option the client does not know is refused with a message instead of a silent
// start; Qt's own options are Qt's.
TEST(ProcessEntry, AnUnknownOptionIsRefusedWithADisplayToo) {
    const std::string exe = (std::filesystem::path(RENVORA_BUILD_DIR) / "src" / "renvora").string();
    for (const std::string args : {"--bogus", "-style Fusion --bogus", "stray"}) {
        SCOPED_TRACE(args);
        CommandRun r = RunCommand("QT_QPA_PLATFORM=offscreen timeout 60 " + exe + " " + args + " 2>&1");
        EXPECT_EQ(r.exitCode, 2) << r.output;
        const std::string unknown = args == "stray" ? "stray" : "--bogus";
        EXPECT_NE(r.output.find("renvora: unknown option " + unknown + " (see --help)"), std::string::npos)
            << r.output;
    }
}

} // namespace
} // namespace rv::test
