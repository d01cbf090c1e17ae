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
};

SystemClock g_system;
const IClock* g_clock = nullptr;

} // namespace

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
