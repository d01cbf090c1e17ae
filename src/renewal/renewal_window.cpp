#include "renewal/renewal_window.h"

#include "config/config_file.h"
#include "platform/crt.h"

#include <algorithm>
#include <limits>

namespace rv {
namespace {

// Floor division, so that leap years are counted the same way on both sides of year 0.
int64_t FloorDiv(int64_t a, int64_t b) {
    int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

bool IsLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t YearLength(int64_t year) {
    return IsLeap(year) ? 366 : 365;
}

int64_t MonthLength(int64_t year, int64_t month) {
    switch (month) {
    case 1:
    case 3:
    case 5:
    case 7:
    case 8:
    case 10:
    case 12:
        return 31;
    case 4:
    case 6:
    case 9:
    case 11:
        return 30;
    case 2:
        return IsLeap(year) ? 29 : 28;
    default:
        return 30; // above 12 (months below 1 are never asked for)
    }
}

// Lengths of months 1 .. month-1 plus the day. Closed form beyond December so that a huge month number
// costs nothing.
int64_t DayOfYear(const DateRecord& d) {
    int64_t sum = 0;
    int64_t month = d.month;
    for (int64_t m = 1; m < month && m <= 12; ++m) {
        sum += MonthLength(d.year, m);
    }
    if (month > 13) {
        sum += (month - 13) * 30;
    }
    return sum + d.day;
}

// Leap years in 1..y (with floor division, also right for y <= 0: year 0 is a leap year).
int64_t LeapYearsUpTo(int64_t y) {
    return FloorDiv(y, 4) - FloorDiv(y, 100) + FloorDiv(y, 400);
}

// Lengths of all years strictly between a and b (a < b).
int64_t YearsStrictlyBetween(int64_t a, int64_t b) {
    int64_t count = b - a - 1;
    if (count <= 0) {
        return 0;
    }
    return 365 * count + (LeapYearsUpTo(b - 1) - LeapYearsUpTo(a));
}

int32_t Saturate(int64_t v) {
    constexpr int64_t lo = std::numeric_limits<int32_t>::min();
    constexpr int64_t hi = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(std::clamp(v, lo, hi));
}

} // namespace

DateRecord ParseDateText(const std::string& text) {
    DateRecord d{};
    d.year = Atoi(std::string_view(text).substr(0, 4));
    d.month = text.size() > 4 ? Atoi(std::string_view(text).substr(4, 2)) : 0;
    d.day = Atoi(text.size() > 2 ? std::string_view(text).substr(text.size() - 2) : std::string_view(text));
    return d;
}

std::string ChineseDateText(const std::string& d) {
    const std::string year = d.substr(0, 4);
    const std::string month = d.size() > 4 ? d.substr(4, 2) : std::string();
    const std::string day = d.size() > 2 ? d.substr(d.size() - 2) : d;
    return year + "年" + month + "月" + day + "日";
}

int32_t DaysBetween(DateRecord target, DateRecord start) {
    // Ordered by year alone.
    const bool forward = target.year >= start.year;
    const DateRecord& later = forward ? target : start;
    const DateRecord& earlier = forward ? start : target;
    const int64_t sign = forward ? 1 : -1;

    int64_t r;
    if (later.year == earlier.year) {
        r = DayOfYear(later) - DayOfYear(earlier);
    } else {
        r = YearLength(earlier.year) - DayOfYear(earlier) + DayOfYear(later) +
            YearsStrictlyBetween(earlier.year, later.year);
    }
    return Saturate(r * sign);
}

// Both texts by value, as the callers hand them over.
// NOLINTBEGIN(performance-unnecessary-value-param)
int32_t CheckRenewalWindow(std::string fromDate, std::string toDate) {
    // NOLINTEND(performance-unnecessary-value-param)
    const int32_t days = DaysBetween(ParseDateText(toDate), ParseDateText(fromDate));
    return ClassifyRenewalDays(days, ReadMaxDay());
}

int32_t ClassifyRenewalDays(int32_t days, int32_t maxDay) {
    if (days < 0) {
        return kRenewalDateExpired;
    }
    if (days > maxDay) {
        return kBeyondRenewalWindow;
    }
    return kInsideRenewalWindow;
}

} // namespace rv
