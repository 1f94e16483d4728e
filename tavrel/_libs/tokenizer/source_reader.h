// Reader over a Python file-like object, for TextParser.read_fn.
//
// A ReadSource holds the object and the result of its latest read(size); the
// tokenizer's chunk points into that result until the next read.  source_read
// takes the interpreter lock itself, so the tokenizer may run without it;
// source_open and source_close need it held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tavrel/parser_api.h>

namespace tv {

ReadSource *source_open(PyObject *obj) noexcept;
void source_close(void *handle) noexcept;
char *source_read(void *handle, size_t size_wanted, size_t *size_read, int *status,
                  const char *encoding_errors) noexcept;
// source_read with the size as a signed 64-bit value, whatever the platform's
// sizes (the tokenizer calls it in place of source_read).
char *source_read_wide(void *handle, int64_t size_wanted, size_t *size_read, int *status,
                       const char *encoding_errors) noexcept;

}  // namespace tv
