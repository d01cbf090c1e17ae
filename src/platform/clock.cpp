#include "platform/clock.h"

#include <ctime>

namespace rv {
namespace {

class SystemClock : public IClock {
public:
    UtcDate TodayUtc() const override {
        std::time_t now = std::time(nullptr);
        std::tm tm{};
        gmtime_r(&now, &tm);
        return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
    }
};

SystemClock g_system;
const IClock* g_clock = nullptr;

} // namespace

const IClock& Clock() {
    return g_clock ? *g_clock : g_system;
}

const IClock* InstallClock(const IClock* clock) {
    const IClock* prev = g_clock;
    g_clock = clock;
    return prev;
}

} // namespace rv
