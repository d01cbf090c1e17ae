// The client on a real desktop, driven from outside: Xvfb with openbox, the reference server and the
// client as separate processes, synthetic input through XTest (xdotool), and the X server's screen read
// back. Each scenario ends by checking the card's and the server's state with their own tools. Captures
// of every window go to a folder per scenario (printed at the start).
#include "acceptance/assistive.h"
#include "acceptance/desktop.h"
#include "acceptance/world.h"
#include "platform/dialog_template.h"
#include "platform/qt/colours.h"
#include "platform/qt/fonts.h"
#include "res/resource_ids.h"
#include "ui/notice_pictures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

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

// The colours of `img` (without alpha) and how often each occurs.
std::map<QRgb, int> ColourCounts(const QImage& img) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            ++counts[img.pixel(x, y) & 0xFFFFFF];
        }
    }
    return counts;
}

// The most frequent of `counts`: a window's face, a text's background.
QRgb MostFrequent(const std::map<QRgb, int>& counts) {
    QRgb colour = 0;
    int most = 0;
    for (const auto& [c, n] : counts) {
        if (n > most) {
            colour = c;
            most = n;
        }
    }
    return colour;
}

// Of the pixels of `before` that are not its most frequent colour (the window's face), the share that
// `now` still shows unchanged at the same places: near 1 for stale pixels of a closed window.
double UnchangedShare(const QImage& before, const QImage& now) {
    const QRgb face = MostFrequent(ColourCounts(before));
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

// The background of `img` (its most frequent colour) and the strongest contrast a pixel that `isInk` takes
// for text has against it: what a reader of that text gets at best.
double TextContrast(const QImage& img, const std::function<bool(QRgb)>& isInk) {
    const std::map<QRgb, int> counts = ColourCounts(img);
    const QRgb background = MostFrequent(counts);
    double best = 1;
    for (const auto& [c, n] : counts) {
        if (isInk(c)) {
            best = std::max(best, qt::ContrastRatio(QColor(c), QColor(background)));
        }
    }
    return best;
}
bool Reddish(QRgb c) {
    return qRed(c) > qGreen(c) + 60 && qRed(c) > qBlue(c) + 60;
}
bool AnyInk(QRgb) {
    return true;
}

// Share of a notice's ink (not white) drawn in a blend rather than its pure black or red: the glyphs'
// antialiased edges. A picture drawn for twice the pixels has relatively fewer of them; a 1x picture
// stretched to 2x has as many or more.
double EdgeShare(const QImage& img) {
    int ink = 0;
    int pure = 0;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y) & 0xFFFFFF;
            if (c == 0xFFFFFF) {
                continue;
            }
            ++ink;
            pure += c == (NoticeRed() & 0xFFFFFF) || c == 0 ? 1 : 0;
        }
    }
    return ink == 0 ? 1.0 : 1.0 - static_cast<double>(pure) / ink;
}

// Which notice picture a capture of a notice window shows: the one whose 1x picture it matches best,
// scaled back to 1x; with the mean difference (grey levels).
struct NoticeMatch {
    int picture = 0;
    double difference = 1e9;
};
NoticeMatch MatchNotice(const QImage& shown) {
    const QImage back =
        shown.scaled(kNoticeWidth, kNoticeHeight, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    NoticeMatch best;
    for (int id : {res::kPictureSign, res::kPictureKeyPair, res::kPictureSendData, res::kPictureWriteCard}) {
        const QImage one = DrawNoticePicture(id).copy(0, 0, kNoticeWidth, kNoticeHeight);
        long diff = 0;
        for (int y = 0; y < kNoticeHeight; ++y) {
            for (int x = 0; x < kNoticeWidth; ++x) {
                diff += std::abs(qGray(back.pixel(x, y)) - qGray(one.pixel(x, y)));
            }
        }
        const double mean = static_cast<double>(diff) / (kNoticeWidth * kNoticeHeight);
        if (mean < best.difference) {
            best = {id, mean};
        }
    }
    return best;
}

std::string Utf8(const QString& s) {
    return s.toStdString();
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
    QPoint AtDlu(const Window& main, double x, double y) const {
        const double sx = main.rect.width() / 468.0;
        const double sy = (main.rect.height() - kMenuBarHeight * scale_) / 229.0;
        return {main.rect.left() + static_cast<int>(x * sx),
                main.rect.top() + kMenuBarHeight * scale_ + static_cast<int>(y * sy)};
    }
    QRect DluRect(const Window& main, int x, int y, int w, int h) const {
        return QRect(AtDlu(main, x, y), AtDlu(main, x + w, y + h));
    }

    // Starts the client (with `env` besides the scenario's) and logs in with the PIN; returns the main
    // window.
    Window StartAndLogIn(World& world, const std::vector<std::string>& env = {}) {
        world.StartClient(env);
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
    int scale_ = 1; // the desktop's scaling (Xft.dpi / 96)
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

// At twice the scale (Xft.dpi 192 on a large screen) with a screen reader's bus, through a renewal whose
// key-pair generation takes 15 s, as on a real card. A screen reader walks the login dialog, the main
// window, its menu bar (whose keys it hears), every field named by its label, the whole ID and unit name
// on screen, each notice as it comes and the success dialog. During the 15 s the window answers the
// window manager's ping at once, is repainted after another window has crossed it, and the notice is
// announced and found. Each notice is drawn for 2x: scaled back it is its 1x picture, but not stretched.
TEST_F(OnTheDesktop, AtTwiceTheScaleWithAScreenReaderAFifteenSecondKeyPairKeepsTheWindowAliveAndSpoken) {
    own_ = std::make_unique<Desktop>(Desktop::Kind::XvfbOpenbox, Desktop::Screen{{2560, 1600}, 192});
    scale_ = 2;
    constexpr int kKeyPairMs = 15000;
    WorldFaults faults;
    faults.more = {{"SignData", kSlowMs}, {"InitUpdate", kKeyPairMs}, {"WriteCard", kSlowMs}};
    faults.renewalMs = kSlowMs;
    World world(D().Display(), faults);
    ScreenReaderBus reader(D().Display(), world.Dir() / "a11y");
    const std::string before = world.CardValidTo();

    // The login dialog and the main window behind it, as a screen reader finds them.
    world.StartClient(reader.ClientEnv());
    auto main = WaitWindow(kMainTitle);
    auto login = WaitWindow(kLoginTitle);
    ASSERT_TRUE(main && login);
    Shot("main-window-and-login");
    {
        const auto tree = reader.Walk();
        ASSERT_GE(tree.seconds, 0) << "the walk did not end";
        EXPECT_EQ(tree.Find("dialog", kLoginTitle).size(), 1u);
        EXPECT_EQ(tree.Find("password text", "请输入口令").size(), 1u) << "the PIN field named by its label";
        EXPECT_EQ(tree.Find("push button", "登录").size(), 1u);
        EXPECT_EQ(tree.Find("dialog", kMainTitle).size(), 1u);
        const auto bars = tree.Indices("menu bar");
        ASSERT_EQ(bars.size(), 1u) << "the menu bar is a menu bar";
        std::vector<std::string> items;
        for (const auto& item : tree.ChildrenOf(bars[0])) {
            items.push_back(item.role + ":" + item.name);
        }
        EXPECT_EQ(items, (std::vector<std::string>{"menu item:登录", "menu item:网络测试"}));
    }
    Focus(*login);
    D().Type(kPin);
    D().Key("Return");
    AnswerBox("login-succeeded");
    AnswerBox("renewal-window-message");
    main = WaitWindow(kMainTitle);
    ASSERT_TRUE(main);

    // The menu bar by keyboard: each item the selection moves to is announced with the focus.
    reader.Listen(120);
    Focus(*main);
    for (const char* key : {"F10", "Right", "Left", "Escape"}) {
        D().Key(key);
    }
    auto focusedItems = [&] {
        std::vector<std::string> names;
        for (const auto& e : reader.Events()) {
            if (e.type == "object:state-changed:focused" && e.detail1 == 1 && e.role == "menu item") {
                names.push_back(e.name);
            }
        }
        return names;
    };
    EXPECT_TRUE(WaitUntil([&] { return focusedItems().size() >= 3; }, 10s));
    EXPECT_EQ(focusedItems(), (std::vector<std::string>{"登录", "网络测试", "登录"}));

    // Every field named by its label; the whole 18-digit ID and unit name on the screen (their last
    // characters inside the fields).
    {
        const auto tree = reader.Walk();
        for (const char* label : {"申请者名称", "用户证书号", "证件号码", "IC卡号", "单位名称", "卡类型",
                                  "证书有效期开始时间", "证书有效期结束时间"}) {
            const auto fields = tree.Find("text", label);
            ASSERT_EQ(fields.size(), 1u) << label;
            EXPECT_TRUE(fields[0].Has("read only")) << label;
            EXPECT_FALSE(fields[0].text.empty()) << label;
            const QRect& box = fields[0].box;
            const QRect& last = fields[0].last;
            EXPECT_TRUE(last.left() >= box.left() && last.right() <= box.right())
                << label << ": its last character is cut off (" << last.left() << ".." << last.right()
                << " in " << box.left() << ".." << box.right() << ")";
        }
        EXPECT_EQ(tree.Find("text", "证件号码").at(0).text.size(), 18u);
        EXPECT_EQ(tree.Find("text", "单位名称").at(0).text, "北京云杉科技有限公司");
    }
    Shot("main-window-with-card-data");

    // The renewal. Each notice as it comes: which picture it shows and how it is drawn.
    const double start = MonotonicSeconds();
    D().Click(AtDlu(*main, 92 + 36, 192 + 10)); // "法人卡延期"
    std::vector<int> pictures;
    std::optional<Window> done;
    bool keyPairChecked = false;
    WaitUntil(
        [&] {
            for (const Window& w : D().Windows()) {
                if (w.title == kBoxTitle) {
                    done = w;
                    return true;
                }
                if (w.rect.size() != QSize(kNoticeWidth, kNoticeHeight) * scale_) {
                    continue;
                }
                const QImage img = D().Capture().copy(w.rect);
                if (CountColour(img, img.rect(), NoticeRed()) < 600) {
                    continue; // mapped, not painted yet
                }
                const NoticeMatch match = MatchNotice(img);
                if (pictures.empty() || pictures.back() != match.picture) {
                    pictures.push_back(match.picture);
                    shots_->Save(img, "notice-" + std::to_string(match.picture) + "-at-2x");
                    const double edge = EdgeShare(img);
                    const double edgeAt1x =
                        EdgeShare(DrawNoticePicture(match.picture).copy(0, 0, kNoticeWidth, kNoticeHeight));
                    std::printf(
                        "[ notice   ] %d at 2x: %.1f grey levels from its 1x picture; edge share %.2f "
                        "(1x %.2f)\n",
                        match.picture, match.difference, edge, edgeAt1x);
                    EXPECT_LT(match.difference, 8.0) << match.picture << ": not its picture";
                    EXPECT_LT(edge, 0.8 * edgeAt1x) << match.picture << ": the 1x picture stretched";
                }
                if (match.picture == res::kPictureKeyPair && !keyPairChecked) {
                    keyPairChecked = true;
                    // While the card generates its key pair (15 s).
                    const QString noticeText = NoticeText(res::kPictureKeyPair);
                    // The window manager's ping is answered at once.
                    std::vector<long> pings;
                    for (int i = 0; i < 5; ++i) {
                        const auto took = D().Ping(*main, 3s);
                        pings.push_back(took ? static_cast<long>(took->count()) : -1);
                        std::this_thread::sleep_for(100ms);
                    }
                    std::vector<long> sorted = pings;
                    std::sort(sorted.begin(), sorted.end());
                    std::printf("[ ping     ] answered in %ld %ld %ld %ld %ld ms\n", pings[0], pings[1],
                                pings[2], pings[3], pings[4]);
                    EXPECT_GE(sorted.front(), 0) << "a ping was not answered";
                    EXPECT_LT(sorted[2], 200) << "the median answer";
                    // Another window crosses the main window's upper part and goes: the window repaints.
                    const QRect area(main->rect.topLeft(), QSize(main->rect.width(), 120 * scale_));
                    const QImage uncovered = D().Capture().copy(area);
                    const QRgb magenta = qRgb(255, 0, 255);
                    const unsigned cover =
                        D().OpenCover(QRect(area.topLeft() - QPoint(200, 0), area.size()), magenta);
                    EXPECT_TRUE(
                        WaitUntil([&] { return CountColour(D().Capture(), area, magenta) > 1000; }, 3s));
                    D().MoveCover(cover, area.topLeft() + QPoint(60, 20));
                    Shot("another-window-over-the-main-window");
                    D().MoveCover(cover, QPoint(0, D().ScreenSize().height() - area.height()));
                    EXPECT_TRUE(WaitUntil([&] { return D().Capture().copy(area) == uncovered; }, 3s))
                        << "the main window was not repainted";
                    Shot("the-main-window-repainted");
                    D().CloseCover(cover);
                    // The notice was announced: an alert saying its text became showing.
                    EXPECT_TRUE(WaitUntil(
                        [&] {
                            for (const auto& e : reader.Events()) {
                                if (e.t > start && e.type == "object:state-changed:showing" &&
                                    e.detail1 == 1 && e.role == "alert" && e.name == Utf8(noticeText)) {
                                    return true;
                                }
                            }
                            return false;
                        },
                        5s))
                        << "the notice was not announced";
                    // A screen reader walks the window at once and finds the notice.
                    const auto tree = reader.Walk();
                    std::printf("[ a11y     ] the walk during the call took %.2f s\n", tree.seconds);
                    EXPECT_GE(tree.seconds, 0);
                    EXPECT_LT(tree.seconds, 5.0);
                    const auto alerts = tree.Find("alert", Utf8(noticeText));
                    EXPECT_EQ(alerts.size(), 1u) << "the notice is not found";
                    for (const auto& alert : alerts) {
                        EXPECT_EQ(alert.description, Utf8(noticeText));
                    }
                    // All of it while the key pair was still being made: its notice is still up.
                    bool stillUp = false;
                    for (const Window& now : D().Windows()) {
                        stillUp = stillUp ||
                                  (now.rect == w.rect &&
                                   MatchNotice(D().Capture().copy(now.rect)).picture == res::kPictureKeyPair);
                    }
                    EXPECT_TRUE(stillUp) << "the key pair was done before the checks were";
                }
            }
            return false;
        },
        90s, 100ms);
    EXPECT_EQ(pictures, (std::vector<int>{res::kPictureSign, res::kPictureKeyPair, res::kPictureSendData,
                                          res::kPictureWriteCard}));
    ASSERT_TRUE(done) << "no message after the renewal";
    AnswerBox("renewal-succeeded");

    // The success dialog: named, with its message.
    const std::optional<Window> success = WaitSuccessDialog();
    ASSERT_TRUE(success) << "no success dialog";
    Shot("success-dialog");
    {
        const auto tree = reader.Walk();
        const auto dialogs = tree.Find("dialog", "延期成功");
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_NE(dialogs[0].description.find("您的证书有效期已延期到"), std::string::npos);
        EXPECT_EQ(tree.Find("push button", "确定").size(), 1u);
    }
    D().Key("Return");
    ASSERT_TRUE(WaitGone(*success));
    EXPECT_GT(world.CardValidTo(), before);
    EXPECT_EQ(world.IssueCount(), 1);
    ExpectQuietConsole(world);
}

// Dark desktop themes: Adwaita-dark through Qt's GTK theme (which Qt picks by itself on GNOME with a
// dark GTK theme), then qt6ct's "darker" scheme. Every text the client colours itself reads at 4.5:1 or
// better on the screen; the whole ID is shown; and Enter in a data field asks before leaving: No keeps
// the client, Yes ends it.
TEST_F(OnTheDesktop, UnderDarkThemesEveryTextReadsTheIdFitsAndEnterInAFieldAsksBeforeLeaving) {
    World world(D().Display());
    const Window main = StartAndLogIn(world, {"QT_QPA_PLATFORMTHEME=gtk3", "GTK_THEME=Adwaita:dark"});
    ASSERT_NE(main.id, 0u);
    Focus(main);
    const QRect endDate = DluRect(main, 333, 136, 114, 20);
    ASSERT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), endDate, kEndDateBackground) > 100; }, 5s));
    const QImage screen = D().Capture();
    shots_->Save(screen, "main-window-adwaita-dark");
    // The theme is dark indeed: the window's face beside the group box.
    EXPECT_LT(qGray(screen.pixel(AtDlu(main, 6, 100))), 100);
    // What the client colours itself, measured on the screen.
    const QRect captions = QRect(main.rect.topLeft() + QPoint(20, 0), QSize(130, kMenuBarHeight - 1));
    std::map<std::string, double> contrast = {
        {"menu captions", TextContrast(screen.copy(captions), AnyInk)},
        {"start date", TextContrast(screen.copy(DluRect(main, 113, 141, 100, 14)), Reddish)},
        {"end date", TextContrast(screen.copy(DluRect(main, 335, 138, 60, 15)), Reddish)},
        {"warning", TextContrast(screen.copy(DluRect(main, 22, 166, 420, 14)), Reddish)},
    };
    D().Key("F10");
    ASSERT_TRUE(WaitUntil([&] { return CountColour(D().Capture(), captions, kMenuSelected) > 500; }, 5s));
    const QImage selected = D().Capture();
    shots_->Save(selected, "menu-mode-adwaita-dark");
    contrast["selected caption"] = TextContrast(
        selected.copy(QRect(main.rect.topLeft() + QPoint(21, 1), QSize(50, kMenuBarHeight - 3))), AnyInk);
    D().Key("Escape");
    for (const auto& [what, ratio] : contrast) {
        std::printf("[ contrast ] %s %.2f:1\n", what.c_str(), ratio);
        EXPECT_GE(ratio, 4.5) << what;
    }
    // The 18 digits of the ID, each apart from the next, none against the field's edge.
    const QRect idField = DluRect(main, 111, 71, 110, 17).adjusted(3, 3, -3, -3);
    const QImage id = screen.copy(idField);
    int digits = 0;
    int lastInk = -1;
    bool inDigit = false;
    for (int x = 0; x < id.width(); ++x) {
        bool ink = false;
        for (int y = 0; y < id.height(); ++y) {
            ink = ink || qGray(id.pixel(x, y)) > 150; // light text on the dark field
        }
        digits += ink && !inDigit ? 1 : 0;
        inDigit = ink;
        lastInk = ink ? x : lastInk;
    }
    std::printf("[ fields   ] ID: %d digits, ink to %d of %d\n", digits, lastInk, id.width());
    EXPECT_EQ(digits, 18);
    EXPECT_LT(lastInk, id.width() - 2) << "the last digit is cut off";

    // Enter in the ID field: the exit question. No keeps the client; Yes ends it (closing the card).
    D().Click(idField.center());
    D().Key("Return");
    AnswerBox("exit-question-after-enter-in-a-field", "Escape");
    EXPECT_TRUE(NoBoxFor(800ms));
    EXPECT_TRUE(Running(world.Client()));
    D().Click(idField.center());
    D().Key("Return");
    AnswerBox("exit-question-again");
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(0));
    world.Client() = -1;
    ExpectQuietConsole(world);

    // qt6ct's "darker" scheme: the menu bar and the warning, before the login.
    std::filesystem::create_directories(world.Dir() / "home" / ".config" / "qt6ct");
    std::ofstream(world.Dir() / "home" / ".config" / "qt6ct" / "qt6ct.conf")
        << "[Appearance]\ncolor_scheme_path=/usr/share/qt6ct/colors/darker.conf\ncustom_palette=true\n";
    world.StartClient({"QT_QPA_PLATFORMTHEME=qt6ct"});
    const auto darker = WaitWindow(kMainTitle);
    ASSERT_TRUE(darker && WaitWindow(kLoginTitle));
    const QImage darkerScreen = Painted(*darker);
    shots_->Save(D().Capture(), "main-window-qt6ct-darker");
    EXPECT_LT(qGray(D().Capture().pixel(AtDlu(*darker, 6, 100))), 100) << "not dark";
    const double menu = TextContrast(
        D().Capture().copy(QRect(darker->rect.topLeft() + QPoint(20, 0), QSize(130, kMenuBarHeight - 1))),
        AnyInk);
    const double warning = TextContrast(D().Capture().copy(DluRect(*darker, 22, 166, 420, 14)), Reddish);
    std::printf("[ contrast ] qt6ct darker: menu captions %.2f:1, warning %.2f:1\n", menu, warning);
    EXPECT_GE(menu, 4.5);
    EXPECT_GE(warning, 4.5);
    (void)darkerScreen;
}

// A Wayland desktop: Weston runs the client through XWayland, as Debian's desktop does. Keyboard only
// (see Desktop::Kind), so the renewal button, which only the mouse reaches directly, is not pressed here.
class OnWestonThroughXWayland : public OnTheDesktop {
protected:
    static void SetUpTestSuite() { desktop_ = std::make_unique<Desktop>(Desktop::Kind::WestonXWayland); }
};

// QT_QPA_PLATFORM=wayland (as sway or KDE set it for every program) does not move the client off X11.
TEST_F(OnWestonThroughXWayland, TheClientRunsThroughXWaylandLogsInShowsTheCardAndLeaves) {
    World world(D().Display());
    const std::vector<std::string> wayland = {"QT_QPA_PLATFORM=wayland",
                                              "WAYLAND_DISPLAY=" + D().WaylandSocket()};
    // A Wayland session that offers no X11 display: no window, status 2, and why, on stderr and in a
    // desktop notification (started from a menu, nobody reads stderr).
    SessionBus bus(world.Dir() / "session");
    pid_t notifications = Spawn({RENVORA_BUILD_DIR "/tests/notification-stand-in", "--log",
                                 (world.Dir() / "notifications.log").string(), "--", "sleep", "60"},
                                {"DBUS_SESSION_BUS_ADDRESS=" + bus.Address()}, "", "");
    ASSERT_TRUE(bus.WaitForName("org.freedesktop.Notifications", 20s));
    std::vector<std::string> noX = wayland;
    noX.insert(noX.end(), {"DISPLAY=", "DBUS_SESSION_BUS_ADDRESS=" + bus.Address()});
    world.StartClient(noX);
    EXPECT_EQ(WaitExit(world.Client(), 10s), std::optional<int>(2));
    EXPECT_NE(world.ClientStderr().find("XWayland"), std::string::npos) << world.ClientStderr();
    world.Client() = -1;
    Stop(notifications);
    std::ifstream log(world.Dir() / "notifications.log");
    const std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(logged.find("Notify\tRenvora\t"), std::string::npos) << logged;
    EXPECT_NE(logged.find("Renvora 无法启动"), std::string::npos) << logged;
    EXPECT_NE(logged.find("xwayland"), std::string::npos) << logged;
    std::filesystem::remove(world.Dir() / "client.err");

    // With XWayland's display, as the session hands it out: the whole login by keyboard, on X11.
    const Window main = StartAndLogIn(world, wayland);
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
