// The calendar core against a first-principles proleptic Gregorian oracle
// (a day count from civil dates), day by day over wide ranges of years,
// year 0, negative years and the extreme 32-bit years included.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "tslibs/calendar_core.h"

namespace cal = tv::calendar;

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b) < 0); }
int64_t floor_mod(int64_t a, int64_t b) { return a - b * floor_div(a, b); }

// Days from 1970-01-01 to y-m-d in the proleptic Gregorian calendar, by
// counting 400-year eras of 146097 days from a March-based year.
int64_t days_from_civil(int64_t y, int m, int d)
{
    y -= m <= 2;
    const int64_t era = floor_div(y, 400);
    const int64_t yoe = y - era * 400;                                    // 0..399
    const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;  // from March 1
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int oracle_days_in_month(int64_t y, int m)
{
    const int64_t next = m == 12 ? days_from_civil(y + 1, 1, 1) : days_from_civil(y, m + 1, 1);
    return static_cast<int>(next - days_from_civil(y, m, 1));
}

// 1970-01-01 was a Thursday (3 with Monday = 0).
int oracle_weekday(int64_t days) { return static_cast<int>(floor_mod(days + 3, 7)); }

struct OracleIso {
    int64_t year;
    int week;
    int day;
};

// ISO week date: the week belongs to the year holding its Thursday.
OracleIso oracle_iso(int64_t y, int m, int d)
{
    const int64_t days = days_from_civil(y, m, d);
    const int wd = oracle_weekday(days);
    const int64_t thursday = days - wd + 3;
    int64_t iso_year = y - 1;
    while (days_from_civil(iso_year + 1, 1, 1) <= thursday)
        ++iso_year;
    const int64_t week = (thursday - days_from_civil(iso_year, 1, 1)) / 7 + 1;
    return {iso_year, static_cast<int>(week), wd + 1};
}

// The calendar formulas written out literally in 64-bit arithmetic, for
// days outside their month too (where the oracle has nothing to say).
int64_t literal_weekday(int64_t y, int m, int64_t d)
{
    if (m <= 2)
        y -= 1;
    const int64_t cen = floor_div(y, 100);
    const int64_t g = y - 100 * cen;
    const int64_t f = 5 * (cen - 4 * floor_div(cen, 4));
    const int64_t e = cal::month_start_days[m] - (m > 2 ? 1 : 0);
    return (d - 1 + e + f + g + g / 4) % 7;
}

OracleIso literal_iso(int64_t year, int month, int64_t day)
{
    const int64_t doy = cal::month_offset[13 * cal::is_leapyear(year) + month - 1] + day;
    const int64_t dow = literal_weekday(year, month, day);
    const int64_t est = doy - dow + 2;
    // Weeks of the previous ISO year for est -1, -2 and below; a week 53
    // whose Thursday falls in the next year is its week 1.
    const int64_t previous_year_week = est == -1 ? 53 : est == -2 ? 52 + cal::is_leapyear(year - 1) : 52;
    const int64_t counted = est / 7 + 1;
    const int64_t week = est < 0 ? previous_year_week : (counted == 53 && 31 - day + dow < 3) ? 1 : counted;
    const int64_t iso_year = year + (week == 1 && month == 12 ? 1 : 0) - (week >= 52 && month == 1 ? 1 : 0);
    return {iso_year, static_cast<int>(static_cast<int32_t>(week)), static_cast<int>(dow + 1)};
}

// Checks every day of the years [first, last] against the oracle.
void check_years(int64_t first, int64_t last)
{
    for (int64_t y64 = first; y64 <= last; ++y64) {
        const int y = static_cast<int>(y64);
        ASSERT_EQ(cal::is_leapyear(y), oracle_days_in_month(y, 2) == 29 ? 1 : 0) << y;
        for (int m = 1; m <= 12; ++m) {
            const int dim = oracle_days_in_month(y, m);
            ASSERT_EQ(cal::get_days_in_month(y, m, 0), dim) << y << "-" << m;
            int first_bday = 0, last_bday = 0;
            const int64_t jan1 = days_from_civil(y, 1, 1);
            for (int d = 1; d <= dim; ++d) {
                const int64_t days = days_from_civil(y, m, d);
                const int wd = oracle_weekday(days);
                if (wd < 5) {
                    if (first_bday == 0)
                        first_bday = d;
                    last_bday = d;
                }
                ASSERT_EQ(cal::dayofweek(y, m, d), wd) << y << "-" << m << "-" << d;
                ASSERT_EQ(cal::get_day_of_year(y, m, d, 0), days - jan1 + 1) << y << "-" << m << "-" << d;
                const OracleIso want = oracle_iso(y, m, d);
                const cal::iso_calendar_wide_t wide = cal::get_iso_calendar_wide(y, m, d);
                ASSERT_EQ(wide.year, want.year) << y << "-" << m << "-" << d;
                ASSERT_EQ(wide.week, want.week) << y << "-" << m << "-" << d;
                ASSERT_EQ(wide.day, want.day) << y << "-" << m << "-" << d;
                const cal::iso_calendar_t narrow = cal::get_iso_calendar(y, m, d, 0);
                ASSERT_EQ(narrow.year, static_cast<int32_t>(want.year));
                ASSERT_EQ(narrow.week, want.week);
                ASSERT_EQ(narrow.day, want.day);
                ASSERT_EQ(cal::get_week_of_year(y, m, d, 0), want.week);
            }
            ASSERT_EQ(cal::get_firstbday(y, m, 0), first_bday) << y << "-" << m;
            ASSERT_EQ(cal::get_lastbday(y, m, 0), last_bday) << y << "-" << m;
        }
    }
}

// The three ISO functions for one date against the literal formulas (the
// oracle agrees with them on every day of its month, see check_years), or
// the fixed result of a month outside 1..12.
::testing::AssertionResult iso_matches_formulas(int y, int m, int d)
{
    const OracleIso want = cal::is_valid_month(m) ? literal_iso(y, m, d)
                                                  : OracleIso{cal::invalid_month_result, cal::invalid_month_result,
                                                              cal::invalid_month_result};
    const cal::iso_calendar_wide_t wide = cal::get_iso_calendar_wide(y, m, d);
    const cal::iso_calendar_t narrow = cal::get_iso_calendar(y, m, d, 0);
    if (wide.year == want.year && wide.week == want.week && wide.day == want.day &&
        narrow.year == static_cast<int32_t>(want.year) && narrow.week == want.week && narrow.day == want.day &&
        cal::get_week_of_year(y, m, d, 0) == want.week)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << y << "-" << m << "-" << d << ": got (" << wide.year << ", " << wide.week
                                         << ", " << wide.day << "), formulas (" << want.year << ", " << want.week
                                         << ", " << want.day << ")";
}

// Every month 0..13 and every day -1..33 of the years [first, last].
void check_iso_formulas(int64_t first, int64_t last)
{
    for (int64_t y = first; y <= last; ++y)
        for (int m = 0; m <= 13; ++m)
            for (int d = -1; d <= 33; ++d)
                ASSERT_TRUE(iso_matches_formulas(static_cast<int>(y), m, d));
}
}  // namespace

TEST(CalendarTables, Contents)
{
    const int32_t dpm[24] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
                             31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int32_t msd[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    const int32_t mo[26] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365,
                            0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};
    for (int i = 0; i < 24; ++i)
        EXPECT_EQ(cal::days_per_month[i], dpm[i]) << i;
    for (int i = 0; i < 13; ++i)
        EXPECT_EQ(cal::month_start_days[i], msd[i]) << i;
    for (int i = 0; i < 26; ++i)
        EXPECT_EQ(cal::month_offset[i], mo[i]) << i;
}

TEST(CalendarLeapYear, KnownYearsAndExtremes)
{
    const struct {
        int64_t year;
        int leap;
    } cases[] = {{2024, 1},
                 {2023, 0},
                 {2000, 1},
                 {1900, 0},
                 {2100, 0},
                 {0, 1},
                 {-4, 1},
                 {-1, 0},
                 {-100, 0},
                 {-400, 1},
                 {2400, 1},
                 {INT64_MIN, 1},
                 {INT64_MAX, 0},
                 {-9223372036854775200LL, 1},
                 {-9223372036854775300LL, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(cal::is_leapyear(c.year), c.leap) << c.year;
}

TEST(CalendarKnownDates, Examples)
{
    EXPECT_EQ(cal::dayofweek(2024, 1, 1), 0);
    EXPECT_EQ(cal::dayofweek(2024, 3, 1), 4);
    EXPECT_EQ(cal::dayofweek(2000, 2, 29), 1);
    EXPECT_EQ(cal::dayofweek(1970, 1, 1), 3);
    EXPECT_EQ(cal::get_days_in_month(2024, 2, 0), 29);
    EXPECT_EQ(cal::get_days_in_month(1900, 2, 0), 28);
    EXPECT_EQ(cal::get_day_of_year(2023, 3, 1, 0), 60);
    EXPECT_EQ(cal::get_day_of_year(2024, 12, 31, 0), 366);

    const struct {
        int y, m, d, iso_year, week, weekday;
    } iso[] = {
        {2021, 1, 1, 2020, 53, 5},  {2022, 1, 1, 2021, 52, 6},  {2005, 1, 1, 2004, 53, 6},   {2017, 1, 1, 2016, 52, 7},
        {2019, 12, 30, 2020, 1, 1}, {2024, 12, 30, 2025, 1, 1}, {2020, 12, 31, 2020, 53, 4}, {2024, 1, 1, 2024, 1, 1},
    };
    for (const auto &c : iso) {
        const cal::iso_calendar_t r = cal::get_iso_calendar(c.y, c.m, c.d, 0);
        EXPECT_EQ(r.year, c.iso_year) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(r.week, c.week) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(r.day, c.weekday) << c.y << "-" << c.m << "-" << c.d;
        EXPECT_EQ(cal::get_week_of_year(c.y, c.m, c.d, 0), c.week);
    }
    EXPECT_EQ(cal::get_firstbday(2023, 4, 0), 3);
    EXPECT_EQ(cal::get_firstbday(2023, 10, 0), 2);
    EXPECT_EQ(cal::get_firstbday(2024, 1, 0), 1);
    EXPECT_EQ(cal::get_lastbday(2023, 9, 0), 29);
    EXPECT_EQ(cal::get_lastbday(2023, 4, 0), 28);
    EXPECT_EQ(cal::get_lastbday(2024, 8, 0), 30);
    EXPECT_EQ(cal::get_lastbday(2024, 2, 0), 29);
}

TEST(CalendarOracle, EveryDayOfTwentyThousandYears) { check_years(-10000, 10000); }

TEST(CalendarOracle, ExtremeYears)
{
    check_years(INT_MIN, static_cast<int64_t>(INT_MIN) + 801);
    check_years(static_cast<int64_t>(INT_MAX) - 801, INT_MAX);
}

TEST(CalendarOracle, ExtremeIsoYearsWiden)
{
    // The ISO year next to the ends of the 32-bit range leaves it.
    const cal::iso_calendar_wide_t late = cal::get_iso_calendar_wide(INT_MAX, 12, 31);
    const OracleIso want_late = oracle_iso(INT_MAX, 12, 31);
    EXPECT_EQ(late.year, want_late.year);
    const OracleIso want_early = oracle_iso(INT_MIN, 1, 1);
    EXPECT_EQ(cal::get_iso_calendar_wide(INT_MIN, 1, 1).year, want_early.year);
}

TEST(CalendarInvalidMonth, FixedResultAndNoTableRead)
{
    const int months[] = {0, 13, -1, 14, 100, INT_MIN, INT_MAX, -12};
    for (int m : months) {
        EXPECT_EQ(cal::dayofweek(2024, m, 1), cal::invalid_month_result) << m;
        EXPECT_EQ(cal::get_days_in_month(2024, m, 0), cal::invalid_month_result) << m;
        EXPECT_EQ(cal::get_day_of_year(2024, m, 1, 0), cal::invalid_month_result) << m;
        EXPECT_EQ(cal::get_week_of_year(2024, m, 1, 0), cal::invalid_month_result) << m;
        const cal::iso_calendar_t iso = cal::get_iso_calendar(2024, m, 1, 0);
        EXPECT_EQ(iso.year, -1);
        EXPECT_EQ(iso.week, -1);
        EXPECT_EQ(iso.day, -1);
        EXPECT_EQ(cal::get_firstbday(2024, m, 0), cal::invalid_month_result) << m;
        EXPECT_EQ(cal::get_lastbday(2024, m, 0), cal::invalid_month_result) << m;
    }
    EXPECT_EQ(cal::get_days_in_month(2024, PTRDIFF_MAX, 0), cal::invalid_month_result);
    EXPECT_EQ(cal::get_days_in_month(2024, PTRDIFF_MIN, 0), cal::invalid_month_result);
}

TEST(CalendarDayOutsideMonth, MatchesTheLiteralFormulas)
{
    const int years[] = {INT_MIN, INT_MIN + 1, -401, -400, -101, -100, -1,          0,
                         1,       1900,        2000, 2023, 2024, 2100, INT_MAX - 1, INT_MAX};
    const int far_days[] = {INT_MIN,   INT_MIN + 1,   -(1 << 30) - 1, -(1 << 30),
                            (1 << 30), (1 << 30) + 1, INT_MAX - 1,    INT_MAX};
    for (int y : years) {
        for (int m = 1; m <= 12; ++m) {
            auto check = [&](int d) {
                const OracleIso want = literal_iso(y, m, d);
                const cal::iso_calendar_wide_t got = cal::get_iso_calendar_wide(y, m, d);
                ASSERT_EQ(got.year, want.year) << y << "-" << m << "-" << d;
                ASSERT_EQ(got.week, want.week) << y << "-" << m << "-" << d;
                ASSERT_EQ(got.day, want.day) << y << "-" << m << "-" << d;
                ASSERT_EQ(cal::dayofweek(y, m, d), literal_weekday(y, m, d)) << y << "-" << m << "-" << d;
            };
            for (int d = -400; d <= 400; ++d)
                check(d);
            for (int d : far_days)
                check(d);
        }
    }
}

TEST(CalendarDayOutsideMonth, FormulasApplied)
{
    EXPECT_EQ(cal::get_day_of_year(2023, 1, 40, 0), 40);
    EXPECT_EQ(cal::get_day_of_year(2024, 3, 0, 0), 60);
    // Extreme days and years: defined results, no overflow (checked under
    // the undefined-behaviour sanitizer).
    const int values[] = {INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX};
    for (int y : values)
        for (int d : values)
            for (int m = 1; m <= 12; ++m) {
                const int wd = cal::dayofweek(y, m, d);
                EXPECT_GE(wd, -6);
                EXPECT_LE(wd, 6);
                (void)cal::get_day_of_year(y, m, d, 0);
                (void)cal::get_iso_calendar(y, m, d, 0);
                EXPECT_GE(cal::get_firstbday(y, m, 0), 1);
                EXPECT_GE(cal::get_lastbday(y, m, 0), 26);
            }
    EXPECT_EQ(cal::get_day_of_year(2023, 12, INT_MAX, 0), static_cast<int32_t>(334LL + INT_MAX));
}

// The year enters the ISO formulas through its residue modulo 400 and the
// neighbouring years, so thousands of consecutive years and both ends of
// the 32-bit range cover every case.
TEST(CalendarIsoFormulas, WideYearRanges)
{
    check_iso_formulas(-4400, 4400);
    check_iso_formulas(INT_MIN, static_cast<int64_t>(INT_MIN) + 1200);
    check_iso_formulas(static_cast<int64_t>(INT_MAX) - 1200, INT_MAX);
}

TEST(CalendarIsoFormulas, ExtremeArguments)
{
    const int values[] = {INT_MIN, INT_MIN + 1, -(1 << 30) - 1, -(1 << 30),    -400,        -32,    -1, 0, 1, 31,
                          32,      366,         (1 << 30),      (1 << 30) + 1, INT_MAX - 1, INT_MAX};
    const int years[] = {INT_MIN, INT_MIN + 1, -401, -1, 0, 1, 1600, 2000, 2024, INT_MAX - 1, INT_MAX};
    for (int y : years)
        for (int m : values)
            for (int d : values)
                ASSERT_TRUE(iso_matches_formulas(y, m, d));
    for (int y : years)
        for (int m = 1; m <= 12; ++m)
            for (int d : values)
                ASSERT_TRUE(iso_matches_formulas(y, m, d));
}
