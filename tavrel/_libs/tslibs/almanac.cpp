// tavrel._libs.tslibs.almanac: the calendar functions for Python callers,
// the month and weekday name tables, and the table of native functions and
// variables (__pyx_capi__) through which other native modules of the
// library call the calendar core without going through Python.
//
// The arithmetic lives in calendar_core.cpp; this unit binds arguments,
// refuses months outside 1..12 with ValueError (the core would answer them
// with a fixed -1), and builds the module.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <type_traits>

#include "common/binding.hpp"
#include "common/module.hpp"
#include "common/saved_error.hpp"
#include "tslibs/calendar_core.h"

#include <numpy/arrayobject.h>
#include <numpy/ufuncobject.h>

namespace cal = tv::calendar;

// The exported signatures name Py_ssize_t and NumPy's fixed-width integers;
// the core is written with the standard types of the same widths.
static_assert(sizeof(Py_ssize_t) == sizeof(std::ptrdiff_t) && std::is_signed_v<Py_ssize_t>);
static_assert(sizeof(npy_int32) == sizeof(int32_t) && std::is_signed_v<npy_int32>);
static_assert(sizeof(npy_int64) == sizeof(int64_t) && std::is_signed_v<npy_int64>);
static_assert(sizeof(cal::iso_calendar_t) == 3 * sizeof(int32_t));

namespace {

tv::ModuleLife life{"almanac", "tavrel._libs.tslibs.almanac", "tavrel/_libs/tslibs/almanac.cpp"};

// ---------------------------------------------------------------------------
// Native variables reachable through __pyx_capi__.  The capsules point at
// these slots, so a consumer always reads the current value.

PyObject *month_to_cal_num = nullptr;   // dict: "JAN" -> 1 ... "DEC" -> 12
PyObject *c_month_numbers = nullptr;    // the dict bound to MONTH_NUMBERS at import
int32_t *month_offset_table = nullptr;  // cumulative days before each month

void reset_exported_variables() noexcept
{
    Py_CLEAR(month_to_cal_num);
    Py_CLEAR(c_month_numbers);
    month_offset_table = nullptr;
}

// ---------------------------------------------------------------------------
// Python-level functions

// The core answers a month outside 1..12 with a fixed -1; a Python caller
// gets an error instead of a number that looks like a date field.
int check_month(Py_ssize_t month) noexcept
{
    if (cal::is_valid_month(month))
        return 0;
    PyErr_Format(PyExc_ValueError, "month must be in 1..12, got %zd", month);
    return -1;
}

// Binds (year, month[, day]) and converts them left to right.
template <std::size_t N>
int bind_date(const tv::Signature<N> &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
              int (&out)[N]) noexcept
{
    PyObject *values[N];
    if (tv::bind_arguments(sig, args, nargsf, kwnames, values) < 0)
        return -1;
    for (std::size_t i = 0; i < N; ++i)
        if (tv::to_int32(values[i], &out[i]) < 0)
            return -1;
    return check_month(out[1]);
}

tv::Signature<2> sig_days_in_month{"get_days_in_month", {"year", "month"}};
tv::Signature<3> sig_week_of_year{"get_week_of_year", {"year", "month", "day"}};
tv::Signature<3> sig_iso_calendar{"get_iso_calendar", {"year", "month", "day"}};
tv::Signature<3> sig_day_of_year{"get_day_of_year", {"year", "month", "day"}};
tv::Signature<2> sig_lastbday{"get_lastbday", {"year", "month"}};
tv::Signature<2> sig_firstbday{"get_firstbday", {"year", "month"}};

PyObject *int_result(const char *func, int line, long value) noexcept
{
    PyObject *r = PyLong_FromLong(value);
    if (r == nullptr)
        life.traceback(func, line);
    return r;
}

PyObject *py_get_days_in_month(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    // month is a Py_ssize_t taken through __index__, unlike the other
    // functions' int arguments.
    PyObject *values[2];
    int year;
    Py_ssize_t month;
    if (tv::bind_arguments(sig_days_in_month, args, nargsf, kwnames, values) < 0 ||
        tv::to_int32(values[0], &year) < 0 || tv::to_ssize_t(values[1], &month) < 0 || check_month(month) < 0) {
        life.traceback(sig_days_in_month.func, __LINE__);
        return nullptr;
    }
    return int_result(sig_days_in_month.func, __LINE__, cal::get_days_in_month(year, month, 0));
}

PyObject *py_get_week_of_year(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    int ymd[3];
    if (bind_date(sig_week_of_year, args, nargsf, kwnames, ymd) < 0) {
        life.traceback(sig_week_of_year.func, __LINE__);
        return nullptr;
    }
    return int_result(sig_week_of_year.func, __LINE__, cal::get_week_of_year(ymd[0], ymd[1], ymd[2], 0));
}

// The value of an exact int of at most one digit, read in place: the common
// argument, converted without a call.  False for anything else, which then
// takes the general conversion.
static_assert(PyLong_SHIFT <= 31, "a one-digit int must fit an int");

inline bool one_digit_int(PyObject *obj, int *out) noexcept
{
    if (!PyLong_CheckExact(obj))
        return false;
    auto *v = reinterpret_cast<PyLongObject *>(obj);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(v))
        return false;
    *out = static_cast<int>(PyUnstable_Long_CompactValue(v));
#else
    const Py_ssize_t size = Py_SIZE(obj);
    if (size < -1 || size > 1)
        return false;
    // A zero need not have its digit set.
    *out = size == 0 ? 0 : static_cast<int>(size) * static_cast<int>(v->ob_digit[0]);
#endif
    return true;
}

// Week numbers and weekdays as int objects made once, so that building a
// result does not go through the int constructor for them.
constexpr int cached_int_count = 64;
PyObject *cached_ints[cached_int_count];

int fill_cached_ints() noexcept
{
    for (int i = 0; i < cached_int_count; ++i) {
        if (cached_ints[i] == nullptr) {
            cached_ints[i] = PyLong_FromLong(i);
            if (cached_ints[i] == nullptr)
                return -1;
        }
    }
    return 0;
}

inline PyObject *small_int(int32_t value) noexcept
{
    if (static_cast<uint32_t>(value) < static_cast<uint32_t>(cached_int_count))
        return Py_NewRef(cached_ints[value]);
    return PyLong_FromLong(value);
}

// The result tuple for converted arguments; year_arg is the year argument,
// reused as the ISO year when it is an exact int of that value.
PyObject *iso_calendar_result(PyObject *year_arg, int year, int month, int day) noexcept
{
    // The wide form, so that the ISO year beside the extreme 32-bit years
    // comes out exact rather than wrapped.
    const cal::iso_calendar_wide_t iso = cal::iso_calendar_wide_inline(year, month, day);
    PyObject *result = PyTuple_New(3);
    if (result == nullptr) {
        life.traceback(sig_iso_calendar.func, __LINE__);
        return nullptr;
    }
    // The ISO year is usually the given year: an exact int argument is
    // reused rather than allocating an equal one.
    PyObject *iso_year =
        (iso.year == year && PyLong_CheckExact(year_arg)) ? Py_NewRef(year_arg) : PyLong_FromLongLong(iso.year);
    PyObject *week = iso_year ? small_int(iso.week) : nullptr;
    PyObject *weekday = week ? small_int(iso.day) : nullptr;
    if (weekday == nullptr) {
        Py_XDECREF(iso_year);
        Py_XDECREF(week);
        Py_DECREF(result);
        life.traceback(sig_iso_calendar.func, __LINE__);
        return nullptr;
    }
    PyTuple_SET_ITEM(result, 0, iso_year);
    PyTuple_SET_ITEM(result, 1, week);
    PyTuple_SET_ITEM(result, 2, weekday);
    return result;
}

// Any call: binding by position or keyword and the general conversions.
// Out of line, so that the common call does not pay for its frame.
[[gnu::noinline]] PyObject *iso_calendar_general(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *values[3];
    int ymd[3];
    if (tv::bind_arguments(sig_iso_calendar, args, nargsf, kwnames, values) < 0 ||
        tv::to_int32(values[0], &ymd[0]) < 0 || tv::to_int32(values[1], &ymd[1]) < 0 ||
        tv::to_int32(values[2], &ymd[2]) < 0 || check_month(ymd[1]) < 0) {
        life.traceback(sig_iso_calendar.func, __LINE__);
        return nullptr;
    }
    return iso_calendar_result(values[0], ymd[0], ymd[1], ymd[2]);
}

PyObject *py_get_iso_calendar(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    // Three small ints by position, the usual call, skip the binding.
    int year, month, day;
    if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == 3 && one_digit_int(args[0], &year) &&
        one_digit_int(args[1], &month) && one_digit_int(args[2], &day) && cal::is_valid_month(month)) [[likely]]
        return iso_calendar_result(args[0], year, month, day);
    return iso_calendar_general(args, nargsf, kwnames);
}

PyObject *py_get_day_of_year(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    int ymd[3];
    if (bind_date(sig_day_of_year, args, nargsf, kwnames, ymd) < 0) {
        life.traceback(sig_day_of_year.func, __LINE__);
        return nullptr;
    }
    return int_result(sig_day_of_year.func, __LINE__, cal::get_day_of_year(ymd[0], ymd[1], ymd[2], 0));
}

PyObject *py_get_lastbday(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    int ym[2];
    if (bind_date(sig_lastbday, args, nargsf, kwnames, ym) < 0) {
        life.traceback(sig_lastbday.func, __LINE__);
        return nullptr;
    }
    return int_result(sig_lastbday.func, __LINE__, cal::get_lastbday(ym[0], ym[1], 0));
}

PyObject *py_get_firstbday(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    int ym[2];
    if (bind_date(sig_firstbday, args, nargsf, kwnames, ym) < 0) {
        life.traceback(sig_firstbday.func, __LINE__);
        return nullptr;
    }
    return int_result(sig_firstbday.func, __LINE__, cal::get_firstbday(ym[0], ym[1], 0));
}

const char doc_get_days_in_month[] =
    "\n"
    "    Return the number of days in the given month of the given year.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    days_in_month : int\n"
    "\n"
    "    Notes\n"
    "    -----\n"
    "    Assumes that the arguments are valid.  The month must lie between 1 and 12;\n"
    "    any other month raises ValueError.\n"
    "    ";

const char doc_get_week_of_year[] =
    "\n"
    "    Return the ordinal week-of-year for the given day.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "    day : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    week_of_year : int32_t\n"
    "\n"
    "    Notes\n"
    "    -----\n"
    "    Assumes the inputs describe a valid date.\n"
    "    ";

const char doc_get_iso_calendar[] =
    "\n"
    "    Return the year, week, and day of year corresponding to ISO 8601\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "    day : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    year : int32_t\n"
    "    week : int32_t\n"
    "    day : int32_t\n"
    "\n"
    "    Notes\n"
    "    -----\n"
    "    Assumes the inputs describe a valid date.\n"
    "    ";

const char doc_get_day_of_year[] =
    "\n"
    "    Return the ordinal day-of-year for the given day.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "    day : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    day_of_year : int32_t\n"
    "\n"
    "    Notes\n"
    "    -----\n"
    "    Assumes the inputs describe a valid date.\n"
    "    ";

const char doc_get_lastbday[] =
    "\n"
    "    Find the last day of the month that is a business day.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    last_bday : int\n"
    "    ";

const char doc_get_firstbday[] =
    "\n"
    "    Find the first day of the month that is a business day.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    year : int\n"
    "    month : int\n"
    "\n"
    "    Returns\n"
    "    -------\n"
    "    first_bday : int\n"
    "    ";

// In the order the functions are bound to the module.
PyMethodDef methods[] = {
    tv::fastcall_method(sig_days_in_month.func, py_get_days_in_month, doc_get_days_in_month),
    tv::fastcall_method(sig_week_of_year.func, py_get_week_of_year, doc_get_week_of_year),
    tv::fastcall_method(sig_iso_calendar.func, py_get_iso_calendar, doc_get_iso_calendar),
    tv::fastcall_method(sig_day_of_year.func, py_get_day_of_year, doc_get_day_of_year),
    tv::fastcall_method(sig_lastbday.func, py_get_lastbday, doc_get_lastbday),
    tv::fastcall_method(sig_firstbday.func, py_get_firstbday, doc_get_firstbday),
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Import steps

// NumPy's function table, through the loader its headers define (module
// lookup with the legacy fallback, ABI, feature-version and byte-order
// checks).  Any failure becomes an ImportError whose context is the cause.
int import_numpy_api() noexcept
{
    if (_import_array() == 0)
        return 0;
    PyObject *cause = tv::SavedError().release();
    PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
    if (cause != nullptr) {
        tv::SavedError error;
        if (error.get() != nullptr)
            PyException_SetContext(error.get(), cause);  // steals cause
        else
            Py_DECREF(cause);
    }
    return -1;
}

int register_in_sys_modules(PyObject *m) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();
    tv::Ref name(PyUnicode_FromString(life.dotted_name));
    if (!name)
        return -1;
    int present = PyDict_Contains(modules, name.get());
    if (present != 0)
        return present < 0 ? -1 : 0;
    return PyDict_SetItem(modules, name.get(), m);
}

struct Export {
    const char *name;
    const char *signature;
    void *pointer;
};

template <typename Fn>
void *function_address(Fn *fn) noexcept
{
    return reinterpret_cast<void *>(fn);
}

int publish_exports(PyObject *m) noexcept
{
    // The object slots hold None until the name tables are built.
    Py_XSETREF(month_to_cal_num, Py_NewRef(Py_None));
    Py_XSETREF(c_month_numbers, Py_NewRef(Py_None));

    const Export exports[] = {
        {"MONTH_TO_CAL_NUM", "PyObject *", &month_to_cal_num},
        {"c_MONTH_NUMBERS", "PyObject *", &c_month_numbers},
        {"month_offset", "__pyx_t_5numpy_int32_t *", &month_offset_table},
        {"get_days_in_month", "__pyx_t_5numpy_int32_t (int, Py_ssize_t, int __pyx_skip_dispatch)",
         function_address(&cal::get_days_in_month)},
        {"get_day_of_year", "__pyx_t_5numpy_int32_t (int, int, int, int __pyx_skip_dispatch)",
         function_address(&cal::get_day_of_year)},
        {"get_week_of_year", "__pyx_t_5numpy_int32_t (int, int, int, int __pyx_skip_dispatch)",
         function_address(&cal::get_week_of_year)},
        {"get_iso_calendar",
         "__pyx_t_6tavrel_5_libs_6tslibs_7almanac_iso_calendar_t (int, int, int, int __pyx_skip_dispatch)",
         function_address(&cal::get_iso_calendar)},
        {"is_leapyear", "int (__pyx_t_5numpy_int64_t)", function_address(&cal::is_leapyear)},
        {"get_firstbday", "int (int, int, int __pyx_skip_dispatch)", function_address(&cal::get_firstbday)},
        {"get_lastbday", "int (int, int, int __pyx_skip_dispatch)", function_address(&cal::get_lastbday)},
        {"dayofweek", "int (int, int, int)", function_address(&cal::dayofweek)},
    };

    PyObject *globals = PyModule_GetDict(m);
    tv::Ref key(PyUnicode_FromString("__pyx_capi__"));
    if (!key)
        return -1;
    tv::Ref table = tv::Ref::borrow(PyDict_GetItemWithError(globals, key.get()));
    const bool created = !table;
    if (created) {
        if (PyErr_Occurred())
            return -1;
        table.reset(PyDict_New());
        if (!table)
            return -1;
    }
    for (const Export &e : exports) {
        tv::Ref name(PyUnicode_InternFromString(e.name));
        tv::Ref capsule(name ? PyCapsule_New(e.pointer, e.signature, nullptr) : nullptr);
        if (!capsule || PyObject_SetItem(table.get(), name.get(), capsule.get()) < 0)
            return -1;
    }
    if (created && PyDict_SetItem(globals, key.get(), table.get()) < 0)
        return -1;
    return 0;
}

// Type objects the library's native code relies on, checked against the
// struct sizes of the headers this module was compiled with.  A type
// smaller than its struct cannot be used through that struct: an error.
// Types whose layout the headers fix exactly warn when they have grown;
// NumPy's dtype, iterators, array and ufunc may grow freely.
enum class SizeRule { at_least, warn_if_larger };

struct TypeBinding {
    const char *module;
    const char *name;
    std::size_t size;
    std::size_t alignment;
    SizeRule rule;
};

PyTypeObject *bound_types[16];

int bind_type(PyObject *module, const TypeBinding &b, PyTypeObject **slot) noexcept
{
    tv::Ref obj(PyObject_GetAttrString(module, b.name));
    if (!obj)
        return -1;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", b.module, b.name);
        return -1;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(obj.get());
    const Py_ssize_t basicsize = type->tp_basicsize;
    Py_ssize_t itemsize = type->tp_itemsize;
    // A variable-size object holds at least one item, padded to the
    // alignment of the struct.
    if (itemsize != 0) {
        std::size_t align = b.alignment;
        if (b.size % align != 0)
            align = b.size % align;
        if (itemsize < static_cast<Py_ssize_t>(align))
            itemsize = static_cast<Py_ssize_t>(align);
    }
    const auto expected = static_cast<Py_ssize_t>(b.size);
    if (basicsize + itemsize < expected) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. "
                     "Expected %zd from C header, got %zd from PyObject",
                     b.module, b.name, expected, basicsize + itemsize);
        return -1;
    }
    if (b.rule == SizeRule::warn_if_larger && basicsize > expected) {
        char message[300];
        PyOS_snprintf(message, sizeof message,
                      "%s.%s size changed, may indicate binary incompatibility. "
                      "Expected %zd from C header, got %zd from PyObject",
                      b.module, b.name, expected, basicsize);
        if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 0) < 0)
            return -1;
    }
    Py_XSETREF(*slot, reinterpret_cast<PyTypeObject *>(obj.release()));
    return 0;
}

int bind_types() noexcept
{
    using R = SizeRule;
    const TypeBinding bindings[] = {
        {"builtins", "type", sizeof(PyHeapTypeObject), alignof(PyHeapTypeObject), R::warn_if_larger},
        {"numpy", "dtype", sizeof(PyArray_Descr), alignof(PyArray_Descr), R::at_least},
        {"numpy", "flatiter", sizeof(PyArrayIterObject), alignof(PyArrayIterObject), R::at_least},
        {"numpy", "broadcast", sizeof(PyArrayMultiIterObject), alignof(PyArrayMultiIterObject), R::at_least},
        {"numpy", "ndarray", sizeof(PyArrayObject_fields), alignof(PyArrayObject_fields), R::at_least},
        {"numpy", "generic", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "number", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "integer", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "signedinteger", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "unsignedinteger", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "inexact", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "floating", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "complexfloating", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "flexible", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "character", sizeof(PyObject), alignof(PyObject), R::warn_if_larger},
        {"numpy", "ufunc", sizeof(PyUFuncObject), alignof(PyUFuncObject), R::at_least},
    };
    static_assert(std::size(bindings) == std::size(bound_types));

    tv::Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins)
        return -1;
    tv::Ref numpy(PyImport_ImportModule("numpy"));
    if (!numpy)
        return -1;
    for (std::size_t i = 0; i < std::size(bindings); ++i) {
        PyObject *module = i == 0 ? builtins.get() : numpy.get();
        if (bind_type(module, bindings[i], &bound_types[i]) < 0)
            return -1;
    }
    return 0;
}

// Module global by name, looked up now.
PyObject *global(const char *name) noexcept
{
    tv::Ref key(PyUnicode_InternFromString(name));
    return key ? life.global(key.get()) : nullptr;
}

int set_global(const char *name, PyObject *value) noexcept { return PyDict_SetItemString(life.globals, name, value); }

PyObject *str_list(std::initializer_list<const char *> items) noexcept
{
    tv::Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list)
        return nullptr;
    Py_ssize_t i = 0;
    for (const char *s : items) {
        PyObject *item = PyUnicode_FromString(s);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), i++, item);
    }
    return list.release();
}

// Builds a dict by walking the global `source` with a counter from 0;
// `by_name` maps each element to counter + offset, otherwise
// counter + offset maps to the element.
PyObject *numbered_dict(const char *source, bool by_name, long offset) noexcept
{
    tv::Ref iterable(global(source));
    if (!iterable)
        return nullptr;
    tv::Ref it(PyObject_GetIter(iterable.get()));
    tv::Ref dict(it ? PyDict_New() : nullptr);
    if (!dict)
        return nullptr;
    for (long counter = 0;; ++counter) {
        tv::Ref item(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        tv::Ref number(PyLong_FromLong(counter + offset));
        if (!number)
            return nullptr;
        int rc = by_name ? PyDict_SetItem(dict.get(), item.get(), number.get())
                         : PyDict_SetItem(dict.get(), number.get(), item.get());
        if (rc < 0)
            return nullptr;
    }
    return dict.release();
}

int build_name_tables() noexcept
{
    tv::Ref months(str_list({"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"}));
    if (!months || set_global("MONTHS", months.get()) < 0)
        return -1;
    tv::Ref months_full(str_list({"", "January", "February", "March", "April", "May", "June", "July", "August",
                                  "September", "October", "November", "December"}));
    if (!months_full || set_global("MONTHS_FULL", months_full.get()) < 0)
        return -1;

    tv::Ref month_numbers(numbered_dict("MONTHS", true, 0));
    if (!month_numbers || set_global("MONTH_NUMBERS", month_numbers.get()) < 0)
        return -1;
    {
        tv::Ref bound(global("MONTH_NUMBERS"));
        if (!bound || tv::check_field_type(bound.get(), &PyDict_Type) < 0)
            return -1;
        Py_XSETREF(c_month_numbers, bound.release());
    }
    tv::Ref month_aliases(numbered_dict("MONTHS", false, 1));
    if (!month_aliases || set_global("MONTH_ALIASES", month_aliases.get()) < 0)
        return -1;
    PyObject *to_cal_num = numbered_dict("MONTHS", true, 1);
    if (to_cal_num == nullptr)
        return -1;
    Py_XSETREF(month_to_cal_num, to_cal_num);

    tv::Ref days(str_list({"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"}));
    if (!days || set_global("DAYS", days.get()) < 0)
        return -1;
    tv::Ref days_full(str_list({"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"}));
    if (!days_full || set_global("DAYS_FULL", days_full.get()) < 0)
        return -1;
    tv::Ref int_to_weekday(numbered_dict("DAYS", false, 0));
    if (!int_to_weekday || set_global("int_to_weekday", int_to_weekday.get()) < 0)
        return -1;

    // weekday_to_int inverts int_to_weekday, walking its keys in order.
    tv::Ref forward(global("int_to_weekday"));
    tv::Ref keys(forward ? PyObject_GetIter(forward.get()) : nullptr);
    tv::Ref inverse(keys ? PyDict_New() : nullptr);
    if (!inverse)
        return -1;
    for (;;) {
        tv::Ref key(PyIter_Next(keys.get()));
        if (!key) {
            if (PyErr_Occurred())
                return -1;
            break;
        }
        tv::Ref value(PyObject_GetItem(forward.get(), key.get()));
        if (!value || PyDict_SetItem(inverse.get(), value.get(), key.get()) < 0)
            return -1;
    }
    return set_global("weekday_to_int", inverse.get());
}

// ---------------------------------------------------------------------------
// Module definition

const char module_doc[] =
    "\nThese are native implementations of functions resembling those of the\n"
    "Python standard library's calendar module.\n";

PyObject *module_create(PyObject *spec, PyModuleDef *) { return life.create(spec); }

int fail(void) noexcept
{
    reset_exported_variables();
    return life.fail_exec();
}

int module_exec(PyObject *m)
{
    int state = life.begin_exec(m);
    if (state <= 0)
        return state;
    for (int rc : {sig_days_in_month.init(), sig_week_of_year.init(), sig_iso_calendar.init(), sig_day_of_year.init(),
                   sig_lastbday.init(), sig_firstbday.init()})
        if (rc < 0)
            return fail();
    if (import_numpy_api() < 0 || register_in_sys_modules(m) < 0 || publish_exports(m) < 0 || bind_types() < 0)
        return fail();
    // The core's tables are constant; consumers read them through this
    // slot and must not write through it.
    month_offset_table = const_cast<int32_t *>(cal::month_offset);
    if (fill_cached_ints() < 0 || build_name_tables() < 0 || PyModule_AddFunctions(m, methods) < 0)
        return fail();
    tv::Ref test(PyDict_New());
    if (!test || set_global("__test__", test.get()) < 0)
        return fail();
    return 0;
}

PyModuleDef_Slot slots[] = {TV_MODULE_SLOTS(module_create, module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "almanac", module_doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_almanac(void) { return PyModuleDef_Init(&module_def); }
