// Converters that reach into the interpreter: the round-trip float parser,
// which leaves the correctly rounded conversion to PyOS_string_to_double,
// and the bytes/str converter used for single values.
#include "py_converters.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common/pyref.hpp"
#include "common/saved_error.hpp"
#include "converters.h"

namespace tv {

namespace {

inline bool is_space(unsigned char c) noexcept { return c == ' ' || (c >= 9 && c <= 13); }
inline bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10u; }
inline bool is_mark(unsigned char c, char mark) noexcept
{
    return mark != '\0' && c == static_cast<unsigned char>(mark);
}

// Error codes of the round-trip parser.
constexpr int kNotANumber = -1;
constexpr int kOverflow = 2147483647;

// Copies the number at the start of text into out in the interpreter's
// spelling: leading whitespace dropped, one group mark after any digit
// dropped, the decimal mark written as ".".  Returns the position in text
// where copying stopped; out receives at most one byte per byte consumed,
// plus the NUL.
const unsigned char *normalise_number(const unsigned char *p, char decimal_mark, char group_mark, char *out) noexcept
{
    while (is_space(*p))
        ++p;
    if (*p == '+' || *p == '-')
        *out++ = static_cast<char>(*p++);
    while (is_digit(*p)) {
        *out++ = static_cast<char>(*p++);
        if (is_mark(*p, group_mark))
            ++p;
    }
    if (is_mark(*p, decimal_mark)) {
        ++p;
        *out++ = '.';
        while (is_digit(*p))
            *out++ = static_cast<char>(*p++);
    }
    if (*p == 'E' || *p == 'e') {
        *out++ = static_cast<char>(*p++);
        if (*p == '+' || *p == '-')
            *out++ = static_cast<char>(*p++);
        while (is_digit(*p))
            *out++ = static_cast<char>(*p++);
    }
    *out = '\0';
    return p;
}

// ASCII-only case-insensitive comparison of n bytes with a lower-case word.
bool equals_word(const char *text, Py_ssize_t n, const char *lower_word) noexcept
{
    if (static_cast<size_t>(n) != std::strlen(lower_word))
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c + ('a' - 'A'));
        if (c != static_cast<unsigned char>(lower_word[i]))
            return false;
    }
    return true;
}

// +1 or -1 for the infinity spellings (chosen by length, as the caller
// already knows the text is not an ordinary number), 0 for anything else.
int infinity_sign(const char *text, Py_ssize_t n) noexcept
{
    switch (n) {
    case 3:
        return equals_word(text, n, "inf") ? 1 : 0;
    case 4:
        return equals_word(text, n, "-inf") ? -1 : equals_word(text, n, "+inf") ? 1 : 0;
    case 8:
        return equals_word(text, n, "infinity") ? 1 : 0;
    case 9:
        return equals_word(text, n, "-infinity") ? -1 : equals_word(text, n, "+infinity") ? 1 : 0;
    default:
        return 0;
    }
}

}  // namespace

double parse_double_roundtrip(const char *text, char **end, char decimal_mark, char /*exponent_mark*/, char group_mark,
                              int skip_trailing, int *error, int *maybe_int) noexcept
{
    const auto *start = reinterpret_cast<const unsigned char *>(text);
    char *copy = static_cast<char *>(std::malloc(std::strlen(text) + 1));
    if (copy == nullptr) {
        *error = kNotANumber;
        if (end)
            *end = const_cast<char *>(text);
        if (maybe_int)
            *maybe_int = 0;
        return 0.0;
    }
    const unsigned char *stop = normalise_number(start, decimal_mark, group_mark, copy);
    const size_t copy_len = std::strlen(copy);

    PyGILState_STATE gil = PyGILState_Ensure();
    double value;
    bool whole;
    {
        // An exception the caller had pending is not ours to judge or to
        // drop: it is set aside for the conversion and restored afterwards.
        tv::SavedError callers_exception;
        char *converted_end = nullptr;
        value = PyOS_string_to_double(copy, &converted_end, nullptr);
        whole = converted_end == copy + copy_len;
        if (!whole)
            *error = kNotANumber;
        if (PyErr_Occurred())
            *error = kNotANumber;
        else if (std::isinf(value))
            *error = kOverflow;  // of either sign
        PyErr_Clear();
    }
    PyGILState_Release(gil);
    std::free(copy);

    const unsigned char *position = whole ? stop : start;
    if (maybe_int)
        *maybe_int = 0;
    if (end) {
        if (skip_trailing && position != start)
            while (is_space(*position))
                ++position;
        *end = const_cast<char *>(reinterpret_cast<const char *>(position));
    }
    return value;
}

int object_to_double(PyObject *obj, double *out, int *maybe_int) noexcept
{
    tv::Ref encoded;
    const char *data;
    Py_ssize_t size;
    if (PyBytes_Check(obj)) {
        data = PyBytes_AS_STRING(obj);
        size = PyBytes_GET_SIZE(obj);
    } else if (PyUnicode_Check(obj)) {
        encoded.reset(PyUnicode_AsUTF8String(obj));
        if (!encoded)
            return -1;
        data = PyBytes_AS_STRING(encoded.get());
        size = PyBytes_GET_SIZE(encoded.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "Invalid object type");
        return -1;
    }

    int error = 0;
    char *end = nullptr;
    *out = parse_double_precise(data, &end, '.', 'E', '\0', 1, &error, maybe_int);
    // The whole object must be consumed: an embedded NUL ends the C text
    // early and must not pass for the end of the number.
    if (error == 0 && end == data + size)
        return 0;

    if (const int sign = infinity_sign(data, size)) {
        *out = sign > 0 ? HUGE_VAL : -HUGE_VAL;
        if (maybe_int)
            *maybe_int = 0;
        return 0;
    }
    PyErr_Format(PyExc_ValueError, "Unable to parse string \"%s\"", data);
    return -1;
}

}  // namespace tv
