// Fuzz target: parse_iso8601 over random bytes, with a random format, mode
// and a length shorter than the buffer, from exact-size heap copies so that
// any read past either length is caught.  Successes must describe a valid
// record whose ISO text parses back to the same record.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "datetime_core/iso8601_format.h"
#include "datetime_core/iso8601_parser.h"

using namespace tv::dt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    int mode = data[0] % 3;
    size_t format_size = data[1] % 32;
    size_t cut = data[2];
    data += 3;
    size -= 3;
    if (format_size > size)
        format_size = size;
    std::vector<char> format(data, data + format_size);
    std::vector<char> text(data + format_size, data + size);
    // Parse a prefix of the text buffer: never past `length`.
    int length = static_cast<int>(text.size());
    if (cut && length > 0)
        length -= static_cast<int>(cut % (static_cast<size_t>(length) + 1));
    char *text_buf = static_cast<char *>(std::malloc(text.size() + 1));
    char *format_buf = static_cast<char *>(std::malloc(format.size() + 1));
    if (!text.empty())
        std::memcpy(text_buf, text.data(), text.size());
    if (!format.empty())
        std::memcpy(format_buf, format.data(), format.size());

    npy_datetimestruct dts;
    int unit = -1, has_zone = -1, offset = 0;
    DtError err;
    int fmt_len = mode == TV_FORMAT_INFER ? 0 : static_cast<int>(format.size());
    int rc = parse_iso8601(text_buf, length, &dts, &unit, &has_zone, &offset, format_buf, fmt_len, mode, &err);
    if (mode == TV_FORMAT_INFER && length > 0 && text_buf[0] != ' ') {
        // One leading space turns off the one-step date read: the general
        // steps must give the same outcome, one byte further on.
        char *spaced = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
        spaced[0] = ' ';
        std::memcpy(spaced + 1, text_buf, static_cast<size_t>(length));
        npy_datetimestruct dts2;
        int unit2 = -1, has_zone2 = -1, offset2 = 0;
        DtError err2;
        int rc2 = parse_iso8601(spaced, length + 1, &dts2, &unit2, &has_zone2, &offset2, "", 0, TV_FORMAT_INFER, &err2);
        if (rc2 != rc || err2.code != err.code || unit2 != unit || has_zone2 != has_zone || offset2 != offset ||
            (rc == 0 && cmp_datetimestruct(&dts, &dts2) != 0) ||
            (err.code == DtErrorCode::parse_error && err2.value != err.value + 1)) {
            std::abort();
        }
        std::free(spaced);
    }
    if (rc == 0) {
        if (dts.month < 1 || dts.month > 12)
            std::abort();
        if (dts.day < 1 || dts.day > days_per_month[is_leap_year(dts.year)][dts.month - 1])
            std::abort();
        if (dts.hour > 23 || dts.min > 59 || dts.sec > 59)
            std::abort();
        if (unit < 0 || unit > 14 || unit == 3)
            std::abort();
        if (unit != NPY_FR_GENERIC && (dts.year >= 0 || dts.year <= -1000)) {
            // Years -1..-999 are written with three digits ("-044"), which
            // the parser reads differently; the rest must round-trip.
            char buf[64];
            DtError ferr;
            if (format_iso8601(&dts, buf, iso8601_length(0, unit), 0, unit, &ferr) != 0)
                std::abort();
            npy_datetimestruct back;
            int back_unit = -1;
            if (parse_iso8601(buf, static_cast<int>(std::strlen(buf)), &back, &back_unit, nullptr, nullptr, "", 0,
                              TV_FORMAT_INFER, &ferr) != 0) {
                std::abort();
            }
            if (cmp_datetimestruct(&back, &dts) != 0 || back_unit != (unit == NPY_FR_W ? NPY_FR_D : unit)) {
                std::abort();
            }
        }
    } else if (err.code == DtErrorCode::none) {
        std::abort();
    } else if (err.code == DtErrorCode::parse_error && (err.value < 0 || err.value > length)) {
        std::abort();
    }
    std::free(text_buf);
    std::free(format_buf);
    return 0;
}
