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
constexpr bool is_valid_month(std::ptrdiff_t month) noexcept
{
    return static_cast<std::size_t>(month) - 1u < 12u;
}

}  // namespace tv::calendar
