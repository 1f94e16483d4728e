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

PyObject *strings_np2_array(TextStore &head, TextStore &body, Py_ssize_t n, const char *errors, bool check) noexcept
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
    // The array takes over the descriptor reference.
    Ref array(PyArray_NewFromDescr(&PyArray_Type, reinterpret_cast<PyArray_Descr *>(descr.release()), 1, dims,
                                   nullptr, nullptr, 0, nullptr));
    if (!array)
        return nullptr;
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(array.get());
    char *out = PyArray_BYTES(arr);
    const npy_intp itemsize = PyArray_ITEMSIZE(arr);
    npy_string_allocator *allocator =
        NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject *>(PyArray_DESCR(arr)));
    Py_ssize_t i = 0;
    bool raised = false;
    bool pack_failed = false;
    const bool ok = drain_texts(head, body, [&](const char *text, size_t size) {
        if (i >= n) {
            i = n + 1;
            return false;
        }
        npy_packed_static_string *slot = reinterpret_cast<npy_packed_static_string *>(out + i * itemsize);
        if (check && !utf8_valid(text, size)) {
            // Decoded by the errors handler; what it gives must be UTF-8 again.
            Ref decoded(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(size), errors));
            Py_ssize_t length = 0;
            const char *utf8 = decoded ? PyUnicode_AsUTF8AndSize(decoded.get(), &length) : nullptr;
            if (utf8 == nullptr) {
                if (decoded) {
                    PyErr_Format(PyExc_ValueError,
                                 "encoding_errors=%s leaves text that is not UTF-8 (lone surrogates), "
                                 "which a StringDType array cannot hold",
                                 errors != nullptr ? errors : "strict");
                }
                raised = true;
                return false;
            }
            if (NpyString_pack(allocator, slot, utf8, static_cast<size_t>(length)) < 0) {
                pack_failed = true;
                return false;
            }
        } else if (NpyString_pack(allocator, slot, text, size) < 0) {
            pack_failed = true;
            return false;
        }
        ++i;
        return true;
    });
    NpyString_release_allocator(allocator);
    if (!ok || i != n) {
        head.clear();
        body.clear();
        if (pack_failed)
            PyErr_NoMemory();
        else if (!raised)
            PyErr_SetString(PyExc_RuntimeError, "text column has the wrong number of values");
        return nullptr;
    }
    return array.release();
}

}  // namespace tv::reader
