// Epoch conversions of the broken-down date-time and duration records.
//
// Worked examples (days since 1970-01-01):
//   2000-01-01 -> 10957   2001-01-01 -> 11323   1969-01-01 -> -365
//   1968-01-01 -> -731    ns -1 -> 1969-12-31 23:59:59.999999 ps 999000
//
// Counts that a Part of the table may hand us are any int64; every division
// below is by a positive constant, and every product or sum that could leave
// the int64 range is either checked (conversion to a count, which can report
// OverflowError) or done in uint64 (conversions that have no failure result
// and are documented to wrap).
#include "np_datetime.h"

#include <cstring>

namespace tv::dt {

const int32_t days_per_month[2][12] = {
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
};

namespace {

constexpr int64_t days_1970_to_2000 = 10957;
constexpr int64_t days_per_400_years = 146097;

// Floor division and modulo by a positive divisor; never overflows.
constexpr int64_t floor_div(int64_t a, int64_t b) noexcept
{
    int64_t q = a / b;
    return (a % b < 0) ? q - 1 : q;
}
constexpr int64_t floor_mod(int64_t a, int64_t b) noexcept
{
    int64_t r = a % b;
    return r < 0 ? r + b : r;
}

constexpr int64_t wrapping_add(int64_t a, int64_t b) noexcept
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
constexpr int64_t wrapping_mul(int64_t a, int64_t b) noexcept
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) * static_cast<uint64_t>(b));
}

// A month outside 1..12 carried into the year, so that the month table is
// only ever indexed by 0..11.
struct YearMonth {
    int64_t year;
    int month;  // 1..12
};
YearMonth normalise_month(int64_t year, int32_t month) noexcept
{
    int64_t m0 = static_cast<int64_t>(month) - 1;
    return {wrapping_add(year, floor_div(m0, 12)), static_cast<int>(floor_mod(m0, 12)) + 1};
}

// Days before January 1 of `year`, counted from 1970, and days before the
// month within the year.  Checked: false when the count leaves int64.
bool days_to_year_start(int64_t year, int64_t *out) noexcept
{
    int64_t d;
    if (__builtin_sub_overflow(year, int64_t{1970}, &d) || __builtin_mul_overflow(d, int64_t{365}, &d)) {
        return false;
    }
    // The leap-day corrections are much smaller than d, so they cannot
    // overflow unless d itself is at the edge; check them anyway.  The year
    // offsets are computed in uint64 so that no intermediate can overflow.
    int64_t leap;
    if (d >= 0) {
        // year >= 1970 here, so the subtractions do not overflow.
        leap = (year - 1969) / 4 - (year - 1901) / 100 + (year - 1601) / 400;
    } else {
        // year < 1970; year - 2000 may only overflow for year near INT64_MIN,
        // which the multiplication above has already refused.
        leap = (year - 1972) / 4 - (year - 2000) / 100 + (year - 2000) / 400;
    }
    return !__builtin_add_overflow(d, leap, out);
}

int64_t days_to_year_start_wrapping(int64_t year) noexcept
{
    int64_t d = wrapping_mul(wrapping_add(year, -1970), 365);
    // Quotients of year offsets; the offsets are formed in uint64 so the
    // subtraction is defined, and the quotient of the wrapped value is what a
    // wrapping machine would give.  Such years are documented to wrap.
    int64_t leap;
    if (d >= 0) {
        leap = wrapping_add(year, -1969) / 4 - wrapping_add(year, -1901) / 100 + wrapping_add(year, -1601) / 400;
    } else {
        leap = wrapping_add(year, -1972) / 4 - wrapping_add(year, -2000) / 100 + wrapping_add(year, -2000) / 400;
    }
    return wrapping_add(d, leap);
}

int days_before_month(int64_t year, int month) noexcept
{
    const int32_t *lengths = days_per_month[is_leap_year(year)];
    int days = 0;
    for (int i = 0; i < month - 1; ++i) {
        days += lengths[i];
    }
    return days;
}

}  // namespace

int64_t days_from_epoch(const npy_datetimestruct *dts) noexcept
{
    YearMonth ym = normalise_month(dts->year, dts->month);
    int64_t days = days_to_year_start_wrapping(ym.year);
    days = wrapping_add(days, days_before_month(ym.year, ym.month));
    return wrapping_add(days, static_cast<int64_t>(dts->day) - 1);
}

bool days_from_epoch_checked(const npy_datetimestruct *dts, int64_t *out) noexcept
{
    if (dts->month < 1 || dts->month > 12) {
        return false;
    }
    int64_t days;
    if (!days_to_year_start(dts->year, &days)) {
        return false;
    }
    if (__builtin_add_overflow(days, int64_t{days_before_month(dts->year, dts->month)}, &days) ||
        __builtin_add_overflow(days, static_cast<int64_t>(dts->day) - 1, &days)) {
        return false;
    }
    *out = days;
    return true;
}

void set_ymd_from_days(int64_t days, npy_datetimestruct *dts) noexcept
{
    // Whole 400-year cycles anchored at 2000-01-01.  The cycle is split off
    // days itself (not days - 10957) so that no input can overflow.
    int64_t cycles = floor_div(days, days_per_400_years);
    int64_t r = floor_mod(days, days_per_400_years) - days_1970_to_2000;
    if (r < 0) {
        r += days_per_400_years;
        cycles -= 1;
    }
    int64_t year = 400 * cycles;  // |cycles| < 2^63 / 146097, so this fits

    if (r >= 366) {
        year += 100 * ((r - 1) / 36524);
        r = (r - 1) % 36524;
        if (r >= 365) {
            year += 4 * ((r + 1) / 1461);
            r = (r + 1) % 1461;
            if (r >= 366) {
                year += (r - 1) / 365;
                r = (r - 1) % 365;
            }
        }
    }
    year += 2000;
    dts->year = year;

    const int32_t *lengths = days_per_month[is_leap_year(year)];
    for (int i = 0; i < 12; ++i) {
        if (r < lengths[i]) {
            dts->month = i + 1;
            dts->day = static_cast<npy_int32>(r) + 1;
            return;
        }
        r -= lengths[i];
    }
}

void add_minutes(npy_datetimestruct *dts, int minutes) noexcept
{
    YearMonth ym = normalise_month(dts->year, dts->month);

    // Carries by division instead of loops, in int64: a client record may
    // hold any int32 in its fields, and the sums must not overflow.
    int64_t minute = static_cast<int64_t>(dts->min) + minutes;
    int64_t hour = static_cast<int64_t>(dts->hour) + floor_div(minute, 60);
    minute = floor_mod(minute, 60);
    int64_t day = static_cast<int64_t>(dts->day) + floor_div(hour, 24);
    hour = floor_mod(hour, 24);

    int64_t year = ym.year;
    int month = ym.month;
    if (day < 1) {
        month -= 1;
        if (month < 1) {
            month = 12;
            year = wrapping_add(year, -1);
        }
        day += days_per_month[is_leap_year(year)][month - 1];
    } else if (day > 28) {
        int32_t length = days_per_month[is_leap_year(year)][month - 1];
        if (day > length) {
            day -= length;
            month += 1;
            if (month > 12) {
                month = 1;
                year = wrapping_add(year, 1);
            }
        }
    }
    dts->year = year;
    dts->month = month;
    // Only an absurd input day leaves the int32 range; C++20 conversion wraps.
    dts->day = static_cast<npy_int32>(day);
    dts->hour = static_cast<npy_int32>(hour);
    dts->min = static_cast<npy_int32>(minute);
}

int cmp_datetimestruct(const npy_datetimestruct *a, const npy_datetimestruct *b) noexcept
{
    auto cmp = [](int64_t x, int64_t y) { return x < y ? -1 : (x > y ? 1 : 0); };
    int c;
    if ((c = cmp(a->year, b->year)))
        return c;
    if ((c = cmp(a->month, b->month)))
        return c;
    if ((c = cmp(a->day, b->day)))
        return c;
    if ((c = cmp(a->hour, b->hour)))
        return c;
    if ((c = cmp(a->min, b->min)))
        return c;
    if ((c = cmp(a->sec, b->sec)))
        return c;
    if ((c = cmp(a->us, b->us)))
        return c;
    if ((c = cmp(a->ps, b->ps)))
        return c;
    return cmp(a->as, b->as);
}

int64_t npy_datetimestruct_to_datetime(int unit, const npy_datetimestruct *dts, DtError *err) noexcept
{
    auto overflow = [err]() -> int64_t {
        err->set(DtErrorCode::overflow);
        return -1;
    };
    int64_t v;

    if (unit == NPY_FR_Y || unit == NPY_FR_M) {
        int64_t years;
        if (__builtin_sub_overflow(dts->year, int64_t{1970}, &years))
            return overflow();
        if (unit == NPY_FR_Y)
            return years;
        if (__builtin_mul_overflow(years, int64_t{12}, &v) ||
            __builtin_add_overflow(v, static_cast<int64_t>(dts->month) - 1, &v)) {
            return overflow();
        }
        return v;
    }

    if (dts->month < 1 || dts->month > 12) {
        err->set(DtErrorCode::record_month_out_of_range, dts->month);
        return -1;
    }
    int64_t days;
    if (!days_from_epoch_checked(dts, &days))
        return overflow();

    if (unit == NPY_FR_D)
        return days;
    if (unit == NPY_FR_W) {
        if (days >= 0)
            return days / 7;
        if (__builtin_sub_overflow(days, int64_t{6}, &v))
            return overflow();
        return v / 7;
    }

    auto step = [](int64_t acc, int64_t factor, int64_t add, int64_t *out) {
        return !__builtin_mul_overflow(acc, factor, out) && !__builtin_add_overflow(*out, add, out);
    };
    int64_t hours, minutes, seconds, micros, picos;
    if (!step(days, 24, dts->hour, &hours))
        return overflow();
    if (unit == NPY_FR_h)
        return hours;
    if (!step(hours, 60, dts->min, &minutes))
        return overflow();
    if (unit == NPY_FR_m)
        return minutes;
    if (!step(minutes, 60, dts->sec, &seconds))
        return overflow();
    if (unit == NPY_FR_s)
        return seconds;
    if (unit == NPY_FR_ms) {
        if (!step(seconds, 1000, dts->us / 1000, &v))
            return overflow();
        return v;
    }
    if (!step(seconds, 1000000, dts->us, &micros))
        return overflow();
    if (unit == NPY_FR_us)
        return micros;
    if (unit == NPY_FR_ns) {
        // The lowest microsecond count whose nanoseconds can still reach
        // INT64_MIN: its product by 1000 is 192 ns below INT64_MIN, so the
        // nanoseconds are counted up from INT64_MIN instead.
        constexpr int64_t lowest_us = -9223372036854776;
        int64_t ns_in_us = dts->ps / 1000;
        if (micros == lowest_us) {
            if (ns_in_us < 192)
                return overflow();
            return INT64_MIN + (ns_in_us - 192);
        }
        if (!step(micros, 1000, ns_in_us, &v))
            return overflow();
        return v;
    }
    if (!step(micros, 1000000, dts->ps, &picos))
        return overflow();
    if (unit == NPY_FR_ps)
        return picos;
    if (unit == NPY_FR_fs) {
        if (!step(picos, 1000, dts->as / 1000, &v))
            return overflow();
        return v;
    }
    if (unit == NPY_FR_as) {
        if (!step(picos, 1000000, dts->as, &v))
            return overflow();
        return v;
    }
    err->set(DtErrorCode::corrupt_unit);
    return -1;
}

int datetime_to_datetimestruct(int64_t value, int unit, npy_datetimestruct *out, DtError *err) noexcept
{
    std::memset(out, 0, sizeof(*out));
    out->year = 1970;
    out->month = 1;
    out->day = 1;

    // Count of the unit in one day, for hours to picoseconds.
    static constexpr int64_t per_day[] = {
        24, 1440, 86400, 86400000, 86400000000, 86400000000000, 86400000000000000,
    };

    switch (unit) {
    case NPY_FR_Y:
        out->year = wrapping_add(1970, value);
        return 0;
    case NPY_FR_M:
        out->year = 1970 + floor_div(value, 12);
        out->month = static_cast<npy_int32>(floor_mod(value, 12)) + 1;
        return 0;
    case NPY_FR_W:
        set_ymd_from_days(wrapping_mul(value, 7), out);
        return 0;
    case NPY_FR_D:
        set_ymd_from_days(value, out);
        return 0;
    case NPY_FR_h:
    case NPY_FR_m:
    case NPY_FR_s:
    case NPY_FR_ms:
    case NPY_FR_us:
    case NPY_FR_ns:
    case NPY_FR_ps: {
        int64_t p = per_day[unit - NPY_FR_h];
        set_ymd_from_days(floor_div(value, p), out);
        int64_t r = floor_mod(value, p);
        switch (unit) {
        case NPY_FR_h:
            out->hour = static_cast<npy_int32>(r);
            break;
        case NPY_FR_m:
            out->hour = static_cast<npy_int32>(r / 60);
            out->min = static_cast<npy_int32>(r % 60);
            break;
        case NPY_FR_s:
            out->hour = static_cast<npy_int32>(r / 3600);
            out->min = static_cast<npy_int32>((r % 3600) / 60);
            out->sec = static_cast<npy_int32>(r % 60);
            break;
        case NPY_FR_ms:
            out->hour = static_cast<npy_int32>(r / 3600000);
            out->min = static_cast<npy_int32>((r % 3600000) / 60000);
            out->sec = static_cast<npy_int32>((r % 60000) / 1000);
            out->us = static_cast<npy_int32>((r % 1000) * 1000);
            break;
        case NPY_FR_us:
            out->hour = static_cast<npy_int32>(r / 3600000000LL);
            out->min = static_cast<npy_int32>((r % 3600000000LL) / 60000000LL);
            out->sec = static_cast<npy_int32>((r % 60000000LL) / 1000000LL);
            out->us = static_cast<npy_int32>(r % 1000000LL);
            break;
        case NPY_FR_ns:
            out->hour = static_cast<npy_int32>(r / 3600000000000LL);
            out->min = static_cast<npy_int32>((r % 3600000000000LL) / 60000000000LL);
            out->sec = static_cast<npy_int32>((r % 60000000000LL) / 1000000000LL);
            out->us = static_cast<npy_int32>((r % 1000000000LL) / 1000);
            out->ps = static_cast<npy_int32>((r % 1000) * 1000);
            break;
        default:  // picoseconds
            out->hour = static_cast<npy_int32>(r / 3600000000000000LL);
            out->min = static_cast<npy_int32>((r % 3600000000000000LL) / 60000000000000LL);
            out->sec = static_cast<npy_int32>((r % 60000000000000LL) / 1000000000000LL);
            out->us = static_cast<npy_int32>((r % 1000000000000LL) / 1000000);
            out->ps = static_cast<npy_int32>(r % 1000000);
            break;
        }
        return 0;
    }
    case NPY_FR_fs: {
        constexpr int64_t fs_per_hour = 3600000000000000000LL;
        int64_t hour = floor_div(value, fs_per_hour);
        int64_t r = floor_mod(value, fs_per_hour);
        if (hour < 0) {
            out->year = 1969;
            out->month = 12;
            out->day = 31;
            hour += 24;
        }
        out->hour = static_cast<npy_int32>(hour);
        out->min = static_cast<npy_int32>(r / 60000000000000000LL);
        out->sec = static_cast<npy_int32>((r % 60000000000000000LL) / 1000000000000000LL);
        out->us = static_cast<npy_int32>((r % 1000000000000000LL) / 1000000000LL);
        out->ps = static_cast<npy_int32>((r % 1000000000LL) / 1000);
        out->as = static_cast<npy_int32>((r % 1000) * 1000);
        return 0;
    }
    case NPY_FR_as: {
        constexpr int64_t as_per_second = 1000000000000000000LL;
        int64_t second = floor_div(value, as_per_second);
        int64_t r = floor_mod(value, as_per_second);
        if (second < 0) {
            out->year = 1969;
            out->month = 12;
            out->day = 31;
            out->hour = 23;
            out->min = 59;
            second += 60;
        }
        out->sec = static_cast<npy_int32>(second);
        out->us = static_cast<npy_int32>(r / 1000000000000LL);
        out->ps = static_cast<npy_int32>((r % 1000000000000LL) / 1000000);
        out->as = static_cast<npy_int32>(r % 1000000);
        return 0;
    }
    default:
        err->set(DtErrorCode::invalid_datetime_unit);
        return -1;
    }
}

int timedelta_to_durationstruct(int64_t value, int unit, tv_durationstruct *out, DtError *err) noexcept
{
    std::memset(out, 0, sizeof(*out));
    switch (unit) {
    case NPY_FR_W:
        out->days = wrapping_mul(value, 7);
        break;
    case NPY_FR_D:
        out->days = value;
        break;
    case NPY_FR_h:
        // Truncating: a negative duration gives negative hours.
        out->days = value / 24;
        out->hours = static_cast<npy_int32>(value - 24 * out->days);
        break;
    case NPY_FR_m: {
        out->days = value / 1440;
        int64_t t = value - 1440 * out->days;
        out->hours = static_cast<npy_int32>(t / 60);
        out->minutes = static_cast<npy_int32>(t - 60 * (t / 60));
        break;
    }
    case NPY_FR_s:
    case NPY_FR_ms:
    case NPY_FR_us:
    case NPY_FR_ns: {
        static constexpr int64_t per_second[] = {1, 1000, 1000000, 1000000000};
        int64_t s = per_second[unit - NPY_FR_s];
        int64_t f = floor_div(value, s);
        int64_t days = 0;
        bool negative = f < 0;
        if (negative) {
            // -f formed in uint64: f may be INT64_MIN for unit seconds.
            uint64_t nf = 0 - static_cast<uint64_t>(f);
            uint64_t rem = nf % 86400;
            if (rem != 0) {
                days = static_cast<int64_t>(nf / 86400 + 1);
                f = static_cast<int64_t>(86400 - rem);  // f + 86400*days
            } else {
                days = static_cast<int64_t>(nf / 86400);
                f = 0;
            }
        }
        if (f >= 86400) {
            days += f / 86400;
            f = f % 86400;
        }
        out->hours = static_cast<npy_int32>(f / 3600);
        f -= 3600 * int64_t{out->hours};
        out->minutes = static_cast<npy_int32>(f / 60);
        f -= 60 * int64_t{out->minutes};
        out->seconds = static_cast<npy_int32>(f);
        out->days = negative ? -days : days;
        // value minus the whole seconds: the floor remainder, 0..s-1.
        int64_t rest = floor_mod(value, s);
        if (unit == NPY_FR_ms) {
            out->milliseconds = static_cast<npy_int32>(rest);
        } else if (unit == NPY_FR_us) {
            out->milliseconds = static_cast<npy_int32>(rest / 1000);
            out->microseconds = static_cast<npy_int32>(rest % 1000);
        } else if (unit == NPY_FR_ns) {
            out->milliseconds = static_cast<npy_int32>(rest / 1000000);
            out->microseconds = static_cast<npy_int32>((rest % 1000000) / 1000);
            out->nanoseconds = static_cast<npy_int32>(rest % 1000);
        }
        break;
    }
    default:
        err->set(DtErrorCode::invalid_timedelta_unit);
        return -1;
    }
    out->seconds_of_day = out->hours * 3600 + out->minutes * 60 + out->seconds;
    out->microseconds_of_second = out->milliseconds * 1000 + out->microseconds;
    out->nanoseconds_of_microsecond = out->nanoseconds;
    return 0;
}

int scaleNanosecToUnit(int64_t *value, int unit) noexcept
{
    switch (unit) {
    case NPY_FR_s:
        *value /= 1000000000;
        return 0;
    case NPY_FR_ms:
        *value /= 1000000;
        return 0;
    case NPY_FR_us:
        *value /= 1000;
        return 0;
    case NPY_FR_ns:
        return 0;
    default:
        return -1;
    }
}

}  // namespace tv::dt
