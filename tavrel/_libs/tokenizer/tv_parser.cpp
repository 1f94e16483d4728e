// The tavrel_parser module: no Python-level functions; it publishes the
// tokenizer, the source reader and the converters to other native modules
// as one table of function pointers (ParserApi, tavrel/parser_api.h) in a
// capsule set on the package `tavrel`.  A table once published stays for
// good (common/capsule.hpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tavrel/parser_api.h>

#include "common/capsule.hpp"
#include "common/pyref.hpp"
#include "tokenizer/converters.h"
#include "tokenizer/py_converters.h"
#include "tokenizer/source_reader.h"
#include "tokenizer/text_parser.h"

static_assert(sizeof(Py_ssize_t) == sizeof(ptrdiff_t), "want_fields is a Py_ssize_t");

namespace {

// Row-skip predicate of the tokenizer, which may run without the lock.
int call_skip_predicate(void *predicate, uint64_t source_row) noexcept
{
    PyGILState_STATE gil = PyGILState_Ensure();
    int skip = -1;
    {
        tv::Ref row(PyLong_FromUnsignedLongLong(source_row));
        if (row) {
            tv::Ref result(PyObject_CallOneArg(static_cast<PyObject *>(predicate), row.get()));
            if (result) {
                skip = PyObject_IsTrue(result.get());
            }
        }
    }
    PyGILState_Release(gil);
    return skip;
}

TextParser *table_parser_alloc() noexcept
{
    TextParser *p = tv::parser_alloc();
    if (p != nullptr) {
        tv::parser_set_predicate_caller(p, call_skip_predicate);
    }
    return p;
}

ReadSource *table_source_open(PyObject *obj) noexcept { return tv::source_open(obj); }

void fill_table(ParserApi *api) noexcept
{
    api->text_to_double = tv::text_to_double;
    api->object_to_double = tv::object_to_double;
    api->uint_scan_reset = tv::uint_scan_reset;
    api->uint_scan_conflict = tv::uint_scan_conflict;
    api->parse_int64 = tv::parse_int64;
    api->parse_uint64 = tv::parse_uint64;
    api->parse_double_fast = tv::parse_double_fast;
    api->parse_double_precise = tv::parse_double_precise;
    api->parse_double_roundtrip = tv::parse_double_roundtrip;
    api->parse_bool = tv::parse_bool;
    api->source_open = table_source_open;
    api->source_close = tv::source_close;
    api->source_read = tv::source_read;
    api->column_cursor_init = tv::column_cursor_init;
    api->parser_alloc = table_parser_alloc;
    api->parser_setup = tv::parser_setup;
    api->parser_release = tv::parser_release;
    api->parser_dealloc = tv::parser_dealloc;
    api->parser_skip_row = tv::parser_skip_row;
    api->parser_skip_leading_rows = tv::parser_skip_leading_rows;
    api->parser_apply_defaults = tv::parser_apply_defaults;
    api->parser_discard_rows = tv::parser_discard_rows;
    api->parser_shrink_buffers = tv::parser_shrink_buffers;
    api->tokenize_to_end = tv::tokenize_to_end;
    api->tokenize_row_count = tv::tokenize_row_count;
}

const tv::TableCapsule table_capsule{TV_PARSER_PACKAGE_ATTR, TV_PARSER_CAPSULE_NAME,
                                     "tv_parser could not import module tavrel"};

// Publishes the table, or keeps the one an earlier execution published.
int tv_parser_exec(PyObject *) noexcept { return tv::publish_table_once(table_capsule, fill_table); }

tv::TableModule table_module{"tavrel._libs.tavrel_parser", "Internal module with parser support for other extensions",
                             tv_parser_exec};

}  // namespace

PyMODINIT_FUNC PyInit_tavrel_parser(void) { return PyModuleDef_Init(&table_module.def); }
