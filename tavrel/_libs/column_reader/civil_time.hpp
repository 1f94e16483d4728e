// Calendar arithmetic of the column reader: instants as (day, second of
// day, attosecond of second) in UTC, and their counts in NumPy's datetime
// units with every overflow caught.  Pure functions.
//
// Unit codes are NumPy's (0 years, 1 months, 4 days, 5 hours, 6 minutes,
// 7 seconds, 8 ms, 9 us, 10 ns, 11 ps, 12 fs, 13 as); a larger code is a
// finer unit.  The week code (2) is never chosen by the reader.
#pragma once

#include <cstdint>

namespace tv::reader {

enum : int {
    kUnitYear = 0,
    kUnitMonth = 1,
    kUnitDay = 4,
    kUnitHour = 5,
    kUnitMinute = 6,
    kUnitSecond = 7,
    kUnitAtto = 13
};

inline bool is_reader_unit(int unit) noexcept { return unit == 0 || unit == 1 || (unit >= 4 && unit <= 13); }

// Days since 1970-01-01 of a proleptic Gregorian date (any year an int64
// day count can hold a third of).
inline int64_t days_from_civil(int64_t year, int month, int day) noexcept
{
    const int64_t y = month <= 2 ? year - 1 : year;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t mp = month > 2 ? month - 3 : month + 9;
    const int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

inline void civil_from_days(int64_t days, int64_t *year, int *month, int *day) noexcept
{
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// An instant in UTC.
struct Instant {
    int64_t day;         // days since 1970-01-01
    int32_t second;      // 0..86399
    int64_t attosecond;  // 0..10^18-1

    friend bool operator<(const Instant &a, const Instant &b) noexcept
    {
        if (a.day != b.day)
            return a.day < b.day;
        if (a.second != b.second)
            return a.second < b.second;
        return a.attosecond < b.attosecond;
    }
};

// The instant of a wall-clock date and time that lies `offset_minutes`
// east of UTC.  The fields must be in range (as the ISO parser leaves them).
inline Instant make_instant(int64_t year, int month, int day, int hour, int minute, int second, int microsecond,
                            int picosecond, int attosecond, int offset_minutes) noexcept
{
    Instant t;
    t.day = days_from_civil(year, month, day);
    int64_t s = int64_t(hour) * 3600 + int64_t(minute) * 60 + second - int64_t(offset_minutes) * 60;
    while (s < 0) {
        s += 86400;
        --t.day;
    }
    while (s >= 86400) {
        s -= 86400;
        ++t.day;
    }
    t.second = static_cast<int32_t>(s);
    t.attosecond = int64_t(microsecond) * 1000000000000 + int64_t(picosecond) * 1000000 + attosecond;
    return t;
}

// Attoseconds (0..10^18-1) as a count of a unit with PerSecond units per
// second; -1 when they are not a whole number of units.
template <int64_t PerSecond>
inline int64_t units_of_attos(int64_t attos, int64_t *per_second) noexcept
{
    constexpr int64_t attos_per_unit = 1000000000000000000 / PerSecond;
    *per_second = PerSecond;
    return attos % attos_per_unit == 0 ? attos / attos_per_unit : -1;
}

// Count of `unit` since the epoch; false when it overflows an int64 or is
// the int64 minimum (NumPy's NaT), or when the instant is not a whole
// number of units.
inline bool instant_to_count(const Instant &t, int unit, int64_t *out) noexcept
{
    int64_t r;
    if (unit == kUnitYear || unit == kUnitMonth) {
        int64_t year;
        int month, day;
        civil_from_days(t.day, &year, &month, &day);
        if (day != 1 || t.second != 0 || t.attosecond != 0 || (unit == kUnitYear && month != 1))
            return false;
        r = year - 1970;
        if (unit == kUnitMonth &&
            (__builtin_mul_overflow(r, int64_t(12), &r) || __builtin_add_overflow(r, int64_t(month - 1), &r)))
            return false;
    } else if (unit == kUnitDay) {
        if (t.second != 0 || t.attosecond != 0)
            return false;
        r = t.day;
    } else if (unit == kUnitHour || unit == kUnitMinute) {
        const int64_t per = unit == kUnitHour ? 3600 : 60;
        if (t.second % per != 0 || t.attosecond != 0)
            return false;
        if (__builtin_mul_overflow(t.day, 86400 / per, &r) || __builtin_add_overflow(r, t.second / per, &r))
            return false;
    } else if (unit >= kUnitSecond && unit <= kUnitAtto) {
        // Units per second, and the attoseconds as units (constant divisors).
        int64_t per_second, part;
        switch (unit) {
        case kUnitSecond:
            part = units_of_attos<1>(t.attosecond, &per_second);
            break;
        case kUnitSecond + 1:
            part = units_of_attos<1000>(t.attosecond, &per_second);
            break;
        case kUnitSecond + 2:
            part = units_of_attos<1000000>(t.attosecond, &per_second);
            break;
        case kUnitSecond + 3:
            part = units_of_attos<1000000000>(t.attosecond, &per_second);
            break;
        case kUnitSecond + 4:
            part = units_of_attos<1000000000000>(t.attosecond, &per_second);
            break;
        case kUnitSecond + 5:
            part = units_of_attos<1000000000000000>(t.attosecond, &per_second);
            break;
        default:
            part = units_of_attos<1000000000000000000>(t.attosecond, &per_second);
            break;
        }
        if (part < 0)
            return false;  // not a whole number of units
        int64_t seconds;
        if (__builtin_mul_overflow(t.day, int64_t(86400), &seconds) ||
            __builtin_add_overflow(seconds, int64_t(t.second), &seconds))
            return false;
        if (seconds < 0 && part > 0) {
            // Before the epoch the whole seconds may overflow where the
            // instant does not: count from the next second down.
            seconds += 1;
            part -= per_second;
        }
        if (__builtin_mul_overflow(seconds, per_second, &r) || __builtin_add_overflow(r, part, &r))
            return false;
    } else {
        return false;
    }
    if (r == INT64_MIN)
        return false;
    *out = r;
    return true;
}

// The instant of a count of `unit` (one of the reader's units).
inline Instant count_to_instant(int64_t count, int unit) noexcept
{
    Instant t{0, 0, 0};
    auto floor_div = [](int64_t a, int64_t b, int64_t *rem) {
        int64_t q = a / b;
        int64_t r = a % b;
        if (r < 0) {
            r += b;
            --q;
        }
        *rem = r;
        return q;
    };
    int64_t rem;
    if (unit == kUnitYear || unit == kUnitMonth) {
        int64_t year = 1970;
        int month = 1;
        if (unit == kUnitYear) {
            year += count;
        } else {
            year += floor_div(count, 12, &rem);
            month = static_cast<int>(rem) + 1;
        }
        t.day = days_from_civil(year, month, 1);
    } else if (unit == kUnitDay) {
        t.day = count;
    } else if (unit == kUnitHour || unit == kUnitMinute) {
        const int64_t per_day = unit == kUnitHour ? 24 : 1440;
        t.day = floor_div(count, per_day, &rem);
        t.second = static_cast<int32_t>(rem * (86400 / per_day));
    } else {
        int64_t per_second = 1;
        for (int u = kUnitSecond; u < unit; ++u)
            per_second *= 1000;
        const int64_t seconds = floor_div(count, per_second, &rem);
        t.attosecond = rem * (1000000000000000000 / per_second);
        int64_t sec_of_day;
        t.day = floor_div(seconds, 86400, &sec_of_day);
        t.second = static_cast<int32_t>(sec_of_day);
    }
    return t;
}

// The finest unit in which the offset (minutes east of UTC) can be applied
// to a time of `unit`: a time given to the hour moves by whole minutes
// under an offset such as +05:30.
inline int unit_for_offset(int unit, int offset_minutes) noexcept
{
    if (offset_minutes == 0)
        return unit;
    const int need = offset_minutes % 60 == 0 ? kUnitHour : kUnitMinute;
    return unit < need ? need : unit;
}

}  // namespace tv::reader
