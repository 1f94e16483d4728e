// Proleptic Gregorian calendar arithmetic over plain integers.
//
// Every year representable in a 32-bit int is valid, year 0 and negative
// years included (year 0 is 1 BC, a leap year).  Weekdays are numbered
// 0 = Monday ... 6 = Sunday; ISO weekdays 1 = Monday ... 7 = Sunday.
//
// The functions check nothing about the day: a day outside its month is the
// caller's obligation, and the results are those of the formulas applied to
// the given numbers (get_day_of_year(2023, 1, 40) is 40), wrapped to 32 bits
// where they do not fit.  A month outside 1..12 would index past the month
// tables, so every function that takes a month returns `invalid_month_result`
// (-1, and {-1, -1, -1} for the ISO calendar) for it instead.
//
// The trailing int of six functions is a dispatch flag carried by the
// exported native signatures; it is ignored.
//
// Pure: no Python objects, no state, no allocation; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace tv::calendar {

// ISO 8601 week date: ISO year, week 1..53, weekday 1 (Monday) .. 7.
struct iso_calendar_t {
    int32_t year;
    int32_t week;
    int32_t day;
};

// The same with the ISO year widened: the ISO year of late December of
// year 2147483647 or early January of year -2147483648 is not a 32-bit int.
struct iso_calendar_wide_t {
    int64_t year;
    int32_t week;
    int32_t day;
};

inline constexpr int32_t invalid_month_result = -1;

// Month lengths of a common year, then of a leap year: [12 * leap + month - 1].
extern const int32_t days_per_month[24];
// Days of a common year before the first of month m, at index m (1..12).
extern const int32_t month_start_days[13];
// Days before the first of month m at [13 * leap + m - 1], and the year's
// length at [13 * leap + 12].
extern const int32_t month_offset[26];

int dayofweek(int y, int m, int d) noexcept;
int is_leapyear(int64_t year) noexcept;
int32_t get_days_in_month(int year, std::ptrdiff_t month, int skip_dispatch) noexcept;
int32_t get_day_of_year(int year, int month, int day, int skip_dispatch) noexcept;
int32_t get_week_of_year(int year, int month, int day, int skip_dispatch) noexcept;
iso_calendar_t get_iso_calendar(int year, int month, int day, int skip_dispatch) noexcept;
iso_calendar_wide_t get_iso_calendar_wide(int year, int month, int day) noexcept;
int get_firstbday(int year, int month, int skip_dispatch) noexcept;
int get_lastbday(int year, int month, int skip_dispatch) noexcept;

// True for 1..12, tested without overflow for any value.
constexpr bool is_valid_month(std::ptrdiff_t month) noexcept { return static_cast<std::size_t>(month) - 1u < 12u; }

// The ISO calendar of the common case, inline so that callers in this
// library (the Python-level function) avoid a call; the exported functions
// use the same code.
namespace detail {

// Quotient by 7 of a small non-negative value by multiply and shift; exact
// below 683 (checked at compile time), which covers every use below.
constexpr uint32_t div7_small(uint32_t x) noexcept { return (x * 293u) >> 11; }

consteval bool div7_small_exact() noexcept
{
    for (uint32_t x = 0; x < 683; ++x)
        if (div7_small(x) != x / 7)
            return false;
    return true;
}
static_assert(div7_small_exact());

// What the ISO calendar needs of a year, a function of the year's residue
// modulo 400, one record per residue so that the year costs one lookup.
struct YearInfo {
    uint8_t jan1;            // weekday of January 1, 0 = Monday
    uint8_t leap;            // 1 for a leap year
    uint8_t week_base;       // 1, or 0 when January 1 is a Friday to Sunday (week 1 starts later)
    uint8_t previous_weeks;  // 52 or 53: the weeks of the previous ISO year
};

constexpr int leap_of_nonnegative(int year) noexcept { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

// Weekday of January 1 by the weekday formula, for a year 0..399 taken as
// year + 400 so that the March-based previous year is not negative (no days
// of the year come before January).
constexpr int jan1_weekday(int year) noexcept
{
    const int march_year = year + 399;
    const int cen = march_year / 100, g = march_year % 100;
    return (5 * (cen % 4) + g + g / 4) % 7;
}

// Indexed by (year + 2^31) mod 400, which needs no sign correction; 2^31 is
// 48 modulo 400.
constexpr std::array<YearInfo, 400> make_year_info() noexcept
{
    std::array<YearInfo, 400> info{};
    for (int index = 0; index < 400; ++index) {
        const int year = (index + 352) % 400;
        const int jan1 = jan1_weekday(year);
        // The previous year ends on the weekday before this January 1; it
        // has 53 ISO weeks when it ends on a Thursday, or on a Friday after
        // starting on a Thursday (a leap year).
        const int previous_leap = leap_of_nonnegative(year + 399);
        const bool long_previous = jan1 == 4 || (jan1 == 5 && previous_leap);
        info[static_cast<std::size_t>(index)] = {
            static_cast<uint8_t>(jan1), static_cast<uint8_t>(leap_of_nonnegative(year + 400)),
            static_cast<uint8_t>(jan1 <= 3 ? 1 : 0), static_cast<uint8_t>(long_previous ? 53 : 52)};
    }
    return info;
}

inline constexpr std::array<YearInfo, 400> year_info = make_year_info();

constexpr const YearInfo &year_info_of(int year) noexcept
{
    return year_info[(static_cast<uint32_t>(year) ^ 0x80000000u) % 400u];
}

static_assert(year_info_of(2024).jan1 == 0 && year_info_of(2024).leap == 1);
static_assert(year_info_of(1970).jan1 == 3 && year_info_of(1970).leap == 0);
static_assert(year_info_of(2021).previous_weeks == 53 && year_info_of(2022).previous_weeks == 52);
static_assert(year_info_of(2005).previous_weeks == 53 && year_info_of(2017).previous_weeks == 52);
static_assert(year_info_of(INT32_MIN).leap == year_info_of(0).leap);

// Days of a common year before each month, 0-based month.
inline constexpr uint16_t days_before_month[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// A month 1..12 and a day 1..31: the case of every valid date.
constexpr bool is_common_case(int month, int day) noexcept
{
    return is_valid_month(month) && static_cast<unsigned>(day) - 1u < 31u;
}

// The ISO year as its difference from the calendar year (-1, 0 or 1), so
// that the 32-bit and the widened results are each built directly.
struct IsoDelta {
    int year_delta;
    int32_t week;
    int32_t day;
};

// The ISO calendar of the common case, exactly what the general formulas
// give for it, in 32-bit arithmetic with one lookup per table and one
// division by 7 done as multiply and shift: with days = jan1 + doy - 1 =
// 7 q + dow, the Monday of the date's week is day 7 q - jan1 + 1 of the
// year and its Thursday day 7 q - jan1 + 4; the week counts from the first
// week whose Thursday is in the year.  Only January reaches the previous
// ISO year and only December the next one (no day 1..31 of another month
// comes near either end).
inline IsoDelta iso_of_day_in_month(int year, int month, int day) noexcept
{
    const YearInfo &info = year_info_of(year);
    const unsigned m = static_cast<unsigned>(month);
    // Days of the year before the month: the leap day counts from March.
    const unsigned before = days_before_month[m - 1] + (m > 2 ? info.leap : 0u);
    const unsigned days = info.jan1 + before + static_cast<unsigned>(day) - 1u;  // 0..371
    const unsigned q = div7_small(days);
    const unsigned dow = days - 7u * q;
    const int thursday = static_cast<int>(7u * q + 4u) - info.jan1;  // its day of the year, -2..369
    const int in_previous = thursday < 1;
    const int in_next = thursday > static_cast<int>(365u + info.leap);
    const int32_t week = in_previous ? info.previous_weeks : in_next ? 1 : static_cast<int32_t>(q + info.week_base);
    return {in_next - in_previous, week, static_cast<int32_t>(dow) + 1};
}

}  // namespace detail

// get_iso_calendar_wide, with the common case inline.
inline iso_calendar_wide_t iso_calendar_wide_inline(int year, int month, int day) noexcept
{
    if (detail::is_common_case(month, day)) [[likely]] {
        const detail::IsoDelta iso = detail::iso_of_day_in_month(year, month, day);
        return {int64_t{year} + iso.year_delta, iso.week, iso.day};
    }
    return get_iso_calendar_wide(year, month, day);
}

}  // namespace tv::calendar
