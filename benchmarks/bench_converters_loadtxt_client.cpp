// Native client of the parser table for bench_converters_loadtxt.py: reads a
// numeric delimited file from a Python file object in batches of rows and
// converts every field with one of the table's float parsers, as a client
// extension module would.  Built by the script with the system compiler
// against tavrel.get_include(); not part of the package.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tavrel/parser_api.h>

#include <cstdint>

// Stores the values row after row into out (at most capacity of them) and
// returns how many fields there were, or -1 with an exception set.  mode:
// 0 parse_double_precise, 1 parse_double_fast, 2 tokenize only.  A field
// the parser does not take whole raises ValueError.  Called with the
// interpreter lock held; the reader takes it again for its read calls.
extern "C" Py_ssize_t tv_bench_read_doubles(PyObject *file, double *out, Py_ssize_t capacity, int mode)
{
    const ParserApi *api = tavrel_parser_api_import();
    if (api == nullptr)
        return -1;
    const tv_parse_double_fn parse = mode == 1 ? api->parse_double_fast : api->parse_double_precise;
    const bool tokenize_only = mode == 2;

    TextParser *p = api->parser_alloc();
    if (p == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    api->parser_apply_defaults(p);
    if (api->parser_setup(p) != 0) {
        api->parser_dealloc(p);
        PyErr_NoMemory();
        return -1;
    }
    p->last_header_row = UINT64_MAX;
    p->chunk_bytes = 256 * 1024;
    ReadSource *source = api->source_open(file);
    if (source == nullptr) {
        api->parser_release(p);
        api->parser_dealloc(p);
        return -1;
    }
    p->src_handle = source;
    p->read_fn = api->source_read;
    p->release_fn = api->source_close;

    Py_ssize_t count = 0;
    bool failed = false;
    for (;;) {
        const int status = api->tokenize_row_count(p, 4096, nullptr);
        for (uint64_t r = 0; r < p->row_count && !failed; ++r) {
            char **fields = p->field_ptrs + p->row_first_field[r];
            const int64_t width = p->row_field_count[r];
            if (tokenize_only) {
                count += width;
                continue;
            }
            for (int64_t c = 0; c < width; ++c) {
                int error = 0;
                char *end = nullptr;
                const double value = parse(fields[c], &end, '.', 'E', '\0', 1, &error, nullptr);
                if (error != 0 || *end != '\0') {
                    PyErr_Format(PyExc_ValueError, "could not convert \"%s\"", fields[c]);
                    failed = true;
                    break;
                }
                if (count < capacity)
                    out[count] = value;
                ++count;
            }
        }
        if (failed)
            break;
        api->parser_discard_rows(p, p->row_count);
        api->parser_shrink_buffers(p);
        if (status != 0) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_RuntimeError, "tokenizer stopped: %s", p->error_text ? p->error_text : "(no text)");
            failed = true;
            break;
        }
        if (p->tok_state == Finished)
            break;
    }
    api->parser_release(p);
    api->parser_dealloc(p);
    return failed ? -1 : count;
}
