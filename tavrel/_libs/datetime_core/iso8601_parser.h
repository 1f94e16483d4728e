// ISO 8601 date-time parser with optional format matching.
//
// One pass over at most `length` bytes, no allocation, never reads past
// `length` (the text need not be NUL-terminated for parsing; only the Python
// error message quotes it whole, see datetime_slots.h).
//
// Accepted forms (best unit in brackets):
//   2020 [Y]   2020-05 [M]   2020-05-17, 20200517, 2020/5/7 [D]
//   2020-05-17T10 [h]   2020-05-17 10:30, 2020-05-17T1030 [m]
//   2020-05-17T10:30:00 [s]   ...:00.5 [ms]  .1234 [us] ... 18 digits [as]
//   followed by optional "Z", "+hh[:mm]" or "-h[:m]" (reported in
//   has_zone / zone_offset, not applied) and surrounding whitespace.
// Date separators: '-', '.', '/', '\\', ' '; the second must equal the first.
//
// The expected format (directives %Y %m %d %H %M %S %f %z, literal bytes for
// separators) is matched element by element as the text is read, in one of
// the modes the public header defines:
//   TV_FORMAT_PARTIAL  the text may go on after the format is used up:
//                      parsing stops there with success (best unit as
//                      reached so far);
//   TV_FORMAT_EXACT    text and format must end together;
//   TV_FORMAT_INFER    the format is ignored (pass format length 0).
#pragma once

#include <numpy/ndarraytypes.h>
#include <tavrel/datetime_api.h>  // TV_FORMAT_*

#include "dt_error.h"

namespace tv::dt {
enum MatchResult : int { MATCH_OK = 0, MATCH_COMPLETE = 1, MATCH_FAIL = 2 };

// Compares one element of the expected format and consumes it on a match.
MatchResult match_format(const char **format, int *format_length, const char *element, int element_length,
                         int mode) noexcept;

// Returns 0 on success, -1 on failure with err filled (parse_error with the
// byte offset, or one of the *_out_of_range codes).  best_unit, has_zone and
// zone_offset may be null.  `out` is always reset first.
int parse_iso8601(const char *text, int length, npy_datetimestruct *out, int *best_unit, int *has_zone,
                  int *zone_offset, const char *format, int format_length, int mode, DtError *err) noexcept;

}  // namespace tv::dt
