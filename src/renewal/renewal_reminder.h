// The renewal reminder's check: for every remembered card, the login's renewal-window rule applied to
// today's date (UTC, from the client's clock) and the remembered end date, and at most one reminder per
// card and local day. Display-free: the reminders go to a sink, a desktop notification at the edge.
#pragma once

#include "renewal/remembered_cards.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace rv {

// Exit statuses of `renvora --check-expiry`.
inline constexpr int kReminderNothingDue = 0;
inline constexpr int kReminderCheckFailed = 1; // the remembered cards could not be read (or set aside)
inline constexpr int kReminderDue = 10;
inline constexpr int kReminderExpired = 11;

// Whatever MaxDay says, a card is reminded of in its last 14 days; once ended it is reminded of as ended,
// however long ago that was, until it is renewed or forgotten (--forget).
inline constexpr int32_t kReminderDays = 14;

struct Reminder {
    RememberedCard card;
    int32_t daysLeft = 0; // negative once the certificate has ended
    bool expired = false;
    std::string summary; // GBK
    std::string body;    // GBK
};

class ReminderSink {
public:
    virtual ~ReminderSink() = default;
    // True when the reminder reached the desktop as a notification; only then is it not posted again
    // the same (local) day.
    virtual bool Post(const Reminder& reminder) = 0;
};

struct ReminderCheck {
    std::filesystem::path dataDir;      // where cards.json lives
    std::filesystem::path settingsFile; // "Remind=0" there turns the notifications off
    // One line for stderr (UTF-8, without the line end).
    std::function<void(const std::string&)> warn;
    // What the check found, for a person at a terminal, whatever became of the notifications: one line
    // (UTF-8, without the line end) per due or ended card with its number, end date and days, else one
    // line saying nothing is due and how many cards were checked. Nothing when unset.
    std::function<void(const std::string&)> report;
};

// $XDG_CONFIG_HOME/renvora/reminder.ini, else ~/.config/renvora/reminder.ini.
std::filesystem::path ReminderSettingsFile();

// Runs the check and returns the exit status: 11 when a card has ended, else 10 when one is due, else 0; 1
// when the remembered cards could not be read (a damaged file set aside among them: it may have held due
// cards) or the clock is broken.
int RunReminderCheck(const ReminderCheck& check, ReminderSink& sink);

// `renvora --check-expiry --forget NUMBER`: drops the card of this card number (GBK; for a card without
// one, certificate number) from the record, so that it is no longer reminded of. 0 when it was there and
// is gone, 1 otherwise (said through check.warn).
int ForgetRememberedCard(const ReminderCheck& check, const std::string& number);

} // namespace rv
