// Text columns as NumPy arrays.  On NumPy 2 they are StringDType arrays
// filled through NumPy's string API; that API is visible only to code built
// for the NumPy 2.0 C API, so it lives in its own unit (string_columns_np2.cpp,
// with its own NumPy table) that the module initialises only when the
// running NumPy is 2.0 or later.  On NumPy 1.x the module builds object
// arrays of str instead (column_reader.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "column_store.hpp"

namespace tv::reader {

// Imports NumPy 2's table for the string unit and keeps StringDType;
// false with an exception set.  Called once, with the GIL held.
bool strings_np2_init() noexcept;

// A StringDType array of the texts of `head` then `body` (n in all),
// emptying both stores block by block as it goes.  Texts that are not valid
// UTF-8 (possible only when `check` is set) are decoded with the `errors`
// handler first.  New reference, or null with an exception set.
PyObject *strings_np2_array(TextStore &head, TextStore &body, Py_ssize_t n, const char *errors,
                            bool check) noexcept;

}  // namespace tv::reader
