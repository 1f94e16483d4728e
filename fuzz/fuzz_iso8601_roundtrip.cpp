// Fuzz target: random counts and units converted to a record, formatted at
// every unit into buffers of random size (exactly sized heap blocks), and
// parsed back; also the record converted back to the count.  A text is
// either complete or refused, never cut short, and every success round-trips.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "datetime_core/iso8601_format.h"
#include "datetime_core/iso8601_parser.h"

using namespace tv::dt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 11)
        return 0;
    int64_t value;
    std::memcpy(&value, data, 8);
    int value_unit = data[8] % 16;
    int text_unit = data[9] % 16 - 1;
    int size_hint = static_cast<int8_t>(data[10]);

    npy_datetimestruct dts;
    DtError err;
    if (datetime_to_datetimestruct(value, value_unit, &dts, &err) != 0)
        return 0;

    DtError cerr;
    int64_t back_count = npy_datetimestruct_to_datetime(value_unit, &dts, &cerr);
    if (!cerr && value_unit != NPY_FR_Y && value_unit != NPY_FR_W && back_count != value)
        std::abort();

    tv_durationstruct tds;
    if (timedelta_to_durationstruct(value, value_unit, &tds, &err) == 0) {
        char dbuf[iso8601_duration_buffer_size];
        size_t dlen = 0;
        format_iso8601_duration(&tds, dbuf, &dlen);
        if (dlen != std::strlen(dbuf))
            std::abort();
    }

    int utc = size_hint & 1;
    int full = iso8601_length(0, text_unit);
    int buffer_size = full + size_hint % 8;  // around the promised size, may be <= 0
    size_t alloc = buffer_size > 0 ? static_cast<size_t>(buffer_size) : 1;
    char *buf = static_cast<char *>(std::malloc(alloc));
    std::memset(buf, 0x7f, alloc);
    DtError ferr;
    int rc = format_iso8601(&dts, buf, buffer_size, utc, text_unit, &ferr);
    if (rc == 0 && dts.year >= 0 && dts.year <= 9999) {
        // Four-digit years parse back; others are written but not read.
        size_t n = strnlen(buf, alloc);
        npy_datetimestruct parsed;
        int unit = -1;
        DtError perr;
        if (parse_iso8601(buf, static_cast<int>(n), &parsed, &unit, nullptr, nullptr, "", 0, TV_FORMAT_INFER, &perr) !=
            0) {
            std::abort();
        }
        int expect_unit = text_unit == NPY_FR_W ? NPY_FR_D : text_unit;
        if (unit != expect_unit)
            std::abort();
        // The text keeps the record down to its unit.
        npy_datetimestruct truncated = dts;
        if (text_unit == NPY_FR_Y)
            truncated.month = 1;
        if (expect_unit <= NPY_FR_M)
            truncated.day = 1;
        if (expect_unit <= NPY_FR_D)
            truncated.hour = 0;
        if (expect_unit <= NPY_FR_h)
            truncated.min = 0;
        if (expect_unit <= NPY_FR_m)
            truncated.sec = 0;
        if (expect_unit <= NPY_FR_s)
            truncated.us = 0;
        if (expect_unit == NPY_FR_ms)
            truncated.us -= truncated.us % 1000;
        if (expect_unit <= NPY_FR_us)
            truncated.ps = 0;
        if (expect_unit == NPY_FR_ns)
            truncated.ps -= truncated.ps % 1000;
        if (expect_unit <= NPY_FR_ps)
            truncated.as = 0;
        if (expect_unit == NPY_FR_fs)
            truncated.as -= truncated.as % 1000;
        if (cmp_datetimestruct(&parsed, &truncated) != 0) {
            std::abort();
        }
    } else if (rc != 0 && buffer_size >= full && text_unit >= 0 && text_unit < 14 && text_unit != 3) {
        std::abort();  // the promised size must always be enough
    }
    std::free(buf);
    return 0;
}
