// Arrow export of a table of NumPy columns (the Columns of tavrel/_reader.py)
// through the Arrow PyCapsule interface: the module functions
// arrow_schema() and arrow_stream() of tavrel._libs.column_reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "arrow_core.hpp"

namespace tv::reader {

// Adds the Arrow functions to the module; 0, or -1 with an exception set.
int arrow_export_init(PyObject *module) noexcept;

// The text of NumPy 2's StringDType arrays (arrow_strings_np2.cpp, built for
// the NumPy 2.0 C API).  init imports that unit's NumPy table; gather reads
// the UTF-8 of every row of a 1-d StringDType array, leaving rows flagged
// in `missing` (null: none) empty and marking NA strings as nulls.  False
// with an exception set.
bool arrow_strings_np2_init() noexcept;
bool arrow_strings_np2_gather(PyObject *array, const uint8_t *missing, arrow::TextGather *out) noexcept;

}  // namespace tv::reader
