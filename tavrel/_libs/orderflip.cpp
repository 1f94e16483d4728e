// Fast reads of one unsigned integer or floating-point scalar at an offset
// of a bytes object, optionally byte-reversed.  The SAS7BDAT reader calls
// these once per cell, so a call is one argument check, one unaligned load,
// at most one byte swap and the result object.
//
// Bounds: with assertions enabled (interpreter not run with -O) a read must
// end strictly before the last byte (offset + n < len), compared as an
// unsigned word.  A negative offset is always refused, and with assertions
// disabled so is a read running past the end, so nothing outside the
// buffer is ever read; both refusals raise AssertionError.
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "common/binding.hpp"
#include "common/module.hpp"

namespace {

tv::ModuleLife life{"orderflip", "tavrel._libs.orderflip", "tavrel/_libs/orderflip.cpp"};

template <typename Word>
inline Word load_word(const char *p, bool flip) noexcept
{
    Word w;
    std::memcpy(&w, p, sizeof w);
    if (flip) {
        if constexpr (sizeof(Word) == 2)
            w = __builtin_bswap16(w);
        else if constexpr (sizeof(Word) == 4)
            w = __builtin_bswap32(w);
        else
            w = __builtin_bswap64(w);
    }
    return w;
}

inline PyObject *from_word(uint16_t w) noexcept { return PyLong_FromLong(w); }
inline PyObject *from_word(uint32_t w) noexcept { return PyLong_FromUnsignedLong(w); }
inline PyObject *from_word(uint64_t w) noexcept { return PyLong_FromUnsignedLongLong(w); }

struct AsFloat {};
struct AsDouble {};

// Binds (data, offset, orderflip), checks the buffer and returns a pointer
// to the n bytes to read, or null with the exception set.
template <std::size_t N>
const char *bind_and_locate(tv::Signature<3> &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                            bool *flip) noexcept
{
    PyObject *values[3];
    if (tv::bind_arguments(sig, args, nargsf, kwnames, values) < 0)
        return nullptr;
    Py_ssize_t offset;
    if (tv::to_ssize_t(values[1], &offset) < 0)
        return nullptr;
    int truth = tv::to_truth(values[2]);
    if (truth < 0)
        return nullptr;
    *flip = truth != 0;
    PyObject *data = values[0];
    if (tv::check_exact_type_or_none(data, &PyBytes_Type, "data") < 0)
        return nullptr;

    constexpr std::size_t n = N;
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        life.assertions ? "object of type 'NoneType' has no len()" : "expected bytes, NoneType found");
        return nullptr;
    }
    const std::size_t len = static_cast<std::size_t>(PyBytes_GET_SIZE(data));
    const std::size_t end = static_cast<std::size_t>(offset) + n;  // wraps for offsets below -n
    const bool in_bounds = life.assertions ? end < len : end <= len;
    if (offset < 0 || !in_bounds) {
        tv::raise_assertion();
        return nullptr;
    }
    return PyBytes_AS_STRING(data) + offset;
}

template <typename Word, typename As>
PyObject *read_scalar(tv::Signature<3> &sig, int line, PyObject *const *args, Py_ssize_t nargsf,
                      PyObject *kwnames) noexcept
{
    bool flip;
    const char *p = bind_and_locate<sizeof(Word)>(sig, args, nargsf, kwnames, &flip);
    if (p == nullptr) {
        life.traceback(sig.func, line);
        return nullptr;
    }
    Word w = load_word<Word>(p, flip);
    if constexpr (std::is_same_v<As, AsFloat>) {
        float f;
        std::memcpy(&f, &w, sizeof f);
        return PyFloat_FromDouble(static_cast<double>(f));
    } else if constexpr (std::is_same_v<As, AsDouble>) {
        double d;
        std::memcpy(&d, &w, sizeof d);
        return PyFloat_FromDouble(d);
    } else {
        return from_word(w);
    }
}

tv::Signature<3> sig_u16{"read_uint16_with_orderflip", {"data", "offset", "orderflip"}};
tv::Signature<3> sig_u32{"read_uint32_with_orderflip", {"data", "offset", "orderflip"}};
tv::Signature<3> sig_u64{"read_uint64_with_orderflip", {"data", "offset", "orderflip"}};
tv::Signature<3> sig_f32{"read_float_with_orderflip", {"data", "offset", "orderflip"}};
tv::Signature<3> sig_f64{"read_double_with_orderflip", {"data", "offset", "orderflip"}};

PyObject *read_uint16(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    return read_scalar<uint16_t, void>(sig_u16, __LINE__, args, nargsf, kwnames);
}
PyObject *read_uint32(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    return read_scalar<uint32_t, void>(sig_u32, __LINE__, args, nargsf, kwnames);
}
PyObject *read_uint64(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    return read_scalar<uint64_t, void>(sig_u64, __LINE__, args, nargsf, kwnames);
}
PyObject *read_float(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    return read_scalar<uint32_t, AsFloat>(sig_f32, __LINE__, args, nargsf, kwnames);
}
PyObject *read_double(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames)
{
    return read_scalar<uint64_t, AsDouble>(sig_f64, __LINE__, args, nargsf, kwnames);
}

PyMethodDef methods[] = {
    tv::fastcall_method(sig_u16.func, read_uint16), tv::fastcall_method(sig_u32.func, read_uint32),
    tv::fastcall_method(sig_u64.func, read_uint64), tv::fastcall_method(sig_f32.func, read_float),
    tv::fastcall_method(sig_f64.func, read_double), {nullptr, nullptr, 0, nullptr},
};

const char module_doc[] =
    "\nThe following are faster versions of struct.unpack that avoid the overhead of Python\n"
    "function calls.\n"
    "\n"
    "In the SAS7BDAT parser, they may be called up to (n_rows * n_cols) times.\n";

PyObject *module_create(PyObject *spec, PyModuleDef *) { return life.create(spec); }

int module_exec(PyObject *m)
{
    int state = life.begin_exec(m);
    if (state <= 0)
        return state;
    for (tv::Signature<3> *sig : {&sig_u16, &sig_u32, &sig_u64, &sig_f32, &sig_f64})
        if (sig->init() < 0)
            return life.fail_exec();
    if (PyModule_AddFunctions(m, methods) < 0)
        return life.fail_exec();
    return 0;
}

PyModuleDef_Slot slots[] = {TV_MODULE_SLOTS(module_create, module_exec)};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "orderflip", module_doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_orderflip(void) { return PyModuleDef_Init(&module_def); }
