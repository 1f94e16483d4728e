// The date-time table's functions over the pure core: each forwards to the
// tv::dt function of the same name and turns its error record into the
// Python exception the table promises.  Compiled into the extension module
// only (it needs the interpreter).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "datetime_slots.h"

#include "iso8601_format.h"
#include "iso8601_parser.h"

#include <cstring>

#include "common/pyref.hpp"

namespace tv::dt::py {

namespace {

PyObject *exception_type(DtErrorType type) noexcept
{
    switch (type) {
    case DtErrorType::overflow_error:
        return PyExc_OverflowError;
    case DtErrorType::value_error:
        return PyExc_ValueError;
    case DtErrorType::runtime_error:
        return PyExc_RuntimeError;
    case DtErrorType::none:
        break;
    }
    return nullptr;
}

}  // namespace

void raise_error(const DtError &err, const char *text) noexcept
{
    PyObject *type = exception_type(dt_error_type(err.code));
    if (type == nullptr) {
        return;
    }
    char small[256];
    const size_t length = dt_error_message(err, text, small, sizeof small);
    char *message = small;
    if (length >= sizeof small) {
        message = static_cast<char *>(PyMem_Malloc(length + 1));
        if (message == nullptr) {
            PyErr_NoMemory();
            return;
        }
        dt_error_message(err, text, message, length + 1);
    }
    // As the interpreter's own formatting quotes a C text: bytes that are
    // not UTF-8 are replaced, never a reason to fail.
    Ref text_object(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(length), "replace"));
    if (message != small) {
        PyMem_Free(message);
    }
    if (text_object) {
        PyErr_SetObject(type, text_object.get());
    }
}

npy_int64 npy_datetimestruct_to_datetime(int unit, const npy_datetimestruct *dts) noexcept
{
    DtError err;
    npy_int64 v = tv::dt::npy_datetimestruct_to_datetime(unit, dts, &err);
    if (err) {
        // Callable without the interpreter lock: take it just to report.
        PyGILState_STATE state = PyGILState_Ensure();
        raise_error(err, nullptr);
        PyGILState_Release(state);
        return -1;
    }
    return v;
}

int scaleNanosecToUnit(npy_int64 *value, int unit) noexcept { return tv::dt::scaleNanosecToUnit(value, unit); }

void datetime_to_datetimestruct(npy_int64 value, int unit, npy_datetimestruct *out) noexcept
{
    DtError err;
    if (tv::dt::datetime_to_datetimestruct(value, unit, out, &err) != 0) {
        raise_error(err, nullptr);
    }
}

void timedelta_to_durationstruct(npy_int64 value, int unit, tv_durationstruct *out) noexcept
{
    DtError err;
    if (tv::dt::timedelta_to_durationstruct(value, unit, out, &err) != 0) {
        raise_error(err, nullptr);
    }
}

int cmp_datetimestruct(const npy_datetimestruct *a, const npy_datetimestruct *b) noexcept
{
    return tv::dt::cmp_datetimestruct(a, b);
}

int parse_iso8601(const char *text, int length, int raise_errors, npy_datetimestruct *out, int *best_unit,
                  int *has_zone, int *zone_offset, const char *format, int format_length, int mode) noexcept
{
    DtError err;
    int rc =
        tv::dt::parse_iso8601(text, length, out, best_unit, has_zone, zone_offset, format, format_length, mode, &err);
    if (rc != 0 && raise_errors) {
        raise_error(err, text);
    }
    return rc;
}

int iso8601_length(int local, int unit) noexcept { return tv::dt::iso8601_length(local, unit); }

int format_iso8601(const npy_datetimestruct *dts, char *buf, int size, int utc, int unit) noexcept
{
    DtError err;
    int rc = tv::dt::format_iso8601(dts, buf, size, utc, unit, &err);
    if (rc != 0) {
        raise_error(err, nullptr);
    }
    return rc;
}

int format_iso8601_duration(const tv_durationstruct *tds, char *buf, size_t *length) noexcept
{
    return tv::dt::format_iso8601_duration(tds, buf, length);
}

char *int64_to_iso_string(npy_int64 value, int value_unit, int text_unit, size_t *length) noexcept
{
    npy_datetimestruct dts;
    DtError err;
    if (tv::dt::datetime_to_datetimestruct(value, value_unit, &dts, &err) != 0) {
        // No text for a value whose unit is not known: the error stands alone.
        raise_error(err, nullptr);
        return nullptr;
    }
    int size = tv::dt::iso8601_length(0, text_unit);
    *length = static_cast<size_t>(size);
    char *buf = static_cast<char *>(PyObject_Malloc(static_cast<size_t>(size)));
    if (!buf) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (tv::dt::format_iso8601(&dts, buf, size, 0, text_unit, &err) != 0) {
        PyErr_SetString(PyExc_ValueError, kCouldNotFormat);
        PyObject_Free(buf);
        return nullptr;
    }
    *length = strnlen(buf, static_cast<size_t>(size));
    return buf;
}

char *int64_to_iso_duration_string(npy_int64 nanoseconds, size_t *length) noexcept
{
    tv_durationstruct tds;
    DtError err;
    tv::dt::timedelta_to_durationstruct(nanoseconds, NPY_FR_ns, &tds, &err);
    char *buf = static_cast<char *>(PyObject_Malloc(tv::dt::iso8601_duration_buffer_size));
    if (!buf) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (tv::dt::format_iso8601_duration(&tds, buf, length) != 0) {
        PyErr_SetString(PyExc_ValueError, "Could not convert timedelta value to string");
        PyObject_Free(buf);
        return nullptr;
    }
    return buf;
}

}  // namespace tv::dt::py
