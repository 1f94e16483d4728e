// Reader over a Python file-like object: calls read(size) and accepts bytes,
// or text, which is encoded as UTF-8 under the caller's error handler.
#include "source_reader.h"

#include <stdlib.h>

#include <utility>

#include "common/pyref.hpp"
#include "text_parser.h"

struct ReadSource {
    PyObject *obj;          // owned
    PyObject *last_result;  // owned bytes of the latest read, or null
};

namespace tv {

ReadSource *source_open(PyObject *obj) noexcept
{
    ReadSource *src = static_cast<ReadSource *>(malloc(sizeof(ReadSource)));
    if (src == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    Py_INCREF(obj);
    src->obj = obj;
    src->last_result = nullptr;
    return src;
}

void source_close(void *handle) noexcept
{
    ReadSource *src = static_cast<ReadSource *>(handle);
    if (src == nullptr) {
        return;
    }
    Py_CLEAR(src->last_result);
    Py_CLEAR(src->obj);
    free(src);
}

namespace {

char *read_locked(ReadSource *src, int64_t size_wanted, size_t *size_read, int *status,
                  const char *encoding_errors) noexcept
{
    // The previous chunk dies here.
    Py_CLEAR(src->last_result);

    // A size the object cannot serve is for read() to refuse.
    Ref size(PyLong_FromLongLong(size_wanted));
    Ref method;
    Ref result;
    if (size) {
        method.reset(PyObject_GetAttrString(src->obj, "read"));
    }
    if (method) {
        result.reset(PyObject_CallOneArg(method.get(), size.get()));
    }
    if (!result) {
        *size_read = 0;
        *status = TV_READ_FAILED;
        return nullptr;
    }
    if (!PyBytes_Check(result.get())) {
        // Text (or anything else, which fails here with the codec's error).
        Ref encoded(PyUnicode_AsEncodedString(result.get(), "utf-8", encoding_errors));
        if (!encoded) {
            return nullptr;
        }
        result = std::move(encoded);
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(result.get());
    *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
    src->last_result = result.release();
    *size_read = static_cast<size_t>(n);
    return PyBytes_AS_STRING(src->last_result);
}

}  // namespace

char *source_read_wide(void *handle, int64_t size_wanted, size_t *size_read, int *status,
                       const char *encoding_errors) noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    char *data = read_locked(static_cast<ReadSource *>(handle), size_wanted, size_read, status, encoding_errors);
    PyGILState_Release(gil);
    return data;
}

char *source_read(void *handle, size_t size_wanted, size_t *size_read, int *status,
                  const char *encoding_errors) noexcept
{
    // The size goes over as the signed value it stands for (a chunk size of
    // -1 asks for everything).
    return source_read_wide(handle, static_cast<Py_ssize_t>(size_wanted), size_read, status, encoding_errors);
}

namespace {

// Registered when the module is loaded, before a client can take the
// reader from the function table.
const WideReader kWideReader = {source_read, source_read_wide};
[[maybe_unused]] const bool kWideReaderRegistered = (register_wide_reader(&kWideReader), true);

}  // namespace

}  // namespace tv
