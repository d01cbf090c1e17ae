// The client on a real desktop, driven from outside: Xvfb with openbox, the reference server and the
// client as separate processes, synthetic input through XTest (xdotool), and the X server's screen read
// back. Each scenario ends by checking the card's and the server's state with their own tools. Captures
// of every window go to a folder per scenario (printed at the start).
#include "acceptance/desktop.h"
#include "acceptance/world.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace rv::acceptance {
namespace {

using namespace std::chrono_literals;

constexpr QRgb kNoticeRed = qRgb(237, 28, 36);
constexpr QRgb kMenuSelected = qRgb(139, 137, 137);
constexpr QRgb kEndDateBackground = qRgb(255, 255, 0);
constexpr QRgb kSuccessBackground = qRgb(0, 191, 255);
constexpr int kMenuBarHeight = 26; // 25-pixel items and the line beneath them
constexpr int kSlowMs = 1600;      // each slowed card call and the renewal request

class OnTheDesktop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop_ = std::make_unique<Desktop>(); }
    static void TearDownTestSuite() { desktop_.reset(); }

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        shots_.emplace(std::string(info->name()));
        std::printf("[ captures ] %s\n", shots_->Dir().c_str());
    }

    Desktop& D() { return *desktop_; }
    void Shot(const std::string& name) { shots_->Save(D().Capture(), name); }

    std::optional<Window> WaitWindow(const std::string& title, std::chrono::milliseconds timeout = 15s) {
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
    bool WaitGone(const Window& w, std::chrono::milliseconds timeout = 15s) {
        return WaitUntil(
            [&] {
                for (const Window& now : D().Windows()) {
                    if (now.id == w.id) {
                        return false;
                    }
                }
                return true;
            },
            timeout);
    }
    // A message box: it comes up, is shown in a capture, and is answered with Enter (OK, or Yes).
    QRect AnswerBox(const std::string& shot) {
        auto box = WaitWindow(kBoxTitle);
        EXPECT_TRUE(box) << "no message box for " << shot;
        if (!box) {
            return {};
        }
        Focus(*box);
        Shot(shot);
        D().Key("Return");
        EXPECT_TRUE(WaitGone(*box)) << shot;
        return box->rect;
    }
    void Focus(const Window& w) { D().Activate(w); }
    // Esc in a dialog that asks before it closes (login, settings), Yes, and the dialog is gone.
    void LeaveDialog(const Window& dialog, const std::string& shot) {
        Focus(dialog);
        D().Key("Escape");
        AnswerBox(shot);
        EXPECT_TRUE(WaitGone(dialog)) << shot;
    }
    // No message box comes up within `during`.
    bool NoBoxFor(std::chrono::milliseconds during) {
        return !WaitUntil([&] { return !D().WindowsTitled(kBoxTitle).empty(); }, during);
    }

    // A point of the main window's client area given in its template's dialog units.
    static QPoint AtDlu(const Window& main, double x, double y) {
        const double sx = main.rect.width() / 468.0;
        const double sy = (main.rect.height() - kMenuBarHeight) / 229.0;
        return {main.rect.left() + static_cast<int>(x * sx),
                main.rect.top() + kMenuBarHeight + static_cast<int>(y * sy)};
    }
    static QRect DluRect(const Window& main, int x, int y, int w, int h) {
        return QRect(AtDlu(main, x, y), AtDlu(main, x + w, y + h));
    }

    // Starts the client and logs in with the PIN; returns the main window.
    Window StartAndLogIn(World& world) {
        world.StartClient();
        auto main = WaitWindow(kMainTitle);
        auto login = WaitWindow(kLoginTitle);
        EXPECT_TRUE(main && login);
        if (!main || !login) {
            return {};
        }
        Focus(*login);
        D().Type(kPin);
        D().Key("Return");
        AnswerBox("login-succeeded");
        AnswerBox("renewal-window-message");
        // Where it is now (a compositor may have placed it after it was first mapped).
        return WaitWindow(kMainTitle).value_or(*main);
    }

    void ExpectQuietConsole(World& world) {
        EXPECT_EQ(world.ClientStderr(), "") << "the client wrote to stderr";
    }

    static std::unique_ptr<Desktop> desktop_;
    std::optional<Captures> shots_;
};

std::unique_ptr<Desktop> OnTheDesktop::desktop_;

TEST_F(OnTheDesktop, LoginWithAWrongPinThenThePinThenAgainFromTheMenuBarByKeyboard) {
    World world(D().Display());
    world.StartClient();
    auto main = WaitWindow(kMainTitle);
    auto login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(main && login) << "the main window and the login dialog come up at start";
    Focus(*login);
    Shot("main-window-and-login");
    const int triesBefore = world.PinTriesLeft();

    // A wrong PIN: the card refuses it, the dialog stays for another try.
    D().Type("000000");
    D().Key("Return");
    AnswerBox("wrong-pin");
    EXPECT_FALSE(D().WindowsTitled(kLoginTitle).empty()) << "the login dialog stays open";
    EXPECT_EQ(world.PinTriesLeft(), triesBefore - 1);

    // Leaving the login: the question, Yes, and the main window stays empty.
    LeaveDialog(*login, "leave-login-question");

    // F10 puts the menu bar into menu mode with its first item drawn selected.
    Focus(*main);
    D().Key("F10");
    const QRect menuBar(main->rect.topLeft(), QSize(150, kMenuBarHeight - 1));
    ASSERT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), menuBar, kMenuSelected) > 500; }, 5s))
        << "no item drawn selected after F10";
    QImage img = D().Capture();
    const QRect selected = ColourBox(img, menuBar, kMenuSelected);
    EXPECT_EQ(selected.left() - main->rect.left(), 20) << "filled from 20 pixels right of the item's edge";
    EXPECT_LT(selected.right() - main->rect.left(), 75) << "the first item";
    shots_->Save(img, "menu-mode-first-item");
    // Right moves to "网络测试", Left back to "登录", Esc leaves menu mode.
    D().Key("Right");
    ASSERT_TRUE(WaitUntil(
        [&] { return ColourBox(D().Capture(), menuBar, kMenuSelected).left() - main->rect.left() == 95; },
        5s));
    D().Key("Escape");
    ASSERT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), menuBar, kMenuSelected) == 0; }, 5s));
    EXPECT_TRUE(NoBoxFor(500ms)) << "Esc in menu mode only leaves it";
    D().Key("F10");
    D().Key("Left");  // wraps round to "网络测试"
    D().Key("Right"); // and back to "登录"
    D().Key("Return");
    login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(login) << "登录 from the keyboard opens the login dialog";
    Focus(*login);
    D().Type(kPin);
    D().Key("Return");
    AnswerBox("login-succeeded");
    AnswerBox("renewal-window-message");
    EXPECT_EQ(world.PinTriesLeft(), triesBefore) << "a good PIN resets the count";

    // The card's data in the fields: the end date on its yellow background.
    const QRect endDate = DluRect(*main, 333, 136, 114, 20);
    EXPECT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), endDate, kEndDateBackground) > 100; }, 5s));
    Shot("main-window-with-card-data");

    // "登录" again with the mouse: already logged in.
    D().Click(main->rect.topLeft() + QPoint(40, 12));
    AnswerBox("already-logged-in");
    EXPECT_TRUE(NoBoxFor(500ms));
    ExpectQuietConsole(world);
}

TEST_F(OnTheDesktop, RenewalShowsEachNoticeOnScreenWhileItsCallBlocksThenTheSuccessAndTheNewDate) {
    World world(D().Display(), kSlowMs);
    const std::string before = world.CardValidTo();
    ASSERT_FALSE(before.empty());
    const Window main = StartAndLogIn(world);
    ASSERT_NE(main.id, 0u);
    Focus(main);
    const QRect endDate = DluRect(main, 333, 136, 114, 20);
    const QImage dateBefore = D().Capture().copy(endDate);

    D().Click(AtDlu(main, 92 + 36, 192 + 10)); // "法人卡延期"
    // Poll the screen: each notice must be seen painted (its red phrase inside its rectangle) while its
    // call blocks. The red phrase starts further right the longer the black phrase before it.
    struct Seen {
        int redStart;
        QRect rect;
    };
    std::vector<Seen> seen;
    bool pokedDuringCall = false;
    std::optional<Window> done;
    WaitUntil(
        [&] {
            for (const Window& w : D().Windows()) {
                if (w.title == kBoxTitle) {
                    done = w;
                    return true;
                }
                if (w.rect.size() != QSize(571, 61)) {
                    continue;
                }
                const QImage img = D().Capture();
                const QRect red = ColourBox(img, w.rect, kNoticeRed);
                if (CountColour(img, w.rect, kNoticeRed) < 150) {
                    continue; // mapped but not painted (yet)
                }
                const int start = red.left() - w.rect.left();
                if (seen.empty() || std::abs(seen.back().redStart - start) > 3) {
                    seen.push_back({start, w.rect});
                    shots_->Save(img, "notice-" + std::to_string(seen.size()));
                }
                if (!pokedDuringCall) {
                    // What a user might do meanwhile: none of it may act, now or when the call returns.
                    pokedDuringCall = true;
                    D().Key("Escape");
                    D().Key("Return");
                    D().Click(AtDlu(main, 92 + 36, 192 + 10));
                    D().Key("alt+F4");
                }
            }
            return false;
        },
        60s, 40ms);
    if (seen.size() != 4u || !done) {
        Shot("renewal-not-as-expected");
        for (const Window& w : D().Windows()) {
            std::printf("window %x '%s' %d,%d %dx%d%s\n", w.id, w.title.c_str(), w.rect.x(), w.rect.y(),
                        w.rect.width(), w.rect.height(), w.overrideRedirect ? " override-redirect" : "");
        }
    }
    ASSERT_EQ(seen.size(), 4u) << "signing, key pair, sending, writing";
    EXPECT_GT(seen[1].redStart, seen[0].redStart) << "正在生成公私钥对 after 正在做签名";
    EXPECT_GT(seen[2].redStart, seen[1].redStart) << "正在向服务器发送数据 after that";
    EXPECT_LT(seen[3].redStart, seen[0].redStart) << "正在写卡 is the shortest";
    std::printf("[ placement] main window %d,%d; notice %d,%d\n", main.rect.x(), main.rect.y(),
                seen[0].rect.x(), seen[0].rect.y());
    for (const Seen& s : seen) {
        // Centred at its template size (wider than 571), then cut keeping its top-left corner.
        EXPECT_LT(s.rect.left(), (D().ScreenSize().width() - 571) / 2);
        EXPECT_EQ(s.rect.topLeft(), seen[0].rect.topLeft());
    }

    ASSERT_TRUE(done) << "no message after the renewal";
    AnswerBox("renewal-succeeded");
    // The success dialog at the top-left corner of the main window's client area, below the menu bar.
    std::optional<Window> success;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const QImage img = D().Capture();
            for (const Window& w : D().Windows()) {
                if (w.id != main.id && CountColour(img, w.rect, kSuccessBackground) > 200) {
                    success = w;
                    return true;
                }
            }
            return false;
        },
        10s));
    Shot("success-dialog");
    std::printf("[ placement] success dialog %d,%d\n", success->rect.x(), success->rect.y());
    EXPECT_EQ(success->rect.topLeft(), main.rect.topLeft() + QPoint(0, kMenuBarHeight));
    D().Key("Return"); // it has the keyboard without being clicked
    ASSERT_TRUE(WaitGone(*success));

    // Nothing given during the calls acted: no exit question, no second renewal, the client still runs.
    EXPECT_TRUE(NoBoxFor(1500ms));
    EXPECT_TRUE(Running(world.Client()));
    EXPECT_EQ(world.IssueCount(), 1);
    const std::string after = world.CardValidTo();
    EXPECT_NE(after, before);
    EXPECT_GT(after, before);
    // The end-date field shows another date than before.
    ASSERT_TRUE(WaitUntil([&] { return D().Capture().copy(endDate) != dateBefore; }, 5s));
    Shot("main-window-after-renewal");
    ExpectQuietConsole(world);
}

TEST_F(OnTheDesktop, NetworkTestSettingsFromContextMenuAndKeyboardAndTheExitPath) {
    World world(D().Display());
    world.StartClient();
    auto main = WaitWindow(kMainTitle);
    auto login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(main && login);
    LeaveDialog(*login, "leave-login-question");
    Focus(*main);

    // "网络测试" from the keyboard: the server answers, one box says so.
    D().Key("F10");
    D().Key("Right");
    D().Key("Return");
    AnswerBox("network-test");
    EXPECT_TRUE(NoBoxFor(800ms)) << "one message, not a failure pair";

    // The settings from the context menu (right click), first entry.
    D().Click(AtDlu(*main, 200, 60), 3);
    ASSERT_TRUE(WaitUntil(
        [&] {
            for (const Window& w : D().Windows()) {
                if (w.overrideRedirect && w.rect.contains(AtDlu(*main, 200, 60) + QPoint(5, 5))) {
                    return true;
                }
            }
            return false;
        },
        5s))
        << "no context menu";
    Shot("context-menu");
    D().Key("Down");
    D().Key("Return");
    auto settings = WaitWindow(kSettingsTitle);
    ASSERT_TRUE(settings) << "设置参数 opens the settings dialog";
    Focus(*settings);
    Shot("settings-dialog");
    LeaveDialog(*settings, "leave-settings-question");

    // The same from the keyboard alone: Shift+F10 opens the menu with its first entry selected.
    Focus(*main);
    D().Key("shift+F10");
    D().Key("Return");
    settings = WaitWindow(kSettingsTitle);
    ASSERT_TRUE(settings) << "Shift+F10, Enter opens the settings dialog";
    LeaveDialog(*settings, "leave-settings-question");

    // The exit path: the question, Yes, and the client ends normally.
    Focus(*main);
    D().Key("Escape");
    AnswerBox("exit-question");
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(0));
    world.Client() = -1;
    EXPECT_TRUE(D().WindowsTitled(kMainTitle).empty());
    ExpectQuietConsole(world);
}

// A Wayland desktop: Weston runs the client through XWayland, as Debian's desktop does. Keyboard only
// (see Desktop::Kind), so the renewal button, which only the mouse reaches directly, is not pressed here.
class OnWestonThroughXWayland : public OnTheDesktop {
protected:
    static void SetUpTestSuite() { desktop_ = std::make_unique<Desktop>(Desktop::Kind::WestonXWayland); }
};

TEST_F(OnWestonThroughXWayland, TheClientRunsThroughXWaylandLogsInShowsTheCardAndLeaves) {
    World world(D().Display());
    // A Wayland session that offers no X11 display: a clear message, no window.
    world.StartClient({"DISPLAY=", "WAYLAND_DISPLAY=wayland-renvora"});
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(2));
    EXPECT_NE(world.ClientStderr().find("XWayland"), std::string::npos) << world.ClientStderr();
    world.Client() = -1;
    std::filesystem::remove(world.Dir() / "client.err");

    // With XWayland's display, as the session hands it out: the whole login by keyboard.
    const Window main = StartAndLogIn(world);
    ASSERT_NE(main.id, 0u);
    const QRect endDate = DluRect(main, 333, 136, 114, 20);
    EXPECT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), endDate, kEndDateBackground) > 100; }, 5s));
    Shot("main-window-with-card-data");
    std::printf("[ placement] main window %d,%d\n", main.rect.x(), main.rect.y());

    Focus(main);
    D().Key("Escape");
    AnswerBox("exit-question");
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(0));
    world.Client() = -1;
    ExpectQuietConsole(world);
}

} // namespace
} // namespace rv::acceptance
