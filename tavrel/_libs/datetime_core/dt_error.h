// Error record of the pure date-time core.
//
// The arithmetic, the ISO 8601 parser and the formatter never touch Python:
// they describe a failure in a DtError (which message, plus the one number
// the message needs) and return their failure value.  The thin layer in
// datetime_slots.cpp turns the record into the Python exception with
// tv::dt::py::raise_error(); native tests and fuzz targets just read the
// record.
//
// Each code names its exception type and its exact message (one table in
// dt_error.cpp holds both); `value` is the number substituted into the
// message, where there is one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tv::dt {

enum class DtErrorCode : int32_t {
    none = 0,
    // OverflowError "Overflow occurred in npy_datetimestruct_to_datetime"
    overflow,
    // ValueError "NumPy datetime metadata with corrupt unit value"
    corrupt_unit,
    // ValueError "Month out of range in npy_datetimestruct: %d" (value: the month).
    // A client record whose month is outside 1..12 cannot be placed in the
    // calendar; it is refused instead of reading outside the month table.
    record_month_out_of_range,
    // RuntimeError "NumPy datetime metadata is corrupted with invalid base unit"
    invalid_datetime_unit,
    // RuntimeError "NumPy timedelta metadata is corrupted with invalid base unit"
    invalid_timedelta_unit,
    // ValueError "Error parsing datetime string \"%s\" at position %d"
    // (text: the parsed text; value: the byte offset)
    parse_error,
    // ValueError "<Field> out of range in datetime string \"%s\""
    month_out_of_range,
    day_out_of_range,
    hours_out_of_range,
    minutes_out_of_range,
    seconds_out_of_range,
    tz_hours_out_of_range,    // "Timezone hours offset out of range ..."
    tz_minutes_out_of_range,  // "Timezone minutes offset out of range ..."
    // RuntimeError "The string provided for NumPy ISO datetime formatting was
    // too short, with length %d" (value: the buffer size passed in)
    buffer_too_short,
};

struct DtError {
    DtErrorCode code = DtErrorCode::none;
    int64_t value = 0;

    void set(DtErrorCode c, int64_t v = 0) noexcept
    {
        code = c;
        value = v;
    }
    explicit operator bool() const noexcept { return code != DtErrorCode::none; }
};

// The Python exception a code stands for.
enum class DtErrorType : int32_t { none, overflow_error, value_error, runtime_error };

DtErrorType dt_error_type(DtErrorCode code) noexcept;

// The message of a code as listed above, with its %s (the text) and %d (the
// value) unfilled.  Never null; "" for DtErrorCode::none.
const char *dt_error_format(DtErrorCode code) noexcept;

// Writes the full message, `text` (may be null for codes that quote none)
// and the value filled in, into buf: at most size bytes, NUL-terminated
// when size > 0.  Returns the length of the full message, so that a caller
// can size the buffer first (buf may be null when size is 0).
size_t dt_error_message(const DtError &err, const char *text, char *buf, size_t size) noexcept;
}  // namespace tv::dt
