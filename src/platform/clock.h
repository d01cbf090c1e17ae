// Today's date in UTC (the Windows client asks GetSystemTime), behind one injectable clock; and the
// local calendar date, for what follows the person's day rather than the login's rule.
#pragma once

#include <ctime>

namespace rv {

struct UtcDate {
    int year;
    int month;
    int day;
};

class IClock {
public:
    virtual ~IClock() = default;
    virtual UtcDate TodayUtc() const = 0;
    // The calendar date in the process's time zone. A clock that knows no time of day has only one date.
    virtual UtcDate TodayLocal() const { return TodayUtc(); }
    // The instant, for what is judged to the second (a certificate's validity). A clock that knows only
    // a date says noon UTC of that date.
    virtual std::time_t Now() const;
};

const IClock& Clock();
// Installs `clock` (not owned) and returns the previous one; nullptr restores the system clock.
const IClock* InstallClock(const IClock* clock);

class FixedClock : public IClock {
public:
    explicit FixedClock(UtcDate d) : date_(d) {}
    UtcDate TodayUtc() const override { return date_; }

private:
    UtcDate date_;
};

// A clock stopped at one instant (seconds since the epoch): its UTC and local dates differ where the
// time zone ($TZ) puts the instant on another day.
class FixedInstant : public IClock {
public:
    explicit FixedInstant(std::time_t at) : at_(at) {}
    UtcDate TodayUtc() const override;
    UtcDate TodayLocal() const override;
    std::time_t Now() const override { return at_; }

private:
    std::time_t at_;
};

} // namespace rv
