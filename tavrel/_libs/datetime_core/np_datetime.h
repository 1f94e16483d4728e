// Broken-down date-time and duration records and their conversions to and
// from signed 64-bit counts of a unit since 1970-01-01T00:00:00.
//
// Calendar: proleptic Gregorian, astronomical year numbering (year 0 exists
// and is leap; negative years are allowed).  Units are NumPy's datetime unit
// codes passed as plain int: 0 Y, 1 M, 2 W, (3 unassigned), 4 D, 5 h, 6 m,
// 7 s, 8 ms, 9 us, 10 ns, 11 ps, 12 fs, 13 as, 14 generic.
//
// Everything here is pure: no Python object, no allocation, no state.
// Functions that can fail fill a tv::dt::DtError (dt_error.h) and return the
// failure value; the Python-facing slot functions of the module table
// (datetime_slots.h) wrap them and raise the matching Python exception.
//
// Arithmetic is defined for every input: where a count cannot be represented
// the conversions that can fail report OverflowError, and the few operations
// that never fail (year and week conversions from a count, days_from_epoch of
// an absurd year) wrap modulo 2^64 instead of overflowing.
#pragma once

#include <cstdint>

#include <numpy/ndarraytypes.h>   // npy_datetimestruct, NPY_DATETIMEUNIT
#include <tavrel/datetime_api.h>  // tv_durationstruct, the record clients see

#include "dt_error.h"

namespace tv::dt {

// Month lengths; row 0 common years, row 1 leap years (row = is_leap_year).
extern const int32_t days_per_month[2][12];

// 1 when the year is a leap year (0, -4, -400 are; -100 is not), else 0.
// A multiple of 100 is a multiple of 400 exactly when it is one of 16, which
// spares a division (bit tests hold for negative years in two's complement).
inline int is_leap_year(int64_t year) noexcept { return (year & 3) == 0 && ((year % 100 != 0) || (year & 15) == 0); }

// Days from 1970-01-01 to the record's date; time fields ignored.  Never
// fails: a month outside 1..12 is carried into the year first (month 13 is
// January of the next year, month 0 December of the previous one), and a
// year so large that the count does not fit wraps modulo 2^64.
int64_t days_from_epoch(const npy_datetimestruct *dts) noexcept;

// Like days_from_epoch, but false (out untouched) when the count does not fit
// in int64 or the month is outside 1..12.
bool days_from_epoch_checked(const npy_datetimestruct *dts, int64_t *out) noexcept;

// Sets year, month and day only, from days since 1970-01-01 (any int64).
void set_ymd_from_days(int64_t days, npy_datetimestruct *dts) noexcept;

// Shifts the record in place by a number of minutes, carrying through hours,
// days, at most one month, and the year.  Meant for time-zone offsets (less
// than 28 days).  A month outside 1..12 is first carried into the year, so
// the month table is never read outside its rows.
void add_minutes(npy_datetimestruct *dts, int minutes) noexcept;

// -1, 0 or 1 comparing year, month, day, hour, minute, second, microsecond,
// picosecond, attosecond in that order.
int cmp_datetimestruct(const npy_datetimestruct *a, const npy_datetimestruct *b) noexcept;

// Count of `unit` since the epoch.  On failure returns -1 and fills err:
// overflow (any step), record_month_out_of_range (units that need the
// calendar), corrupt_unit (3, 14, out of 0..14).  -1 is also a legal count.
int64_t npy_datetimestruct_to_datetime(int unit, const npy_datetimestruct *dts, DtError *err) noexcept;

// Fills `out` from a count of `unit`.  Returns 0, or -1 with
// invalid_datetime_unit in err and `out` left at the epoch record.
int datetime_to_datetimestruct(int64_t value, int unit, npy_datetimestruct *out, DtError *err) noexcept;

// Fills `out` from a duration count of `unit` (weeks, days, h, m, s, ms, us,
// ns).  Returns 0, or -1 with invalid_timedelta_unit and `out` all zero.
int timedelta_to_durationstruct(int64_t value, int unit, tv_durationstruct *out, DtError *err) noexcept;

// Rescales a nanosecond count in place to s, ms, us (truncating) or ns and
// returns 0; any other unit returns -1 and leaves the value alone.  No error
// record: the caller words the failure.
int scaleNanosecToUnit(int64_t *value, int unit) noexcept;

}  // namespace tv::dt
