// Exceptions and messages of the date-time core's error codes: one table,
// read by native callers (the message text) and by the Python layer (the
// exception type and the same text).
#include "dt_error.h"

#include <cstring>
#include <iterator>

namespace tv::dt {

namespace {

struct CodeInfo {
    DtErrorType type;
    const char *format;  // %s: the text, %d: the value (as an int)
};

// Indexed by DtErrorCode.
constexpr CodeInfo kCodes[] = {
    {DtErrorType::none, ""},
    {DtErrorType::overflow_error, "Overflow occurred in npy_datetimestruct_to_datetime"},
    {DtErrorType::value_error, "NumPy datetime metadata with corrupt unit value"},
    {DtErrorType::value_error, "Month out of range in npy_datetimestruct: %d"},
    {DtErrorType::runtime_error, "NumPy datetime metadata is corrupted with invalid base unit"},
    {DtErrorType::runtime_error, "NumPy timedelta metadata is corrupted with invalid base unit"},
    {DtErrorType::value_error, "Error parsing datetime string \"%s\" at position %d"},
    {DtErrorType::value_error, "Month out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Day out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Hours out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Minutes out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Seconds out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Timezone hours offset out of range in datetime string \"%s\""},
    {DtErrorType::value_error, "Timezone minutes offset out of range in datetime string \"%s\""},
    {DtErrorType::runtime_error, "The string provided for NumPy ISO datetime formatting was too short, with length %d"},
};
static_assert(std::size(kCodes) == static_cast<size_t>(DtErrorCode::buffer_too_short) + 1,
              "one entry per error code, in code order");

const CodeInfo &info(DtErrorCode code) noexcept
{
    const auto i = static_cast<size_t>(code);
    return i < std::size(kCodes) ? kCodes[i] : kCodes[0];
}

// Appends bytes to a bounded buffer while counting the full length.
struct Writer {
    char *buf;
    size_t size;
    size_t length = 0;

    void put(const char *bytes, size_t n) noexcept
    {
        if (length < size) {
            const size_t room = size - length;
            std::memcpy(buf + length, bytes, n < room ? n : room);
        }
        length += n;
    }
};

}  // namespace

DtErrorType dt_error_type(DtErrorCode code) noexcept { return info(code).type; }

const char *dt_error_format(DtErrorCode code) noexcept { return info(code).format; }

size_t dt_error_message(const DtError &err, const char *text, char *buf, size_t size) noexcept
{
    Writer w{buf, size};
    for (const char *f = info(err.code).format; *f != '\0'; ++f) {
        if (f[0] == '%' && f[1] == 's') {
            const char *t = text != nullptr ? text : "";
            w.put(t, std::strlen(t));
            ++f;
        } else if (f[0] == '%' && f[1] == 'd') {
            // As printf's %d of the value taken as an int.
            const int v = static_cast<int>(err.value);
            unsigned magnitude = v < 0 ? 0u - static_cast<unsigned>(v) : static_cast<unsigned>(v);
            char digits[16];
            size_t n = sizeof digits;
            do {
                digits[--n] = static_cast<char>('0' + magnitude % 10);
                magnitude /= 10;
            } while (magnitude != 0);
            if (v < 0) {
                digits[--n] = '-';
            }
            w.put(digits + n, sizeof digits - n);
            ++f;
        } else {
            w.put(f, 1);
        }
    }
    if (size > 0) {
        buf[w.length < size ? w.length : size - 1] = '\0';
    }
    return w.length;
}

}  // namespace tv::dt
