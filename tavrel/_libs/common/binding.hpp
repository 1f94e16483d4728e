// Argument binding and argument conversions of the Python-level modules.
//
// Every Python-level function of the package binds its arguments the same
// way and rejects bad calls with the same TypeError texts, so that callers
// see one behaviour whichever module they use.  The binder works on the
// vectorcall convention (METH_FASTCALL | METH_KEYWORDS): positional values
// in args[0..nargs), keyword values after them, named by the kwnames tuple.
//
// Binding order, which decides the error reported when a call has several
// faults:
//   1. more positional values than parameters (and no *args): count error;
//   2. parameters not given by position are looked up among the keywords in
//      parameter order; the first missing required one is a count error
//      whose "given" figure is that parameter's index;
//   3. the keywords are then walked in call order: a non-str name, a name
//      that repeats a positional parameter ("multiple values"), and a name
//      no parameter has ("unexpected", unless the function takes **kwargs)
//      are reported as met.
//
//   def f(a, b, c)              f(1, 2)          -> "f() takes exactly 3 positional arguments (2 given)"
//   def f(a, b, c)              f(1, c=3)        -> "f() takes exactly 3 positional arguments (1 given)"
//   def f(a, b, c)              f(1, 2, 3, a=4)  -> "f() got multiple values for keyword argument 'a'"
//   def f(a, b, c, *args)       f(1)             -> "f() takes at least 3 positional arguments (1 given)"
#pragma once

#include <climits>
#include <cstddef>

#include "names.hpp"
#include "pyref.hpp"

namespace tv {

// A function of the vectorcall convention (METH_FASTCALL | METH_KEYWORDS).
using FastcallFunction = PyObject *(*)(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);

// The method-table entry of such a function (the table's function pointer
// type is the classic one, hence the cast).
inline PyMethodDef fastcall_method(const char *name, FastcallFunction fn, const char *doc = nullptr) noexcept
{
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)), METH_FASTCALL | METH_KEYWORDS,
            doc};
}

// Raises the argument-count TypeError.
inline void raise_arg_count(const char *func, bool exact, Py_ssize_t num_min, Py_ssize_t num_max,
                            Py_ssize_t given) noexcept
{
    Py_ssize_t expected;
    const char *more_or_less;
    if (given < num_min) {
        expected = num_min;
        more_or_less = "at least";
    } else {
        expected = num_max;
        more_or_less = "at most";
    }
    if (exact)
        more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, more_or_less,
                 expected, (expected == 1) ? "" : "s", given);
}

inline void raise_multiple_values(const char *func, PyObject *key) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", func, key);
}

inline void raise_unexpected_keyword(const char *func, PyObject *key) noexcept
{
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
}

inline void raise_keywords_must_be_strings(const char *func) noexcept
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func);
}

// Compares a keyword name with an interned parameter name: identity first
// (the usual case, since the compiler interns identifiers), then by value.
// Returns 1 on a match, 0 otherwise; never fails for str keys.
inline int keyword_matches(PyObject *key, PyObject *param) noexcept
{
    if (key == param)
        return 1;
    if (!PyUnicode_Check(key))
        return 0;
    return PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(param) && PyUnicode_Compare(key, param) == 0;
}

// The parameter list of one function.  N is the number of named parameters
// (positional-or-keyword); the first `required` of them have no default.
// `init()` must run once, at module execution, before the first call.
template <std::size_t N>
struct Signature {
    const char *func;
    Name names[N];
    Py_ssize_t required = N;
    bool star_args = false;
    bool star_kwargs = false;

    int init() noexcept
    {
        for (Name &name : names)
            if (name.intern() < 0)
                return -1;
        return 0;
    }
};

// Binds a vectorcall argument vector to `values` (borrowed references; a
// parameter that was not given and has a default is left untouched, so the
// caller pre-sets its default).  With star_args, `rest` (if not null)
// receives a new tuple of the surplus positional values, which otherwise
// stay at args[N..nargs).  With star_kwargs, `kwdict` (if not null) receives
// a new dict of the keywords that name no parameter, and stays null when
// there are none, so hot paths pay for no empty dict.  Returns 0, or -1 with
// the TypeError set.
template <std::size_t N>
inline int bind_arguments(const Signature<N> &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                          PyObject *(&values)[N], Ref *rest = nullptr, Ref *kwdict = nullptr) noexcept
{
    constexpr Py_ssize_t n_params = static_cast<Py_ssize_t>(N);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const bool exact = !sig.star_args && sig.required == n_params;

    if (nargs > n_params && !sig.star_args) {
        raise_arg_count(sig.func, exact, sig.required, n_params, nargs);
        return -1;
    }
    const Py_ssize_t npos = nargs < n_params ? nargs : n_params;
    for (Py_ssize_t i = 0; i < npos; ++i)
        values[i] = args[i];

    if (sig.star_args && rest != nullptr) {
        Py_ssize_t extra = nargs - npos;
        PyObject *tuple = PyTuple_New(extra);
        if (tuple == nullptr)
            return -1;
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyObject *v = args[npos + i];
            Py_INCREF(v);
            PyTuple_SET_ITEM(tuple, i, v);
        }
        rest->reset(tuple);
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < sig.required) {
            raise_arg_count(sig.func, exact, sig.required, n_params, nargs);
            return -1;
        }
        return 0;
    }

    PyObject *const *kwvalues = args + nargs;
    // Parameters not filled by position, from the keywords, in parameter order.
    for (Py_ssize_t i = npos; i < n_params; ++i) {
        PyObject *found = nullptr;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (keyword_matches(PyTuple_GET_ITEM(kwnames, k), sig.names[i].get())) {
                found = kwvalues[k];
                break;
            }
        }
        if (found != nullptr)
            values[i] = found;
        else if (i < sig.required) {
            raise_arg_count(sig.func, exact, sig.required, n_params, i);
            return -1;
        }
    }
    // Every keyword, in call order: the ones that named a free parameter are
    // done; the others are errors or go to **kwargs.
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        bool taken = false;
        for (Py_ssize_t i = npos; i < n_params && !taken; ++i)
            taken = keyword_matches(key, sig.names[i].get());
        if (taken)
            continue;
        if (!PyUnicode_Check(key)) {
            raise_keywords_must_be_strings(sig.func);
            return -1;
        }
        for (Py_ssize_t i = 0; i < npos; ++i) {
            if (keyword_matches(key, sig.names[i].get())) {
                raise_multiple_values(sig.func, key);
                return -1;
            }
        }
        if (!sig.star_kwargs) {
            raise_unexpected_keyword(sig.func, key);
            return -1;
        }
        if (kwdict == nullptr)
            continue;
        if (!*kwdict) {
            kwdict->reset(PyDict_New());
            if (!*kwdict)
                return -1;
        }
        if (PyDict_SetItem(kwdict->get(), key, kwvalues[k]) < 0)
            return -1;
    }
    return 0;
}

// Binds a classic call (a tuple of positional values and an optional dict
// of keywords, as tp_init receives them) by the same rules as a vectorcall.
// The bound values are borrowed from `args` and `kwargs`.
template <std::size_t N>
inline int bind_tuple_dict(const Signature<N> &sig, PyObject *args, PyObject *kwargs, PyObject *(&values)[N]) noexcept
{
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject *const *items = PySequence_Fast_ITEMS(args);
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0)
        return bind_arguments(sig, items, nargs, nullptr, values);

    const Py_ssize_t total = nargs + nkw;
    PyObject *small[8];
    PyObject **vec = small;
    if (total > 8) {
        vec = static_cast<PyObject **>(PyMem_Malloc(static_cast<std::size_t>(total) * sizeof(PyObject *)));
        if (vec == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    int result = -1;
    Ref kwnames(PyTuple_New(nkw));
    if (kwnames) {
        for (Py_ssize_t i = 0; i < nargs; ++i)
            vec[i] = items[i];
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value) && k < nkw) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames.get(), k, key);
            vec[nargs + k] = value;
            ++k;
        }
        result = bind_arguments(sig, vec, nargs, kwnames.get(), values);
    }
    if (vec != small)
        PyMem_Free(vec);
    return result;
}

// Rejects every keyword of a call that takes none (the keywords of a
// **kwargs-only callable must still be strings).
inline int check_keywords_are_strings(const char *func, PyObject *kwnames) noexcept
{
    if (kwnames == nullptr)
        return 0;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, k))) {
            raise_keywords_must_be_strings(func);
            return -1;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Typed arguments

inline const char *type_name(PyTypeObject *type) noexcept { return type->tp_name; }

// An argument declared with a builtin type: exactly that type (no subclass)
// or None.  Returns 0, or -1 with the TypeError set.
inline int check_exact_type_or_none(PyObject *obj, PyTypeObject *type, const char *arg_name) noexcept
{
    if (Py_IS_TYPE(obj, type) || obj == Py_None)
        return 0;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg_name,
                 type_name(type), type_name(Py_TYPE(obj)));
    return -1;
}

// An argument declared 'not None'.
inline int reject_none(PyObject *obj) noexcept
{
    if (obj != Py_None)
        return 0;
    PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
    return -1;
}

// The TypeError of a value stored into a field (or received as a state)
// declared with a type: "Expected <type>, got <type of obj>".  Returns -1.
inline int raise_expected_type(const char *expected, PyObject *obj) noexcept
{
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, type_name(Py_TYPE(obj)));
    return -1;
}

// A value stored into a field declared with a type: that type or a subclass,
// or None.
inline int check_field_type(PyObject *obj, PyTypeObject *type) noexcept
{
    if (obj == Py_None || PyObject_TypeCheck(obj, type))
        return 0;
    return raise_expected_type(type_name(type), obj);
}

// ---------------------------------------------------------------------------
// Conversions

// An int, or the result of the object's __int__ (so a float truncates).
// Returns a new reference to an int, or null with TypeError set.
inline PyObject *number_to_int(PyObject *obj) noexcept
{
    if (PyLong_Check(obj)) {
        Py_INCREF(obj);
        return obj;
    }
    PyNumberMethods *nb = Py_TYPE(obj)->tp_as_number;
    if (nb == nullptr || nb->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject *res = nb->nb_int(obj);
    if (res == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (PyLong_CheckExact(res))
        return res;
    if (PyLong_Check(res)) {
        // A strict subclass of int is still accepted, with the interpreter's
        // deprecation warning for such __int__ results.
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  "
                             "The ability to return an instance of a strict subclass of int "
                             "is deprecated, and may be removed in a future version of Python.",
                             type_name(Py_TYPE(res))) < 0) {
            Py_DECREF(res);
            return nullptr;
        }
        return res;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", type_name(Py_TYPE(res)));
    Py_DECREF(res);
    return nullptr;
}

// A 32-bit C int.  Out of range raises the interpreter's OverflowError for
// a C long, and does so for values outside 32 bits on every platform, so a
// 64-bit build behaves as the 32-bit target does.  Returns 0 or -1.
inline int to_int32(PyObject *obj, int *out) noexcept
{
    long v;
    if (PyLong_CheckExact(obj)) {
        v = PyLong_AsLong(obj);
    } else {
        PyObject *num = number_to_int(obj);
        if (num == nullptr)
            return -1;
        v = PyLong_AsLong(num);
        Py_DECREF(num);
    }
    if (v == -1 && PyErr_Occurred())
        return -1;
#if LONG_MAX > INT_MAX
    if (v > INT_MAX || v < INT_MIN) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
        return -1;
    }
#endif
    *out = static_cast<int>(v);
    return 0;
}

// A Py_ssize_t through __index__.  Returns 0 or -1.
inline int to_ssize_t(PyObject *obj, Py_ssize_t *out) noexcept
{
    Py_ssize_t v;
    if (PyLong_CheckExact(obj)) {
        v = PyLong_AsSsize_t(obj);
    } else {
        PyObject *index = PyNumber_Index(obj);
        if (index == nullptr)
            return -1;
        v = PyLong_AsSsize_t(index);
        Py_DECREF(index);
    }
    if (v == -1 && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

// A truth value: 1, 0, or -1 with the error of the object's __bool__ set.
inline int to_truth(PyObject *obj) noexcept
{
    if (obj == Py_True)
        return 1;
    if (obj == Py_False || obj == Py_None)
        return 0;
    return PyObject_IsTrue(obj);
}

}  // namespace tv
