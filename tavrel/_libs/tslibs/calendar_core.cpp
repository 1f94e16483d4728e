// Calendar formulas.
//
// The target is a 32-bit machine, where 64-bit divisions are library calls,
// so the formulas run in 32-bit arithmetic: the year enters only through its
// remainder modulo 400 (the Gregorian cycle), and days within 2^30 of zero
// keep every intermediate within 32 bits.  Days beyond that (never a valid
// date) take the same formulas in 64 bits, and results that do not fit
// 32 bits wrap, which C++20 defines for the narrowing conversion.
#include "calendar_core.h"

#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

namespace tv::calendar {

const int32_t days_per_month[24] = {
    31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31,
};

const int32_t month_start_days[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

const int32_t month_offset[26] = {
    0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365,
    0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366,
};

namespace {

template <typename Int>
constexpr int leap_of(Int year) noexcept
{
    // A multiple of 4 is a leap year unless it is a multiple of 100 and not
    // of 400; a multiple of 100 is a multiple of 400 exactly when it is a
    // multiple of 16 as well.  `year & mask` tests divisibility by 4 or 16
    // for negative years too (two's complement), and the remainder by 100
    // is only compared with zero, so its sign does not matter.
    const Int mask = (year % 100 != 0) ? 3 : 15;
    return (year & mask) == 0;
}

constexpr bool day_is_moderate(int day) noexcept
{
    return static_cast<unsigned>(day) + (1u << 30) <= (1u << 31);  // -2^30 <= day <= 2^30
}

// What the formulas need of a year, from one division by 100: the century
// (floor-mod 4) and the year within it of the March-based year (January and
// February count as months of the previous year, so that the leap day ends
// the counted year), and whether the calendar year itself is a leap year.
struct CycleYear {
    int cen;   // floor(y / 100) floor-mod 4 of the March-based year y
    int g;     // y - 100 * floor(y / 100): 0..99
    int leap;  // of the calendar year
};

inline CycleYear cycle_year(int year, int month) noexcept
{
    int q = year / 100;
    int g = year - 100 * q;
    if (g < 0) {  // floor division
        g += 100;
        q -= 1;
    }
    const int leap = (year & (g != 0 ? 3 : 15)) == 0;  // as in leap_of
    int cen = q & 3;                                   // floor-mod 4 (two's complement)
    g -= month <= 2;
    if (g < 0) {
        g = 99;
        cen = (cen + 3) & 3;
    }
    return {cen, g, leap};
}

// The terms of the weekday formula that do not depend on the day.
inline int weekday_year_terms(const CycleYear &cy, int month) noexcept
{
    const int e = month_start_days[month] - (month > 2);
    return e + 5 * cy.cen + cy.g + cy.g / 4;
}

// Weekday (0 = Monday) by the Gauss-type formula; month must be 1..12.
template <typename Int>
inline Int weekday_of(int year, int month, Int day) noexcept
{
    return (day - 1 + weekday_year_terms(cycle_year(year, month), month)) % 7;
}

template <typename Int>
inline iso_calendar_wide_t iso_of(int year, int month, Int day) noexcept
{
    const CycleYear cy = cycle_year(year, month);
    const int year_terms = weekday_year_terms(cy, month);
    const int before = month_offset[13 * cy.leap + month - 1];
    const Int sum = day - 1 + year_terms;  // dow = sum % 7
    // est is the zero-based day of the year of this week's Thursday, plus a
    // day: doy - dow + 2.  For a valid date sum >= 0, and est and its
    // quotient by 7 follow from sum / 7, which shortens the chain of
    // divisions: est = k + 7 * (sum / 7) with k = before + 3 - year_terms.
    Int dow, est, est_weeks;  // est_weeks = est / 7 when est >= 0
    if (sum >= 0) [[likely]] {
        const Int weeks = sum / 7;
        const int k = before + 3 - year_terms;  // -135..5
        dow = sum - 7 * weeks;
        est = k + 7 * weeks;
        est_weeks = weeks + ((k + 140) / 7 - 20);  // + floor(k / 7)
    } else {
        dow = sum % 7;
        est = before + day - dow + 2;
        est_weeks = est / 7;
    }
    Int week;
    if (est >= 0) [[likely]] {
        week = est_weeks + 1;
        // A week 53 whose Thursday falls in the next year is that year's week 1.
        if (week == 53 && 31 - day + dow < 3)
            week = 1;
    } else if (est == -1) {
        week = 53;
    } else if (est == -2) {
        week = 52 + is_leapyear(int64_t{year} - 1);
    } else {
        week = 52;
    }
    int64_t iso_year = year;
    if (week == 1 && month == 12)
        iso_year += 1;
    else if (week >= 52 && month == 1)
        iso_year -= 1;
    return {iso_year, static_cast<int32_t>(week), static_cast<int32_t>(dow + 1)};
}

}  // namespace

int is_leapyear(int64_t year) noexcept
{
    if (year >= INT_MIN && year <= INT_MAX) [[likely]]
        return leap_of(static_cast<int>(year));
    return leap_of(year);
}

int dayofweek(int y, int m, int d) noexcept
{
    if (!is_valid_month(m)) [[unlikely]]
        return invalid_month_result;
    if (day_is_moderate(d)) [[likely]]
        return weekday_of(y, m, d);
    return static_cast<int>(weekday_of(y, m, int64_t{d}));
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
    const uint32_t before = static_cast<uint32_t>(month_offset[13 * leap_of(year) + month - 1]);
    return static_cast<int32_t>(before + static_cast<uint32_t>(day));
}

namespace {

// Every day outside 1..31 and every month outside 1..12: kept out of line so
// that the exported functions stay small around the common case.
[[gnu::noinline, gnu::cold]] iso_calendar_wide_t iso_of_unusual(int year, int month, int day) noexcept
{
    if (!is_valid_month(month))
        return {invalid_month_result, invalid_month_result, invalid_month_result};
    if (day_is_moderate(day))
        return iso_of(year, month, day);
    return iso_of(year, month, int64_t{day});
}

// Year and week are stored as one 64-bit value: filled field by field, the
// record is returned through two 32-bit stores and one 64-bit load, which
// the processor cannot forward and which costs more than the arithmetic.
[[gnu::always_inline]] inline iso_calendar_t make_iso_calendar(uint32_t year, uint32_t week, uint32_t day) noexcept
{
    static_assert(offsetof(iso_calendar_t, week) == 4 && offsetof(iso_calendar_t, day) == 8);
    iso_calendar_t result;
    const uint64_t year_and_week =
        (std::endian::native == std::endian::little) ? (uint64_t{week} << 32 | year) : (uint64_t{year} << 32 | week);
    std::memcpy(&result, &year_and_week, sizeof year_and_week);
    result.day = static_cast<int32_t>(day);
    return result;
}

}  // namespace

iso_calendar_wide_t get_iso_calendar_wide(int year, int month, int day) noexcept
{
    if (detail::is_common_case(month, day)) [[likely]] {
        const detail::IsoDelta iso = detail::iso_of_day_in_month(year, month, day);
        return {int64_t{year} + iso.year_delta, iso.week, iso.day};
    }
    return iso_of_unusual(year, month, day);
}

iso_calendar_t get_iso_calendar(int year, int month, int day, int) noexcept
{
    if (detail::is_common_case(month, day)) [[likely]] {
        const detail::IsoDelta iso = detail::iso_of_day_in_month(year, month, day);
        // Wraps beside the extreme years, as the narrowing of the wide year does.
        const uint32_t iso_year = static_cast<uint32_t>(year) + static_cast<uint32_t>(iso.year_delta);
        return make_iso_calendar(iso_year, static_cast<uint32_t>(iso.week), static_cast<uint32_t>(iso.day));
    }
    const iso_calendar_wide_t wide = iso_of_unusual(year, month, day);
    return {static_cast<int32_t>(wide.year), wide.week, wide.day};
}

int32_t get_week_of_year(int year, int month, int day, int) noexcept
{
    if (detail::is_common_case(month, day)) [[likely]]
        return detail::iso_of_day_in_month(year, month, day).week;
    return iso_of_unusual(year, month, day).week;
}

int get_firstbday(int year, int month, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    const int first = weekday_of(year, month, 1);
    // A month starting on Saturday (5) or Sunday (6) has its first business
    // day on the following Monday.
    return first == 5 ? 3 : first == 6 ? 2 : 1;
}

int get_lastbday(int year, int month, int) noexcept
{
    if (!is_valid_month(month)) [[unlikely]]
        return invalid_month_result;
    const int days = days_per_month[12 * leap_of(year) + month - 1];
    const int last = (weekday_of(year, month, 1) + days - 1) % 7;  // both terms >= 0
    return last == 5 ? days - 1 : last == 6 ? days - 2 : days;
}

}  // namespace tv::calendar
