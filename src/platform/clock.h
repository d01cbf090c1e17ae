// Today's date in UTC (the Windows client asks GetSystemTime), behind one injectable clock.
#pragma once

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

} // namespace rv
