// The renewal-window check: the day arithmetic against std::chrono for valid dates, its deliberate quirks
// for invalid ones, the splitting of date texts, and the classification against MaxDay.
#include "renewal/renewal_window.h"
#include "support/test_env.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <limits>
#include <random>

namespace rv {
namespace {

namespace chr = std::chrono;

int64_t ChronoDays(int y, int m, int d) {
    return chr::sys_days(chr::year(y) / chr::month(static_cast<unsigned>(m)) /
                         chr::day(static_cast<unsigned>(d)))
        .time_since_epoch()
        .count();
}

int DaysInMonth(int y, int m) {
    return static_cast<int>(
        static_cast<unsigned>((chr::year(y) / chr::month(static_cast<unsigned>(m)) / chr::last).day()));
}

std::string Text(int y, int m, int d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    return buf;
}

TEST(DaysBetween, AgreesWithTheCalendarForRandomValidDates) {
    std::mt19937 rng(20240305);
    std::uniform_int_distribution<int> year(1900, 2200), month(1, 12);
    for (int i = 0; i < 50000; ++i) {
        int y1 = year(rng), m1 = month(rng);
        int d1 = std::uniform_int_distribution<int>(1, DaysInMonth(y1, m1))(rng);
        int y2 = year(rng), m2 = month(rng);
        int d2 = std::uniform_int_distribution<int>(1, DaysInMonth(y2, m2))(rng);
        int64_t expected = ChronoDays(y1, m1, d1) - ChronoDays(y2, m2, d2);
        ASSERT_EQ(DaysBetween({y1, m1, d1}, {y2, m2, d2}), expected)
            << Text(y1, m1, d1) << " from " << Text(y2, m2, d2);
    }
}

TEST(DaysBetween, AgreesWithTheCalendarForEveryDayOfALeapAndACommonYear) {
    for (int y : {2023, 2024, 1900, 2000}) {
        for (int m = 1; m <= 12; ++m) {
            for (int d = 1; d <= DaysInMonth(y, m); ++d) {
                // Against fixed points in the same year, the years around it and a far one.
                for (auto [sy, sm, sd] :
                     {std::tuple{y, 7, 15}, std::tuple{y - 1, 12, 31}, std::tuple{y + 1, 1, 1},
                      std::tuple{y, 1, 1}, std::tuple{y, 12, 31}, std::tuple{1901, 3, 1}}) {
                    ASSERT_EQ(DaysBetween({y, m, d}, {sy, sm, sd}),
                              ChronoDays(y, m, d) - ChronoDays(sy, sm, sd))
                        << Text(y, m, d) << " from " << Text(sy, sm, sd);
                    ASSERT_EQ(DaysBetween({sy, sm, sd}, {y, m, d}),
                              ChronoDays(sy, sm, sd) - ChronoDays(y, m, d));
                }
            }
        }
    }
}

TEST(DaysBetween, CenturyRuleAtTheEndOfFebruary) {
    EXPECT_EQ(DaysBetween({2000, 3, 1}, {2000, 2, 28}), 2);
    EXPECT_EQ(DaysBetween({1900, 3, 1}, {1900, 2, 28}), 1);
    EXPECT_EQ(DaysBetween({2024, 3, 1}, {2024, 2, 28}), 2);
    EXPECT_EQ(DaysBetween({2023, 3, 1}, {2023, 2, 28}), 1);
}

TEST(DaysBetween, AcrossYearsAndBackwards) {
    EXPECT_EQ(DaysBetween({2022, 1, 1}, {2021, 12, 31}), 1);
    // 2022, 2023 and 2024: one leap year among them.
    EXPECT_EQ(DaysBetween({2025, 1, 1}, {2022, 1, 1}), 365 + 365 + 366);
    EXPECT_EQ(DaysBetween({2022, 1, 1}, {2025, 1, 1}), -(365 + 365 + 366));
    EXPECT_EQ(DaysBetween({2024, 3, 1}, {2024, 5, 1}), -61);
    EXPECT_EQ(DaysBetween({2024, 6, 9}, {2024, 6, 9}), 0);
}

TEST(DaysBetween, InvalidFieldsAreCountedAsTheyStand) {
    // Month 13 holds 30 days after December: day 1 of it is day 366 of a common year.
    EXPECT_EQ(DaysBetween({2023, 13, 1}, {2023, 1, 1}), 365);
    EXPECT_EQ(DaysBetween({2024, 13, 1}, {2024, 1, 1}), 366);
    EXPECT_EQ(DaysBetween({2023, 14, 1}, {2023, 1, 1}), 365 + 30);
    EXPECT_EQ(DaysBetween({2023, 99, 0}, {2023, 1, 0}), 365 + 86 * 30);
    // Month 13 of one year against the next year: no wrap into January.
    EXPECT_EQ(DaysBetween({2024, 1, 1}, {2023, 13, 1}), 0);
    // Month 0 and month 1 add nothing; day 0 and day 45 count as they stand.
    EXPECT_EQ(DaysBetween({2023, 0, 5}, {2023, 1, 5}), 0);
    EXPECT_EQ(DaysBetween({2023, 3, 0}, {2023, 2, 28}), 0);
    EXPECT_EQ(DaysBetween({2023, 1, 45}, {2023, 2, 14}), 0);
    EXPECT_EQ(DaysBetween({2023, 1, 0}, {2022, 12, 31}), 0);
    EXPECT_EQ(DaysBetween({2023, -4, 10}, {2023, 1, 1}), 9);
    // Ordered by year alone: the earlier year's record is the start even when its day count is larger.
    EXPECT_EQ(DaysBetween({2024, 1, 1}, {2023, 1, 400}), 365 - 400 + 1);
    EXPECT_EQ(DaysBetween({2023, 1, 400}, {2024, 1, 1}), -(365 - 400 + 1));
}

TEST(DaysBetween, HugeValuesSaturateInsteadOfOverflowing) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(DaysBetween({kMax, 12, 31}, {kMin, 1, 1}), kMax);
    EXPECT_EQ(DaysBetween({kMin, 1, 1}, {kMax, 12, 31}), kMin);
    EXPECT_EQ(DaysBetween({2024, kMax, kMax}, {2024, 1, 1}), kMax);
    EXPECT_EQ(DaysBetween({2024, 1, kMin}, {2024, 1, kMax}), kMin);
    // Large but representable: exact.
    EXPECT_EQ(DaysBetween({2024, 1, 1}, {2024, 1, kMin + 2}), static_cast<int64_t>(1) - (kMin + 2));
    EXPECT_EQ(DaysBetween({400001, 1, 1}, {1, 1, 1}), 1000 * static_cast<int64_t>(146097));
    EXPECT_EQ(DaysBetween({1, 1, 1}, {-399999, 1, 1}), 1000 * static_cast<int64_t>(146097));
}

TEST(DateText, SplitsByTheAtoiRules) {
    EXPECT_EQ(ParseDateText("20240305"), (DateRecord{2024, 3, 5}));
    EXPECT_EQ(ParseDateText("2024030512:00"), (DateRecord{2024, 3, 0}));
    // Four characters: the year is all four, the month 0, the day the last two of them.
    EXPECT_EQ(ParseDateText("2024"), (DateRecord{2024, 0, 24}));
    EXPECT_EQ(ParseDateText("20241"), (DateRecord{2024, 1, 41}));
    EXPECT_EQ(ParseDateText("202411"), (DateRecord{2024, 11, 11}));
    EXPECT_EQ(ParseDateText("2024113"), (DateRecord{2024, 11, 13}));
    EXPECT_EQ(ParseDateText("123"), (DateRecord{123, 0, 23}));
    EXPECT_EQ(ParseDateText("7"), (DateRecord{7, 0, 7}));
    EXPECT_EQ(ParseDateText(""), (DateRecord{0, 0, 0}));
    EXPECT_EQ(ParseDateText("abcdefgh"), (DateRecord{0, 0, 0}));
    EXPECT_EQ(ParseDateText("2024ab1x"), (DateRecord{2024, 0, 1}));
    EXPECT_EQ(ParseDateText("2024-3-5"), (DateRecord{2024, -3, -5}));
    EXPECT_EQ(ParseDateText(" 202 3 4"), (DateRecord{202, 3, 4}));
}

class RenewalWindow : public ::testing::Test {
protected:
    void MaxDay(const std::string& value) {
        dir.Write("drive_c/Windows/time.ini", "MaxDay=" + value + "\r\n");
    }
    test::TempWorkDir dir;
};

TEST_F(RenewalWindow, BothEndsOfTheWindowAreInside) {
    MaxDay("180");
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240901"), 0); // 180 days
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240902"), -1);
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240305"), 0);
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240304"), -2);
    EXPECT_EQ(CheckRenewalWindow("20231231", "20240101"), 0);
}

TEST_F(RenewalWindow, WithoutTimeIniOnlyTheSameDayIsInside) {
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240305"), 0);
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240306"), -1);
    EXPECT_EQ(CheckRenewalWindow("20240305", "20240304"), -2);
    MaxDay("1");
    EXPECT_EQ(CheckRenewalWindow("20231231", "20240101"), 0);
}

TEST_F(RenewalWindow, LimitIsReadAgainOnEveryCheck) {
    MaxDay("10");
    EXPECT_EQ(CheckRenewalWindow("20240101", "20240120"), -1);
    MaxDay("20");
    EXPECT_EQ(CheckRenewalWindow("20240101", "20240120"), 0);
    MaxDay("-1");
    EXPECT_EQ(CheckRenewalWindow("20240101", "20240101"), -1);
}

TEST_F(RenewalWindow, AgreesWithTheCalendarAroundTheLimit) {
    MaxDay("180");
    std::mt19937 rng(42);
    std::uniform_int_distribution<int> offset(-400, 400);
    for (int i = 0; i < 2000; ++i) {
        auto from = chr::sys_days(chr::year(2000) / 1 / 1) +
                    chr::days(std::uniform_int_distribution<int>(0, 20000)(rng));
        int off = offset(rng);
        chr::year_month_day a(from), b(from + chr::days(off));
        auto text = [](chr::year_month_day d) {
            return Text(static_cast<int>(d.year()), static_cast<int>(static_cast<unsigned>(d.month())),
                        static_cast<int>(static_cast<unsigned>(d.day())));
        };
        int32_t expected = off < 0 ? -2 : off > 180 ? -1 : 0;
        ASSERT_EQ(CheckRenewalWindow(text(a), text(b)), expected) << text(a) << " -> " << text(b);
    }
}

TEST_F(RenewalWindow, BrokenTextsStillGiveOneOfTheThreeCodes) {
    MaxDay("180");
    // A four-digit end date: year 2024, month 0, day 24, i.e. 23 days after 1 January.
    EXPECT_EQ(CheckRenewalWindow("20240101", "2024"), 0);
    EXPECT_EQ(CheckRenewalWindow("20240201", "2024"), -2);
    EXPECT_EQ(CheckRenewalWindow("20240101", ""), -2);
    EXPECT_EQ(CheckRenewalWindow("", "20240101"), -1);
    EXPECT_EQ(CheckRenewalWindow("20240101", "abcdefgh"), -2);
    EXPECT_EQ(CheckRenewalWindow("20231201", "20231345"), 0);  // month 13 day 45: 410 - 335 = 75 days
    EXPECT_EQ(CheckRenewalWindow("20230601", "20231345"), -1); // 410 - 152 = 258 days
    EXPECT_EQ(CheckRenewalWindow("00000101", "99999999"), -1);
    EXPECT_EQ(CheckRenewalWindow("99999999", "-9999999"), -2);
}

} // namespace
} // namespace rv
