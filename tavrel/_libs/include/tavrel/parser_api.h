/*
 * tavrel/parser_api.h: the delimited-text parser's function table for native
 * client modules.
 *
 * Usage from a client extension (C or C++):
 *
 *     #include <Python.h>
 *     #include <tavrel/parser_api.h>
 *
 *     static const ParserApi *api;
 *     ...
 *     api = tavrel_parser_api_import();      // with the GIL held, once
 *     if (api == NULL) return NULL;           // an exception is set
 *     TextParser *p = api->parser_alloc();
 *
 * The table is a plain array of 25 function pointers; `ParserApi` names them
 * in slot order, and `TV_PARSER_SLOT_*` gives each slot's index for clients
 * that index the array by position.  The record layouts below are part of
 * the interface: clients read and write their fields directly.
 *
 * The package's own converters, tokenizer and reader have exactly the
 * function types below (tv_text_to_double_fn etc.): the module assigns each
 * to its slot, so a signature that drifted would not compile.  UintScan is
 * defined here only; the converters' header includes this one.
 *
 * The header does not need <Python.h>; a Python object pointer is spelled
 * `struct _object *`, which is what `PyObject *` is.
 */
#ifndef TAVREL_PARSER_API_H
#define TAVREL_PARSER_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TV_PARSER_CAPSULE_NAME "tavrel._tavrel_parser_CAPI"
#define TV_PARSER_PACKAGE_ATTR "_tavrel_parser_CAPI"
#define TV_PARSER_MODULE_NAME "tavrel._libs.tavrel_parser"
#define TV_PARSER_API_SLOTS 25

struct _object;

/* Tokenizer states (TextParser.tok_state). */
typedef enum TokState {
    RowStart = 0,
    FieldStart = 1,
    AfterEscape = 2,
    InField = 3,
    InQuotes = 4,
    EscapeInQuotes = 5,
    QuoteInQuotes = 6,
    AfterCR = 7,
    AfterCRQuiet = 8,
    SkipSpaces = 9,
    InComment = 10,
    InCommentRow = 11,
    BlankRowCheck = 12,
    SkippedFieldStart = 13,
    SkippedInField = 14,
    SkippedInQuotes = 15,
    SkippedQuoteInQuotes = 16,
    Finished = 17
} TokState;

/* What to do with a row that has too many fields (TextParser.bad_row_mode). */
typedef enum BadRowMode { BadRowRaise = 0, BadRowWarn = 1, BadRowDrop = 2 } BadRowMode;

/* Read status written by a read function. */
enum { TV_READ_OK = 0, TV_READ_EOF = 1, TV_READ_FAILED = 2 };

/* Set of source row numbers to skip; opaque. */
typedef struct SkipRowSet SkipRowSet;
/* Reader handle over a Python file-like object; opaque. */
typedef struct ReadSource ReadSource;

/* (handle, size wanted, out size read, out status, encoding-errors text)
 * -> bytes read, or NULL.  The bytes stay valid until the next call. */
typedef char *(*tv_read_fn)(void *handle, size_t size_wanted, size_t *size_read, int *status,
                            const char *encoding_errors);
typedef void (*tv_release_fn)(void *handle);

typedef struct TextParser {
    void *src_handle;               /*  1 */
    tv_read_fn read_fn;             /*  2 */
    tv_release_fn release_fn;       /*  3 */
    int64_t chunk_bytes;            /*  4 */
    char *chunk;                    /*  5 */
    int64_t chunk_len;              /*  6 */
    int64_t chunk_pos;              /*  7 */
    char *text_buf;                 /*  8 */
    uint64_t text_len;              /*  9 */
    uint64_t text_cap;              /* 10 */
    char **field_ptrs;              /* 11 */
    int64_t *field_offsets;         /* 12 */
    uint64_t field_count;           /* 13 */
    uint64_t field_cap;             /* 14 */
    uint64_t field_cap_peak;        /* 15 */
    char *cur_field_ptr;            /* 16 */
    int64_t cur_field_offset;       /* 17 */
    int64_t *row_first_field;       /* 18 */
    int64_t *row_field_count;       /* 19 */
    uint64_t row_count;             /* 20 */
    uint64_t source_rows;           /* 21 */
    uint64_t row_cap;               /* 22 */
    int tok_state;                  /* 23 TokState */
    int quote_doubling;             /* 24 */
    char sep;                       /* 25 */
    int split_on_blanks;            /* 26 */
    char quote;                     /* 27 */
    char escape;                    /* 28 */
    char row_end;                   /* 29 */
    int skip_space_after_sep;       /* 30 */
    int quote_mode;                 /* 31 3 = no quote processing */
    char comment;                   /* 32 */
    int newline_in_quotes;          /* 33 */
    int column_subset;              /* 34 */
    ptrdiff_t want_fields;          /* 35 Py_ssize_t */
    int bad_row_mode;               /* 36 BadRowMode */
    char decimal_mark;              /* 37 */
    char exponent_mark;             /* 38 */
    char group_mark;                /* 39 */
    int reserved_int;               /* 40 the client's */
    int64_t reserved_int64;         /* 41 the client's */
    uint64_t last_header_row;       /* 42 UINT64_MAX = no header */
    SkipRowSet *skip_rows;          /* 43 */
    struct _object *skip_predicate; /* 44 borrowed PyObject * */
    int64_t skip_below_row;         /* 45 */
    int64_t reserved_counter;       /* 46 the client's; zeroed by the defaults */
    void *reserved_ptr;             /* 47 the client's */
    char *warning_text;             /* 48 */
    char *error_text;               /* 49 */
    int drop_blank_rows;            /* 50 */
} TextParser;

/* Column c of the k-th row after the first row of interest is
 * field_ptrs[first_field_of_row[k] + column]. */
typedef struct ColumnCursor {
    char **field_ptrs;
    int64_t *first_field_of_row;
    int64_t column;
} ColumnCursor;

/* What parse_uint64 saw in a column (the client resets it per column). */
typedef struct UintScan {
    int seen_negative;     /* a text with a leading minus went to parse_uint64 */
    int seen_above_signed; /* parse_uint64 returned a value above the signed maximum */
    int seen_missing;      /* a missing value was met (set by the client only) */
} UintScan;

/* Function types of the slots, in slot order. */
typedef int (*tv_text_to_double_fn)(const char *text, double *out, char exponent_mark, char decimal_mark,
                                    int *maybe_int);
typedef int (*tv_object_to_double_fn)(struct _object *obj, double *out, int *maybe_int);
typedef ReadSource *(*tv_source_open_fn)(struct _object *obj);
typedef void (*tv_source_close_fn)(void *handle); /* a tv_release_fn */
typedef char *(*tv_source_read_fn)(void *handle, size_t size_wanted, size_t *size_read, int *status,
                                   const char *encoding_errors); /* a tv_read_fn */
typedef void (*tv_uint_scan_reset_fn)(UintScan *scan);
typedef int (*tv_uint_scan_conflict_fn)(UintScan *scan);
typedef void (*tv_column_cursor_init_fn)(ColumnCursor *cursor, TextParser *parser, int64_t column, int64_t first_row);
typedef TextParser *(*tv_parser_alloc_fn)(void);
typedef int (*tv_parser_setup_fn)(TextParser *parser);
typedef void (*tv_parser_release_fn)(TextParser *parser);
typedef void (*tv_parser_dealloc_fn)(TextParser *parser);
typedef int (*tv_parser_skip_row_fn)(TextParser *parser, int64_t row);
typedef void (*tv_parser_skip_leading_rows_fn)(TextParser *parser, int64_t count);
typedef void (*tv_parser_apply_defaults_fn)(TextParser *parser);
typedef int (*tv_parser_discard_rows_fn)(TextParser *parser, size_t row_count);
typedef int (*tv_parser_shrink_buffers_fn)(TextParser *parser);
typedef int (*tv_tokenize_to_end_fn)(TextParser *parser, const char *encoding_errors);
typedef int (*tv_tokenize_row_count_fn)(TextParser *parser, size_t row_count, const char *encoding_errors);
typedef int64_t (*tv_parse_int64_fn)(const char *text, int64_t min_value, int64_t max_value, int *error,
                                     char group_mark);
typedef uint64_t (*tv_parse_uint64_fn)(UintScan *scan, const char *text, int64_t signed_max, uint64_t max_value,
                                       int *error, char group_mark);
typedef double (*tv_parse_double_fn)(const char *text, char **end, char decimal_mark, char exponent_mark,
                                     char group_mark, int skip_trailing, int *error, int *maybe_int);
typedef int (*tv_parse_bool_fn)(const char *text, uint8_t *out);

typedef struct ParserApi {
    tv_text_to_double_fn text_to_double;                     /*  0 */
    tv_object_to_double_fn object_to_double;                 /*  1 GIL held */
    tv_source_open_fn source_open;                           /*  2 GIL held */
    tv_source_close_fn source_close;                         /*  3 GIL held */
    tv_source_read_fn source_read;                           /*  4 takes the GIL */
    tv_uint_scan_reset_fn uint_scan_reset;                   /*  5 */
    tv_uint_scan_conflict_fn uint_scan_conflict;             /*  6 */
    tv_column_cursor_init_fn column_cursor_init;             /*  7 */
    tv_parser_alloc_fn parser_alloc;                         /*  8 */
    tv_parser_setup_fn parser_setup;                         /*  9 */
    tv_parser_release_fn parser_release;                     /* 10 */
    tv_parser_dealloc_fn parser_dealloc;                     /* 11 */
    tv_parser_skip_row_fn parser_skip_row;                   /* 12 */
    tv_parser_skip_leading_rows_fn parser_skip_leading_rows; /* 13 */
    tv_parser_apply_defaults_fn parser_apply_defaults;       /* 14 */
    tv_parser_discard_rows_fn parser_discard_rows;           /* 15 */
    tv_parser_shrink_buffers_fn parser_shrink_buffers;       /* 16 */
    tv_tokenize_to_end_fn tokenize_to_end;                   /* 17 takes the GIL for Python calls */
    tv_tokenize_row_count_fn tokenize_row_count;             /* 18 takes the GIL for Python calls */
    tv_parse_int64_fn parse_int64;                           /* 19 */
    tv_parse_uint64_fn parse_uint64;                         /* 20 */
    tv_parse_double_fn parse_double_fast;                    /* 21 */
    tv_parse_double_fn parse_double_precise;                 /* 22 */
    tv_parse_double_fn parse_double_roundtrip;               /* 23 takes the GIL */
    tv_parse_bool_fn parse_bool;                             /* 24 */
} ParserApi;

enum {
    TV_PARSER_SLOT_TEXT_TO_DOUBLE = 0,
    TV_PARSER_SLOT_OBJECT_TO_DOUBLE = 1,
    TV_PARSER_SLOT_SOURCE_OPEN = 2,
    TV_PARSER_SLOT_SOURCE_CLOSE = 3,
    TV_PARSER_SLOT_SOURCE_READ = 4,
    TV_PARSER_SLOT_UINT_SCAN_RESET = 5,
    TV_PARSER_SLOT_UINT_SCAN_CONFLICT = 6,
    TV_PARSER_SLOT_COLUMN_CURSOR_INIT = 7,
    TV_PARSER_SLOT_PARSER_ALLOC = 8,
    TV_PARSER_SLOT_PARSER_SETUP = 9,
    TV_PARSER_SLOT_PARSER_RELEASE = 10,
    TV_PARSER_SLOT_PARSER_DEALLOC = 11,
    TV_PARSER_SLOT_PARSER_SKIP_ROW = 12,
    TV_PARSER_SLOT_PARSER_SKIP_LEADING_ROWS = 13,
    TV_PARSER_SLOT_PARSER_APPLY_DEFAULTS = 14,
    TV_PARSER_SLOT_PARSER_DISCARD_ROWS = 15,
    TV_PARSER_SLOT_PARSER_SHRINK_BUFFERS = 16,
    TV_PARSER_SLOT_TOKENIZE_TO_END = 17,
    TV_PARSER_SLOT_TOKENIZE_ROW_COUNT = 18,
    TV_PARSER_SLOT_PARSE_INT64 = 19,
    TV_PARSER_SLOT_PARSE_UINT64 = 20,
    TV_PARSER_SLOT_PARSE_DOUBLE_FAST = 21,
    TV_PARSER_SLOT_PARSE_DOUBLE_PRECISE = 22,
    TV_PARSER_SLOT_PARSE_DOUBLE_ROUNDTRIP = 23,
    TV_PARSER_SLOT_PARSE_BOOL = 24
};

/* Layout checks: the field offsets clients compile against. */
#ifdef __cplusplus
#define TV_PARSER_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TV_PARSER_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

TV_PARSER_STATIC_ASSERT(sizeof(ParserApi) == TV_PARSER_API_SLOTS * sizeof(void (*)(void)),
                        "ParserApi is an array of 25 function pointers");
TV_PARSER_STATIC_ASSERT(offsetof(ParserApi, parse_bool) == 24 * sizeof(void (*)(void)), "ParserApi slot order");
TV_PARSER_STATIC_ASSERT(sizeof(UintScan) == 3 * sizeof(int), "UintScan layout");

#if UINTPTR_MAX == UINT64_MAX
/* LP64 (x86_64, aarch64). */
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, chunk_bytes) == 24, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, text_buf) == 56, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, field_ptrs) == 80, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, cur_field_ptr) == 120, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, row_first_field) == 136, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, tok_state) == 176, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, sep) == 184, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, quote) == 192, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, skip_space_after_sep) == 196, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, want_fields) == 216, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, bad_row_mode) == 224, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, reserved_int) == 232, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, last_header_row) == 248, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, skip_predicate) == 264, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, warning_text) == 296, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, drop_blank_rows) == 312, "TextParser layout");
TV_PARSER_STATIC_ASSERT(sizeof(TextParser) == 320, "TextParser layout");
TV_PARSER_STATIC_ASSERT(sizeof(ColumnCursor) == 24, "ColumnCursor layout");
#elif UINTPTR_MAX == UINT32_MAX && defined(__arm__)
/* 32-bit ARM EABI: 64-bit integers are 8-byte aligned. */
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, chunk_bytes) == 16, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, text_buf) == 48, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, field_ptrs) == 72, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, cur_field_ptr) == 104, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, row_first_field) == 120, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, tok_state) == 152, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, sep) == 160, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, quote) == 168, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, skip_space_after_sep) == 172, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, want_fields) == 192, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, bad_row_mode) == 196, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, reserved_int) == 204, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, last_header_row) == 216, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, skip_predicate) == 228, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, warning_text) == 252, "TextParser layout");
TV_PARSER_STATIC_ASSERT(offsetof(TextParser, drop_blank_rows) == 260, "TextParser layout");
TV_PARSER_STATIC_ASSERT(sizeof(TextParser) == 264, "TextParser layout");
TV_PARSER_STATIC_ASSERT(sizeof(ColumnCursor) == 16, "ColumnCursor layout");
#endif

#undef TV_PARSER_STATIC_ASSERT

/* Imports the parser module and returns its table; NULL with an exception
 * set on failure.  Needs <Python.h> included first and the GIL held. */
#ifdef Py_PYTHON_H
static inline const ParserApi *tavrel_parser_api_import(void)
{
    PyObject *mod = PyImport_ImportModule(TV_PARSER_MODULE_NAME);
    if (mod == NULL) {
        return NULL;
    }
    Py_DECREF(mod);
    return (const ParserApi *)PyCapsule_Import(TV_PARSER_CAPSULE_NAME, 0);
}
#endif

#ifdef __cplusplus
}
#endif

#endif /* TAVREL_PARSER_API_H */
