// The renewal reminder's check over the client's clock: what a login and a renewal remember of the card,
// when a reminder is due, at most one a day, the ended and the long-ended card, the MaxDay it applies,
// and records that are damaged, foreign or shared by two checks at once.
#include "card/CDCertUpdate.h"
#include "card/dispids.h"
#include "cert_test_support.h"
#include "renewal/login.h"
#include "renewal/main_window_model.h"
#include "renewal/renewal_reminder.h"
#include "support/fake_card.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace rv::test {
namespace {
namespace fs = std::filesystem;

using Texts = std::vector<std::string>;

class RecordingSink : public ReminderSink {
public:
    bool Post(const Reminder& r) override {
        std::this_thread::sleep_for(delay);
        std::lock_guard<std::mutex> lock(mutex);
        posted.push_back(r);
        return true;
    }
    std::chrono::milliseconds delay{0};
    std::mutex mutex;
    std::vector<Reminder> posted;
};

bool Contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& l : lines) {
        if (l.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class Reminders : public ::testing::Test {
protected:
    Reminders() {
        card.Attach(fake.Dispatch());
        prevClock_ = InstallClock(&clock);
        MaxDay("180");
        fake.SetString(dispid::CryptAlgo, "SM2");
    }
    ~Reminders() override { InstallClock(prevClock_); }

    void Today(int y, int m, int d) { clock = FixedClock({y, m, d}); }
    void MaxDay(const std::string& v) { dir.Write("drive_c/Windows/time.ini", "MaxDay=" + v + "\r\n"); }
    void CardEndsOn(const std::string& validTo) {
        fake.SetString(dispid::CardInfo, "C0001|" + Gbk(u8"张三") + "|0|110101199001011234|x|IC7788|" +
                                             Gbk(u8"某某公司") + "|U01|y|RA09|10|20220305|" + validTo);
    }
    // A login with the right PIN to a card ending on `validTo`; returns what the user was shown.
    Texts LogIn(const std::string& validTo) {
        CardEndsOn(validTo);
        view.loginDialog = [this] { return LoginButtonPressed(card, "1234") ? IDOK : 130; };
        model.loggedIn = 0;
        core.boxes.Clear();
        model.LoginFlow();
        return core.boxes.TextsUtf8();
    }
    int Check() {
        sink.posted.clear();
        warnings.clear();
        reported.clear();
        return RunReminderCheck(Settings(), sink);
    }
    ReminderCheck Settings() {
        return {dir.dataDir(), dir.path() / "reminder.ini",
                [this](const std::string& line) { warnings.push_back(line); },
                [this](const std::string& line) { reported.push_back(line); }};
    }
    std::vector<RememberedCard> Remembered() {
        RememberedCards cards(dir.dataDir());
        std::string message;
        EXPECT_EQ(cards.Open("20000101", message), RememberedCards::Load::Read) << message;
        return cards.Cards();
    }

    TempWorkDir dir;
    CoreFixture core;
    FakeCard fake;
    CDCertUpdate card;
    FakeView view;
    MainWindowModel model{card, view};
    FixedClock clock{{2024, 3, 5}};
    RecordingSink sink;
    std::vector<std::string> warnings;
    std::vector<std::string> reported; // what a person at a terminal reads

private:
    const IClock* prevClock_ = nullptr;
};

TEST_F(Reminders, OneADayInsideTheWindowThenTheEndedCardHoweverLongAgo) {
    // 184 days left at login: the login says as much, and remembers the card without a word about it.
    EXPECT_EQ(LogIn("20240905"), (Texts{U8(u8"登录成功！"), U8(u8"您的IC卡有效期大于180天，无需延期！")}));
    std::vector<RememberedCard> cards = Remembered();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].cardNumber, "IC7788");
    EXPECT_EQ(cards[0].certSeqNo, "C0001");
    EXPECT_EQ(cards[0].endDate, "20240905");
    EXPECT_EQ(cards[0].maxDay, 180);
    EXPECT_EQ(cards[0].seen, "20240305");
    EXPECT_EQ(Check(), kReminderNothingDue);
    EXPECT_TRUE(sink.posted.empty());
    EXPECT_EQ(reported, Texts{U8(u8"没有需要延期的IC卡（已检查1张）。")});

    Today(2024, 3, 9); // 180 days left: inside the window, as the login would say
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(sink.posted[0].daysLeft, 180);
    EXPECT_FALSE(sink.posted[0].expired);
    EXPECT_EQ(Utf8(sink.posted[0].summary), U8(u8"IC卡证书即将到期"));
    EXPECT_EQ(
        Utf8(sink.posted[0].body),
        U8(u8"您的IC卡（IC7788）证书还有180天到期（2024年09月05日）。请插入IC卡，启动客户端进行延期。"));
    EXPECT_EQ(Check(), kReminderDue); // the same day again: still due, not posted again, still said
    EXPECT_TRUE(sink.posted.empty());
    EXPECT_EQ(
        reported,
        Texts{U8(u8"IC卡（IC7788）：证书2024年09月05日到期，还有180天，请插入IC卡，启动客户端进行延期。")});

    Today(2024, 3, 10);
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(sink.posted[0].daysLeft, 179);

    Today(2024, 9, 5);
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_NE(Utf8(sink.posted[0].body).find(U8(u8"证书今天（2024年09月05日）到期")), std::string::npos);

    Today(2024, 9, 6);
    EXPECT_EQ(Check(), kReminderExpired);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_TRUE(sink.posted[0].expired);
    EXPECT_EQ(Utf8(sink.posted[0].body),
              U8(u8"您的IC卡（IC7788）证书已于2024年09月05日过期，不可在本系统延期。"
                 u8"请携带IC卡去分中心进行处理！"));

    // Long after its end the card is still ended, and said to be, until it is renewed or forgotten.
    Today(2025, 9, 20);
    EXPECT_EQ(Check(), kReminderExpired);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_TRUE(sink.posted[0].expired);
    EXPECT_EQ(
        reported,
        Texts{U8(u8"IC卡（IC7788）：证书已于2024年09月05日过期（380天前），不可在本系统延期，"
                 u8"请携带IC卡去分中心进行处理。不再提醒此卡：renvora --check-expiry --forget IC7788")});
}

TEST_F(Reminders, ARenewalRemembersTheNewEndDateAndTheReminderStops) {
    const TestCert cert = MakeTestCert(dir.path(), "sign", 730);
    const auto today =
        std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())};
    Today(static_cast<int>(today.year()), static_cast<int>(static_cast<unsigned>(today.month())),
          static_cast<int>(static_cast<unsigned>(today.day())));
    const std::string soon = FormatDateText([&] {
        const std::chrono::year_month_day d{std::chrono::sys_days(today) + std::chrono::days(20)};
        return UtcDate{static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
                       static_cast<int>(static_cast<unsigned>(d.day()))};
    }());
    LogIn(soon);
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);

    // The card takes the new certificate and reads back its end date, while a check holds the record
    // for a second (posting to the desktop): the renewal waits for it rather than lose the new date.
    fake.OnMethod(dispid::WriteCard, [&] { CardEndsOn(cert.endDate + "120000"); });
    model.data.managePasswd = "MP";
    core.boxes.Clear();
    const int lock = ::open((dir.dataDir() / "cards.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    std::thread check([lock] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        ::close(lock);
    });
    model.WriteBack(cert.certPem, "ENV-CERT", "CSS-ENV", "CSS-SIGN", "KMS", "ENV-DATA");
    check.join();
    EXPECT_EQ(core.boxes.TextsUtf8(), Texts{U8(u8"延期成功！")});

    std::vector<RememberedCard> cards = Remembered();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].endDate, cert.endDate);
    EXPECT_EQ(cards[0].notified, ""); // a reminder about the old certificate says nothing about the new
    EXPECT_EQ(Check(), kReminderNothingDue);
    EXPECT_TRUE(sink.posted.empty());
}

TEST_F(Reminders, TheLoginsMaxDayAppliesAndTheOneSeenAtLoginStandsInWhenTimeIniIsGone) {
    MaxDay("60");
    LogIn("20240419"); // 45 days left
    EXPECT_EQ(Remembered().at(0).maxDay, 60);
    MaxDay("30"); // changed since: the check reads it as the login would now
    EXPECT_EQ(Check(), kReminderNothingDue);
    // The timer's environment names another drive root: still the login's time.ini counts.
    dir.Write("elsewhere/Windows/time.ini", "MaxDay=365\r\n");
    ::setenv("RENVORA_DRIVE_C", (dir.path() / "elsewhere").c_str(), 1);
    EXPECT_EQ(Check(), kReminderNothingDue);
    fs::remove(dir.driveC() / "Windows" / "time.ini");
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);

    // Whatever MaxDay says, the last 14 days are reminded of.
    MaxDay("0");
    Today(2024, 4, 5);
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);

    // Turned off by the person: still the answer in the exit status, but nothing posted.
    Today(2024, 4, 6);
    dir.Write("reminder.ini", "Remind=off\r\n");
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_TRUE(sink.posted.empty());
    EXPECT_TRUE(Contains(warnings, "reminders are turned off"));
}

// The timer fires at local midnight: in UTC+8 two checks can fall on two UTC dates within one local day.
TEST_F(Reminders, OneReminderPerLocalDayWhateverTheUtcDate) {
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    ::setenv("TZ", "CST-8", 1);
    ::tzset();
    LogIn("20240320");
    auto at = [&](int day, int hour) {
        return FixedInstant(
            static_cast<std::time_t>((19791 + day) * 86400LL + hour * 3600LL)); // 2024-03-09 + day
    };
    FixedInstant evening = at(0, 17); // 2024-03-09 17:00 UTC, 2024-03-10 01:00 in UTC+8
    InstallClock(&evening);
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(sink.posted[0].daysLeft, 11); // the window counts from the UTC date, as the login does
    EXPECT_EQ(Remembered().at(0).notified, "20240310");
    FixedInstant morning = at(1, 1); // 2024-03-10 01:00 UTC: another UTC date, the same local day
    InstallClock(&morning);
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_TRUE(sink.posted.empty());
    FixedInstant nextNight = at(1, 17); // 2024-03-11 01:00 in UTC+8
    InstallClock(&nextNight);
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(sink.posted[0].daysLeft, 10);
    InstallClock(&clock);
    oldTz ? ::setenv("TZ", savedTz.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// Dates stamped by a clock that was ahead would silence the card until that day: they are faults.
TEST_F(Reminders, DatesFromAClockThatWasAheadAreResetAndABrokenClockChecksNothing) {
    Today(2031, 1, 1);
    LogIn("20240320"); // the login's clock is seven years ahead: the card seems long ended
    EXPECT_EQ(Remembered().at(0).seen, "20310101");
    Today(2024, 3, 10); // set right again
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_TRUE(Contains(warnings, "card IC7788: last seen on 20310101, after today (20240310)"));
    EXPECT_EQ(Remembered().at(0).seen, "20240310");
    EXPECT_EQ(Remembered().at(0).notified, "20240310");

    // A reminder stamped by a clock ahead (or a clock set back since): reset, and the card reminded.
    Today(2024, 3, 8);
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);
    EXPECT_TRUE(Contains(warnings, "last reminded on 20240310, after today (20240308)"));
    EXPECT_EQ(Remembered().at(0).notified, "20240308");

    // A clock outside the years a date text holds: the login remembers the card without its date, the
    // check checks nothing.
    Today(12024, 3, 12);
    testing::internal::CaptureStderr();
    LogIn("20240321");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("the clock reads 12024-03-12; the card is remembered"), std::string::npos) << err;
    EXPECT_EQ(Remembered().at(0).endDate, "20240321");
    EXPECT_EQ(Remembered().at(0).seen, "");
    EXPECT_EQ(Check(), kReminderCheckFailed);
    EXPECT_TRUE(sink.posted.empty());
    Today(1970, 1, 1);
    EXPECT_EQ(Check(), kReminderCheckFailed);
    EXPECT_TRUE(Contains(warnings, "the clock reads 1970-01-01"));
    Today(2024, 3, 12);
    EXPECT_EQ(Check(), kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);
}

TEST_F(Reminders, DamagedRecordsAreSetAsideAndForeignOnesLeftAlone) {
    const fs::path file = dir.dataDir() / kRememberedCardsFile;
    dir.Write("data/cards.json", "{\"version\":1,\"cards\":[{\"cardNumber\":\"IC1\"");
    EXPECT_EQ(Check(), kReminderCheckFailed); // it may have held a due card
    EXPECT_TRUE(Contains(warnings, "set aside as " + file.string() + ".damaged-20240305"));
    EXPECT_EQ(Check(), kReminderNothingDue); // the fresh record holds none
    EXPECT_EQ(dir.Read("data/cards.json.damaged-20240305"),
              "{\"version\":1,\"cards\":[{\"cardNumber\":\"IC1\"");
    // A second damaged file the same day keeps the first one.
    dir.Write("data/cards.json", std::string("\xff\xfe garbage", 10));
    LogIn("20240320");
    EXPECT_EQ(dir.Read("data/cards.json.damaged-20240305-2"), std::string("\xff\xfe garbage", 10));
    EXPECT_EQ(Remembered().size(), 1u);

    // Entries it cannot read are named, skipped and kept; the others work.
    const std::string odd = "{\"cardNumber\": 5, \"endDate\": \"20240310\"}";
    dir.Write("data/cards.json", "{\"version\":1,\"cards\":[" + odd +
                                     ",{\"cardNumber\":\"IC2\",\"endDate\":\"20240310\",\"maxDay\":180}]}");
    Today(2024, 3, 6);
    EXPECT_EQ(Check(), kReminderDue);
    ASSERT_EQ(sink.posted.size(), 1u);
    EXPECT_EQ(sink.posted[0].card.cardNumber, "IC2");
    EXPECT_TRUE(Contains(warnings, "entry 1 of " + file.string() + " skipped: a member is not a text"));
    EXPECT_NE(dir.Read("data/cards.json").find("\"cardNumber\":\t5"), std::string::npos)
        << dir.Read("data/cards.json");

    // A newer version's file: neither the check nor a login touch it.
    const std::string newer = "{\"version\":2,\"cards\":{\"IC7788\":{}}}";
    dir.Write("data/cards.json", newer);
    EXPECT_EQ(Check(), kReminderCheckFailed);
    EXPECT_TRUE(Contains(warnings, "written by a newer version"));
    testing::internal::CaptureStderr();
    const Texts shown = LogIn("20240320");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(dir.Read("data/cards.json"), newer);
    EXPECT_NE(err.find("card not remembered for the renewal reminder"), std::string::npos) << err;
    EXPECT_EQ(shown.size(), 2u);
}

TEST_F(Reminders, ABusyOrUnwritableRecordChangesNothingTheUserSeesAndNeverHoldsTheLoginUp) {
    const Texts window = {U8(u8"登录成功！"), U8(u8"您的IC卡有效期小于180天，可以进行延期。"
                                                 u8"如需延期请点击“法人卡延期”按钮！")};
    // A check holds the record's lock (it keeps it across its calls to the desktop): the login waits a
    // moment only, then goes on without recording.
    LogIn("20240320");
    const int lock = ::open((dir.dataDir() / "cards.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    testing::internal::CaptureStderr();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(LogIn("20240321"), window);
    const auto took = std::chrono::steady_clock::now() - t0;
    std::string err = testing::internal::GetCapturedStderr();
    ::close(lock);
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_NE(err.find("card not remembered for the renewal reminder: " +
                       (dir.dataDir() / "cards.lock").string() + " is held by another run of renvora"),
              std::string::npos)
        << err;
    EXPECT_EQ(Remembered().at(0).endDate, "20240320");

    dir.Write("not-a-folder", "x");
    ::setenv("RENVORA_DATA_DIR", (dir.path() / "not-a-folder").c_str(), 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(LogIn("20240320"), window);
    err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(view.renewalEnabled);
    EXPECT_NE(err.find("renvora: card not remembered for the renewal reminder: cannot create"),
              std::string::npos)
        << err;
}

TEST_F(Reminders, TwoChecksAtOnceStillPostOnce) {
    LogIn("20240320");
    sink.delay = std::chrono::milliseconds(200);
    std::vector<std::string> w1, w2;
    int s1 = -1, s2 = -1;
    std::thread a([&] {
        s1 = RunReminderCheck({dir.dataDir(), {}, [&](const std::string& l) { w1.push_back(l); }, {}}, sink);
    });
    std::thread b([&] {
        s2 = RunReminderCheck({dir.dataDir(), {}, [&](const std::string& l) { w2.push_back(l); }, {}}, sink);
    });
    a.join();
    b.join();
    EXPECT_EQ(s1, kReminderDue);
    EXPECT_EQ(s2, kReminderDue);
    EXPECT_EQ(sink.posted.size(), 1u);
}

} // namespace
} // namespace rv::test
