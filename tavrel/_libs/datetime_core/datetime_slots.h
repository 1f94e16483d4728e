// Python-facing functions of the date-time table: the pure core operations
// (np_datetime.h, iso8601_parser.h, iso8601_format.h) with the table's
// signatures, reporting failures as Python exceptions.  They live in
// tv::dt::py, apart from the core's tv::dt functions of the same names.
//
// The tavrel_datetime module unit stores them straight into the table
// slots:
//    0 npy_datetimestruct_to_datetime   6 datetime_to_datetimestruct
//    1 scaleNanosecToUnit               7 timedelta_to_durationstruct
//    2 int64_to_iso_string              9 cmp_datetimestruct
//    5 int64_to_iso_duration_string    11 parse_iso8601
//   12 iso8601_length                  13 format_iso8601
//   14 format_iso8601_duration
// Slots 3, 4, 8 (Python datetime objects) and 10 (dtype metadata) are in
// pydatetime.h, in the same namespace.
//
// Any other failure of a pure core function becomes an exception through
// raise_error().
//
// Locking: npy_datetimestruct_to_datetime takes the interpreter lock itself
// around setting its exception; everything else that can raise needs the
// lock held by the caller (as the table's users are told).
#pragma once

#include <cstddef>
#include <cstdint>

#include "dt_error.h"
#include "np_datetime.h"

namespace tv::dt::py {

// The ValueError of a value that has no ISO text.
inline constexpr char kCouldNotFormat[] = "Could not convert datetime value to string";

// Sets the Python exception described by err (type and exact message, as
// dt_error.h lists them); `text` is the parsed text for the parser's
// messages (NUL-terminated), may be null otherwise.  The caller holds the
// interpreter lock.
void raise_error(const DtError &err, const char *text) noexcept;

// Slot 0: count of `unit` since the epoch, or -1 with OverflowError /
// ValueError set (takes the interpreter lock to set it).
npy_int64 npy_datetimestruct_to_datetime(int unit, const npy_datetimestruct *dts) noexcept;

// Slot 1: 0, or -1 for a unit other than s, ms, us, ns (no exception set).
int scaleNanosecToUnit(npy_int64 *value, int unit) noexcept;

// Slot 2: new text (PyObject_Malloc; caller frees with PyObject_Free) of the
// value in `value_unit`, written at `text_unit` without a zone suffix; null
// with an exception set on failure.  *length receives the planned buffer
// size, then the text length on success.
char *int64_to_iso_string(npy_int64 value, int value_unit, int text_unit, size_t *length) noexcept;

// Slot 5: new ISO duration text of a nanosecond count (PyObject_Malloc).
char *int64_to_iso_duration_string(npy_int64 nanoseconds, size_t *length) noexcept;

// Slot 6 / 7: no status; an invalid unit leaves RuntimeError set.
void datetime_to_datetimestruct(npy_int64 value, int unit, npy_datetimestruct *out) noexcept;
void timedelta_to_durationstruct(npy_int64 value, int unit, tv_durationstruct *out) noexcept;

// Slot 9.
int cmp_datetimestruct(const npy_datetimestruct *a, const npy_datetimestruct *b) noexcept;

// Slot 11: 0 or -1; with raise_errors set, failures set ValueError quoting
// the whole text (which must then be NUL-terminated).
int parse_iso8601(const char *text, int length, int raise_errors, npy_datetimestruct *out, int *best_unit,
                  int *has_zone, int *zone_offset, const char *format, int format_length, int mode) noexcept;

// Slot 12.
int iso8601_length(int local, int unit) noexcept;

// Slot 13: 0, or -1 with RuntimeError (buffer too short).
int format_iso8601(const npy_datetimestruct *dts, char *buf, int size, int utc, int unit) noexcept;

// Slot 14: buffer of at least 71 bytes; returns 0.
int format_iso8601_duration(const tv_durationstruct *tds, char *buf, size_t *length) noexcept;

}  // namespace tv::dt::py
