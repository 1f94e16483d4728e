// StringDType text for the Arrow export, through NumPy 2's string API.
// Built for the NumPy 2.0 C API with its own copy of NumPy's table,
// imported only when the running NumPy is 2.0 or later.
#include "arrow_export.hpp"

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>

#if NPY_FEATURE_VERSION < NPY_2_0_API_VERSION
#error "arrow_strings_np2.cpp must be built for the NumPy 2.0 C API"
#endif

namespace tv::reader {

namespace {

int import_numpy2() noexcept
{
    import_array1(-1);
    return 0;
}

}  // namespace

bool arrow_strings_np2_init() noexcept { return import_numpy2() == 0; }

bool arrow_strings_np2_gather(PyObject *array, const uint8_t *missing, arrow::TextGather *out) noexcept
{
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(array);
    if (!PyArray_Check(array) || PyArray_NDIM(arr) != 1 || PyArray_DESCR(arr)->type_num != NPY_VSTRING) {
        PyErr_SetString(PyExc_TypeError, "expected a 1-d StringDType array");
        return false;
    }
    const npy_intp n = PyArray_DIM(arr, 0);
    const npy_intp stride = PyArray_STRIDE(arr, 0);
    const char *base = PyArray_BYTES(arr);
    if (!out->begin(n)) {
        PyErr_NoMemory();
        return false;
    }
    npy_string_allocator *allocator =
        NpyString_acquire_allocator(reinterpret_cast<PyArray_StringDTypeObject *>(PyArray_DESCR(arr)));
    int failed = 0;  // 1: a string could not be read, 2: no memory
    for (npy_intp i = 0; i < n && failed == 0; ++i) {
        if (missing != nullptr && missing[i] != 0) {
            failed = out->append("", 0) ? 0 : 2;
            continue;
        }
        npy_static_string s = {0, nullptr};
        const int r =
            NpyString_load(allocator, reinterpret_cast<const npy_packed_static_string *>(base + i * stride), &s);
        if (r < 0)
            failed = 1;
        else if (r == 1)
            failed = out->append_null() ? 0 : 2;
        else
            failed = out->append(s.buf, s.size) ? 0 : 2;
    }
    NpyString_release_allocator(allocator);
    if (failed == 1)
        PyErr_SetString(PyExc_MemoryError, "a StringDType string could not be read");
    else if (failed == 2)
        PyErr_NoMemory();
    return failed == 0;
}

}  // namespace tv::reader
