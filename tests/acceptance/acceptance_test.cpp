// The client on a real desktop, driven from outside: Xvfb with openbox, the reference server and the
// client as separate processes, synthetic input through XTest (xdotool), and the X server's screen read
// back. Each scenario ends by checking the card's and the server's state with their own tools. Captures
// of every window go to a folder per scenario (printed at the start).
#include "acceptance/desktop.h"
#include "acceptance/world.h"
#include "platform/dialog_template.h"
#include "platform/qt/fonts.h"
#include "res/resource_ids.h"
#include "ui/notice_pictures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <thread>

namespace rv::acceptance {
namespace {

using namespace std::chrono_literals;

// The notices' red, as the client draws it.
QRgb NoticeRed() {
    return rv::NoticeRed().rgb();
}
constexpr QRgb kMenuSelected = qRgb(139, 137, 137);
constexpr QRgb kEndDateBackground = qRgb(255, 255, 0);
constexpr QRgb kSuccessBackground = qRgb(0, 191, 255);
constexpr int kMenuBarHeight = 26; // 25-pixel items and the line beneath them
constexpr int kSlowMs = 1600;      // each slowed card call and the renewal request
constexpr const char* kRenewalPath = "/selfIcUpdate/upadteCert";
constexpr const char* kNetworkTestPath = "/selfIcUpdate";

// Where the template rule puts the notice: centred on the work area (openbox reserves none of the
// screen) at its template size in the template font's dialog units, before it is cut to 571 x 61.
QPoint NoticeTopLeft(QSize screen) {
    const dlg::DialogTemplate* t = dlg::FindTemplate(res::kNoticeDialog);
    const dlg::BaseUnits units = qt::BaseUnitsOf(qt::PointFont(t->pointSize * 10, t->face));
    const QSize size(dlg::DluToPixelsX(t->cx, units), dlg::DluToPixelsY(t->cy, units));
    return QRect(QPoint(0, 0), screen).center() - QPoint(size.width() / 2, size.height() / 2);
}

// Of the pixels of `before` that are not its most frequent colour (the window's face), the share that
// `now` still shows unchanged at the same places: near 1 for stale pixels of a closed window.
double UnchangedShare(const QImage& before, const QImage& now) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < before.height(); ++y) {
        for (int x = 0; x < before.width(); ++x) {
            ++counts[before.pixel(x, y) & 0xFFFFFF];
        }
    }
    QRgb face = 0;
    int most = 0;
    for (const auto& [colour, n] : counts) {
        if (n > most) {
            face = colour;
            most = n;
        }
    }
    int drawn = 0;
    int same = 0;
    for (int y = 0; y < before.height() && y < now.height(); ++y) {
        for (int x = 0; x < before.width() && x < now.width(); ++x) {
            const QRgb b = before.pixel(x, y) & 0xFFFFFF;
            if (b != face) {
                ++drawn;
                same += (now.pixel(x, y) & 0xFFFFFF) == b ? 1 : 0;
            }
        }
    }
    return drawn == 0 ? 1.0 : static_cast<double>(same) / drawn;
}

// Pixels near black (text) inside `area`.
int DarkPixels(const QImage& img, const QRect& area) {
    int n = 0;
    const QRect r = area.intersected(img.rect());
    for (int y = r.top(); y <= r.bottom(); ++y) {
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb c = img.pixel(x, y);
            n += qRed(c) < 60 && qGreen(c) < 60 && qBlue(c) < 60 ? 1 : 0;
        }
    }
    return n;
}

// The lines of text in a message box: bands of rows with ink right of its icon and above its buttons,
// each with the bounding box of its ink. The faces are small and antialiased: any clearly grey pixel
// counts.
std::vector<QRect> TextLines(const QImage& box) {
    std::vector<QRect> lines;
    const int left = 60;                  // the icon's column
    const int bottom = box.height() - 40; // the buttons' row
    for (int y = 0; y < bottom; ++y) {
        QRect ink;
        for (int x = left; x < box.width(); ++x) {
            if (qGray(box.pixel(x, y)) < 160) {
                ink |= QRect(x, y, 1, 1);
            }
        }
        if (ink.isEmpty()) {
            continue;
        }
        if (!lines.empty() && lines.back().bottom() >= y - 3) {
            lines.back() |= ink;
        } else {
            lines.push_back(ink);
        }
    }
    return lines;
}

class OnTheDesktop : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop_ = std::make_unique<Desktop>(); }
    static void TearDownTestSuite() { desktop_.reset(); }

    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        shots_.emplace(std::string(info->name()));
        std::printf("[ captures ] %s\n", shots_->Dir().c_str());
        home_.emplace();
    }
    void TearDown() override {
        // Every client of a scenario has a home and data folder of its own; the user's stay untouched.
        EXPECT_EQ(home_->Changes(), "") << "the scenario wrote into the real user's folders";
    }

    // The suite's desktop, or the scenario's own.
    Desktop& D() { return own_ ? *own_ : *desktop_; }
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
    // A message box: it comes up, is shown in a capture, and is answered with Enter (OK, or Yes), or with
    // `key` (Escape: No).
    QRect AnswerBox(const std::string& shot, const std::string& key = "Return") {
        auto box = WaitWindow(kBoxTitle);
        EXPECT_TRUE(box) << "no message box for " << shot;
        if (!box) {
            return {};
        }
        Focus(*box);
        Shot(shot);
        D().Key(key);
        EXPECT_TRUE(WaitGone(*box)) << shot;
        return box->rect;
    }
    void Focus(const Window& w) { D().Activate(w); }
    // The window's pixels once it is painted (mapped is not yet drawn): with some text in it.
    QImage Painted(const Window& w) {
        QImage img;
        WaitUntil(
            [&] {
                img = D().Capture().copy(w.rect);
                int ink = 0;
                for (int y = 0; y < img.height(); ++y) {
                    for (int x = 0; x < img.width(); ++x) {
                        ink += qGray(img.pixel(x, y)) < 160 ? 1 : 0;
                    }
                }
                return ink > 50;
            },
            5s);
        return img;
    }
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

    // Each notice seen painted on the screen while the renewal runs (its red phrase inside it), in order;
    // `during(notice number, seen so far)` may act meanwhile. Ends when a message box comes up (returned)
    // or after 60 s.
    struct Seen {
        int redStart; // the red phrase starts further right the longer the black phrase before it
        QRect rect;
    };
    std::optional<Window> WatchNotices(std::vector<Seen>& seen,
                                       const std::function<void(const Seen&)>& during) {
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
                    if (CountColour(img, w.rect, NoticeRed()) < 150) {
                        continue; // mapped but not painted (yet)
                    }
                    const int start = ColourBox(img, w.rect, NoticeRed()).left() - w.rect.left();
                    if (seen.empty() || std::abs(seen.back().redStart - start) > 3) {
                        seen.push_back({start, w.rect});
                        shots_->Save(img, "notice-" + std::to_string(seen.size()));
                    }
                    if (during) {
                        during(seen.back());
                    }
                }
                return false;
            },
            60s, 40ms);
        return done;
    }

    // Logs in and presses "法人卡延期"; the main window once the slowed write's notice is seen (an
    // empty one, the failure added, otherwise).
    Window RenewUntilTheWrite(World& world) {
        const Window main = StartAndLogIn(world);
        if (main.id == 0) {
            return {};
        }
        Focus(main);
        D().Click(AtDlu(main, 92 + 36, 192 + 10)); // "法人卡延期"
        if (!WaitForTheWrite()) {
            ADD_FAILURE() << "the write's notice was not seen";
            return {};
        }
        return main;
    }

    // The success dialog once it is painted: the window, other than the main one, with its background.
    std::optional<Window> WaitSuccessDialog() {
        std::optional<Window> success;
        WaitUntil(
            [&] {
                const QImage img = D().Capture();
                for (const Window& w : D().Windows()) {
                    if (w.title != kMainTitle && CountColour(img, w.rect, kSuccessBackground) > 200) {
                        success = w;
                        return true;
                    }
                }
                return false;
            },
            10s);
        return success;
    }

    // The write's notice, seen painted for a while: with only the write slowed, the only one that stays.
    bool WaitForTheWrite() {
        std::optional<std::chrono::steady_clock::time_point> since;
        int lastStart = -1;
        return WaitUntil(
            [&] {
                for (const Window& w : D().Windows()) {
                    const QImage img = D().Capture();
                    if (w.rect.size() == QSize(571, 61) && CountColour(img, w.rect, NoticeRed()) > 150) {
                        const int start = ColourBox(img, w.rect, NoticeRed()).left();
                        if (start != lastStart) {
                            lastStart = start;
                            since = std::chrono::steady_clock::now();
                        }
                        return std::chrono::steady_clock::now() - *since > 400ms;
                    }
                }
                return false;
            },
            30s, 40ms);
    }

    static std::unique_ptr<Desktop> desktop_;
    std::unique_ptr<Desktop> own_;
    std::optional<Captures> shots_;
    std::optional<RealHomeWatch> home_;
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
    // The card is remembered for the renewal reminder in the scenario's own data folder.
    EXPECT_EQ(world.RememberedEndDate(), world.CardValidTo().substr(0, 8)) << "the day the card ends";

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
    WorldFaults faults;
    faults.cardMs = kSlowMs;
    faults.renewalMs = kSlowMs;
    World world(D().Display(), faults);
    const std::string before = world.CardValidTo();
    ASSERT_FALSE(before.empty());
    const Window main = StartAndLogIn(world);
    ASSERT_NE(main.id, 0u);
    Focus(main);
    const QRect endDate = DluRect(main, 333, 136, 114, 20);
    const QImage dateBefore = D().Capture().copy(endDate);

    D().Click(AtDlu(main, 92 + 36, 192 + 10)); // "法人卡延期"
    // Each notice must be seen painted while its call blocks.
    std::vector<Seen> seen;
    bool pokedDuringCall = false;
    const std::optional<Window> done = WatchNotices(seen, [&](const Seen&) {
        if (!pokedDuringCall) {
            // What a user might do meanwhile: none of it may act, now or when the call returns.
            pokedDuringCall = true;
            D().Key("Escape");
            D().Key("Return");
            D().Click(AtDlu(main, 92 + 36, 192 + 10));
            D().Key("alt+F4");
        }
    });
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
        EXPECT_EQ(s.rect.topLeft(), NoticeTopLeft(D().ScreenSize()));
    }

    ASSERT_TRUE(done) << "no message after the renewal";
    AnswerBox("renewal-succeeded");
    // The success dialog at the top-left corner of the main window's client area, below the menu bar.
    const std::optional<Window> success = WaitSuccessDialog();
    ASSERT_TRUE(success) << "no success dialog";
    Shot("success-dialog");
    std::printf("[ placement] success dialog %d,%d\n", success->rect.x(), success->rect.y());
    EXPECT_EQ(success->rect.topLeft(), main.rect.topLeft() + QPoint(0, kMenuBarHeight));
    D().Key("Return"); // it has the keyboard without being clicked
    ASSERT_TRUE(WaitGone(*success));

    // The window closed (Alt+F4) during a call is answered now that the renewal is over, by the exit
    // question; No keeps the client. Nothing else given during the calls acted: no second renewal.
    AnswerBox("exit-question-for-the-close-during-the-call", "Escape");
    EXPECT_TRUE(NoBoxFor(1500ms));
    EXPECT_TRUE(Running(world.Client()));
    EXPECT_EQ(world.IssueCount(), 1);
    const std::string after = world.CardValidTo();
    EXPECT_NE(after, before);
    EXPECT_GT(after, before);
    EXPECT_EQ(world.RememberedEndDate(), after.substr(0, 8)) << "the reminder knows the new end date";
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

    // "网络测试" from the keyboard: the request reaches the server, which answers; one box says so with
    // one short line, "网络通讯正常！" (7 characters: about 7 times as wide as high). The failures say more:
    // two lines, or one of 20 characters.
    D().Key("F10");
    D().Key("Right");
    D().Key("Return");
    auto box = WaitWindow(kBoxTitle);
    ASSERT_TRUE(box) << "no answer to the network test";
    const QImage boxImage = D().Capture().copy(box->rect);
    shots_->Save(boxImage, "network-test-box");
    const std::vector<QRect> lines = TextLines(boxImage);
    ASSERT_EQ(lines.size(), 1u) << "one line of text";
    const double aspect = static_cast<double>(lines[0].width()) / lines[0].height();
    std::printf("[ network  ] text %dx%d\n", lines[0].width(), lines[0].height());
    EXPECT_GT(aspect, 5.0);
    EXPECT_LT(aspect, 9.5);
    EXPECT_EQ(world.RequestsTo(kNetworkTestPath), 1) << "the request went to the server";
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
    // Without a session's runtime folder the client made one per user, private, and left nothing else.
    const std::string runtime = "renvora-runtime-" + std::to_string(::getuid());
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::directory_iterator(world.Dir() / "tmp")) {
        left.push_back(e.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{runtime});
    struct stat st {};
    ASSERT_EQ(::lstat((world.Dir() / "tmp" / runtime).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A renewal request that fails: the button comes back, and a click and Enter given while the request ran
// start no second one. Before that, at the login, the message box and the login dialog that have just
// closed leave no stale pixels on the screen while the card's data are read (slowed).
TEST_F(OnTheDesktop, AFailedRequestReArmsTheButtonButInputDuringItStartsNoSecondRenewal) {
    WorldFaults faults;
    faults.renewalMs = kSlowMs;
    faults.renewalFails = true;
    faults.more["ReadCardInfo"] = 2000;
    World world(D().Display(), faults);
    world.StartClient();
    auto main = WaitWindow(kMainTitle);
    auto login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(main && login);
    Focus(*login);
    const QImage loginImage = Painted(*login);
    D().Type(kPin);
    D().Key("Return");
    auto box = WaitWindow(kBoxTitle);
    ASSERT_TRUE(box) << "no 登录成功！";
    Focus(*box);
    const QImage boxImage = Painted(*box);
    D().Key("Return");
    ASSERT_TRUE(WaitGone(*box));
    ASSERT_TRUE(WaitGone(*login));
    // The card's data are being read (2 s, after at most 1 s of the client's settling, which a busy
    // window manager may need): the screen shows the main window where both were.
    std::this_thread::sleep_for(1200ms);
    const QImage during = D().Capture();
    ASSERT_TRUE(D().WindowsTitled(kBoxTitle).empty()) << "the read is still running";
    shots_->Save(during, "while-the-card-is-read");
    EXPECT_LT(UnchangedShare(boxImage, during.copy(box->rect)), 0.3) << "stale pixels of the closed box";
    EXPECT_LT(UnchangedShare(loginImage, during.copy(login->rect)), 0.3) << "stale pixels of the login";
    AnswerBox("renewal-window-message");

    Focus(*main);
    const std::string endBefore = world.CardValidTo();
    const std::string rememberedBefore = world.RememberedEndDate();
    ASSERT_FALSE(rememberedBefore.empty());
    const QRect button = DluRect(*main, 92, 192, 72, 20);
    const int enabledInk = DarkPixels(D().Capture(), button);
    D().Click(AtDlu(*main, 92 + 36, 192 + 10)); // "法人卡延期"
    std::vector<Seen> seen;
    int disabledInk = -1;
    const std::optional<Window> failure = WatchNotices(seen, [&](const Seen&) {
        // The relay holds the request back, its notice is up: click the button and press Enter meanwhile.
        if (disabledInk < 0 && world.RequestsTo(kRenewalPath) == 1) {
            disabledInk = DarkPixels(D().Capture(), button);
            D().Click(AtDlu(*main, 92 + 36, 192 + 10));
            D().Key("Return");
        }
    });
    ASSERT_TRUE(failure) << "no message about the failed request";
    ASSERT_GE(disabledInk, 0) << "the request's notice was not seen";
    // The failure's messages: "网络通讯异常！", an empty line (no answer came), "请重试！"; then the hint to
    // try the network test, two long lines set one em apart. (Lines of one box closer than 3 pixels
    // count as one.)
    std::vector<std::vector<QRect>> texts;
    for (int n = 1; n <= 4; ++n) {
        const auto box = WaitWindow(kBoxTitle, 2s);
        if (!box) {
            break;
        }
        texts.push_back(TextLines(Painted(*box)));
        AnswerBox("request-failed-" + std::to_string(n));
    }
    ASSERT_EQ(texts.size(), 2u) << "two messages";
    ASSERT_EQ(texts[0].size(), 2u);
    const QRect head = texts[0][0];
    const QRect hint = std::accumulate(texts[1].begin(), texts[1].end(), QRect(), std::bit_or<QRect>());
    std::printf("[ failure  ] %dx%d, %dx%d %d below; hint %dx%d\n", head.width(), head.height(),
                texts[0][1].width(), texts[0][1].height(), texts[0][1].top() - head.top(), hint.width(),
                hint.height());
    EXPECT_LT(texts[0][1].width(), head.width() * 3 / 4) << "4 characters under 7";
    EXPECT_GT(texts[0][1].top() - head.top(), head.height() * 3 / 2) << "an empty line between";
    EXPECT_GT(hint.width(), head.width() * 3) << "the hint's long lines";
    EXPECT_GT(hint.height(), head.height() * 3 / 2) << "two lines";
    EXPECT_LT(hint.height(), head.height() * 5 / 2) << "two lines";
    EXPECT_TRUE(NoBoxFor(1500ms)) << "nothing queued during the request acted";
    EXPECT_EQ(world.RequestsTo(kRenewalPath), 1) << "no second renewal request";
    EXPECT_EQ(world.IssueCount(), 0);
    // The card keeps its certificate, and the reminder the date it had.
    EXPECT_EQ(world.CardValidTo(), endBefore);
    EXPECT_EQ(world.RememberedEndDate(), rememberedBefore);
    // The button is usable again (its caption black, not grey as while the request ran).
    const int reArmedInk = DarkPixels(D().Capture(), button);
    std::printf("[ button   ] dark pixels: enabled %d, during the request %d, afterwards %d\n", enabledInk,
                disabledInk, reArmedInk);
    EXPECT_LT(disabledInk, enabledInk / 4);
    EXPECT_GT(reArmedInk, enabledInk * 3 / 4);
    Shot("main-window-after-the-failure");
    EXPECT_TRUE(Running(world.Client()));
}

// Without a window manager the client maps its windows itself and works.
TEST_F(OnTheDesktop, WithoutAWindowManagerTheLoginWorks) {
    own_ = std::make_unique<Desktop>(Desktop::Kind::XvfbBare);
    World world(D().Display());
    const Window main = StartAndLogIn(world);
    ASSERT_NE(main.id, 0u);
    const QRect endDate = DluRect(main, 333, 136, 114, 20);
    EXPECT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), endDate, kEndDateBackground) > 100; }, 5s));
    Shot("main-window-with-card-data");
    Focus(main);
    D().Key("Escape");
    AnswerBox("exit-question");
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(0));
    world.Client() = -1;
    ExpectQuietConsole(world);
}

// A window manager that takes the screen and never maps a window: the client does not wait invisibly for
// ever; it says so and ends before it has touched the card. (A runtime folder of the client's name that
// is not the user's own is not used either.)
TEST_F(OnTheDesktop, AWindowManagerThatNeverMapsEndsTheClientWithAMessage) {
    own_ = std::make_unique<Desktop>(Desktop::Kind::XvfbNeverMaps);
    World world(D().Display());
    const std::string before = world.CardValidTo();
    const int tries = world.PinTriesLeft();
    std::filesystem::create_directories(world.Dir() / "tmp");
    std::filesystem::create_directory_symlink(
        world.Dir() / "elsewhere", world.Dir() / "tmp" / ("renvora-runtime-" + std::to_string(::getuid())));
    const auto t0 = std::chrono::steady_clock::now();
    world.StartClient();
    const std::optional<int> status = WaitExit(world.Client(), 20s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(status) << "the client still waits after 20 s";
    world.Client() = -1;
    std::printf("[ never maps] status %d after %.1f s\n", *status, seconds);
    EXPECT_EQ(*status, 2);
    EXPECT_LT(seconds, 12.0);
    const std::string err = world.ClientStderr();
    EXPECT_NE(err.find("did not appear on the screen within 5 s: the window manager does not show it"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("is not a folder of this user's; not used"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(world.Dir() / "elsewhere"));
    EXPECT_EQ(world.CardValidTo(), before);
    EXPECT_EQ(world.PinTriesLeft(), tries) << "no PIN was tried";
}

// The X server killed while the card is written: the write runs to its end (Qt notices the lost display
// only afterwards), and the client says so, with what the card now holds, and ends at once. The card
// holds a whole set, and the reminder knows its end date.
TEST_F(OnTheDesktop, TheXServerKilledDuringTheWriteEndsTheClientWithWhatTheCardHolds) {
    own_ = std::make_unique<Desktop>(Desktop::Kind::XvfbOpenbox);
    WorldFaults faults;
    faults.more["WriteCard"] = 2500;
    World world(D().Display(), faults);
    const std::string before = world.CardValidTo();
    const Window main = RenewUntilTheWrite(world);
    ASSERT_NE(main.id, 0u);
    Shot("writing");
    const auto t0 = std::chrono::steady_clock::now();
    D().KillServer();
    const std::optional<int> status = WaitExit(world.Client(), 15s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_TRUE(status) << "the client still runs 15 s after its display died";
    world.Client() = -1;
    std::printf("[ X killed ] status %d after %.1f s\n", *status, seconds);
    EXPECT_EQ(*status, 1);
    const std::string after = world.CardValidTo();
    EXPECT_GT(after, before) << "the write ran to its end";
    EXPECT_EQ(world.ClientStderr(),
              "renvora: the connection to the display was lost while the card was being "
              "written; the card now holds the new certificate, valid to " +
                  after.substr(0, 8) + "; start the client again to see it\n");
    EXPECT_EQ(world.RememberedEndDate(), after.substr(0, 8));
    EXPECT_EQ(world.IssueCount(), 1);
}

// The window manager's minimise button still works while a call blocks the client. The answer that
// follows (here "延期成功！") must come up with its owner brought back, and the client must go on.
TEST_F(OnTheDesktop, TheMainWindowMinimisedDuringTheWriteComesBackWithTheOutcome) {
    WorldFaults faults;
    faults.more["WriteCard"] = 2500;
    World world(D().Display(), faults);
    const std::string before = world.CardValidTo();
    const Window main = RenewUntilTheWrite(world);
    ASSERT_NE(main.id, 0u);
    ASSERT_TRUE(D().Xdotool("windowminimize " + std::to_string(main.id)));
    ASSERT_TRUE(WaitUntil([&] { return D().WindowsTitled(kMainTitle).empty(); }, 5s)) << "not minimised";
    Shot("minimised-while-writing");
    AnswerBox("renewal-succeeded");
    EXPECT_FALSE(D().WindowsTitled(kMainTitle).empty()) << "the main window did not come back";
    // The success dialog, then the client goes on with the new date.
    ASSERT_TRUE(WaitSuccessDialog()) << "no success dialog";
    Shot("success-dialog");
    D().Key("Return");
    EXPECT_TRUE(NoBoxFor(1000ms));
    EXPECT_TRUE(Running(world.Client()));
    const std::string after = world.CardValidTo();
    EXPECT_GT(after, before);
    EXPECT_EQ(world.IssueCount(), 1);
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
