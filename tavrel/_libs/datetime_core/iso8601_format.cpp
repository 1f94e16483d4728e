// ISO 8601 date-time and duration text.
//
//   2020-05-17 12:34:56.789012 ps 345678 as 901234
//     unit 8  -> 2020-05-17T12:34:56.789
//     unit 13 -> 2020-05-17T12:34:56.789012345678901234
//     unit 7 with utc -> 2020-05-17T12:34:56Z
//   duration 1 day 2 h 500 ms -> P1DT2H0M0.500S; zero -> P0DT0H0M0S
#include "iso8601_format.h"

#include <cstdio>
#include <cstring>

namespace tv::dt {

int iso8601_length(int local, int unit) noexcept
{
    if (unit < 0) {
        return 4;
    }
    int zone = local ? 5 : 1;
    if (unit >= NPY_FR_GENERIC) {
        return 3 + zone + 1;
    }
    switch (unit) {
    case NPY_FR_Y:
        return 21 + 1;
    case NPY_FR_M:
        return 21 + 3 + 1;
    case NPY_FR_W:
    case NPY_FR_D:
        return 21 + 3 + 3 + 1;
    case 3:
        return 4;
    default:
        break;
    }
    // Hours (5) to attoseconds (13): date, then 3 bytes for each of hour,
    // minute and second, 4 for the point and the first fraction triple and 3
    // for each further triple.
    int n = 21 + 3 + 3 + 3;
    if (unit >= NPY_FR_m)
        n += 3;
    if (unit >= NPY_FR_s)
        n += 3;
    if (unit >= NPY_FR_ms)
        n += 4 + 3 * (unit - NPY_FR_ms);
    return n + zone + 1;
}

namespace {

// The year as "%04lld" would print it: at least four characters, zero-padded
// after the sign, which counts in the width ("-001").  Returns the length.
int print_year(int64_t year, char out[24]) noexcept
{
    char digits[20];
    int n = 0;
    bool negative = year < 0;
    uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(year) : static_cast<uint64_t>(year);
    do {
        digits[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    int length = 0;
    if (negative)
        out[length++] = '-';
    for (int pad = (negative ? 3 : 4) - n; pad > 0; --pad)
        out[length++] = '0';
    while (n > 0)
        out[length++] = digits[--n];
    return length;
}

// Appends bytes while room remains; a refused byte fails the whole text.
struct Writer {
    char *p;
    int room;
    bool put(char c) noexcept
    {
        if (room < 1)
            return false;
        *p++ = c;
        --room;
        return true;
    }
    // Digit of `value` at `power` (a power of ten).
    bool digit(int32_t value, int32_t power) noexcept { return put(static_cast<char>((value / power) % 10 + '0')); }
    bool two(int32_t value) noexcept { return digit(value, 10) && digit(value, 1); }
    bool three(int32_t value, int32_t top) noexcept
    {
        return digit(value, top) && digit(value, top / 10) && digit(value, top / 100);
    }
    void terminate() noexcept
    {
        if (room > 0)
            *p = '\0';
    }
};

}  // namespace

int format_iso8601(const npy_datetimestruct *dts, char *buf, int size, int utc, int unit, DtError *err) noexcept
{
    auto too_short = [err, size]() {
        err->set(DtErrorCode::buffer_too_short, size);
        return -1;
    };
    if (size <= 0) {
        return too_short();
    }
    if (unit == NPY_FR_W) {
        unit = NPY_FR_D;
    }

    // The year goes through a scratch buffer so that a text that does not
    // fit is refused whole rather than cut short by the bounded print.
    char year[24];
    int year_length = print_year(dts->year, year);
    if (year_length > size) {
        return too_short();
    }
    std::memcpy(buf, year, static_cast<size_t>(year_length));
    Writer w{buf + year_length, size - year_length};

    if (unit == NPY_FR_Y) {
        w.terminate();
        return 0;
    }
    if (!(w.put('-') && w.two(dts->month)))
        return too_short();
    if (unit == NPY_FR_M) {
        w.terminate();
        return 0;
    }
    if (!(w.put('-') && w.two(dts->day)))
        return too_short();
    if (unit == NPY_FR_D) {
        w.terminate();
        return 0;
    }
    // Every code past days (unassigned 3, generic, unknown) writes the finest
    // text, as attoseconds do.
    if (!(w.put('T') && w.two(dts->hour)))
        return too_short();
    if (unit != NPY_FR_h) {
        if (!(w.put(':') && w.two(dts->min)))
            return too_short();
        if (unit != NPY_FR_m) {
            if (!(w.put(':') && w.two(dts->sec)))
                return too_short();
            if (unit != NPY_FR_s) {
                if (!(w.put('.') && w.three(dts->us, 100000)))
                    return too_short();
                if (unit != NPY_FR_ms) {
                    if (!w.three(dts->us, 100))
                        return too_short();
                    if (unit != NPY_FR_us) {
                        if (!w.three(dts->ps, 100000))
                            return too_short();
                        if (unit != NPY_FR_ns) {
                            if (!w.three(dts->ps, 100))
                                return too_short();
                            if (unit != NPY_FR_ps) {
                                if (!w.three(dts->as, 100000))
                                    return too_short();
                                if (unit != NPY_FR_fs) {
                                    if (!w.three(dts->as, 100))
                                        return too_short();
                                }
                            }
                        }
                    }
                }
            }
        }
    }
    if (utc && !w.put('Z'))
        return too_short();
    w.terminate();
    return 0;
}

int format_iso8601_duration(const tv_durationstruct *tds, char *buf, size_t *out_length) noexcept
{
    // Each print is bounded as the layout allows (60 bytes for the leading
    // part, 12/9/6 for the fraction); the count reported is what was
    // actually written, so out-of-range fields never make it lie.
    auto written = [](int printed, int bound) -> size_t {
        if (printed < 0)
            return 0;
        return static_cast<size_t>(printed < bound ? printed : bound - 1);
    };
    *out_length = 0;
    int printed =
        std::snprintf(buf, 60, "P%lldDT%ldH%ldM%ld", static_cast<long long>(tds->days), static_cast<long>(tds->hours),
                      static_cast<long>(tds->minutes), static_cast<long>(tds->seconds));
    size_t lead = written(printed, 60);
    char *tail = buf + lead;
    size_t rest;
    if (tds->nanoseconds != 0) {
        rest = written(std::snprintf(tail, 12, ".%03ld%03ld%03ldS", static_cast<long>(tds->milliseconds),
                                     static_cast<long>(tds->microseconds), static_cast<long>(tds->nanoseconds)),
                       12);
    } else if (tds->microseconds != 0) {
        rest = written(std::snprintf(tail, 9, ".%03ld%03ldS", static_cast<long>(tds->milliseconds),
                                     static_cast<long>(tds->microseconds)),
                       9);
    } else if (tds->milliseconds != 0) {
        rest = written(std::snprintf(tail, 6, ".%03ldS", static_cast<long>(tds->milliseconds)), 6);
    } else {
        tail[0] = 'S';
        tail[1] = '\0';
        rest = 1;
    }
    *out_length = lead + rest;
    return 0;
}

}  // namespace tv::dt
