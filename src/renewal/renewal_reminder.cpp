#include "renewal/renewal_reminder.h"

#include "config/config_file.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/crt.h"
#include "platform/paths.h"
#include "renewal/login.h"
#include "renewal/renewal_window.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace rv {
namespace fs = std::filesystem;

namespace {

constexpr const char* kRemindKey = "Remind";
constexpr const char* kMaxDayKey = "MaxDay";

// One line of text from its pieces.
template <typename... Parts> std::string Cat(const Parts&... parts) {
    std::string line;
    ((line += parts), ...);
    return line;
}

bool RemindersOn(const fs::path& settings) {
    std::string value = ReadConfigValue(settings.c_str(), kRemindKey);
    std::transform(value.begin(), value.end(), value.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !(value == "0" || value == "no" || value == "off" || value == "false");
}

Reminder MakeReminder(const RememberedCard& card, int32_t days) {
    Reminder r;
    r.card = card;
    r.daysLeft = days;
    r.expired = days < 0;
    const std::string& number = card.cardNumber.empty() ? card.certSeqNo : card.cardNumber;
    const std::string end = ChineseDateText(card.endDate);
    char body[512];
    if (r.expired) {
        r.summary = "IC卡证书已过期";
        std::snprintf(body, sizeof body,
                      "您的IC卡（%s）证书已于%s过期，不可在本系统延期。请携带IC卡去分中心进行处理！",
                      number.c_str(), end.c_str());
    } else if (days == 0) {
        r.summary = "IC卡证书今天到期";
        std::snprintf(body, sizeof body,
                      "您的IC卡（%s）证书今天（%s）到期。请今天插入IC卡，启动客户端进行延期。",
                      number.c_str(), end.c_str());
    } else {
        r.summary = "IC卡证书即将到期";
        std::snprintf(body, sizeof body,
                      "您的IC卡（%s）证书还有%d天到期（%s）。请插入IC卡，启动客户端进行延期。",
                      number.c_str(), static_cast<int>(days), end.c_str());
    }
    r.body = body;
    return r;
}

// The line for a person at a terminal (GBK): the card, its end date and the days to or since it.
std::string ReportLine(const RememberedCard& card, int32_t days) {
    const std::string& number = card.cardNumber.empty() ? card.certSeqNo : card.cardNumber;
    const std::string end = ChineseDateText(card.endDate);
    char line[512];
    if (days < 0) {
        std::snprintf(line, sizeof line,
                      "IC卡（%s）：证书已于%s过期（%d天前），不可在本系统延期，请携带IC卡去分中心进行处理。"
                      "不再提醒此卡：renvora --check-expiry --forget %s",
                      number.c_str(), end.c_str(), static_cast<int>(-days), number.c_str());
    } else if (days == 0) {
        std::snprintf(line, sizeof line,
                      "IC卡（%s）：证书今天（%s）到期，请今天插入IC卡，启动客户端进行延期。", number.c_str(),
                      end.c_str());
    } else {
        std::snprintf(line, sizeof line, "IC卡（%s）：证书%s到期，还有%d天，请插入IC卡，启动客户端进行延期。",
                      number.c_str(), end.c_str(), static_cast<int>(days));
    }
    return line;
}

bool ClockSane(const UtcDate& d) {
    return d.year >= kFirstSaneYear && d.year <= kLastSaneYear;
}

// Opens the record for a check; false (said through `check.warn`) when it cannot be used. A file set
// aside may have held due cards, so that too means the check could not be made.
bool OpenRecord(const ReminderCheck& check, RememberedCards& record, const std::string& today) {
    std::string message;
    switch (record.Open(today, message)) {
    case RememberedCards::Load::Read:
        return true;
    case RememberedCards::Load::SetAside:
    case RememberedCards::Load::Newer:
    case RememberedCards::Load::Failed:
        break;
    }
    check.warn(message);
    return false;
}

} // namespace

fs::path ReminderSettingsFile() {
    if (const char* v = std::getenv("XDG_CONFIG_HOME"); v && *v == '/') {
        return fs::path(v) / "renvora" / "reminder.ini";
    }
    if (const char* home = std::getenv("HOME"); home && *home) {
        return fs::path(home) / ".config" / "renvora" / "reminder.ini";
    }
    return {};
}

int RunReminderCheck(const ReminderCheck& check, ReminderSink& sink) {
    // The window rule counts from today's UTC date, as the login does; one reminder a day is counted in
    // the person's own days, since the timer fires at local midnight.
    const UtcDate now = Clock().TodayUtc();
    const UtcDate nowLocal = Clock().TodayLocal();
    if (!ClockSane(now) || !ClockSane(nowLocal)) {
        char line[128];
        std::snprintf(line, sizeof line, "the clock reads %d-%02d-%02d; no reminder until it is set right",
                      now.year, now.month, now.day);
        check.warn(line);
        return kReminderCheckFailed;
    }
    const std::string today = FormatDateText(now);
    const std::string localToday = FormatDateText(nowLocal);

    RememberedCards record(check.dataDir);
    if (!OpenRecord(check, record, today)) {
        return kReminderCheckFailed;
    }
    std::vector<std::string> problems;
    const std::vector<RememberedCard> cards = record.Cards(&problems);
    for (const std::string& p : problems) {
        check.warn(p);
    }

    const bool on = RemindersOn(check.settingsFile);
    if (!on && !cards.empty()) {
        check.warn(Cat("reminders are turned off (", kRemindKey, " in ", check.settingsFile.string(),
                       "); nothing posted"));
    }

    auto report = [&](const std::string& gbk) {
        if (check.report) {
            check.report(cp::GbkToUtf8(gbk));
        }
    };
    int status = kReminderNothingDue;
    bool changed = false;
    for (RememberedCard card : cards) {
        const std::string name =
            "card " + cp::GbkToUtf8(card.cardNumber.empty() ? card.certSeqNo : card.cardNumber);
        // A date stamped later than today came from a clock that was ahead (at a login or an earlier
        // check), or the clock is behind now. Honouring it would keep the card silent until that day
        // comes: the stamp is dropped and the card checked like any other.
        bool reset = false;
        if (!card.seen.empty() && card.seen > today) {
            check.warn(Cat(name, ": last seen on ", card.seen, ", after today (", today,
                           "); the clock was or is wrong, that date is reset"));
            card.seen = today;
            reset = true;
        }
        if (!card.notified.empty() && card.notified > localToday) {
            check.warn(Cat(name, ": last reminded on ", card.notified, ", after today (", localToday,
                           "); the clock was or is wrong, that date is reset"));
            card.notified.clear();
            reset = true;
        }
        if (reset) {
            record.SetDates(card);
            changed = true;
        }
        const int32_t days = DaysBetween(ParseDateText(card.endDate), ParseDateText(today));
        // The login's limit: the time.ini the login read, as it reads now (so a changed window applies at
        // once), found by the path the login recorded, since a timer does not share the environment that
        // set the login's drive root. Only when that file cannot be read, the limit the login saw stands in.
        const std::string iniMaxDay =
            ReadConfigValue(card.timeIni.empty() ? paths::kTimeIni : card.timeIni.c_str(), kMaxDayKey);
        const int32_t maxDay = iniMaxDay.empty() ? card.maxDay : Atoi(iniMaxDay);
        const bool inWindow = ClassifyRenewalDays(days, maxDay) == kInsideRenewalWindow;
        if (days < 0) {
            status = kReminderExpired;
        } else if (inWindow || days <= kReminderDays) {
            status = std::max(status, kReminderDue);
        } else {
            continue;
        }
        report(ReportLine(card, days));
        if (!on || card.notified == localToday) {
            continue;
        }
        if (sink.Post(MakeReminder(card, days))) {
            record.MarkNotified(card, localToday);
            changed = true;
        }
    }
    if (status == kReminderNothingDue) {
        char line[160];
        std::snprintf(line, sizeof line, "没有需要延期的IC卡（已检查%d张）。",
                      static_cast<int>(cards.size()));
        report(cards.empty() ? std::string(line) + "登录过的IC卡才会被检查。" : std::string(line));
    }
    if (changed) {
        std::string error;
        if (!record.Save(error)) {
            check.warn(Cat("reminder dates not remembered (", error, "); the next check may post again"));
        }
    }
    return status;
}

int ForgetRememberedCard(const ReminderCheck& check, const std::string& number) {
    RememberedCards record(check.dataDir);
    const UtcDate now = Clock().TodayUtc();
    if (!OpenRecord(check, record, ClockSane(now) ? FormatDateText(now) : "undated")) {
        return kReminderCheckFailed;
    }
    const std::string shown = cp::GbkToUtf8(number);
    if (record.Forget(number) == 0) {
        check.warn("no remembered card " + shown + " in " + record.File().string());
        return kReminderCheckFailed;
    }
    std::string error;
    if (!record.Save(error)) {
        check.warn("card " + shown + " not forgotten: " + error);
        return kReminderCheckFailed;
    }
    return kReminderNothingDue;
}

} // namespace rv
