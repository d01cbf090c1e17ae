// The holder renews a smart card through the client's windows: the emulated MyEID card in vpcd's reader
// under pcscd (tests/support/card_stack), reached through OpenSC's PKCS#11 module by the token card
// plugin, enrolled by `renvora-server enrol --token-module`. The client is driven on the suite's kind of
// desktop (Xvfb, openbox, XTest); afterwards the card is read with OpenSC's and OpenSSL's tools and the
// plugin's own `renvora-p11card show`, as a service centre would look at it. Needs root (the reader stack
// runs in namespaces of its own); skipped with the reason otherwise.
#include "acceptance/desktop.h"
#include "acceptance/process.h"
#include "acceptance/world.h"
#include "support/card_stack.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <sstream>

namespace rv::acceptance {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr QRgb kEndDateBackground = qRgb(255, 255, 0);
constexpr QRgb kSuccessBackground = qRgb(0, 191, 255);
constexpr int kMenuBarHeight = 26;

class SmartCardOnTheDesktop : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string why = test::CardStack::SkipReason(); !why.empty()) {
            GTEST_SKIP() << why;
        }
        char templ[] = "/tmp/renvora-acceptance-stack-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        folder_ = templ;
        stack_ = std::make_unique<test::CardStack>(folder_);
        ASSERT_TRUE(stack_->StartReader()) << Read(folder_ / "pcscd.log");
        ASSERT_TRUE(stack_->InsertCard()) << Read(folder_ / "card.log");
        std::string log;
        ASSERT_TRUE(stack_->Personalise(log)) << log;
        desktop_ = std::make_unique<Desktop>();
        shots_.emplace(::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::printf("[ captures ] %s\n", shots_->Dir().c_str());
    }
    void TearDown() override {
        desktop_.reset();
        stack_.reset();
        if (!folder_.empty() && std::getenv("RENVORA_ACCEPTANCE_KEEP") == nullptr) {
            std::error_code ec;
            fs::remove_all(folder_, ec);
        }
    }

    static std::string Read(const fs::path& p) { return RunCommand("cat '" + p.string() + "'").out; }
    Desktop& D() { return *desktop_; }
    void Shot(const std::string& name) { shots_->Save(D().Capture(), name); }
    std::optional<Window> WaitWindow(const std::string& title, std::chrono::milliseconds timeout = 30s) {
        std::optional<Window> found;
        WaitUntil(
            [&] {
                auto w = D().WindowsTitled(title);
                if (!w.empty()) {
                    found = w.back();
                }
                return found.has_value();
            },
            timeout);
        return found;
    }
    bool WaitGone(const Window& w) {
        return WaitUntil(
            [&] {
                for (const Window& now : D().Windows()) {
                    if (now.id == w.id) {
                        return false;
                    }
                }
                return true;
            },
            15s);
    }
    // A message box, shown in a capture and answered with Enter (OK, or Yes).
    bool AnswerBox(const std::string& shot) {
        auto box = WaitWindow(kBoxTitle);
        if (!box) {
            ADD_FAILURE() << "no message box for " << shot;
            return false;
        }
        D().Activate(*box);
        Shot(shot);
        D().Key("Return");
        return WaitGone(*box);
    }
    // A point of the main window's client area in its template's dialog units.
    static QPoint AtDlu(const Window& main, double x, double y) {
        return {main.rect.left() + static_cast<int>(x * main.rect.width() / 468.0),
                main.rect.top() + kMenuBarHeight +
                    static_cast<int>(y * (main.rect.height() - kMenuBarHeight) / 229.0)};
    }

    // The card as the plugin's own tool reads it, logged in with the PIN (given in the environment, never
    // on the command line).
    std::string ShowCard() const {
        return RunCommand(std::string("env RENVORA_P11CARD_PIN=") + test::CardStack::kPin +
                          " '" RENVORA_BUILD_DIR "/p11card/renvora-p11card' show --module '" +
                          test::CardStack::OpenScModule() + "' --token-label '" +
                          test::CardStack::kTokenLabel + "' 2>&1")
            .out;
    }
    // The end of the current signing certificate (YYYYMMDDhhmmss) in that account.
    static std::string ValidTo(const std::string& show) {
        const auto set = show.find(": current\n");
        const auto cert = show.find("signing certificate ", set);
        if (set == std::string::npos || cert == std::string::npos) {
            return {};
        }
        std::istringstream line(show.substr(cert + std::strlen("signing certificate ")));
        std::string validity;
        line >> validity;
        const auto dash = validity.find('-');
        return dash == std::string::npos ? std::string() : validity.substr(dash + 1);
    }

    fs::path folder_;
    std::unique_ptr<test::CardStack> stack_;
    std::unique_ptr<Desktop> desktop_;
    std::optional<Captures> shots_;
};

TEST_F(SmartCardOnTheDesktop,
       RenewingTheEmulatedCardThroughTheWindowsLeavesOneSetThatOpenScAndOpenSslAccept) {
    World world(D().Display(), {}, WorldToken{test::CardStack::OpenScModule(), test::CardStack::kTokenLabel});
    const std::string before = ValidTo(ShowCard());
    ASSERT_FALSE(before.empty()) << ShowCard();

    // Login with the card's PIN: the card's data come up, the end date on its yellow background.
    world.StartClient();
    auto main = WaitWindow(kMainTitle);
    auto login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(main && login) << world.ClientStderr();
    D().Activate(*login);
    Shot("main-window-and-login");
    D().Type(kPin);
    D().Key("Return");
    ASSERT_TRUE(AnswerBox("login-succeeded"));
    ASSERT_TRUE(AnswerBox("renewal-window-message"));
    main = WaitWindow(kMainTitle);
    ASSERT_TRUE(main);
    const QRect endDate(AtDlu(*main, 333, 136), AtDlu(*main, 333 + 114, 136 + 20));
    ASSERT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), endDate, kEndDateBackground) > 100; }, 10s))
        << "the card's end date is not shown";
    const QImage dateBefore = D().Capture().copy(endDate);
    Shot("main-window-with-card-data");
    EXPECT_EQ(world.RememberedEndDate(), before.substr(0, 8));

    // "法人卡延期": the renewal goes through the reader stack; every message is answered until the success
    // dialog comes up.
    D().Activate(*main);
    D().Click(AtDlu(*main, 92 + 36, 192 + 10));
    std::optional<Window> success;
    int boxes = 0;
    WaitUntil(
        [&] {
            const QImage img = D().Capture();
            for (const Window& w : D().Windows()) {
                if (w.title == kBoxTitle) {
                    ++boxes;
                    AnswerBox("renewal-message-" + std::to_string(boxes));
                    return boxes > 5;
                }
                if (w.title != kMainTitle && CountColour(img, w.rect, kSuccessBackground) > 200) {
                    success = w;
                    return true;
                }
            }
            return false;
        },
        120s, 100ms);
    ASSERT_TRUE(success) << "no success dialog after " << boxes
                         << " message(s); client: " << world.ClientStderr();
    EXPECT_EQ(boxes, 1) << "one message (the renewal succeeded) before the success dialog";
    Shot("success-dialog");
    D().Key("Return");
    ASSERT_TRUE(WaitGone(*success));

    // The new date in the field, in the reminder, and on the card.
    const std::string show = ShowCard();
    const std::string after = ValidTo(show);
    EXPECT_GT(after, before) << show;
    EXPECT_EQ(world.RememberedEndDate(), after.substr(0, 8)) << "the reminder knows the new end date";
    ASSERT_TRUE(WaitUntil([&] { return D().Capture().copy(endDate) != dateBefore; }, 5s))
        << "the end-date field still shows the old date";
    Shot("main-window-after-renewal");
    EXPECT_EQ(world.IssueCount(), 1);
    EXPECT_TRUE(Running(world.Client()));
    EXPECT_EQ(world.ClientStderr(), "") << "the client wrote to stderr";
    Stop(world.Client());

    // The card seen by tools that are not ours: one current set and nothing else of ours but the first
    // set's unchanged service keys and password hash, still in force; pkcs15-tool reads the card; both
    // certificates on it verify against the server's CA.
    std::size_t current = 0;
    for (auto at = show.find(": current\n"); at != std::string::npos; at = show.find(": current\n", at + 1)) {
        ++current;
    }
    EXPECT_EQ(current, 1u) << show;
    EXPECT_EQ(show.find("leftover"), std::string::npos) << show;
    EXPECT_EQ(show.find("pending"), std::string::npos) << show;
    const CommandResult p15 = RunCommand("pkcs15-tool --dump 2>&1");
    EXPECT_EQ(p15.status, 0) << p15.out;
    EXPECT_NE(p15.out.find("Private EC Key"), std::string::npos) << p15.out;
    const std::string tool = "pkcs11-tool --module '" + test::CardStack::OpenScModule() + "'";
    const std::string list = RunCommand(tool + " --list-objects --type cert 2>&1").out;
    int verified = 0;
    for (auto at = list.find("ID:"); at != std::string::npos; at = list.find("ID:", at + 3)) {
        std::string id = list.substr(at + 3, list.find('\n', at) - at - 3);
        id.erase(0, id.find_first_not_of(' '));
        const std::string der = (folder_ / (id + ".der")).string(), pem = (folder_ / (id + ".pem")).string();
        RunCommand(tool + " --read-object --type cert --id " + id + " --output-file " + der + " 2>&1");
        RunCommand("openssl x509 -inform DER -in " + der + " -out " + pem + " 2>&1");
        EXPECT_EQ(RunCommand("openssl verify -CAfile '" + (world.Dir() / "server-data" / "ca.crt").string() +
                             "' " + pem + " 2>&1")
                      .out,
                  pem + ": OK\n");
        ++verified;
    }
    EXPECT_EQ(verified, 2) << list;
}

} // namespace
} // namespace rv::acceptance
