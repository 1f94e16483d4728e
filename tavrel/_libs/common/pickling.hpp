// Pickling of the package's native classes.
//
// A native class describes its field layout once, in a ClassLayout, and
// gets from it three functions that pickle and copy understand:
//
//   obj.__reduce_cython__()          -> (reconstructor, (type(obj), checksum, state))
//                                    or (reconstructor, (type(obj), checksum, None), state)
//   obj.__setstate_cython__(state)   applies a state tuple to obj
//   __pyx_unpickle_<Class>(type, checksum, state)
//                                    a module function: checks the checksum,
//                                    makes a bare instance, applies the state
//
// The state tuple holds the fields in layout order (object fields as they
// are, integer fields as int), followed by the instance dict when the object
// has a non-empty one (instances of Python subclasses).  The checksum names
// the field layout; a pickle written for another layout is refused with
// pickle.PickleError before any instance exists, so foreign data never
// reaches the fields.  The reconstructor accepts three checksums: the one it
// writes and two earlier spellings of the same layout.
//
// Installation: the class lists the two methods in its tp_methods (so that
// both names work), and after the class is ready and bound in the module,
// install() also binds them as __reduce__ and __setstate__, unless the class
// brings its own pickling.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include "binding.hpp"
#include "module.hpp"
#include "names.hpp"

namespace tv::pickle {

namespace detail {

// Names every pickled class uses.
inline Name dict_name{"__dict__"};
inline Name update_name{"update"};
inline Name new_name{"__new__"};

}  // namespace detail

enum class FieldKind : unsigned char {
    object,     // any object, stored as it is
    index,      // Py_ssize_t, pickled as int, restored through __index__
    exact_str,  // exactly a str, or None
};

struct Field {
    const char *name;
    FieldKind kind;
    std::size_t offset;  // byte offset of the field in the instance struct
};

template <std::size_t N>
struct ClassLayout {
    static constexpr std::size_t field_count = N;

    ModuleLife *life;
    const char *class_name;   // "CachedProperty": messages and traceback entries
    Name reconstructor;       // "__pyx_unpickle_CachedProperty"
    const char *field_names;  // "__doc__, fget, name"
    long checksum;            // written by reduce
    long accepted[3];         // accepted by the reconstructor, the written one first
    Field fields[N];          // in state order
    PyTypeObject *type;

    Signature<1> setstate_sig{"__setstate_cython__", {"__pyx_state"}};
    Signature<3> unpickle_sig{nullptr, {"__pyx_type", "__pyx_checksum", "__pyx_state"}};

    // Once, at module execution, before the first call.
    int init() noexcept
    {
        unpickle_sig.func = reconstructor.text();
        if (setstate_sig.init() < 0 || unpickle_sig.init() < 0)
            return -1;
        return intern_names({&reconstructor, &detail::dict_name, &detail::update_name, &detail::new_name});
    }

    PyObject *&object_slot(PyObject *self, std::size_t i) const noexcept
    {
        return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(self) + fields[i].offset);
    }
    Py_ssize_t &index_slot(PyObject *self, std::size_t i) const noexcept
    {
        return *reinterpret_cast<Py_ssize_t *>(reinterpret_cast<char *>(self) + fields[i].offset);
    }

    void traceback(const char *method, int line) const noexcept
    {
        char entry[160];
        if (method != nullptr)
            PyOS_snprintf(entry, sizeof entry, "%s.%s", class_name, method);
        else
            PyOS_snprintf(entry, sizeof entry, "%s", reconstructor.text());
        life->traceback(entry, line);
    }
};

namespace detail {

// Applies state tuple `state` to `self`: the fields in order, then the
// optional instance-dict element.  A short tuple raises IndexError at the
// first missing element, after the earlier fields were replaced.
template <std::size_t N>
int apply_state(const ClassLayout<N> &layout, PyObject *self, PyObject *state) noexcept
{
    const Py_ssize_t size = PyTuple_GET_SIZE(state);
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<Py_ssize_t>(i) >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return -1;
        }
        PyObject *value = PyTuple_GET_ITEM(state, static_cast<Py_ssize_t>(i));
        switch (layout.fields[i].kind) {
        case FieldKind::index: {
            Py_ssize_t v;
            if (to_ssize_t(value, &v) < 0)
                return -1;
            layout.index_slot(self, i) = v;
            break;
        }
        case FieldKind::exact_str:
            if (value != Py_None && !PyUnicode_CheckExact(value))
                return raise_expected_type("str", value);
            [[fallthrough]];
        case FieldKind::object:
            Py_INCREF(value);
            Py_SETREF(layout.object_slot(self, i), value);
            break;
        }
    }
    if (size <= static_cast<Py_ssize_t>(N))
        return 0;

    PyObject *extra = PyTuple_GET_ITEM(state, static_cast<Py_ssize_t>(N));
    int truth = to_truth(extra);
    if (truth <= 0)
        return truth;
    Ref instance_dict(PyObject_GetAttr(self, dict_name.get()));
    if (!instance_dict)
        return -1;
    if (PyDict_CheckExact(instance_dict.get()) && PyDict_Check(extra))
        return PyDict_Update(instance_dict.get(), extra);
    Ref done(PyObject_CallMethodOneArg(instance_dict.get(), update_name.get(), extra));
    return done ? 0 : -1;
}

// Formats a C long as Python's '%x' does ('-5' for -5).
inline void format_hex(char *buf, std::size_t size, long value) noexcept
{
    if (value < 0)
        PyOS_snprintf(buf, size, "-%lx", 0UL - static_cast<unsigned long>(value));
    else
        PyOS_snprintf(buf, size, "%lx", static_cast<unsigned long>(value));
}

inline int raise_incompatible_checksum(long given, const long (&accepted)[3], const char *field_names) noexcept
{
    Ref pickle_module(PyImport_ImportModule("pickle"));
    if (!pickle_module)
        return -1;
    Ref pickle_error(PyObject_GetAttrString(pickle_module.get(), "PickleError"));
    if (!pickle_error)
        return -1;
    char hex[4][24];
    format_hex(hex[0], sizeof hex[0], given);
    for (int i = 0; i < 3; ++i)
        format_hex(hex[i + 1], sizeof hex[i + 1], accepted[i]);
    Ref message(PyUnicode_FromFormat("Incompatible checksums (0x%s vs (0x%s, 0x%s, 0x%s) = (%s))", hex[0], hex[1],
                                     hex[2], hex[3], field_names));
    if (!message)
        return -1;
    Ref error(PyObject_CallOneArg(pickle_error.get(), message.get()));
    if (!error)
        return -1;
    if (PyExceptionInstance_Check(error.get()))
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())), error.get());
    else
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return -1;
}

template <auto &L>
PyObject *reduce_impl(PyObject *self) noexcept
{
    constexpr std::size_t n = std::remove_cvref_t<decltype(L)>::field_count;
    bool needs_setstate = false;
    Ref state(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!state)
        return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *item;
        if (L.fields[i].kind == FieldKind::index) {
            item = PyLong_FromSsize_t(L.index_slot(self, i));
            if (item == nullptr)
                return nullptr;
        } else {
            item = L.object_slot(self, i);
            needs_setstate = needs_setstate || item != Py_None;
            Py_INCREF(item);
        }
        PyTuple_SET_ITEM(state.get(), static_cast<Py_ssize_t>(i), item);
    }

    Ref instance_dict;
    if (get_optional_attr(self, dict_name.get(), instance_dict) < 0)
        return nullptr;
    if (instance_dict && instance_dict.get() != Py_None) {
        int truth = PyObject_IsTrue(instance_dict.get());
        if (truth < 0)
            return nullptr;
        if (truth) {
            Ref extended(PyTuple_New(static_cast<Py_ssize_t>(n + 1)));
            if (!extended)
                return nullptr;
            for (std::size_t i = 0; i < n; ++i) {
                PyObject *item = PyTuple_GET_ITEM(state.get(), static_cast<Py_ssize_t>(i));
                Py_INCREF(item);
                PyTuple_SET_ITEM(extended.get(), static_cast<Py_ssize_t>(i), item);
            }
            PyTuple_SET_ITEM(extended.get(), static_cast<Py_ssize_t>(n), instance_dict.release());
            state = std::move(extended);
            needs_setstate = true;
        }
    }

    Ref reconstructor(L.life->global(L.reconstructor.get()));
    if (!reconstructor)
        return nullptr;
    Ref checksum(PyLong_FromLong(L.checksum));
    if (!checksum)
        return nullptr;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(self));
    if (needs_setstate)
        return Py_BuildValue("(O(OOO)O)", reconstructor.get(), type, checksum.get(), Py_None, state.get());
    return Py_BuildValue("(O(OOO))", reconstructor.get(), type, checksum.get(), state.get());
}

}  // namespace detail

// C.__reduce_cython__(self): no arguments.
template <auto &L>
PyObject *reduce(PyObject *self, PyObject *const *, Py_ssize_t nargsf, PyObject *kwnames) noexcept
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 0) {
        raise_arg_count("__reduce_cython__", true, 0, 0, nargs);
    } else if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, 0);
        if (PyUnicode_Check(key))
            raise_unexpected_keyword("__reduce_cython__", key);
        else
            raise_keywords_must_be_strings("__reduce_cython__");
    } else {
        PyObject *result = detail::reduce_impl<L>(self);
        if (result != nullptr)
            return result;
    }
    L.traceback("__reduce_cython__", __LINE__);
    return nullptr;
}

// C.__setstate_cython__(self, __pyx_state): an exact tuple.
template <auto &L>
PyObject *setstate(PyObject *self, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *values[1] = {};
    if (bind_arguments(L.setstate_sig, args, nargsf, kwnames, values) == 0) {
        PyObject *state = values[0];
        if (PyTuple_CheckExact(state)) {
            if (detail::apply_state(L, self, state) == 0)
                Py_RETURN_NONE;
        } else if (reject_none(state) == 0) {
            raise_expected_type("tuple", state);
        }
    }
    L.traceback("__setstate_cython__", __LINE__);
    return nullptr;
}

// __pyx_unpickle_<C>(__pyx_type, __pyx_checksum, __pyx_state): a module
// function returning a new instance of __pyx_type (C or a subclass) with
// the state applied; __init__ is not run.
template <auto &L>
PyObject *unpickle(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) noexcept
{
    PyObject *values[3] = {};
    if (bind_arguments(L.unpickle_sig, args, nargsf, kwnames, values) == 0) {
        PyObject *type = values[0];
        PyObject *state = values[2];
        long checksum = -1;
        Ref checksum_int(number_to_int(values[1]));
        if (checksum_int)
            checksum = PyLong_AsLong(checksum_int.get());
        if (checksum_int && !(checksum == -1 && PyErr_Occurred()) &&
            check_exact_type_or_none(state, &PyTuple_Type, "__pyx_state") == 0) {
            if (checksum != L.accepted[0] && checksum != L.accepted[1] && checksum != L.accepted[2]) {
                detail::raise_incompatible_checksum(checksum, L.accepted, L.field_names);
            } else {
                Ref instance(
                    PyObject_CallMethodOneArg(reinterpret_cast<PyObject *>(L.type), detail::new_name.get(), type));
                if (instance && (state == Py_None || detail::apply_state(L, instance.get(), state) == 0))
                    return instance.release();
            }
        }
    }
    L.traceback(nullptr, __LINE__);
    return nullptr;
}

// Entries for the class's tp_methods.
template <auto &L>
inline PyMethodDef reduce_method() noexcept
{
    return fastcall_method("__reduce_cython__", reduce<L>);
}
template <auto &L>
inline PyMethodDef setstate_method() noexcept
{
    return fastcall_method("__setstate_cython__", setstate<L>);
}
// Entry for the module's functions.
template <auto &L>
inline PyMethodDef unpickle_function() noexcept
{
    return fastcall_method(L.reconstructor.text(), unpickle<L>);
}

namespace detail {

// Whether `type` or a base other than object defines `name` itself.
inline int defines_own(PyTypeObject *type, const char *name) noexcept
{
    Ref key(PyUnicode_FromString(name));
    if (!key)
        return -1;
    PyObject *mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (base == &PyBaseObject_Type || base->tp_dict == nullptr)
            continue;
        PyObject *v = PyDict_GetItemWithError(base->tp_dict, key.get());
        if (v != nullptr)
            return 1;
        if (PyErr_Occurred())
            return -1;
    }
    return 0;
}

inline int install_under(PyTypeObject *type, const char *protocol_name, const char *method_name) noexcept
{
    PyObject *method = PyDict_GetItemString(type->tp_dict, method_name);
    if (method == nullptr) {
        PyErr_Format(PyExc_AttributeError, "type object '%.200s' has no attribute '%s'", type->tp_name, method_name);
        return -1;
    }
    return PyDict_SetItemString(type->tp_dict, protocol_name, method);
}

}  // namespace detail

// Binds __reduce__ and __setstate__ of a ready class to its pickling
// methods.  A class with its own __getstate__, __reduce_ex__ or __reduce__
// keeps its pickling; one with its own __setstate__ keeps that.  Returns 0,
// or -1 with RuntimeError "Unable to initialize pickling for <class>".
template <auto &L>
int install(PyTypeObject *type) noexcept
{
    int own_reduce = 0;
    for (const char *name : {"__getstate__", "__reduce_ex__", "__reduce__"}) {
        int r = detail::defines_own(type, name);
        if (r != 0) {
            own_reduce = r;
            break;
        }
    }
    int status = own_reduce;
    if (status == 0) {
        status = detail::install_under(type, "__reduce__", "__reduce_cython__");
        if (status == 0) {
            int own_setstate = detail::defines_own(type, "__setstate__");
            status = own_setstate < 0 ? -1 : 0;
            if (own_setstate == 0)
                status = detail::install_under(type, "__setstate__", "__setstate_cython__");
        }
    }
    if (status < 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", L.class_name);
        return -1;
    }
    PyType_Modified(type);
    return 0;
}

}  // namespace tv::pickle
