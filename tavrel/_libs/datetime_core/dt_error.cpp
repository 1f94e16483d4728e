// Messages of the date-time core's error codes.
#include "dt_error.h"

#include <cstdio>

namespace tv::dt {

const char *dt_error_format(DtErrorCode code) noexcept
{
    switch (code) {
    case DtErrorCode::none:
        return "";
    case DtErrorCode::overflow:
        return "Overflow occurred in npy_datetimestruct_to_datetime";
    case DtErrorCode::corrupt_unit:
        return "NumPy datetime metadata with corrupt unit value";
    case DtErrorCode::record_month_out_of_range:
        return "Month out of range in npy_datetimestruct: %d";
    case DtErrorCode::invalid_datetime_unit:
        return "NumPy datetime metadata is corrupted with invalid base unit";
    case DtErrorCode::invalid_timedelta_unit:
        return "NumPy timedelta metadata is corrupted with invalid base unit";
    case DtErrorCode::parse_error:
        return "Error parsing datetime string \"%s\" at position %d";
    case DtErrorCode::month_out_of_range:
        return "Month out of range in datetime string \"%s\"";
    case DtErrorCode::day_out_of_range:
        return "Day out of range in datetime string \"%s\"";
    case DtErrorCode::hours_out_of_range:
        return "Hours out of range in datetime string \"%s\"";
    case DtErrorCode::minutes_out_of_range:
        return "Minutes out of range in datetime string \"%s\"";
    case DtErrorCode::seconds_out_of_range:
        return "Seconds out of range in datetime string \"%s\"";
    case DtErrorCode::tz_hours_out_of_range:
        return "Timezone hours offset out of range in datetime string \"%s\"";
    case DtErrorCode::tz_minutes_out_of_range:
        return "Timezone minutes offset out of range in datetime string \"%s\"";
    case DtErrorCode::buffer_too_short:
        return "The string provided for NumPy ISO datetime formatting was too short, with length %d";
    }
    return "";
}

int dt_error_message(const DtError &err, const char *text, char *buf, int size) noexcept
{
    const char *fmt = dt_error_format(err.code);
    size_t n = size > 0 ? static_cast<size_t>(size) : 0;
    if (!text) {
        text = "";
    }
    switch (err.code) {
    case DtErrorCode::parse_error:
        return std::snprintf(buf, n, fmt, text, static_cast<int>(err.value));
    case DtErrorCode::month_out_of_range:
    case DtErrorCode::day_out_of_range:
    case DtErrorCode::hours_out_of_range:
    case DtErrorCode::minutes_out_of_range:
    case DtErrorCode::seconds_out_of_range:
    case DtErrorCode::tz_hours_out_of_range:
    case DtErrorCode::tz_minutes_out_of_range:
        return std::snprintf(buf, n, fmt, text);
    case DtErrorCode::record_month_out_of_range:
    case DtErrorCode::buffer_too_short:
        return std::snprintf(buf, n, fmt, static_cast<int>(err.value));
    default:
        return std::snprintf(buf, n, "%s", fmt);
    }
}

}  // namespace tv::dt
