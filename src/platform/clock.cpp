#include "platform/clock.h"

namespace rv {
namespace {

UtcDate DateOf(const std::tm& tm) {
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

UtcDate UtcDateAt(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    return DateOf(tm);
}

UtcDate LocalDateAt(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return DateOf(tm);
}

class SystemClock : public IClock {
public:
    UtcDate TodayUtc() const override { return UtcDateAt(std::time(nullptr)); }
    UtcDate TodayLocal() const override { return LocalDateAt(std::time(nullptr)); }
    std::time_t Now() const override { return std::time(nullptr); }
};

SystemClock g_system;
const IClock* g_clock = nullptr;

} // namespace

std::time_t IClock::Now() const {
    const UtcDate d = TodayUtc();
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = 12;
    return timegm(&tm);
}

UtcDate FixedInstant::TodayUtc() const {
    return UtcDateAt(at_);
}

UtcDate FixedInstant::TodayLocal() const {
    return LocalDateAt(at_);
}

const IClock& Clock() {
    return g_clock ? *g_clock : g_system;
}

const IClock* InstallClock(const IClock* clock) {
    const IClock* prev = g_clock;
    g_clock = clock;
    return prev;
}

} // namespace rv
