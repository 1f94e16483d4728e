// Conversion of Python date and datetime objects, and the datetime metadata
// of NumPy dtypes (see pydatetime.h).
// NumPy's function table is imported by the module unit; this unit only
// uses it (see pydatetime.h).
#define NO_IMPORT_ARRAY
#include "pydatetime.h"

#include <numpy/ndarrayobject.h>

#include <climits>
#include <cstdint>
#include <cstring>

#include "common/pyref.hpp"
#include "datetime_slots.h"
#include "dt_error.h"
#include "np_datetime.h"

namespace tv::dt {

namespace {

const char kCouldNotConvert[] = "Could not convert PyDateTime to numpy datetime";

// The integer value of `value` as a 32-bit int (npy_int32 is long on
// 32-bit ARM, int elsewhere).  Non-integers fail with the
// interpreter's TypeError.  The range is that of a 32-bit C long on every
// platform, with the message the interpreter gives there, so that results do
// not depend on the width of long.
int as_int32(PyObject *value, npy_int32 *out) noexcept
{
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred())
        return -1;
#if LONG_MAX > INT32_MAX
    if (v < INT32_MIN || v > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
#endif
    *out = static_cast<npy_int32>(v);
    return 0;
}

int read_field(PyObject *obj, const char *name, npy_int32 *out) noexcept
{
    Ref value(PyObject_GetAttrString(obj, name));
    if (!value)
        return -1;
    return as_int32(value.get(), out);
}

// tzinfo.utcoffset(obj) for a time-zone object that is not None: a new
// reference (possibly None) or null with an exception.  The object is passed
// as the one argument as it is, even when it is itself a tuple.
PyObject *utcoffset_of(PyObject *tzinfo, PyObject *obj) noexcept
{
    Ref method(PyObject_GetAttrString(tzinfo, "utcoffset"));
    if (!method)
        return nullptr;
    return PyObject_CallOneArg(method.get(), obj);
}

int64_t floor_div(int64_t a, int64_t b) noexcept
{
    int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The ValueError of the epoch conversion for a month outside 1..12.
int raise_month_out_of_range(npy_int32 month) noexcept
{
    DtError err;
    err.set(DtErrorCode::record_month_out_of_range, month);
    py::raise_error(err, nullptr);
    return -1;
}

// Moves the record by `minutes` through the day count, so that an offset of
// any size (a duck-typed utcoffset may return days or years) lands on a
// valid calendar date; for real offsets (under a day) this is the usual
// carry through hours, days, months and years.  Fields are bounded by the
// 32-bit reads above, so nothing here can overflow.
int shift_minutes(npy_datetimestruct *dts, int64_t minutes) noexcept
{
    int64_t days;
    if (!days_from_epoch_checked(dts, &days)) {
        if (dts->month < 1 || dts->month > 12)
            return raise_month_out_of_range(dts->month);
        DtError err;
        err.set(DtErrorCode::overflow);
        py::raise_error(err, nullptr);
        return -1;
    }
    const int64_t total = int64_t{dts->hour} * 60 + dts->min + minutes;
    const int64_t day_shift = floor_div(total, 1440);
    const int64_t minute_of_day = total - day_shift * 1440;
    set_ymd_from_days(days + day_shift, dts);
    dts->hour = static_cast<npy_int32>(minute_of_day / 60);
    dts->min = static_cast<npy_int32>(minute_of_day % 60);
    return 0;
}

// Whether the record names a real time of day on a real date, so that it
// has an ISO text: 0, or -1 with ValueError.  A month outside 1..12 gets the
// error the epoch conversion gives for it; any other field out of range
// (day 0 or 31 April, hour 24, second 60, ...) the formatting failure.  The
// epoch conversion carries such fields into the next larger one, but a text
// that spells them would name no time at all.
int check_record_fields(const npy_datetimestruct &dts) noexcept
{
    if (dts.month < 1 || dts.month > 12)
        return raise_month_out_of_range(dts.month);
    const npy_int32 month_days = days_per_month[is_leap_year(dts.year)][dts.month - 1];
    if (dts.day >= 1 && dts.day <= month_days && dts.hour >= 0 && dts.hour <= 23 && dts.min >= 0 && dts.min <= 59 &&
        dts.sec >= 0 && dts.sec <= 59 && dts.us >= 0 && dts.us <= 999999)
        return 0;
    PyErr_SetString(PyExc_ValueError, py::kCouldNotFormat);
    return -1;
}

// The object's own fields (its wall clock) into `out`; `aware` tells whether
// it has a UTC offset, `offset_minutes` gives it in whole minutes (seconds
// below a minute dropped, truncation toward zero).  0, or -1 with an
// exception set.
int read_object(PyObject *obj, npy_datetimestruct *out, bool *aware, int64_t *offset_minutes) noexcept
{
    *out = npy_datetimestruct{};
    out->month = 1;
    out->day = 1;
    *aware = false;
    *offset_minutes = 0;

    npy_int32 year;
    if (read_field(obj, "year", &year) < 0 || read_field(obj, "month", &out->month) < 0 ||
        read_field(obj, "day", &out->day) < 0)
        return -1;
    out->year = year;

    // Without all four time attributes the object is a date: midnight.
    static const char *const time_names[4] = {"hour", "minute", "second", "microsecond"};
    Ref time_values[4];
    for (int i = 0; i < 4; ++i) {
        int found = tv::get_optional_attr(obj, time_names[i], time_values[i]);
        if (found <= 0)
            return found;
    }
    if (as_int32(time_values[0].get(), &out->hour) < 0 || as_int32(time_values[1].get(), &out->min) < 0 ||
        as_int32(time_values[2].get(), &out->sec) < 0 || as_int32(time_values[3].get(), &out->us) < 0)
        return -1;

    Ref tzinfo;
    int found = tv::get_optional_attr(obj, "tzinfo", tzinfo);
    if (found <= 0)
        return found;
    if (tzinfo.get() == Py_None)
        return 0;
    Ref offset(utcoffset_of(tzinfo.get(), obj));
    if (!offset)
        return -1;
    if (offset.get() == Py_None)
        return 0;  // naive after all: keep the wall-clock fields

    npy_int32 seconds;
    {
        Ref total(PyObject_CallMethod(offset.get(), "total_seconds", nullptr));
        if (!total)
            return -1;
        Ref whole(PyNumber_Long(total.get()));
        if (!whole || as_int32(whole.get(), &seconds) < 0)
            return -1;
    }
    *aware = true;
    *offset_minutes = seconds / 60;
    return 0;
}

}  // namespace

namespace py {

int pydatetime_to_datetimestruct(PyObject *obj, npy_datetimestruct *out) noexcept
{
    bool aware;
    int64_t offset_minutes;
    if (read_object(obj, out, &aware, &offset_minutes) < 0)
        return -1;
    // An aware object's record holds its UTC time.
    return aware ? shift_minutes(out, -offset_minutes) : 0;
}

npy_int64 pydatetime_to_epoch(PyObject *obj, int unit) noexcept
{
    npy_datetimestruct dts;
    if (pydatetime_to_datetimestruct(obj, &dts) != 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, kCouldNotConvert);
        return -1;
    }
    npy_int64 value = py::npy_datetimestruct_to_datetime(NPY_FR_ns, &dts);
    if (value == -1 && PyErr_Occurred())
        return -1;  // out of the nanosecond range: OverflowError stays set
    if (py::scaleNanosecToUnit(&value, unit) != 0) {
        PyErr_Format(PyExc_ValueError, "Call to scaleNanosecToUnit with value %lld and base %d failed",
                     static_cast<long long>(value), unit);
        return -1;
    }
    return value;
}

char *pydatetime_to_iso_string(PyObject *obj, int unit, size_t *length) noexcept
{
    npy_datetimestruct dts;
    bool aware;
    int64_t offset_minutes;
    if (read_object(obj, &dts, &aware, &offset_minutes) < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, kCouldNotConvert);
        return nullptr;
    }
    // The fields as the object states them must name a time; an aware one is
    // then written in UTC, with "Z".
    if (check_record_fields(dts) < 0 || (aware && shift_minutes(&dts, -offset_minutes) < 0))
        return nullptr;

    const int size = py::iso8601_length(0, unit);
    char *buf = static_cast<char *>(PyObject_Malloc(static_cast<size_t>(size)));
    if (buf == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (py::format_iso8601(&dts, buf, size, aware ? 1 : 0, unit) != 0) {
        PyErr_SetString(PyExc_ValueError, py::kCouldNotFormat);
        PyObject_Free(buf);
        return nullptr;
    }
    // The length is written only with the text: a failure leaves it alone.
    *length = strnlen(buf, static_cast<size_t>(size));
    return buf;
}

PyArray_DatetimeMetaData datetime_metadata_from_dtype(PyArray_Descr *dtype) noexcept
{
    PyArray_DatetimeMetaData meta;
    meta.base = NPY_FR_ERROR;
    meta.num = 0;
    if (dtype == nullptr) {
        PyErr_SetString(PyExc_TypeError, "expected a datetime64 or timedelta64 dtype, got NULL");
        return meta;
    }
    PyObject *obj = reinterpret_cast<PyObject *>(dtype);
    // The type number sits at the same place in the 1.x and 2.x layouts; the
    // metadata pointer does not, and PyDataType_C_METADATA picks its place by
    // the C-API version of the NumPy found at import.
    NpyAuxData *aux = nullptr;
    if (PyArray_DescrCheck(obj) && (dtype->type_num == NPY_DATETIME || dtype->type_num == NPY_TIMEDELTA))
        aux = PyDataType_C_METADATA(dtype);
    if (aux == nullptr) {
        PyErr_Format(PyExc_TypeError, "expected a datetime64 or timedelta64 dtype, got %R", obj);
        return meta;
    }
    return reinterpret_cast<PyArray_DatetimeDTypeMetaData *>(aux)->meta;
}

}  // namespace py

}  // namespace tv::dt
