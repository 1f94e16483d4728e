// Text columns as NumPy arrays.  On NumPy 2 they are StringDType arrays
// filled through NumPy's string API; that API is visible only to code built
// for the NumPy 2.0 C API, so it lives in its own unit (string_columns_np2.cpp,
// with its own NumPy table) that the module initialises only when the
// running NumPy is 2.0 or later.  On NumPy 1.x the module builds object
// arrays of str instead (column_reader.cpp).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace tv::reader {

// One text for a slot of a text column; size SIZE_MAX leaves the slot as
// it is (a row filled later).
struct TextRef {
    const char *text;
    size_t size;
};

// Imports NumPy 2's table for the string unit and keeps StringDType;
// false with an exception set.  Called once, with the GIL held.
bool strings_np2_init() noexcept;

// A StringDType array of n empty strings; new reference or null.
PyObject *strings_np2_new(Py_ssize_t n) noexcept;

// Packs the texts into slots start, start + 1, ... of a StringDType array.
// Texts that are not valid UTF-8 (possible only when `check` is set) are
// decoded with the `errors` handler first.  False with an exception set.
bool strings_np2_pack(PyObject *array, Py_ssize_t start, const TextRef *texts, size_t count, const char *errors,
                      bool check) noexcept;

// The same for texts known to be valid UTF-8, touching no Python object and
// raising nothing: it may run on any thread without the GIL (NumPy's string
// allocator has a lock of its own), provided no other thread changes the
// array meanwhile and the slots are within it.  False when out of memory.
bool strings_np2_pack_nogil(PyObject *array, Py_ssize_t start, const TextRef *texts, size_t count) noexcept;

}  // namespace tv::reader
