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

// Clocks outside these years are broken, not early or late: no date text of the client could hold them.
constexpr int kFirstSaneYear = 2000;
constexpr int kLastSaneYear = 9999;

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

// "YYYY年MM月DD日" of a YYYYMMDD text (GBK).
std::string ChineseDate(const std::string& date) {
    return date.substr(0, 4) + "年" + date.substr(4, 2) + "月" + date.substr(6, 2) + "日";
}

Reminder MakeReminder(const RememberedCard& card, int32_t days) {
    Reminder r;
    r.card = card;
    r.daysLeft = days;
    r.expired = days < 0;
    const std::string& number = card.cardNumber.empty() ? card.certSeqNo : card.cardNumber;
    const std::string end = ChineseDate(card.endDate);
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
    const UtcDate now = Clock().TodayUtc();
    if (now.year < kFirstSaneYear || now.year > kLastSaneYear) {
        char line[128];
        std::snprintf(line, sizeof line, "the clock reads %d-%02d-%02d; no reminder until it is set right",
                      now.year, now.month, now.day);
        check.warn(line);
        return kReminderCheckFailed;
    }
    const std::string today = FormatDateText(now);

    RememberedCards record(check.dataDir);
    std::string message;
    switch (record.Open(today, message)) {
    case RememberedCards::Load::Read:
        break;
    case RememberedCards::Load::SetAside:
        check.warn(message);
        return kReminderNothingDue;
    case RememberedCards::Load::Newer:
    case RememberedCards::Load::Failed:
        check.warn(message);
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

    int status = kReminderNothingDue;
    bool changed = false;
    for (const RememberedCard& card : cards) {
        const std::string name =
            "card " + cp::GbkToUtf8(card.cardNumber.empty() ? card.certSeqNo : card.cardNumber);
        if (!card.seen.empty() && today < card.seen) {
            check.warn(Cat(name, ": the clock reads ", today, ", before the card was last seen (", card.seen,
                           "); skipped until the clock is right"));
            continue;
        }
        const int32_t days = DaysBetween(ParseDateText(card.endDate), ParseDateText(today));
        // The login's limit: the time.ini the login read, as it reads now (so a changed window applies at
        // once), found by the path the login recorded, since a timer does not share the environment that
        // set the login's drive root. Only when that file cannot be read, the limit the login saw stands in.
        const std::string iniMaxDay =
            ReadConfigValue(card.timeIni.empty() ? paths::kTimeIni : card.timeIni.c_str(), kMaxDayKey);
        const int32_t maxDay = iniMaxDay.empty() ? card.maxDay : Atoi(iniMaxDay);
        const bool inWindow = ClassifyRenewalDays(days, maxDay) == kInsideRenewalWindow;
        if (days < -kReminderDays) {
            check.warn(Cat(name, ": its certificate ended on ", card.endDate, ", more than ",
                           std::to_string(kReminderDays), " days ago; taken as out of use, no reminder"));
            continue;
        }
        if (days < 0) {
            status = kReminderExpired;
        } else if (inWindow || days <= kReminderDays) {
            status = std::max(status, kReminderDue);
        } else {
            continue;
        }
        if (!on) {
            continue;
        }
        if (!card.notified.empty() && card.notified >= today) {
            if (card.notified > today) {
                check.warn(Cat(name, ": the clock reads ", today, ", before the last reminder (",
                               card.notified, "); not posted again"));
            }
            continue;
        }
        if (sink.Post(MakeReminder(card, days))) {
            record.MarkNotified(card, today);
            changed = true;
        }
    }
    if (changed) {
        std::string error;
        if (!record.Save(error)) {
            check.warn(
                Cat("reminder posted but not remembered (", error, "); the next check may post it again"));
        }
    }
    return status;
}

} // namespace rv
