// The renewal reminder on a desktop: `renvora --check-expiry` as the timer runs it, on a private session
// bus with a stand-in for the desktop's notification service; and the timer's units as installed.
#include "platform/clock.h"
#include "renewal/login.h"
#include "renewal/remembered_cards.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace rv::test {
namespace {
namespace fs = std::filesystem;

const std::string kClient = RENVORA_BUILD_DIR "/src/renvora";
const std::string kStandIn = RENVORA_BUILD_DIR "/tests/notification-stand-in";

std::string U(const char8_t* s) {
    return reinterpret_cast<const char*>(s);
}

std::string DateFromToday(int days) {
    using namespace std::chrono;
    const year_month_day d{floor<std::chrono::days>(system_clock::now()) + std::chrono::days(days)};
    return FormatDateText({static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
                           static_cast<int>(static_cast<unsigned>(d.day()))});
}

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, sep)) {
        out.push_back(item);
    }
    return out;
}

bool AppearsWithin(const fs::path& p, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!fs::exists(p)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

class DesktopReminder : public ::testing::Test {
protected:
    DesktopReminder() {
        dir.Write("drive_c/Windows/time.ini", "MaxDay=180\r\n");
        // A bus of the test's own: no activatable services, so "no notification service" means none.
        dir.Write("bus.conf",
                  "<busconfig><type>session</type><listen>unix:tmpdir=" + dir.path().string() +
                      "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                      "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                      "<allow own=\"*\"/></policy></busconfig>\n");
    }

    void Remember(const std::string& cardNumber, const std::string& endDate) {
        RememberedCards cards(dir.dataDir());
        std::string message;
        ASSERT_EQ(cards.Open(DateFromToday(0), message), RememberedCards::Load::Read) << message;
        cards.Put({cardNumber, "C-" + cardNumber, endDate, 180, DateFromToday(0), "", ""});
        ASSERT_TRUE(cards.Save(message)) << message;
    }
    std::vector<RememberedCard> Remembered() {
        RememberedCards cards(dir.dataDir());
        std::string message;
        EXPECT_EQ(cards.Open(DateFromToday(0), message), RememberedCards::Load::Read) << message;
        return cards.Cards();
    }

    // `renvora --check-expiry` (and `args`): on the test's private bus (`bus` "private"), behind the
    // stand-in service when `standIn` holds its options, or with no bus at all (`bus` "none"). A click
    // starts the stand-in client command unless `launch` gives the environment of another way. Its stderr
    // goes to errors.
    CommandRun Check(const std::string& bus, const std::string& standIn = "", const std::string& launch = "",
                     const std::string& args = "") {
        fs::remove(log());
        std::string env =
            "env -u DISPLAY -u WAYLAND_DISPLAY -u INVOCATION_ID -u RENVORA_CLIENT_COMMAND "
            "XDG_CONFIG_HOME=" +
            (dir.path() / "config").string() + " " +
            (launch.empty() ? "RENVORA_CLIENT_COMMAND='touch " + started().string() + "'" : launch) + " ";
        std::string command = kClient + " --check-expiry" + args;
        if (!standIn.empty()) {
            command = kStandIn + " --log " + log().string() + " " + standIn + " -- " + command;
        }
        if (bus == "private") {
            command =
                "dbus-run-session --config-file=" + (dir.path() / "bus.conf").string() + " -- " + command;
        } else {
            env += "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (dir.path() / "no-bus").string() + " ";
        }
        const auto t0 = std::chrono::steady_clock::now();
        CommandRun r = RunCommand(env + "timeout 120 " + command + " 2>" + (dir.path() / "errors").string());
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        errors = dir.Read("errors");
        return r;
    }
    // The stand-in's Notify calls, each split into its fields.
    std::vector<std::vector<std::string>> Notifications() {
        std::vector<std::vector<std::string>> out;
        for (const std::string& line : Split(dir.Read("notifications.log"), '\n')) {
            if (line.rfind("Notify\t", 0) == 0) {
                out.push_back(Split(line, '\t'));
                out.back().resize(8);
            }
        }
        return out;
    }
    fs::path log() const { return dir.path() / "notifications.log"; }
    fs::path started() const { return dir.path() / "client-started"; }

    TempWorkDir dir;
    std::string errors;
    double seconds = 0;
};

TEST_F(DesktopReminder, AClickStartsTheClientAndTheSameDayPostsNothingMore) {
    Remember("IC1001", DateFromToday(30));
    Remember("IC2002", DateFromToday(-3));

    CommandRun r = Check("private", "--answer click");
    EXPECT_EQ(r.exitCode, 11) << errors; // one card has ended: the graver answer
    auto posted = Notifications();
    ASSERT_EQ(posted.size(), 2u) << errors;
    // Fields: Notify, app, icon, summary, body, actions, urgency, desktop-entry.
    EXPECT_EQ(posted[0][3], U(u8"IC卡证书即将到期"));
    EXPECT_NE(posted[0][4].find(U(u8"您的IC卡（IC1001）证书还有30天到期")), std::string::npos)
        << posted[0][4];
    EXPECT_NE(posted[0][4].find(U(u8"启动客户端进行延期")), std::string::npos);
    EXPECT_EQ(posted[0][5], U(u8"default|启动客户端"));
    EXPECT_EQ(posted[0][6], "1");
    EXPECT_EQ(posted[0][7], "org.renvora.Renvora");
    // An ended certificate cannot be renewed here: no client to start, and the office named instead.
    EXPECT_EQ(posted[1][3], U(u8"IC卡证书已过期"));
    EXPECT_NE(posted[1][4].find(U(u8"不可在本系统延期。请携带IC卡去分中心进行处理！")), std::string::npos);
    EXPECT_EQ(posted[1][5], "");
    EXPECT_EQ(posted[1][6], "2");
    // The click started the client.
    EXPECT_TRUE(AppearsWithin(started(), std::chrono::seconds(10)));
    for (const RememberedCard& c : Remembered()) {
        EXPECT_EQ(c.notified, DateFromToday(0)) << c.cardNumber;
    }

    // Again the same day (at login, say): the same answer, nothing posted twice.
    fs::remove(started());
    r = Check("private", "--answer click");
    EXPECT_EQ(r.exitCode, 11);
    EXPECT_TRUE(Notifications().empty());
    EXPECT_FALSE(AppearsWithin(started(), std::chrono::milliseconds(300)));
}

// A person at a terminal reads what the check found, whatever became of the notification: with no
// notification service, with no bus, a second time the same day, and when nothing is due.
TEST_F(DesktopReminder, WithoutAServiceOrABusTheReminderWaitsForADesktopThatTakesIt) {
    Remember("IC9009", DateFromToday(400));
    CommandRun r = Check("private");
    EXPECT_EQ(r.exitCode, 0) << errors;
    EXPECT_EQ(r.output, U(u8"没有需要延期的IC卡（已检查1张）。\n"));

    Remember("IC1001", DateFromToday(5));
    const std::string end = DateFromToday(5);
    const std::string due = U(u8"IC卡（IC1001）：证书") + end.substr(0, 4) + U(u8"年") + end.substr(4, 2) +
                            U(u8"月") + end.substr(6, 2) +
                            U(u8"日到期，还有5天，请插入IC卡，启动客户端进行延期。\n");

    // A bus, but nobody serves notifications: said on stderr, and not counted as posted.
    r = Check("private");
    EXPECT_EQ(r.exitCode, 10);
    EXPECT_EQ(r.output, due);
    EXPECT_NE(errors.find("notification service did not take it"), std::string::npos) << errors;
    auto notified = [this](const std::string& number) {
        for (const RememberedCard& c : Remembered()) {
            if (c.cardNumber == number) {
                return c.notified;
            }
        }
        return std::string("<none>");
    };
    EXPECT_EQ(notified("IC1001"), "");

    // No bus at all: the same line.
    r = Check("none");
    EXPECT_EQ(r.exitCode, 10);
    EXPECT_EQ(r.output, due);
    EXPECT_NE(errors.find("no D-Bus session bus"), std::string::npos) << errors;
    EXPECT_EQ(notified("IC1001"), "");

    // A desktop that takes it; the person closes it without a click. The check does not stay for its
    // whole waiting time, and starts nothing.
    r = Check("private", "--answer close");
    EXPECT_EQ(r.exitCode, 10);
    EXPECT_EQ(Notifications().size(), 1u);
    EXPECT_LT(seconds, 60.0);
    EXPECT_FALSE(fs::exists(started()));
    EXPECT_EQ(notified("IC1001"), DateFromToday(0));
    EXPECT_EQ(r.output, due);

    // Again the same day: nothing posted, the same line.
    r = Check("private", "--answer close");
    EXPECT_EQ(r.exitCode, 10);
    EXPECT_TRUE(Notifications().empty());
    EXPECT_EQ(r.output, due);
}

// Without a command of the test's own, a click starts the client the default ways: from the reminder's
// service (systemd sets INVOCATION_ID) as a transient service of the user's manager, else through the
// desktop entry with `gio launch`. Stand-ins for systemd-run and gio on PATH record how they were called.
TEST_F(DesktopReminder, AClickStartsTheClientOutsideTheServiceOrThroughItsDesktopEntry) {
    Remember("IC1001", DateFromToday(30));
    const fs::path bin = dir.path() / "bin";
    for (const char* tool : {"systemd-run", "gio"}) {
        dir.Write("bin/" + std::string(tool),
                  "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                      (dir.path() / tool).string() + ".args\n");
        fs::permissions(bin / tool, fs::perms::owner_all);
    }
    const std::string entry =
        dir.Write("share/applications/org.renvora.Renvora.desktop",
                  "[Desktop Entry]\nType=Application\nName=Renvora\nExec=renvora --desktop\n")
            .string();
    const std::string path =
        "PATH=" + bin.string() + ":/usr/bin:/bin XDG_DATA_HOME=" + (dir.path() / "share").string();

    CommandRun r =
        Check("private", "--answer click",
              path + " INVOCATION_ID=4711 DISPLAY=:77 RENVORA_DRIVE_C=/x RENVORA_UNATTENDED_PIN=s3cret");
    EXPECT_EQ(r.exitCode, 10) << errors;
    ASSERT_TRUE(AppearsWithin(dir.path() / "systemd-run.args", std::chrono::seconds(10))) << errors;
    const std::vector<std::string> run = Split(dir.Read("systemd-run.args"), '\n');
    EXPECT_EQ(run.at(0), "--user");
    // Passed by name: systemd-run takes the values from its environment, no value is on its command line.
    EXPECT_NE(std::find(run.begin(), run.end(), "--setenv=DISPLAY"), run.end())
        << dir.Read("systemd-run.args");
    EXPECT_NE(std::find(run.begin(), run.end(), "--setenv=RENVORA_DRIVE_C"), run.end());
    EXPECT_EQ(dir.Read("systemd-run.args").find("s3cret"), std::string::npos);
    EXPECT_EQ(std::vector<std::string>(run.end() - 3, run.end()),
              (std::vector<std::string>{"--", kClient, "--desktop"}));
    EXPECT_FALSE(fs::exists(dir.path() / "gio.args"));

    fs::remove(dir.path() / "systemd-run.args");
    Remember("IC1001", DateFromToday(29)); // a new end date: due again today
    r = Check("private", "--answer click", path);
    EXPECT_EQ(r.exitCode, 10) << errors;
    ASSERT_TRUE(AppearsWithin(dir.path() / "gio.args", std::chrono::seconds(10))) << errors;
    EXPECT_EQ(dir.Read("gio.args"), "launch\n" + entry + "\n");
    EXPECT_FALSE(fs::exists(dir.path() / "systemd-run.args"));

    // A card no longer in use is dropped by hand: then nothing is due.
    r = Check("none", "", "", " --forget IC1001");
    EXPECT_EQ(r.exitCode, 0) << errors;
    EXPECT_NE(r.output.find("card IC1001 forgotten"), std::string::npos) << r.output;
    EXPECT_TRUE(Remembered().empty());
    r = Check("none", "", "", " --forget IC1001");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(errors.find("no remembered card IC1001"), std::string::npos) << errors;
    EXPECT_EQ(Check("none").exitCode, 0);
}

// The units as the package installs them: the timer enabled for every user by its link in
// timers.target.wants, and both accepted by systemd's own checker.
TEST_F(DesktopReminder, TheTimerIsInstalledEnabledAndPassesSystemdsVerification) {
    const fs::path root = dir.path() / "root";
    ASSERT_EQ(RunCommand("DESTDIR=" + root.string() + " " +
                         RENVORA_CMAKE_COMMAND " --install " RENVORA_BUILD_DIR
                                               " --component client >/dev/null 2>&1")
                  .exitCode,
              0);
    fs::path units;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.path().filename() == "renvora-expiry.timer" && e.path().parent_path().filename() == "user") {
            units = e.path().parent_path();
        }
    }
    ASSERT_FALSE(units.empty());
    EXPECT_EQ(units.parent_path().filename(), "systemd");
    const fs::path wants = units / "timers.target.wants" / "renvora-expiry.timer";
    ASSERT_TRUE(fs::is_symlink(wants));
    EXPECT_EQ(fs::read_symlink(wants), "../renvora-expiry.timer");
    EXPECT_TRUE(fs::equivalent(wants, units / "renvora-expiry.timer"));

    std::string service = dir.Read(fs::relative(units / "renvora-expiry.service", dir.path()).string());
    std::string timer = dir.Read(fs::relative(units / "renvora-expiry.timer", dir.path()).string());
    EXPECT_NE(timer.find("OnCalendar=daily\n"), std::string::npos);
    EXPECT_NE(timer.find("OnStartupSec="), std::string::npos);
    EXPECT_NE(timer.find("WantedBy=timers.target\n"), std::string::npos);
    const std::size_t exec = service.find("ExecStart=/");
    ASSERT_NE(exec, std::string::npos);
    const std::size_t end = service.find(" --check-expiry\n", exec);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(fs::path(service.substr(exec + 10, end - exec - 10)).filename(), "renvora");

    // systemd checks that the program exists: the installed path is not on this machine, the build's is.
    service.replace(exec + 10, end - exec - 10, kClient);
    dir.Write("verify/renvora-expiry.service", service);
    dir.Write("verify/renvora-expiry.timer", timer);
    fs::create_directories(dir.path() / "runtime");
    fs::permissions(dir.path() / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    CommandRun r = RunCommand("XDG_RUNTIME_DIR=" + (dir.path() / "runtime").string() +
                              " systemd-analyze --user --man=no verify " + (dir.path() / "verify").string() +
                              "/renvora-expiry.timer " + (dir.path() / "verify").string() +
                              "/renvora-expiry.service 2>&1");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(r.output, "");
}

} // namespace
} // namespace rv::test
