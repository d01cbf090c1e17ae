// The client as every desktop user meets it, on real widgets (offscreen): card calls on the call thread
// while the window keeps turning, colours that read in a dark theme, notice pictures drawn for the
// screen's pixel ratio, fields named for assistive tools, and values that fit their fields.
// (tests/acceptance drives the same on a real X server from outside.)
#include "card/dispids.h"
#include "config/gui/setDialog.h"
#include "platform/qt/call_thread.h"
#include "platform/qt/colours.h"
#include "platform/qt/ip_address_ctrl.h"
#include "platform/qt/template_dialog.h"
#include "platform/qt/text.h"
#include "res/resource_ids.h"
#include "support/dialog_driver.h"
#include "support/fake_card.h"
#include "support/qt_app.h"
#include "support/test_env.h"
#include "ui/CNewMenu.h"
#include "ui/CRenvoraDlg.h"
#include "ui/UpdateSuccessDialog.h"
#include "ui/notice_pictures.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace rv::test {
namespace {

using qt::TemplateDialog;

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

// A card control that notes, for every call, the thread it came on and how many calls ran at once.
class WatchedCard {
public:
    explicit WatchedCard(FakeCard& inner) : inner_(inner) {
        disp_.vtbl = &kVtbl;
        disp_.self = this;
    }
    RvDispatch* Dispatch() { return &disp_; }

    std::set<std::thread::id> threads;
    int calls = 0;
    int mostAtOnce = 0;

private:
    struct Disp : RvDispatch {
        WatchedCard* self;
    };
    template <class F> int Watch(F&& f) {
        {
            std::lock_guard lock(mutex_);
            threads.insert(std::this_thread::get_id());
            ++calls;
            mostAtOnce = std::max(mostAtOnce, ++running_);
        }
        const int rc = f(inner_.Dispatch());
        std::lock_guard lock(mutex_);
        --running_;
        return rc;
    }
    static WatchedCard& Of(RvDispatch* d) { return *static_cast<Disp*>(d)->self; }
    static int Invoke(RvDispatch* d, int id) {
        return Of(d).Watch([&](RvDispatch* in) { return in->vtbl->Invoke(in, id); });
    }
    static int GetInt(RvDispatch* d, int id, int32_t* v) {
        return Of(d).Watch([&](RvDispatch* in) { return in->vtbl->GetInt(in, id, v); });
    }
    static int GetString(RvDispatch* d, int id, const char** data, size_t* len) {
        return Of(d).Watch([&](RvDispatch* in) { return in->vtbl->GetString(in, id, data, len); });
    }
    static int SetString(RvDispatch* d, int id, const char* data, size_t len) {
        return Of(d).Watch([&](RvDispatch* in) { return in->vtbl->SetString(in, id, data, len); });
    }
    static void Release(RvDispatch* d) {
        Of(d).Watch([](RvDispatch* in) {
            in->vtbl->Release(in);
            return 0;
        });
    }
    static constexpr RvDispatchVtbl kVtbl = {Invoke, GetInt, GetString, SetString, Release};

    FakeCard& inner_;
    Disp disp_;
    std::mutex mutex_;
    int running_ = 0;
};

class EveryDesktop : public ::testing::Test {
protected:
    void SetUp() override { QtApp(); }

    // Runs the main window over `control` (the fake card unless given); `inside` sees every dialog that
    // comes up, the main window among them, and whatever it leaves open is ended afterwards (the login
    // cancelled).
    void RunMainWindow(const std::function<void(TemplateDialog&)>& inside, RvDispatch* control = nullptr) {
        HookGuard hook([&](TemplateDialog& d) {
            inside(d);
            if (!d.IsEnded()) {
                d.EndDialog(d.TemplateId() == res::kLoginDialog ? 130 : 1);
            }
        });
        CRenvoraDlg dlg(nullptr, [&](CDCertUpdate& c) {
            c.Attach(control ? control : card.Dispatch());
            return true;
        });
        dlg.DoModal();
    }

    TempWorkDir dir;
    CoreFixture core;
    FakeCard card;
};

// A login whose password check takes its time: the card calls all run on the call thread, one at a time,
// while the user interface thread keeps turning; keys given meanwhile are dropped, so are presses that no
// input event carries (an assistive tool's press action on a button or a menu item), and a request to quit
// (as a session's logout sends it) is answered by the exit question once the login is over.
TEST_F(EveryDesktop, CardCallsRunOnTheCallThreadOneAtATimeWhileTheWindowTurnsAndTakesNoInput) {
    WatchedCard watched(card);
    card.QueueResult(dispid::ReadCardInfo, -1, Gbk(u8"读卡失败"));
    // The check lasts until the user interface thread has turned a few times and acted meanwhile.
    std::atomic<bool> released{false};
    card.OnMethod(dispid::VerifyPassword, [&] {
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!released && std::chrono::steady_clock::now() < bound) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    core.boxes.SetDefaultAnswer(IDNO);

    int ticks = 0;
    bool quitSent = false;
    bool pressedMenu = false;
    std::thread::id callThread;
    int logins = 0;
    int loginsDuringACall = 0;
    bool endedByTheQuit = true;
    RunMainWindow(
        [&](TemplateDialog& d) {
            if (d.TemplateId() == res::kMainDialog) {
                // The login flow has run inside the window's initialisation, the quit has been answered.
                callThread = qt::CallThread::Id();
                endedByTheQuit = d.IsEnded();
                return;
            }
            if (d.TemplateId() == res::kLoginDialog && qt::CallThread::CallInFlight()) {
                ++loginsDuringACall;
            }
            if (d.TemplateId() == res::kLoginDialog && ++logins == 1) {
                d.SetDlgItemText(res::kPasswordEdit, "123456");
                QTimer ticker;
                QObject::connect(&ticker, &QTimer::timeout, [&] {
                    ++ticks;
                    if (ticks == 2) {
                        // What the person does while the card checks the password.
                        QTest::keyClick(&d, Qt::Key_Escape);
                        QTest::keyClick(d.GetDlgItem(res::kLoginButton), Qt::Key_Return);
                        // A screen reader presses the login button (its action ends in click()) and
                        // the menu bar's 登录 item.
                        qobject_cast<QPushButton*>(d.GetDlgItem(res::kLoginButton))->click();
                        for (QWidget* top : QApplication::topLevelWidgets()) {
                            if (auto* main = dynamic_cast<CRenvoraDlg*>(top)) {
                                QAccessibleInterface* bar =
                                    QAccessible::queryAccessibleInterface(&main->Menu());
                                bar->child(0)->actionInterface()->doAction(
                                    QAccessibleActionInterface::pressAction());
                                pressedMenu = true;
                            }
                        }
                        QEvent quit(QEvent::Quit);
                        QCoreApplication::sendEvent(qApp, &quit);
                        quitSent = true;
                    }
                    released = ticks >= 4;
                });
                ticker.start(20);
                d.SendCommand(res::kLoginButton);
                ticker.stop();
            }
        },
        watched.Dispatch());

    EXPECT_GE(ticks, 4) << "the event loop turned while the card worked";
    EXPECT_TRUE(quitSent);
    EXPECT_TRUE(pressedMenu);
    EXPECT_EQ(loginsDuringACall, 0) << "a press during the call opened the login";
    EXPECT_EQ(card.CountMethod(dispid::VerifyPassword), 1)
        << "Enter or a press on the login button during the call";
    ASSERT_NE(callThread, std::thread::id());
    EXPECT_EQ(watched.threads, std::set<std::thread::id>{callThread}) << "every card call on the call thread";
    EXPECT_NE(callThread, std::this_thread::get_id());
    EXPECT_EQ(watched.mostAtOnce, 1);
    // The read fails, the login comes back (cancelled here), and then the quit is answered.
    const auto texts = core.boxes.TextsUtf8();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), U(u8"您确定退出客户端吗？")) << "the quit asked during the call, answered No";
    for (const auto& t : texts) {
        EXPECT_NE(t, U(u8"您确定退出登录吗？")) << "Escape during the call acted";
    }
    EXPECT_FALSE(endedByTheQuit);
}

// The background a text sits on (the most frequent colour of `img`) and the contrast of the ink that
// differs most from it.
double InkContrast(const QImage& img) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            ++counts[img.pixel(x, y) | 0xFF000000];
        }
    }
    QRgb background = 0;
    int most = 0;
    for (const auto& [c, n] : counts) {
        if (n > most) {
            background = c;
            most = n;
        }
    }
    double best = 1;
    for (const auto& [c, n] : counts) {
        best = std::max(best, qt::ContrastRatio(QColor(c), QColor(background)));
    }
    return best;
}

QPalette DarkFusion() {
    QPalette p;
    const QColor window(53, 53, 53), base(42, 42, 42), text(220, 220, 220);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, window);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Mid, QColor(80, 80, 80));
    p.setColor(QPalette::Highlight, QColor(42, 130, 218));
    p.setColor(QPalette::HighlightedText, Qt::black);
    return p;
}

// Every colour the client sets itself reads at 4.5:1 or better, in the default palette and in a dark
// one: the menu bar's captions (and the selected one), the red dates, the red warning, the success
// message; the theme's own texts beside them as well.
TEST_F(EveryDesktop, EveryTextTheClientColoursReadsAtFourAndAHalfToOneInALightAndADarkPalette) {
    const QPalette before = QApplication::palette();
    for (const QPalette& palette : {QApplication::style()->standardPalette(), DarkFusion()}) {
        QApplication::setPalette(palette);
        const bool dark = palette.color(QPalette::Window).lightness() < 128;
        SCOPED_TRACE(dark ? "dark palette" : "light palette");
        std::map<std::string, double> contrast;
        RunMainWindow([&](TemplateDialog& d) {
            if (d.TemplateId() == res::kSuccessDialog) {
                QWidget* text = d.GetDlgItem(res::kSuccessText);
                contrast["success message"] = InkContrast(text->grab().toImage().copy(0, 0, 200, 30));
            }
            if (d.TemplateId() != res::kMainDialog) {
                return;
            }
            auto& w = static_cast<CRenvoraDlg&>(d);
            CardData& data = w.Model().data;
            data.applicantName = Gbk(u8"张建国");
            data.validFrom = "20250106";
            data.validTo = "20270106";
            w.ShowCardData();
            w.ApplyDateFont();
            auto field = [&](int id) {
                auto* e = w.Item<qt::TemplateEdit>(id);
                return e->grab().toImage().copy(e->TextRect());
            };
            contrast["start date"] = InkContrast(field(res::kEditValidFrom));
            contrast["end date"] = InkContrast(field(res::kEditValidTo));
            contrast["applicant"] = InkContrast(field(res::kEditApplicantName));
            contrast["warning"] = InkContrast(w.GetDlgItem(res::kNoticeText)->grab().toImage());
            contrast["label"] = InkContrast(w.GetDlgItem(res::kLabelApplicantName)->grab().toImage());
            CNewMenu& menu = w.Menu();
            contrast["menu caption"] =
                InkContrast(menu.grab(menu.ItemRect(1).adjusted(20, 0, 0, 0)).toImage());
            menu.EnterMenuMode();
            contrast["selected caption"] =
                InkContrast(menu.grab(menu.ItemRect(0).adjusted(20, 0, 0, 0)).toImage());
            menu.LeaveMenuMode();
            w.RunSuccessDialog();
        });
        ASSERT_EQ(contrast.size(), 8u);
        for (const auto& [what, ratio] : contrast) {
            EXPECT_GE(ratio, 4.5) << what;
        }
    }
    QApplication::setPalette(before);
}

// Share of a picture's ink (not white) that is drawn in a blend rather than a pure colour: the glyphs'
// antialiased edges. Drawn for twice the pixels, the edges are a smaller share; a 1x picture stretched
// keeps its share (or grows it, smoothed).
double EdgeShare(const QImage& img) {
    int ink = 0, pure = 0;
    const QRgb red = NoticeRed().rgb() | 0xFF000000;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y) | 0xFF000000;
            if (c == 0xFFFFFFFF) {
                continue;
            }
            ++ink;
            pure += c == red || c == 0xFF000000 ? 1 : 0;
        }
    }
    return ink == 0 ? 1.0 : 1.0 - static_cast<double>(pure) / ink;
}

// The notice pictures at 1.5x and 2x: the same picture (scaled back, it matches the 1x one), drawn for
// those pixels rather than stretched. The application icon has the sizes a scaled screen asks for.
TEST_F(EveryDesktop, NoticePicturesAndTheIconAreDrawnForTheScreensPixelRatio) {
    for (int id : {res::kPictureSign, res::kPictureKeyPair, res::kPictureSendData, res::kPictureWriteCard}) {
        SCOPED_TRACE(id);
        const QImage one = DrawNoticePicture(id).copy(0, 0, kNoticeWidth, kNoticeHeight);
        const double edgeOne = EdgeShare(one);
        for (qreal ratio : {1.5, 2.0}) {
            const QImage scaled = DrawNoticePicture(id, ratio);
            EXPECT_EQ(scaled.devicePixelRatio(), ratio);
            EXPECT_EQ(scaled.deviceIndependentSize().toSize(), DrawNoticePicture(id).size());
            const QImage shown =
                scaled.copy(0, 0, qRound(kNoticeWidth * ratio), qRound(kNoticeHeight * ratio));
            // Back at 1x it is the same picture: the same ink in the same places, give or take the blends.
            const QImage back = shown.scaled(one.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                    .convertToFormat(one.format());
            long diff = 0;
            for (int y = 0; y < one.height(); ++y) {
                for (int x = 0; x < one.width(); ++x) {
                    diff += std::abs(qGray(back.pixel(x, y)) - qGray(one.pixel(x, y)));
                }
            }
            EXPECT_LT(static_cast<double>(diff) / (one.width() * one.height()), 6.0) << ratio;
            // Drawn for the pixels: a smaller share of blended edge pixels than the 1x picture has.
            const double edge = EdgeShare(shown);
            EXPECT_LT(edge, edgeOne * (ratio > 1.75 ? 0.8 : 0.9))
                << ratio << ": " << edge << " vs " << edgeOne;
        }
    }
    const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
    for (int px : {16, 24, 32, 48, 64, 96}) {
        EXPECT_TRUE(sizes.contains(QSize(px, px))) << px;
    }
}

QString Name(QObject* o) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(o);
    return a ? a->text(QAccessible::Name) : QStringLiteral("<none>");
}

// What assistive tools are told: every field by its label (the settings' IP address part by part), the
// menu bar as a menu bar of menu items that can be pressed, a notice as an alert saying its text.
TEST_F(EveryDesktop, FieldsAreNamedByTheirLabelsTheMenuBarHasItemsAndANoticeIsAnAlert) {
    std::vector<int> commands;
    RunMainWindow([&](TemplateDialog& d) {
        if (d.TemplateId() == res::kSettingsDialog) {
            auto* ip = d.Item<qt::IpAddressCtrl>(res::kIpAddressCtrl);
            EXPECT_EQ(Name(ip), qt::Q(Gbk(u8"IP地址")));
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(Name(ip->Field(i)),
                          qt::Q(Gbk(u8"IP地址第")) + QString::number(i + 1) + qt::Q(Gbk(u8"段")));
            }
            EXPECT_EQ(Name(d.GetDlgItem(res::kPortEdit)), qt::Q(Gbk(u8"端口号")));
        }
        if (d.TemplateId() == res::kLoginDialog) {
            EXPECT_EQ(Name(d.GetDlgItem(res::kPasswordEdit)), qt::Q(Gbk(u8"请输入口令")));
        }
        if (d.TemplateId() == res::kMainDialog) {
            auto& w = static_cast<CRenvoraDlg&>(d);
            const std::map<int, const char8_t*> labels = {{res::kEditApplicantName, u8"申请者名称"},
                                                          {res::kEditCertSeqNo, u8"用户证书号"},
                                                          {res::kEditIdNumber, u8"证件号码"},
                                                          {res::kEditCardNumber, u8"IC卡号"},
                                                          {res::kEditUnitName, u8"单位名称"},
                                                          {res::kEditCardType, u8"卡类型"},
                                                          {res::kEditValidFrom, u8"证书有效期开始时间"},
                                                          {res::kEditValidTo, u8"证书有效期结束时间"}};
            for (const auto& [id, label] : labels) {
                EXPECT_EQ(Name(w.GetDlgItem(id)), qt::Q(Gbk(label))) << id;
            }
            QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(&w.Menu());
            ASSERT_NE(bar, nullptr);
            EXPECT_EQ(bar->role(), QAccessible::MenuBar);
            ASSERT_EQ(bar->childCount(), 2);
            EXPECT_EQ(bar->child(0)->role(), QAccessible::MenuItem);
            EXPECT_EQ(bar->child(0)->text(QAccessible::Name), qt::Q(Gbk(u8"登录")));
            EXPECT_EQ(bar->child(1)->text(QAccessible::Name), qt::Q(Gbk(u8"网络测试")));
            EXPECT_EQ(bar->indexOfChild(bar->child(1)), 1);
            w.Menu().EnterMenuMode();
            EXPECT_TRUE(bar->child(0)->state().focused);
            EXPECT_EQ(bar->focusChild(), bar->child(0));
            w.Menu().LeaveMenuMode();
            QObject::connect(&w.Menu(), &CNewMenu::command, [&](int id) { commands.push_back(id); });
            bar->child(1)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());

            w.ShowNotice(res::kPictureKeyPair);
            QAccessibleInterface* notice = QAccessible::queryAccessibleInterface(w.Notice()->Window());
            ASSERT_NE(notice, nullptr);
            EXPECT_EQ(notice->role(), QAccessible::AlertMessage);
            EXPECT_EQ(notice->text(QAccessible::Name),
                      qt::Q(Gbk(u8"正在生成公私钥对，请勿进行其他操作.....")));
            EXPECT_EQ(notice->text(QAccessible::Description), notice->text(QAccessible::Name));
            w.CloseNotice();
            w.SendCommand(res::kCmdSettings);
        }
    });
    EXPECT_EQ(commands, std::vector<int>{res::kCmdNetworkTest}) << "pressing 网络测试 through its action";
}

// The ink of `img` (not its most frequent colour) as columns: leftmost and rightmost.
std::pair<int, int> InkColumns(const QImage& img) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            ++counts[img.pixel(x, y)];
        }
    }
    QRgb background = std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                          return a.second < b.second;
                      })->first;
    int left = img.width(), right = -1;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (qGray(img.pixel(x, y)) < qGray(background) - 80) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
    }
    return {left, right};
}

// An 18-digit ID and a ten-character unit name are wider than their fields in the substitute face: they
// are drawn condensed, whole, inside the field.
TEST_F(EveryDesktop, AnEighteenDigitIdAndATenCharacterUnitNameFitTheirFields) {
    RunMainWindow([&](TemplateDialog& d) {
        if (d.TemplateId() == res::kMainDialog) {
            auto& w = static_cast<CRenvoraDlg&>(d);
            w.Model().data.idNumber = "110101198001010011";
            w.Model().data.unitName = Gbk(u8"北京云杉科技有限公司");
            w.Model().data.applicantName = Gbk(u8"张建国");
            w.ShowCardData();
            for (int id : {res::kEditIdNumber, res::kEditUnitName, res::kEditApplicantName}) {
                SCOPED_TRACE(id);
                auto* e = w.Item<qt::TemplateEdit>(id);
                const QString text = e->text();
                // Whole: as wide as the same text drawn alone in the field's font, and inside the field.
                QImage alone(QFontMetrics(e->font()).horizontalAdvance(text) + 20, e->height(),
                             QImage::Format_RGB32);
                alone.fill(Qt::white);
                QPainter p(&alone);
                p.setFont(e->font());
                p.setPen(Qt::black);
                p.drawText(QPoint(10, e->height() - 5), text);
                p.end();
                const auto [aloneLeft, aloneRight] = InkColumns(alone);
                const QImage shown = e->grab().toImage();
                const auto [left, right] =
                    InkColumns(shown.copy(2, 2, shown.width() - 4, shown.height() - 4));
                EXPECT_NEAR(right - left, aloneRight - aloneLeft, 2) << "cut off";
                EXPECT_LT(right + 2, e->width() - 4) << "runs into the frame";
                // Condensed only as far as needed: the short name keeps the field's face as it is.
                EXPECT_EQ(e->font().stretch() == 0 || e->font().stretch() == 100,
                          id == res::kEditApplicantName);
            }
            EXPECT_EQ(w.GetDlgItemText(res::kEditIdNumber), "110101198001010011");
        }
    });
}

} // namespace
} // namespace rv::test
