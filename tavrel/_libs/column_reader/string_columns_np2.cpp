// StringDType columns through NumPy 2's string API.  This unit is built for
// the NumPy 2.0 C API (meson.build) and keeps its own copy of NumPy's
// function table, imported only when the running NumPy is 2.0 or later.
#include "string_columns.hpp"

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>

#if NPY_FEATURE_VERSION < NPY_2_0_API_VERSION
#error "string_columns_np2.cpp must be built for the NumPy 2.0 C API"
#endif

#include "common/pyref.hpp"
#include "utf8_check.hpp"

namespace tv::reader {

namespace {

PyObject *string_dtype_class = nullptr;  // numpy.dtypes.StringDType, kept for the process

int import_numpy2() noexcept
{
    import_array1(-1);
    return 0;
}

}  // namespace

bool strings_np2_init() noexcept
{
    if (import_numpy2() < 0)
        return false;
    Ref dtypes(PyImport_ImportModule("numpy.dtypes"));
    if (!dtypes)
        return false;
    Ref cls(PyObject_GetAttrString(dtypes.get(), "StringDType"));
    if (!cls)
        return false;
    Py_XSETREF(string_dtype_class, cls.release());
    return true;
}

PyObject *strings_np2_new(Py_ssize_t n) noexcept
{
    if (string_dtype_class == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the NumPy 2 string API was not initialised");
        return nullptr;
    }
    Ref descr(PyObject_CallNoArgs(string_dtype_class));
    if (!descr)
        return nullptr;
    if (!PyArray_DescrCheck(descr.get())) {
        PyErr_SetString(PyExc_TypeError, "numpy.dtypes.StringDType() did not return a dtype");
        return nullptr;
    }
    npy_intp dims[1] = {n};
    // The array takes over the descriptor reference; its slots start as
    // empty strings.
    return PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr *>(descr.release()), 1, dims, nullptr,
                                nullptr, 0, nullptr);
}

bool strings_np2_pack(PyObject *array, Py_ssize_t start, const TextRef *texts, size_t count, const char *errors,
                      bool check) noexcept
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(array);
    if (start < 0 || static_cast<size_t>(PyArray_SIZE(arr) - start) < count) {
        PyErr_SetString(PyExc_RuntimeError, "text column slots out of range");
        return false;
    }
    char *out = PyArray_BYTES(arr);
    const npy_intp itemsize = PyArray_ITEMSIZE(arr);
    npy_string_allocator *allocator =
        NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject *>(PyArray_DESCR(arr)));
    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        const TextRef &t = texts[i];
        if (t.size == SIZE_MAX)
            continue;
        npy_packed_static_string *slot =
            reinterpret_cast<npy_packed_static_string *>(out + (start + static_cast<npy_intp>(i)) * itemsize);
        const char *text = t.text;
        Py_ssize_t length = static_cast<Py_ssize_t>(t.size);
        Ref decoded;
        if (check && !utf8_valid(text, t.size)) {
            // Decoded by the errors handler; what it gives must be UTF-8 again.
            decoded.reset(PyUnicode_DecodeUTF8(text, length, errors));
            text = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &length) : nullptr;
            if (text == nullptr) {
                if (decoded) {
                    PyErr_Format(PyExc_ValueError,
                                 "encoding_errors=%s leaves text that is not UTF-8 (lone surrogates), "
                                 "which a StringDType array cannot hold",
                                 errors != nullptr ? errors : "strict");
                }
                ok = false;
                break;
            }
        }
        if (NpyString_pack(allocator, slot, text, static_cast<size_t>(length)) < 0) {
            PyErr_NoMemory();
            ok = false;
        }
    }
    NpyString_release_allocator(allocator);
    return ok;
}

bool strings_np2_pack_nogil(PyObject *array, Py_ssize_t start, const TextRef *texts, size_t count) noexcept
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(array);
    char *out = PyArray_BYTES(arr);
    const npy_intp itemsize = PyArray_ITEMSIZE(arr);
    npy_string_allocator *allocator =
        NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject *>(PyArray_DESCR(arr)));
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        const TextRef &t = texts[i];
        if (t.size == SIZE_MAX)
            continue;
        npy_packed_static_string *slot =
            reinterpret_cast<npy_packed_static_string *>(out + (start + static_cast<npy_intp>(i)) * itemsize);
        if (NpyString_pack(allocator, slot, t.text, t.size) < 0) {
            ok = false;
            break;
        }
    }
    NpyString_release_allocator(allocator);
    return ok;
}

}  // namespace tv::reader
