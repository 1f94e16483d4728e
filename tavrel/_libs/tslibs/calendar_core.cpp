// Calendar formulas.  Intermediate values are 64-bit so that the extreme
// 32-bit years (and days far outside their month) cannot overflow; results
// that do not fit 32 bits wrap, which C++20 defines for the narrowing cast.
#include "calendar_core.h"

namespace tv::calendar {

const int32_t days_per_month[24] = {
    31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
    31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
};

const int32_t month_start_days[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

const int32_t month_offset[26] = {
    0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365,
    0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366,
};

namespace {

// Rounds toward minus infinity; b > 0.
constexpr int64_t floor_div(int64_t a, int64_t b) noexcept
{
    const int64_t q = a / b;
    return q - ((a % b) < 0);
}

constexpr int leap_of(int64_t year) noexcept
{
    // year & 3 tests divisibility by 4 for negative years too (two's
    // complement); the remainders below are only compared with zero, so
    // their sign does not matter.
    if ((year & 3) != 0)
        return 0;
    if (year % 100 != 0)
        return 1;
    return year % 400 == 0;
}

// Weekday (0 = Monday) by the Gauss-type formula; month must be 1..12.
// January and February count as months of the previous year, so the leap
// day falls at the end of the counted year.
inline int64_t weekday_of(int64_t y, int m, int64_t d) noexcept
{
    if (m <= 2)
        y -= 1;
    const int64_t cen = floor_div(y, 100);
    const int64_t g = y - 100 * cen;                     // 0..99
    const int64_t f = 5 * (cen - 4 * floor_div(cen, 4));  // 0, 5, 10 or 15
    const int64_t e = month_start_days[m] - (m > 2);
    return (d - 1 + e + f + g + g / 4) % 7;
}

inline int64_t day_of_year_of(int64_t year, int month, int64_t day) noexcept
{
    return month_offset[13 * leap_of(year) + month - 1] + day;
}

}  // namespace

int is_leapyear(int64_t year) noexcept { return leap_of(year); }

int dayofweek(int y, int m, int d) noexcept
{
    if (!is_valid_month(m)) [[unlikely]]
        return invalid_month_result;
    return static_cast<int>(weekday_of(y, m, d));
}

int32_t get_days_in_month(int year, std::ptrdiff_t month, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    return days_per_month[12 * leap_of(year) + month - 1];
}

int32_t get_day_of_year(int year, int month, int day, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    return static_cast<int32_t>(day_of_year_of(year, month, day));
}

iso_calendar_wide_t get_iso_calendar_wide(int year, int month, int day) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return {invalid_month_result, invalid_month_result, invalid_month_result};
    const int64_t doy = day_of_year_of(year, month, day);
    const int64_t dow = weekday_of(year, month, day);
    // Zero-based day of the year of this week's Thursday, plus a day.
    const int64_t est = doy - dow + 2;
    int64_t week;
    if (est >= 0) {
        week = est / 7 + 1;
        // A week 53 whose Thursday falls in the next year is that year's week 1.
        if (week == 53 && 31 - int64_t{day} + dow < 3)
            week = 1;
    }
    else if (est == -1) {
        week = 53;
    }
    else if (est == -2) {
        week = 52 + leap_of(int64_t{year} - 1);
    }
    else {
        week = 52;
    }
    int64_t iso_year = year;
    if (week == 1 && month == 12)
        iso_year += 1;
    else if (week >= 52 && month == 1)
        iso_year -= 1;
    return {iso_year, static_cast<int32_t>(week), static_cast<int32_t>(dow + 1)};
}

iso_calendar_t get_iso_calendar(int year, int month, int day, int) noexcept
{
    const iso_calendar_wide_t wide = get_iso_calendar_wide(year, month, day);
    return {static_cast<int32_t>(wide.year), wide.week, wide.day};
}

int32_t get_week_of_year(int year, int month, int day, int) noexcept
{
    return get_iso_calendar_wide(year, month, day).week;
}

int get_firstbday(int year, int month, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    const int64_t first = weekday_of(year, month, 1);
    // A month starting on Saturday (5) or Sunday (6) has its first business
    // day on the following Monday.
    return first == 5 ? 3 : first == 6 ? 2 : 1;
}

int get_lastbday(int year, int month, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    const int days = days_per_month[12 * leap_of(year) + month - 1];
    const int64_t last = (weekday_of(year, month, 1) + days - 1) % 7;  // both terms >= 0
    return last == 5 ? days - 1 : last == 6 ? days - 2 : days;
}

}  // namespace tv::calendar
