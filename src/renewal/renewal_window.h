// Whether a certificate may be renewed now: the end date must lie between 0 and MaxDay days after a
// reference date (today at login, the new certificate's date after the write-back).
#pragma once

#include <cstdint>
#include <string>

namespace rv {

// Year, month (1..12) and day (1..31) as read from a date text; nothing is validated.
struct DateRecord {
    int32_t year;
    int32_t month;
    int32_t day;
    friend bool operator==(const DateRecord&, const DateRecord&) = default;
};

inline constexpr int32_t kInsideRenewalWindow = 0;
inline constexpr int32_t kBeyondRenewalWindow = -1; // more days left than MaxDay
inline constexpr int32_t kRenewalDateExpired = -2;  // toDate lies before fromDate

// Splits a YYYYMMDD text by the atoi rules: year from the first four characters, month from the (at
// most) two after them, day from the last two (the whole text when it is shorter).
DateRecord ParseDateText(const std::string& text);

// "YYYY年MM月DD日" (GBK) of a YYYYMMDD text, the way the client announces an end date; each piece is cut
// to what the text holds (year: the first four characters, month: the two after them, day: the last two).
std::string ChineseDateText(const std::string& date);

// Signed number of days from `start` to `target`. Leap years are the Gregorian ones; a month number above
// 12 counts 30 days; months 0 and 1 contribute nothing; day 0 or day 45 count as they stand. The two
// records are ordered by year alone, so within one year an earlier target gives a negative count.
// Arithmetic is exact in 64 bits; a count beyond the 32-bit range saturates to INT32_MIN / INT32_MAX.
int32_t DaysBetween(DateRecord target, DateRecord start);

// The window rule on a day count: -2 below 0, -1 above maxDay, else 0.
int32_t ClassifyRenewalDays(int32_t days, int32_t maxDay);

// 0 when toDate lies 0..MaxDay days after fromDate, -1 when more, -2 when before. MaxDay is read from
// "C://Windows//time.ini" on every call (0 when missing).
int32_t CheckRenewalWindow(std::string fromDate, std::string toDate);

} // namespace rv
