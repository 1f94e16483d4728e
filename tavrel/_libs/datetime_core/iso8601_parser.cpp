// ISO 8601 parser: one pass over the text, matching the expected format as
// elements are recognised.
//
// Examples (text -> best unit, or the error):
//   "2020"                -> years         "2020-05"           -> months
//   "20200517"            -> days          "202005"            -> error at 6
//   "2020/05-17"          -> error at 7 (second separator differs)
//   " 2020-01-01 "        -> days          "2020-01-01T1"      -> error at 12
//   "2020-01-01 5:3"      -> 05:03 minutes "2020-01-01T103"    -> error
//   "...T10:00:00.5"      -> us 500000, milliseconds
//   "...T10:00+05:30"     -> has_zone 1, offset 330, record still at 10:00
//
// The cursor never moves past `length`; every read is guarded by the count
// of remaining bytes.
#include "iso8601_parser.h"

#include <cstring>

#include "np_datetime.h"

namespace tv::dt {

namespace {

inline bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Whitespace of the C locale's classification.
inline bool is_space(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline bool is_date_separator(char c) noexcept { return c == '-' || c == '.' || c == '/' || c == '\\' || c == ' '; }

inline bool only_whitespace(const char *p, int n) noexcept
{
    for (int i = 0; i < n; ++i) {
        if (!is_space(p[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace {

[[gnu::always_inline]] inline MatchResult match_element(const char **format, int *format_length, const char *element,
                                                        int element_length, int mode) noexcept
{
    if (mode == TV_FORMAT_INFER) {
        return MATCH_OK;
    }
    if (*format_length < 0) {
        return MATCH_FAIL;
    }
    if (mode == TV_FORMAT_PARTIAL && *format_length == 0) {
        return MATCH_COMPLETE;
    }
    if (*format_length < element_length) {
        return MATCH_FAIL;
    }
    if (std::memcmp(*format, element, static_cast<size_t>(element_length)) != 0) {
        return MATCH_FAIL;
    }
    *format += element_length;
    *format_length -= element_length;
    return MATCH_OK;
}

}  // namespace

MatchResult match_format(const char **format, int *format_length, const char *element, int element_length,
                         int mode) noexcept
{
    return match_element(format, format_length, element, element_length, mode);
}

int parse_iso8601(const char *text, int length, npy_datetimestruct *out, int *best_unit, int *has_zone,
                  int *zone_offset, const char *format, int format_length, int mode, DtError *err) noexcept
{
    const char *cur = text;
    int remaining = length;
    int unit = NPY_FR_GENERIC;
    int leap = 0;
    bool negative_year = false;
    char date_sep = 0;
    bool time_sep = false;
    bool year_read = false;
    int date_unit = NPY_FR_GENERIC;
    int digits = 0;
    int offset_sign = 1, offset_hours = 0, offset_minutes = 0;
    MatchResult m = MATCH_OK;

    std::memset(out, 0, sizeof(*out));
    out->month = 1;
    out->day = 1;

    if (length < 0 || format_length < 0) {
        cur = text;
        goto parse_error;
    }

// Matches one element of the expected format: a refusal is a parse error at
// the cursor, a used-up partial format ends parsing with success.
#define TV_MATCH(elem, elem_len)                                              \
    do {                                                                      \
        m = match_element(&format, &format_length, (elem), (elem_len), mode); \
        if (m == MATCH_FAIL)                                                  \
            goto parse_error;                                                 \
        if (m == MATCH_COMPLETE)                                              \
            goto finish;                                                      \
    } while (0)

    // The common "YYYY-MM-DD" (any one date separator, twice) read in one
    // step when no format is matched; it takes exactly the path the general
    // steps below would, so only the branching differs.
    if (mode == TV_FORMAT_INFER && remaining >= 10 && is_digit(cur[0]) && is_digit(cur[1]) && is_digit(cur[2]) &&
        is_digit(cur[3]) && is_date_separator(cur[4]) && cur[7] == cur[4] && is_digit(cur[5]) && is_digit(cur[6]) &&
        is_digit(cur[8]) && is_digit(cur[9])) {
        out->year = 1000 * (cur[0] - '0') + 100 * (cur[1] - '0') + 10 * (cur[2] - '0') + (cur[3] - '0');
        out->month = 10 * (cur[5] - '0') + (cur[6] - '0');
        out->day = 10 * (cur[8] - '0') + (cur[9] - '0');
        date_sep = cur[4];
        cur += 10;
        remaining -= 10;
        if (out->month < 1 || out->month > 12) {
            err->set(DtErrorCode::month_out_of_range);
            return -1;
        }
        // The leap rule matters only for February 29.
        if (out->day < 1 || (out->day > days_per_month[0][out->month - 1] &&
                             !(out->month == 2 && out->day == 29 && is_leap_year(out->year)))) {
            err->set(DtErrorCode::day_out_of_range);
            return -1;
        }
        goto after_day;
    }

    // Leading whitespace.
    while (remaining > 0 && is_space(*cur)) {
        ++cur;
        --remaining;
        TV_MATCH(" ", 1);
    }
    if (remaining == 0) {
        goto parse_error;
    }

    // Sign of the year; "+" is not one.
    if (*cur == '-') {
        negative_year = true;
        ++cur;
        --remaining;
        if (remaining == 0) {
            goto parse_error;
        }
    }

    // Year: exactly four digits, or none (the digits are then a month).
    TV_MATCH("%Y", 2);
    if (remaining >= 4 && is_digit(cur[0]) && is_digit(cur[1]) && is_digit(cur[2]) && is_digit(cur[3])) {
        out->year = 1000 * (cur[0] - '0') + 100 * (cur[1] - '0') + 10 * (cur[2] - '0') + (cur[3] - '0');
        cur += 4;
        remaining -= 4;
        year_read = true;
    }
    if (negative_year) {
        out->year = -out->year;
    }
    leap = is_leap_year(out->year);

    if (remaining == 0 || (year_read && only_whitespace(cur, remaining))) {
        date_unit = NPY_FR_Y;
        goto date_end;
    }

    // Date separator.
    if (!is_digit(*cur)) {
        if (!is_date_separator(*cur)) {
            goto parse_error;
        }
        date_sep = *cur;
        ++cur;
        --remaining;
        TV_MATCH(&date_sep, 1);
        if (remaining == 0 || !is_digit(*cur)) {
            goto parse_error;
        }
    }

    // Month.
    TV_MATCH("%m", 2);
    out->month = *cur - '0';
    ++cur;
    --remaining;
    if (remaining > 0 && is_digit(*cur)) {
        out->month = 10 * out->month + (*cur - '0');
        ++cur;
        --remaining;
    } else if (!date_sep) {
        goto parse_error;
    }
    if (out->month < 1 || out->month > 12) {
        err->set(DtErrorCode::month_out_of_range);
        return -1;
    }

    if (remaining == 0 || (date_sep && only_whitespace(cur, remaining))) {
        if (!date_sep) {
            goto parse_error;
        }
        date_unit = NPY_FR_M;
        goto date_end;
    }
    if (date_sep) {
        if (*cur != date_sep || remaining == 1) {
            goto parse_error;
        }
        ++cur;
        --remaining;
        TV_MATCH(&date_sep, 1);
    }

    // Day.
    TV_MATCH("%d", 2);
    if (!is_digit(*cur)) {
        goto parse_error;
    }
    out->day = *cur - '0';
    ++cur;
    --remaining;
    if (remaining > 0 && is_digit(*cur)) {
        out->day = 10 * out->day + (*cur - '0');
        ++cur;
        --remaining;
    } else if (!date_sep) {
        goto parse_error;
    }
    if (out->day < 1 || out->day > days_per_month[leap][out->month - 1]) {
        err->set(DtErrorCode::day_out_of_range);
        return -1;
    }

after_day:
    if (remaining == 0 || only_whitespace(cur, remaining)) {
        date_unit = NPY_FR_D;
        goto date_end;
    }
    // "Thh:mm" (or " hh:mm") in one step when no format is matched, as above.
    if (mode == TV_FORMAT_INFER && remaining >= 6 && (cur[0] == 'T' || cur[0] == ' ') && is_digit(cur[1]) &&
        is_digit(cur[2]) && cur[3] == ':' && is_digit(cur[4]) && is_digit(cur[5])) {
        out->hour = 10 * (cur[1] - '0') + (cur[2] - '0');
        if (out->hour > 23) {
            err->set(DtErrorCode::hours_out_of_range);
            return -1;
        }
        out->min = 10 * (cur[4] - '0') + (cur[5] - '0');
        if (out->min > 59) {
            err->set(DtErrorCode::minutes_out_of_range);
            return -1;
        }
        unit = NPY_FR_m;
        time_sep = true;
        cur += 6;
        remaining -= 6;
        goto after_minutes;
    }
    if ((*cur != 'T' && *cur != ' ') || remaining == 1) {
        goto parse_error;
    }
    TV_MATCH(cur, 1);
    ++cur;
    --remaining;

    // Hour.
    TV_MATCH("%H", 2);
    if (!is_digit(*cur)) {
        goto parse_error;
    }
    unit = NPY_FR_h;
    out->hour = *cur - '0';
    ++cur;
    --remaining;
    digits = 1;
    if (remaining > 0 && is_digit(*cur)) {
        out->hour = 10 * out->hour + (*cur - '0');
        ++cur;
        --remaining;
        digits = 2;
        if (out->hour > 23) {
            err->set(DtErrorCode::hours_out_of_range);
            return -1;
        }
    }
    if (remaining == 0) {
        if (digits == 1) {
            goto parse_error;
        }
        goto text_end;
    }
    if (*cur == ':') {
        ++cur;
        --remaining;
        if (remaining == 0 || !is_digit(*cur)) {
            goto parse_error;
        }
        TV_MATCH(":", 1);
        time_sep = true;
    } else if (!is_digit(*cur)) {
        if (digits == 1) {
            goto parse_error;
        }
        goto zone;
    }

    // Minute.
    TV_MATCH("%M", 2);
    unit = NPY_FR_m;
    out->min = *cur - '0';
    ++cur;
    --remaining;
    if (remaining > 0 && is_digit(*cur)) {
        out->min = 10 * out->min + (*cur - '0');
        ++cur;
        --remaining;
        if (out->min > 59) {
            err->set(DtErrorCode::minutes_out_of_range);
            return -1;
        }
    } else if (!time_sep) {
        goto parse_error;
    }
after_minutes:
    if (remaining == 0) {
        goto text_end;
    }
    if (time_sep && *cur == ':') {
        ++cur;
        --remaining;
        if (remaining == 0 || !is_digit(*cur)) {
            goto parse_error;
        }
        TV_MATCH(":", 1);
    } else if (time_sep || !is_digit(*cur)) {
        goto zone;
    }

    // Second.
    TV_MATCH("%S", 2);
    out->sec = *cur - '0';
    ++cur;
    --remaining;
    if (remaining > 0 && is_digit(*cur)) {
        out->sec = 10 * out->sec + (*cur - '0');
        ++cur;
        --remaining;
        if (out->sec > 59) {
            err->set(DtErrorCode::seconds_out_of_range);
            return -1;
        }
    } else if (!time_sep) {
        goto parse_error;
    }

    if (remaining > 0 && *cur == '.') {
        // The seconds are complete: a partial format that ends at the "." or
        // "%f" reports seconds, so that no digit read into the record lies
        // below the reported unit.  Any fraction digits set their own unit.
        unit = NPY_FR_s;
        ++cur;
        --remaining;
        TV_MATCH(".", 1);
        TV_MATCH("%f", 2);
    } else {
        unit = NPY_FR_s;
        goto zone;
    }

    // Fraction: up to three groups of six digits (us, ps, as); missing
    // trailing digits count as zeros.
    {
        npy_int32 *fields[3] = {&out->us, &out->ps, &out->as};
        static constexpr int short_unit[3] = {NPY_FR_ms, NPY_FR_ns, NPY_FR_fs};
        for (int group = 0; group < 3; ++group) {
            if (group > 0 && !(remaining > 0 && is_digit(*cur))) {
                break;
            }
            static constexpr int scale[7] = {1000000, 100000, 10000, 1000, 100, 10, 1};
            int value = 0;
            digits = 0;
            while (digits < 6 && remaining > 0 && is_digit(*cur)) {
                value = 10 * value + (*cur - '0');
                ++cur;
                --remaining;
                ++digits;
            }
            *fields[group] = value * scale[digits];
            unit = short_unit[group] + (digits > 3 ? 1 : 0);
        }
    }

zone:
    while (remaining > 0 && is_space(*cur)) {
        ++cur;
        --remaining;
        TV_MATCH(" ", 1);
    }
    if (remaining == 0) {
        goto text_end;
    }
    if (*cur == 'Z') {
        TV_MATCH("%z", 2);
        if (has_zone)
            *has_zone = 1;
        if (zone_offset)
            *zone_offset = 0;
        if (remaining == 1) {
            ++cur;
            --remaining;
            goto text_end;
        }
        ++cur;
        --remaining;
    } else if (*cur == '+' || *cur == '-') {
        TV_MATCH("%z", 2);
        offset_sign = *cur == '-' ? -1 : 1;
        ++cur;
        --remaining;
        if (remaining >= 2 && is_digit(cur[0]) && is_digit(cur[1])) {
            offset_hours = 10 * (cur[0] - '0') + (cur[1] - '0');
            cur += 2;
            remaining -= 2;
            if (offset_hours > 23) {
                err->set(DtErrorCode::tz_hours_out_of_range);
                return -1;
            }
        } else if (remaining >= 1 && is_digit(cur[0])) {
            offset_hours = cur[0] - '0';
            ++cur;
            --remaining;
        } else {
            goto parse_error;
        }
        if (remaining > 0) {
            if (*cur == ':') {
                ++cur;
                --remaining;
            }
            if (remaining >= 2 && is_digit(cur[0]) && is_digit(cur[1])) {
                offset_minutes = 10 * (cur[0] - '0') + (cur[1] - '0');
                cur += 2;
                remaining -= 2;
                if (offset_minutes > 59) {
                    err->set(DtErrorCode::tz_minutes_out_of_range);
                    return -1;
                }
            } else if (remaining >= 1 && is_digit(cur[0])) {
                offset_minutes = cur[0] - '0';
                ++cur;
                --remaining;
            } else {
                goto parse_error;
            }
        }
        if (has_zone) {
            *has_zone = 1;
            if (zone_offset)
                *zone_offset = offset_sign * (60 * offset_hours + offset_minutes);
        }
    } else {
        goto parse_error;
    }

    // Trailing whitespace after the zone.
    while (remaining > 0 && is_space(*cur)) {
        ++cur;
        --remaining;
        TV_MATCH(" ", 1);
    }
    if (remaining != 0) {
        goto parse_error;
    }
    goto text_end;

date_end:
    // A date (or year, or year-month) ends the text, possibly followed by
    // whitespace only.
    while (remaining > 0) {
        ++cur;
        --remaining;
        TV_MATCH(" ", 1);
    }
    if (format_length != 0) {
        goto parse_error;
    }
    if (has_zone)
        *has_zone = 0;
    unit = date_unit;
    goto finish;

text_end:
    if (format_length != 0) {
        goto parse_error;
    }

finish:
    if (best_unit)
        *best_unit = unit;
    return 0;

parse_error:
    err->set(DtErrorCode::parse_error, cur - text);
    return -1;

#undef TV_MATCH
}

}  // namespace tv::dt
