// ISO 8601 date-time text and ISO duration text, written into a caller's
// buffer without allocating.
//
//   unit 0  2020            unit 5  2020-05-17T12        unit 8  ...T12:34:56.789
//   unit 1  2020-05         unit 6  2020-05-17T12:34     unit 13 ...:56.789012345678901234
//   unit 2,4 2020-05-17     unit 7  2020-05-17T12:34:56  + "Z" for units 5.. with utc
// The year is "%04lld" (year -1 is "-001"); durations are "P1DT2H0M0.500S".
#pragma once

#include <cstddef>

#include "np_datetime.h"

namespace tv::dt {

// Buffer size (terminator and zone suffix included) for a unit; local != 0
// reserves a "+hhmm" suffix instead of "Z".
int iso8601_length(int local, int unit) noexcept;

// Writes the record at the precision of `unit`.  Returns 0, or -1 with
// buffer_too_short (value: size) when the text does not fit; a text is never
// cut short.  A buffer exactly as long as the text gets no terminator.  A
// size <= 0 fails without writing.
int format_iso8601(const npy_datetimestruct *dts, char *buf, int size, int utc, int unit, DtError *err) noexcept;

// Writes the duration as "P%lldDT%ldH%ldM%ld" plus ".fff[fff[fff]]S" or "S"
// into buf (at least 71 bytes, always NUL-terminated); *out_length receives
// the exact number of bytes written before the terminator.  Returns 0.
int format_iso8601_duration(const tv_durationstruct *tds, char *buf, size_t *out_length) noexcept;

// Size of the buffer format_iso8601_duration needs.
inline constexpr int iso8601_duration_buffer_size = 71;

}  // namespace tv::dt
