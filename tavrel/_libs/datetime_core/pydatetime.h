// Conversion of Python date and datetime objects, and the datetime metadata
// of NumPy dtypes: slots 3, 4, 8 and 10 of the date-time table.
//
// Objects are read only through their attributes "year", "month", "day",
// "hour", "minute", "second", "microsecond" and "tzinfo", the method
// `utcoffset(obj)` of the time-zone object and `total_seconds()` of the
// offset, so any object offering them is accepted (duck typing).  An object
// without the four time attributes is a date at midnight; an aware object
// (utcoffset not None) is shifted to UTC.
//
// Every field value must be an integer that fits a signed 32-bit int on
// every platform (the record fields are 32 bits; the year is held to the same
// range so that a build where C long is 64 bits gives the results of one
// where it is 32 bits), else the value's own TypeError or OverflowError.
//
// All four need the interpreter lock held; they report failures as Python
// exceptions and never leave a reference behind.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

// NumPy's function table is imported once, by the module unit
// (tv_datetime.cpp), and shared with this unit under one hidden name.
#ifndef PY_ARRAY_UNIQUE_SYMBOL
#define PY_ARRAY_UNIQUE_SYMBOL tavrel_datetime_ARRAY_API
#endif
#include <numpy/ndarraytypes.h>

namespace tv::dt::py {

// Slot 8: 0, or -1 with an exception set (the record is then unspecified).
int pydatetime_to_datetimestruct(PyObject *obj, npy_datetimestruct *out) noexcept;

// Slot 4: count of `unit` (s, ms, us or ns) since the epoch of the object's
// (UTC) time, or -1 with an exception set.
npy_int64 pydatetime_to_epoch(PyObject *obj, int unit) noexcept;

// Slot 3: new text (PyObject_Malloc) at the precision of `unit`; aware
// objects are written in UTC with "Z" for units from hours down.  An object
// whose fields name no real time (month 13, 30 February, hour 24, ...) is
// refused with ValueError.  *length receives the text length on success and
// is left alone on failure.
char *pydatetime_to_iso_string(PyObject *obj, int unit, size_t *length) noexcept;

// Slot 10: base unit and multiplier of a datetime64 or timedelta64 dtype,
// read correctly whether the running NumPy is 1.x or 2.x.  Anything else
// sets TypeError and returns {NPY_FR_ERROR, 0}.
PyArray_DatetimeMetaData datetime_metadata_from_dtype(PyArray_Descr *dtype) noexcept;

}  // namespace tv::dt::py
