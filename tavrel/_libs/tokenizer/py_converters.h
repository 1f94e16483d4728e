// Converters that reach into the interpreter.
//
// parse_double_roundtrip takes the interpreter lock itself (it may be called
// with the lock released); object_to_double must be called with it held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tv {

// Normalises the text (drops group marks, turns the decimal mark into ".")
// into a scratch copy and converts it with the interpreter's correctly
// rounded conversion.  E and e are the exponent letters; exponent_mark is
// accepted for the table's sake and not used.  Errors: -1 for a text that
// is not a complete number (or no memory for the copy), 2147483647 for an
// overflow to infinity.
double parse_double_roundtrip(const char *text, char **end, char decimal_mark, char exponent_mark, char group_mark,
                              int skip_trailing, int *error, int *maybe_int) noexcept;

// Converts a bytes or str object to a double (".", "E", trailing whitespace
// allowed; also the spellings inf, +inf, -inf, infinity, +infinity and
// -infinity in any letter case).  0 on success, -1 with TypeError or
// ValueError set.
int object_to_double(PyObject *obj, double *out, int *maybe_int) noexcept;

}  // namespace tv
