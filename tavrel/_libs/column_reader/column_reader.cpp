// tavrel._libs.column_reader: delimited text to typed NumPy columns.
//
// A client of the two published function tables, exactly as a third-party
// extension would be: the tokenizer, its source reader and converters are
// reached through the capsule "tavrel._tavrel_parser_CAPI" and the ISO 8601
// parser through "tavrel._tavrel_datetime_CAPI", with the installed headers
// <tavrel/parser_api.h> and <tavrel/datetime_api.h>.
//
// The module's one class, Reader, drives one read; tavrel/_reader.py wraps
// it in read_columns() and iter_columns().  A read goes:
//
//   Reader(source, options)   parser set up over a bytes-like object (read
//                             in place) or any object with read()
//   open()                    reads the header row (or the first data row)
//   configure(...)            the columns to keep and their forced types
//   read() / classify() / next_batch(n)
//                             batches of rows tokenized and converted with
//                             the interpreter lock released; between
//                             batches: signals, warnings, progress, and the
//                             converted rows are discarded
//   pending() / reread(src)   rows some columns still need from their texts
//   result()                  the arrays, the missing masks and the row count
//
// Errors in the data raise tavrel.ParseError (a ValueError) naming the row;
// bad rows under the "warn" policy issue tavrel.ParseWarning.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define NO_IMPORT_UFUNC
#include <numpy/arrayobject.h>

#include <tavrel/datetime_api.h>
#include <tavrel/parser_api.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "arrow_export.hpp"
#include "common/module.hpp"
#include "common/saved_error.hpp"
#include "common/pyref.hpp"
#include "batch_tables.hpp"
#include "reader_engine.hpp"
#include "string_columns.hpp"
#include "thread_pool.hpp"

namespace tv::reader {
namespace {

const ParserApi *api = nullptr;
const tv_datetime_capi *dt_api = nullptr;
PyObject *ParseError = nullptr;    // tavrel.ParseError
PyObject *ParseWarning = nullptr;  // tavrel.ParseWarning
bool numpy2 = false;               // StringDType text columns
PyArray_Descr *datetime_descrs[14] = {};

constexpr int64_t kMaxChunkBytes = int64_t(1) << 26;
constexpr int kMaxThreads = 1024;
constexpr size_t kBatchBytes = size_t(128) << 10;  // text converted per batch

// --- errors --------------------------------------------------------------------

// Raises ParseError(message) with .row set; row <= 0 leaves it None.
void raise_parse_error(int64_t row, const char *format, ...)
{
    va_list va;
    va_start(va, format);
    Ref message(PyUnicode_FromFormatV(format, va));
    va_end(va);
    if (!message)
        return;
    Ref exc(PyObject_CallOneArg(ParseError, message.get()));
    if (!exc)
        return;
    if (row > 0) {
        Ref number(PyLong_FromLongLong(row));
        if (!number || PyObject_SetAttrString(exc.get(), "row", number.get()) < 0)
            return;
    }
    PyErr_SetObject(ParseError, exc.get());
}

// --- options ---------------------------------------------------------------------

struct Options {
    int64_t chunk_bytes = 1 << 20;
    char sep = ',';
    char quote = '"';
    char escape = 0;
    char comment = 0;
    bool quote_doubling = true;
    bool drop_blank_rows = true;
    int bad_rows = BadRowRaise;
    std::string errors = "strict";
    int64_t skip_leading = 0;
    std::vector<int64_t> skip_set;
    bool has_skip_set = false;
    int64_t header = 0;        // -1: none
    int64_t names_count = -1;  // -1: no explicit names
    int64_t max_rows = -1;     // -1: all
    int64_t limit = -1;        // a byte range: no row starts after this many bytes (-1: none)
    bool mid_file = false;     // the source starts inside a file (a byte range)
    int threads = 1;           // threads converting columns
};

// A byte option given as an int: 0..255, and not 0 unless `none_ok`.
bool byte_option(PyObject *value, const char *name, bool none_ok, char *out)
{
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (v < (none_ok ? 0 : 1) || v > 255) {
        PyErr_Format(PyExc_ValueError, "%s must be a single byte%s, not %ld", name, none_ok ? " or 0" : "", v);
        return false;
    }
    *out = static_cast<char>(v);
    return true;
}

// A tuple of bytes objects into strings.
bool bytes_list(PyObject *value, const char *name, std::vector<std::string> *out)
{
    if (value == Py_None)
        return true;
    if (!PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of bytes", name);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        PyObject *item = PyTuple_GET_ITEM(value, i);
        if (!PyBytes_Check(item)) {
            PyErr_Format(PyExc_TypeError, "%s must be a tuple of bytes", name);
            return false;
        }
        try {
            out->emplace_back(PyBytes_AS_STRING(item), static_cast<size_t>(PyBytes_GET_SIZE(item)));
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

bool int_list(PyObject *value, const char *name, std::vector<int64_t> *out)
{
    if (!PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be a tuple of ints", name);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        const long long v = PyLong_AsLongLong(PyTuple_GET_ITEM(value, i));
        if (v == -1 && PyErr_Occurred())
            return false;
        try {
            out->push_back(v);
        } catch (...) {
            PyErr_NoMemory();
            return false;
        }
    }
    return true;
}

// --- one pass over a source ---------------------------------------------------------

// Read status with which a byte range's reader stops the tokenizer where no
// new row may start, so that the reader can look at its state (a status the
// tokenizer hands back unchanged, its state kept for the next run).
constexpr int kPaused = 3;

// The parser and its source for one pass.  A bytes-like source is read in
// place; a plain file through its descriptor; anything else through the
// table's source reader (read(size)).
//
// A byte range is read by a session with a `limit`: the bytes up to the
// limit are handed over in full, then the tokenizer is stopped and looked
// at.  At a row start the data ends there; in a row, the bytes up to the
// next line break (or CR LF) are handed over and the tokenizer looked at
// again, until the row that straddles the limit has ended.  Whether a line
// break ends a row (or lies in a quoted field) is thus the tokenizer's own
// decision.
struct Session {
    TextParser *p = nullptr;
    PyObject *source = nullptr;  // owned
    Py_buffer view{};
    bool has_view = false;
    ReadSource *reader = nullptr;
    int fd = -1;                   // a plain file read natively (the source owns it)
    Buffer chunk;                  // the chunk read from fd
    size_t pos = 0;                // next byte of the view
    uint64_t delivered = 0;        // bytes of the source handed to the tokenizer
    uint64_t total = 0;            // the input's size when known, else 0
    uint64_t first = 0;            // first table row not converted yet
    int64_t first_source_row = 0;  // source row of table row 0 when open() left a data row there
    int64_t width = 0;
    bool finished = false;
    std::string errors;
    TableSet spare;  // tables for the parser when a batch's are taken

    // A byte range (limit >= 0): bytes read but not handed over yet, and
    // what happens at the limit.
    enum class Tail { Open, Paused, ToBreak, AfterBreak, LineFeed, Ended };
    int64_t limit = -1;
    Tail tail = Tail::Open;
    char *held = nullptr;
    size_t held_len = 0;
    bool source_ended = false;
    // A source that starts inside a file: a byte-order mark is handed over
    // first, so that data bytes that look like one are not taken for it.
    bool preamble = false;

    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session() { close(); }

    // Needs the GIL: the source reader is closed here.
    void close() noexcept
    {
        if (p != nullptr) {
            api->parser_release(p);
            api->parser_dealloc(p);
            p = nullptr;
        }
        if (reader != nullptr) {
            api->source_close(reader);
            reader = nullptr;
        }
        if (has_view) {
            PyBuffer_Release(&view);
            has_view = false;
        }
        chunk.clear();
        spare.clear();
        fd = -1;
        held = nullptr;
        held_len = 0;
        Py_CLEAR(source);
    }

    static char *read(void *handle, size_t wanted, size_t *got, int *status, const char *errors) noexcept
    {
        Session *s = static_cast<Session *>(handle);
        if (s->preamble) {
            s->preamble = false;
            *got = 3;
            *status = TV_READ_OK;
            return const_cast<char *>("\xEF\xBB\xBF");
        }
        if (s->limit >= 0)
            return s->read_range(wanted, got, status, errors);
        char *data = s->fetch(wanted, got, status, errors);
        if (data != nullptr)
            s->delivered += *got;
        return data;
    }

    // The next bytes of the source: at most `wanted`, status EOF at its end.
    char *fetch(size_t wanted, size_t *got, int *status, const char *errors) noexcept
    {
        if (has_view) {
            const size_t left = static_cast<size_t>(view.len) - pos;
            const size_t n = wanted < left ? wanted : left;
            char *data = static_cast<char *>(view.buf) + pos;
            pos += n;
            *got = n;
            *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
            return n == 0 ? const_cast<char *>("") : data;
        }
        if (fd >= 0)
            return read_fd(wanted, got, status);
        return api->source_read(reader, wanted, got, status, errors);
    }

    // A plain file, read into one reused buffer without the GIL.
    char *read_fd(size_t wanted, size_t *got, int *status) noexcept
    {
        if (!chunk.resize(wanted)) {
            PyGILState_STATE gil = PyGILState_Ensure();
            PyErr_NoMemory();
            PyGILState_Release(gil);
            *got = 0;
            *status = TV_READ_FAILED;
            return nullptr;
        }
        ssize_t n;
        do {
            n = ::read(fd, chunk.data(), wanted);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            PyGILState_STATE gil = PyGILState_Ensure();
            PyErr_SetFromErrno(PyExc_OSError);
            PyGILState_Release(gil);
            *got = 0;
            *status = TV_READ_FAILED;
            return nullptr;
        }
        *got = static_cast<size_t>(n);
        *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
        return chunk.data();
    }

    // The reader of a byte range (see above).
    char *read_range(size_t wanted, size_t *got, int *status, const char *errors) noexcept
    {
        *got = 0;
        *status = TV_READ_EOF;
        switch (tail) {
        case Tail::Ended:
            return const_cast<char *>("");
        case Tail::AfterBreak:
        case Tail::Paused:
            tail = Tail::Paused;
            *status = kPaused;
            return const_cast<char *>("");
        case Tail::Open:
            if (delivered >= static_cast<uint64_t>(limit)) {
                tail = Tail::Paused;
                *status = kPaused;
                return const_cast<char *>("");
            }
            break;
        default:
            break;
        }
        if (held_len == 0 && !source_ended) {
            // The bytes a source hands out stay valid until its next read,
            // which comes only when they are all handed over.
            size_t n = 0;
            int st = TV_READ_OK;
            char *data = fetch(wanted, &n, &st, errors);
            if (data == nullptr) {
                *status = st;
                return nullptr;
            }
            if (st == TV_READ_EOF || n == 0) {
                source_ended = true;
            } else {
                held = data;
                held_len = n;
            }
        }
        if (held_len == 0) {
            tail = Tail::Ended;
            return const_cast<char *>("");
        }
        size_t n = held_len < wanted ? held_len : wanted;
        switch (tail) {
        case Tail::Open: {
            const uint64_t room = static_cast<uint64_t>(limit) - delivered;
            if (n > room)
                n = static_cast<size_t>(room);
            break;
        }
        case Tail::ToBreak:
            for (size_t i = 0; i < n; ++i) {
                if (held[i] == '\n' || held[i] == '\r') {
                    n = i + 1;
                    tail = Tail::AfterBreak;
                    break;
                }
            }
            break;
        case Tail::LineFeed:
            // The LF of a CR LF that ends the last row.
            tail = Tail::Ended;
            if (held[0] != '\n')
                return const_cast<char *>("");
            n = 1;
            break;
        default:
            break;
        }
        char *data = held;
        held += n;
        held_len -= n;
        delivered += n;
        *got = n;
        *status = TV_READ_OK;
        return data;
    }

    // Bytes of the source the tokenizer has consumed (between runs).
    uint64_t consumed() const noexcept
    {
        const int64_t unread = p != nullptr && p->chunk_pos < p->chunk_len ? p->chunk_len - p->chunk_pos : 0;
        return delivered - static_cast<uint64_t>(unread);
    }

    bool start(PyObject *src, const Options &o, PyObject *predicate, int file = -1) noexcept
    {
        errors = o.errors;
        limit = o.limit;
        preamble = o.mid_file;
        if (file >= 0) {
            fd = file;
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
                const off_t here = lseek(fd, 0, SEEK_CUR);
                total = static_cast<uint64_t>(st.st_size - (here > 0 ? here : 0));
            }
        } else if (PyObject_CheckBuffer(src)) {
            if (PyObject_GetBuffer(src, &view, PyBUF_SIMPLE) < 0)
                return false;
            has_view = true;
            total = static_cast<uint64_t>(view.len);
        } else {
            reader = api->source_open(src);
            if (reader == nullptr)
                return false;
        }
        if (limit >= 0 && (total == 0 || total > static_cast<uint64_t>(limit)))
            total = static_cast<uint64_t>(limit);
        Py_INCREF(src);
        source = src;
        p = api->parser_alloc();
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        api->parser_apply_defaults(p);
        if (api->parser_setup(p) != 0) {
            api->parser_dealloc(p);
            p = nullptr;
            PyErr_NoMemory();
            return false;
        }
        p->src_handle = this;
        p->read_fn = &Session::read;
        p->release_fn = nullptr;
        p->chunk_bytes = o.chunk_bytes;
        p->sep = o.sep;
        p->quote = o.quote;
        p->quote_mode = o.quote == 0 ? 3 : 0;
        p->quote_doubling = o.quote_doubling ? 1 : 0;
        p->escape = o.escape;
        p->comment = o.comment;
        p->drop_blank_rows = o.drop_blank_rows ? 1 : 0;
        p->bad_row_mode = o.bad_rows;
        // Header rows are the reader's business: for the tokenizer every
        // row is data, measured against want_fields once the width is known.
        p->last_header_row = UINT64_MAX;
        p->want_fields = -1;
        if (predicate != nullptr) {
            p->skip_predicate = predicate;
        } else if (o.has_skip_set) {
            for (int64_t row : o.skip_set)
                api->parser_skip_row(p, row);
        } else if (o.skip_leading > 0) {
            api->parser_skip_leading_rows(p, o.skip_leading);
        }
        return true;
    }

    // Tokenizes up to n more rows; a byte range's stops at its limit are
    // decided here.  Without the GIL.
    int run(size_t n) noexcept
    {
        const uint64_t k0 = p->row_count;
        for (;;) {
            const int r = api->tokenize_row_count(p, n - static_cast<size_t>(p->row_count - k0), errors.c_str());
            if (r != kPaused || limit < 0)
                return r;
            switch (p->tok_state) {
            case RowStart:
                tail = Tail::Ended;
                break;
            case AfterCR:
            case AfterCRQuiet:
                tail = Tail::LineFeed;
                break;
            default:
                tail = Tail::ToBreak;
                break;
            }
        }
    }

    // Tokenizes up to n more rows with the GIL released.
    int tokenize(size_t n) noexcept
    {
        int r;
        Py_BEGIN_ALLOW_THREADS
            r = run(n);
        Py_END_ALLOW_THREADS
        return r;
    }

    // Drops converted rows but the last, which stays at the front: the
    // tokenizer never rejects an over-long row at table index 0.
    void discard() noexcept
    {
        if (p->row_count > 1)
            api->parser_discard_rows(p, static_cast<size_t>(p->row_count - 1));
        first = p->row_count;
    }
};

// Sets the exception for a failed tokenizer run.
void tokenizer_failed(Session &s, int status)
{
    if (PyErr_Occurred()) {
        // From read(), the row-skip predicate or the text encoder.  A read()
        // that returned neither bytes nor text fails in the encoder with an
        // obscure TypeError: say what happened.
        const char *text = s.p->error_text != nullptr ? s.p->error_text : "";
        if (PyErr_ExceptionMatches(PyExc_TypeError) && std::strcmp(text, "Unknown error in IO callback") == 0) {
            PyObject *cause = tv::SavedError().release();
            PyErr_SetString(PyExc_TypeError, "source.read() returned an object that is neither bytes nor str");
            tv::SavedError raised;  // pending again when the scope ends
            PyException_SetCause(raised.get(), cause);  // takes the reference
        }
        return;
    }
    if (status != -1) {
        PyErr_Format(PyExc_RuntimeError, "the source's read function reported status %d", status);
        return;
    }
    const char *text = s.p->error_text != nullptr ? s.p->error_text : "";
    long long expected = 0, saw = 0;
    unsigned long long line = 0;
    if (std::sscanf(text, "Expected %lld fields in line %llu, saw %lld", &expected, &line, &saw) == 3) {
        raise_parse_error(static_cast<int64_t>(line), "Expected %lld fields in row %llu, saw %lld", expected, line,
                          saw);
    } else if (std::sscanf(text, "EOF inside string starting at row %llu", &line) == 1) {
        raise_parse_error(static_cast<int64_t>(line + 1),
                          "unclosed quote: the quoted field that starts in row %llu runs to the end of the data",
                          line + 1);
    } else if (std::strcmp(text, "EOF following escape character") == 0) {
        const int64_t row = static_cast<int64_t>(s.p->source_rows) + 1;
        raise_parse_error(row, "the data ends right after an escape byte, in row %lld", static_cast<long long>(row));
    } else if (std::strcmp(text, "out of memory") == 0) {
        PyErr_NoMemory();
    } else if (text[0] == '\0') {
        PyErr_SetString(PyExc_RuntimeError, "the source ended with data left over");
    } else {
        raise_parse_error(0, "%s", text);
    }
}

// Issues a ParseWarning per line of the tokenizer's warning text, which it
// frees.
bool emit_warnings(char *text)
{
    if (text == nullptr)
        return true;
    bool ok = true;
    for (char *line = text; ok && *line != '\0';) {
        char *end = std::strchr(line, '\n');
        if (end != nullptr)
            *end = '\0';
        unsigned long long row = 0;
        long long expected = 0, saw = 0;
        Ref message;
        if (std::sscanf(line, "Skipping line %llu: expected %lld fields, saw %lld", &row, &expected, &saw) == 3)
            message.reset(
                PyUnicode_FromFormat("Skipping row %llu: expected %lld fields, saw %lld", row, expected, saw));
        else
            message.reset(PyUnicode_FromString(line));
        ok = message && PyErr_WarnEx(ParseWarning, PyUnicode_AsUTF8(message.get()), 2) == 0;
        if (end == nullptr)
            break;
        line = end + 1;
    }
    std::free(text);
    return ok;
}

// The tokenizer's warnings so far, taken from the parser.
char *take_warnings(Session &s)
{
    char *text = s.p->warning_text;
    s.p->warning_text = nullptr;
    return text;
}

// --- the Reader class ---------------------------------------------------------------

// Where a batch's rows lie among the source's rows, for error messages.
struct BatchInfo {
    int64_t row0 = 0;         // data row of table row `first`
    uint64_t first = 0;       // first table row of the batch
    uint64_t k0 = 0, k1 = 0;  // table rows before and after tokenizing
    uint64_t s0 = 0, s1 = 0;  // source rows before and after
};

struct FreeText {
    void operator()(char *text) const noexcept { std::free(text); }
};

// One batch on its way: tokenized, converted, handed over.  Its rows are
// table rows [info.first, last) of its own tables, taken from the parser,
// or (when rows are kept for a later fill) of the parser's.
struct BatchRows {
    BatchInfo info;
    uint64_t last = 0;
    TableSet tables;
    RowTable view;
    std::unique_ptr<char, FreeText> warnings;  // the tokenizer's, for these rows
    uint64_t delivered = 0;                    // bytes read when the batch was tokenized (for progress)
    int64_t data_rows = 0;                     // data rows tokenized by then
    uint64_t text_bytes = 0;                   // text the tokenizer stored for the batch

    int64_t rows() const noexcept { return static_cast<int64_t>(last - info.first); }
};

// The array a text column's values go to, filled after each batch from
// the batch's tables: StringDType on NumPy 2, objects on NumPy 1.
struct TextColumn {
    PyObject *array = nullptr;  // owned
    npy_intp cap = 0;           // its length
    int64_t drained = 0;        // rows filled so far
};

struct Impl {
    Impl() = default;
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;
    ~Impl()
    {
        for (TextColumn &t : texts)
            Py_XDECREF(t.array);
    }

    Options opts;
    std::vector<TextColumn> texts;  // one per column read
    std::vector<TextRef> scratch;
    std::vector<int64_t> costs;  // nanoseconds each column took in the last batch
    Engine engine{api, dt_api};
    Session session;
    Ref source;
    Ref predicate;
    bool opened = false;
    bool configured = false;
    bool failed = false;
    int64_t data_rows = 0;  // data rows tokenized so far (for max_rows)
    size_t step = 1024;     // rows per batch
};

struct ReaderObject {
    PyObject_HEAD Impl *impl;
    bool busy;
};

PyTypeObject ReaderType = tv::empty_type_object();

// Marks the reader busy for the length of a method call; a second call
// while the first runs (from read(), a predicate, a progress callback or
// another thread) is refused.
class BusyGuard {
public:
    explicit BusyGuard(ReaderObject *r) : r_(r)
    {
        if (r->impl == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "the reader is closed");
        } else if (r->busy) {
            PyErr_SetString(PyExc_RuntimeError, "the reader is already in use");
        } else if (r->impl->failed) {
            PyErr_SetString(PyExc_RuntimeError, "the reader failed earlier");
        } else {
            r->busy = true;
            ok_ = true;
        }
    }
    ~BusyGuard()
    {
        if (ok_) {
            r_->busy = false;
            if (PyErr_Occurred() && r_->impl != nullptr)
                r_->impl->failed = true;
        }
    }
    bool ok() const { return ok_; }

private:
    ReaderObject *r_;
    bool ok_ = false;
};

// The 1-based source row of a data row of a batch; `exact` is cleared when
// rows that are not data (comments, blank or skipped rows) lie in the batch
// and the row is only known to be at least the result.
int64_t source_row_of(const Impl &im, const BatchInfo &b, int64_t data_row, bool *exact)
{
    const uint64_t r = b.first + static_cast<uint64_t>(data_row - b.row0);
    *exact = true;
    if (r < b.k0)
        return im.session.first_source_row;
    const uint64_t offset = r - b.k0;
    if (b.s1 - b.s0 != b.k1 - b.k0)
        *exact = false;
    return static_cast<int64_t>(b.s0 + offset + 1);
}

const char *kind_name(const Column &c)
{
    switch (c.kind) {
    case Kind::Int64:
        return "int64";
    case Kind::UInt64:
        return "uint64";
    case Kind::Float64:
        return "float64";
    case Kind::Bool:
        return "bool";
    case Kind::Datetime:
        return "datetime64";
    default:
        return "text";
    }
}

void engine_failed(Impl &im, const BatchInfo &b)
{
    const EngineError &e = im.engine.error;
    if (e.code == EngineError::NoMemory) {
        PyErr_NoMemory();
        return;
    }
    if (e.code == EngineError::SourceChanged) {
        raise_parse_error(0, "the source changed between its two reads (data row %lld)",
                          static_cast<long long>(e.row + 1));
        return;
    }
    bool exact;
    const int64_t row = source_row_of(im, b, e.row, &exact);
    const Column &c = *im.engine.columns[e.column];
    Ref text(PyUnicode_DecodeUTF8(e.text.data(), static_cast<Py_ssize_t>(e.text.size()), "backslashreplace"));
    if (!text)
        return;
    const char *where = exact ? "" : " or a later one";
    if (e.code == EngineError::BadUtf8)
        raise_parse_error(row, "row %lld%s, column %lld: text %R is not valid UTF-8 (encoding_errors='strict')",
                          static_cast<long long>(row), where, static_cast<long long>(c.src), text.get());
    else
        raise_parse_error(row, "row %lld%s, column %lld: cannot read %R as %s", static_cast<long long>(row), where,
                          static_cast<long long>(c.src), text.get(), kind_name(c));
}

// Makes the text column's array at least `need` long.  NumPy fills every
// new slot, so spare room costs memory at once: the array grows by an
// eighth, or at once to `hint` (the rows the whole input is expected to
// have), so that it is seldom moved.
bool grow_texts(TextColumn &t, npy_intp need, npy_intp hint = 0)
{
    if (t.array != nullptr && t.cap >= need)
        return true;
    npy_intp cap = t.cap + t.cap / 8;
    if (cap < need)
        cap = need + need / 8;
    if (cap < hint)
        cap = hint;
    if (cap < 1024)
        cap = 1024;
    if (t.array == nullptr) {
        t.array = numpy2 ? strings_np2_new(cap) : PyArray_SimpleNew(1, &cap, NPY_OBJECT);
        if (t.array == nullptr)
            return false;
    } else {
        PyArray_Dims dims = {&cap, 1};
        Ref r(PyArray_Resize(reinterpret_cast<PyArrayObject *>(t.array), &dims, 0, NPY_CORDER));
        if (!r)
            return false;
    }
    t.cap = cap;
    return true;
}

// The rows the whole input should have, from the bytes read so far, when
// the input's size is known (a file or a bytes-like object); else 0.
npy_intp expected_rows(const Impl &im, int64_t rows)
{
    const Session &s = im.session;
    if (s.total == 0 || s.delivered == 0 || rows < 1000)
        return 0;
    const double estimate =
        static_cast<double>(rows) * static_cast<double>(s.total) / static_cast<double>(s.delivered) * 1.02;
    return estimate < 1e15 ? static_cast<npy_intp>(estimate) : 0;
}

// The texts of data rows [from, from + n) of column c.  Rows from
// `first_row` on are table rows `table_first`, ... of `t`; rows before it
// left the tables as missing values ("").  Pending rows are marked to be
// left alone (size SIZE_MAX) unless `pending`.  Pure: runs on any thread.
void text_refs(const Column &c, const RowTable &t, uint64_t table_first, int64_t first_row, int64_t from, size_t n,
               bool pending, TextRef *out) noexcept
{
    for (size_t i = 0; i < n; ++i) {
        const int64_t g = from + static_cast<int64_t>(i);
        TextRef &ref = out[i];
        ref = TextRef{"", 0};
        if (g < c.valid_from && !pending) {
            ref.size = SIZE_MAX;  // filled by the second read
        } else if (g >= first_row && !c.missing_at(g)) {
            const uint64_t r = table_first + static_cast<uint64_t>(g - first_row);
            if (c.src < t.counts[r]) {
                char **field = t.fields + t.first_field[r] + c.src;
                ref.text = field[0];
                ref.size = static_cast<size_t>(field[1] - field[0]) - 1;
            }
        }
    }
}

// Writes the texts of data rows [from, to) of column j into its array (see
// text_refs).  With the GIL.
bool put_texts(Impl &im, size_t j, const RowTable &t, uint64_t table_first, int64_t first_row, int64_t from, int64_t to,
               bool pending)
{
    if (to <= from)
        return true;
    Column &c = *im.engine.columns[j];
    TextColumn &tc = im.texts[j];
    if (!grow_texts(tc, static_cast<npy_intp>(to), expected_rows(im, im.engine.rows())))
        return false;
    try {
        im.scratch.resize(static_cast<size_t>(to - from));
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    text_refs(c, t, table_first, first_row, from, im.scratch.size(), pending, im.scratch.data());
    const char *errors = im.opts.errors.c_str();
    if (numpy2)
        return strings_np2_pack(tc.array, static_cast<Py_ssize_t>(from), im.scratch.data(), im.scratch.size(), errors,
                                c.bad_utf8);
    PyObject **slots = static_cast<PyObject **>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(tc.array)));
    for (size_t i = 0; i < im.scratch.size(); ++i) {
        const TextRef &ref = im.scratch[i];
        if (ref.size == SIZE_MAX)
            continue;
        PyObject *s = PyUnicode_DecodeUTF8(ref.text, static_cast<Py_ssize_t>(ref.size), errors);
        if (s == nullptr)
            return false;
        Py_XSETREF(slots[static_cast<size_t>(from) + i], s);
    }
    return true;
}

// After a batch was converted: its rows of every text column that are not
// in the column's array yet, from the tables into the arrays.  With the GIL.
bool drain_texts(Impl &im, const RowTable &t, uint64_t table_first, int64_t first_row, bool pending)
{
    const int64_t rows = im.engine.rows();
    for (size_t j = 0; j < im.engine.columns.size(); ++j) {
        if (im.engine.columns[j]->kind != Kind::Text)
            continue;
        TextColumn &tc = im.texts[j];
        if (tc.drained < rows && !put_texts(im, j, t, table_first, first_row, tc.drained, rows, pending))
            return false;
        tc.drained = rows;
    }
    return true;
}

// The texts of a batch's settled text column, packed into its array by the
// thread that converted the column, when the array is ready (made and long
// enough beforehand, see prepare_texts) and every text is valid UTF-8 (no
// errors handler to call).  Whatever is left is drained with the GIL.
void pack_texts(Impl &im, size_t j, const BatchRows &b, int64_t end) noexcept
{
    const Column &c = *im.engine.columns[j];
    TextColumn &tc = im.texts[j];
    if (!numpy2 || c.kind != Kind::Text || c.bad_utf8 || tc.array == nullptr || tc.cap < end)
        return;
    TextRef refs[256];
    while (tc.drained < end) {
        const int64_t left = end - tc.drained;
        const size_t n = left < 256 ? static_cast<size_t>(left) : 256;
        text_refs(c, b.view, b.info.first, b.info.row0, tc.drained, n, false, refs);
        if (!strings_np2_pack_nogil(tc.array, static_cast<Py_ssize_t>(tc.drained), refs, n))
            return;
        tc.drained += static_cast<int64_t>(n);
    }
}

// Before a batch's columns are converted: the arrays of the text columns
// long enough for it, so that its texts can be packed without the GIL.
bool prepare_texts(Impl &im, const BatchRows &b)
{
    if (!numpy2)
        return true;
    const int64_t end = im.engine.rows() + b.rows();
    for (size_t j = 0; j < im.engine.columns.size(); ++j) {
        if (im.engine.columns[j]->kind == Kind::Text &&
            !grow_texts(im.texts[j], static_cast<npy_intp>(end), expected_rows(im, end)))
            return false;
    }
    return true;
}

// Converts the columns of one batch at a time: with threads, on a pool of
// native threads and the calling thread together (the costliest columns of
// the last batch first), else on the calling thread.  No Python object is
// touched; it runs without the GIL.
class Converter {
public:
    Converter(Impl &im, bool pack, bool keep) noexcept : im_(im), pack_(pack), pool_(workers(im)), keep_(keep)
    {
        job_.run = &Converter::task;
        job_.context = this;
    }

    // Whether the columns are converted on threads of their own, while the
    // calling thread can tokenize the next batch.
    bool parallel() const noexcept { return workers(im_) > 0; }

    void start(BatchRows &b) noexcept
    {
        b_ = &b;
        b.info.row0 = im_.engine.rows();
        end_ = b.info.row0 + b.rows();
        im_.engine.begin_batch(b.view, b.info.first, b.last);
        const size_t n = im_.engine.columns.size();
        job_.count = n;
        posted_ = false;
        // Threads are started for a batch worth it: one that is converted
        // while the next is tokenized, or a large one.
        if (parallel() && n > 0 && b.rows() > 0 && (pool_.threads() > 0 || !keep_ || b.text_bytes > kParallelBytes)) {
            order_columns();
            pool_.post(job_);
            posted_ = true;
        }
    }

    // Converts what is left (all of it when nothing was posted) and waits
    // for the pool's part; then engine.end_batch() says how it went.
    void finish() noexcept
    {
        if (posted_) {
            pool_.finish(job_);
            return;
        }
        for (size_t j = 0; j < job_.count; ++j)
            run(j);
    }

private:
    static constexpr uint64_t kParallelBytes = 64 << 10;

    static size_t workers(const Impl &im) noexcept
    {
        // The round-trip float parser calls into the interpreter: only the
        // calling thread may run it.
        if (im.engine.rules.float_algorithm == FloatAlgorithm::Roundtrip || im.opts.threads <= 1)
            return 0;
        const size_t n = im.engine.columns.size();
        const size_t w = static_cast<size_t>(im.opts.threads) - 1;
        return w < n ? w : n;
    }

    void order_columns() noexcept
    {
        const size_t n = job_.count;
        if (order_.size() != n) {
            try {
                order_.resize(n);
            } catch (...) {
                order_.clear();
                return;
            }
        }
        for (size_t j = 0; j < n; ++j)
            order_[j] = j;
        const std::vector<int64_t> &costs = im_.costs;
        if (costs.size() == n)
            std::stable_sort(order_.begin(), order_.end(), [&](size_t a, size_t b) { return costs[a] > costs[b]; });
    }

    static void task(void *context, size_t i) noexcept
    {
        Converter &c = *static_cast<Converter *>(context);
        c.run(c.order_.size() == c.job_.count ? c.order_[i] : i);
    }

    void run(size_t j) noexcept
    {
        if (b_->rows() == 0)
            return;
        const auto t0 = std::chrono::steady_clock::now();
        if (im_.engine.convert_column(j, b_->view, b_->info.first, b_->last) && pack_)
            pack_texts(im_, j, *b_, end_);
        if (j < im_.costs.size())
            im_.costs[j] =
                std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
    }

    Impl &im_;
    bool pack_;
    ThreadPool pool_;
    bool keep_;
    ThreadPool::Job job_;
    std::vector<size_t> order_;
    BatchRows *b_ = nullptr;
    int64_t end_ = 0;
    bool posted_ = false;
};

constexpr int kNoBatch = -100;   // tokenize_batch: nothing more to read
constexpr int kNoMemory = -101;  // tokenize_batch: the tables could not be taken

// Tokenizes the next batch into `b`: up to the batch size, `room` rows when
// that is not negative, and what max_rows leaves.  The batch's tables are
// taken from the parser unless `keep`.  Returns 0, kNoBatch, kNoMemory or
// the tokenizer's failure.  Without the GIL.
int tokenize_batch(Impl &im, BatchRows &b, int64_t room, bool keep) noexcept
{
    Session &s = im.session;
    TextParser *p = s.p;
    int64_t take = static_cast<int64_t>(im.step);
    if (room >= 0 && room < take)
        take = room;
    if (im.opts.max_rows >= 0 && im.opts.max_rows - im.data_rows < take)
        take = im.opts.max_rows - im.data_rows;
    if (take <= 0) {
        s.finished = true;
        return kNoBatch;
    }
    // Rows open() left in the table count towards this batch.
    const int64_t n = take - static_cast<int64_t>(p->row_count - s.first);
    b.info = BatchInfo{};
    b.info.first = s.first;
    b.info.k0 = p->row_count;
    b.info.s0 = p->source_rows;
    const uint64_t text0 = p->text_len;
    const int status = n > 0 ? s.run(static_cast<size_t>(n)) : 0;
    b.info.k1 = p->row_count;
    b.info.s1 = p->source_rows;
    if (status != 0)
        return status;
    b.last = p->row_count;
    b.text_bytes = p->text_len - text0;
    const uint64_t got = b.last - b.info.first;
    if (got > 0) {
        const size_t per_row = static_cast<size_t>(b.text_bytes) / got + 1;
        const size_t step = kBatchBytes / per_row;
        im.step = step<16 ? 16 : step>(1u << 20) ? (1u << 20) : step;
    }
    im.data_rows += static_cast<int64_t>(got);
    b.data_rows = im.data_rows;
    b.delivered = s.delivered;
    if (p->tok_state == Finished)
        s.finished = true;
    b.warnings.reset(take_warnings(s));
    if (keep) {
        b.view = row_table(p);
        s.first = p->row_count;
    } else {
        if (!b.tables.take_from(p, s.spare))
            return kNoMemory;
        b.view = b.tables.view();
        s.first = 1;
    }
    return 0;
}

void batch_failed(Session &s, int status)
{
    if (status == kNoMemory)
        PyErr_NoMemory();
    else
        tokenizer_failed(s, status);
}

// After a batch was converted, with the GIL: its texts that are not in
// their arrays yet, its warnings, signals, progress; then its tables are
// kept for a later batch.
bool hand_over(Impl &im, BatchRows &b, bool keep, bool drop, PyObject *progress)
{
    if (!keep && !drop && !drain_texts(im, b.view, b.info.first, b.info.row0, false))
        return false;
    if (drop)
        im.engine.reset_storage();
    if (!emit_warnings(b.warnings.release()))
        return false;
    if (PyErr_CheckSignals() < 0)
        return false;
    if (progress != nullptr && progress != Py_None) {
        Ref r(PyObject_CallFunction(progress, "KL", static_cast<unsigned long long>(b.delivered),
                                    static_cast<long long>(b.data_rows)));
        if (!r)
            return false;
    }
    if (!b.tables.empty()) {
        if (im.session.spare.empty())
            im.session.spare = std::move(b.tables);
        else
            b.tables.clear();
    }
    return true;
}

// Tokenizes and converts up to `want` data rows (all when negative).
// keep: leave the rows in the tables (pending rows of a batch are filled
// from them); drop: forget the values after each batch (classification).
// With threads, each batch's columns are converted while the next batch
// is tokenized (not when rows are kept: the tables must stay put), with
// the same batches, values, warnings and errors as on one thread: a batch
// is handed over before anything the next one's tokenizing raised.
// Returns the rows converted, or -1 with an exception set.
int64_t pump(Impl &im, int64_t want, bool keep, bool drop, PyObject *progress)
{
    Session &s = im.session;
    Converter convert(im, !keep && !drop, keep);
    const bool overlap = !keep && convert.parallel();
    BatchRows batches[2];
    BatchRows *cur = &batches[0];
    BatchRows *next = &batches[1];
    bool have = false;  // `cur` is tokenized, not converted yet
    int64_t done = 0;
    int64_t tokenized = 0;
    for (;;) {
        if (!have) {
            if (s.finished || (want >= 0 && tokenized >= want))
                break;
            int status;
            const int64_t room = want < 0 ? -1 : want - tokenized;
            Py_BEGIN_ALLOW_THREADS
                status = tokenize_batch(im, *cur, room, keep);
            Py_END_ALLOW_THREADS
            if (status == kNoBatch)
                break;
            if (status != 0) {
                batch_failed(s, status);
                return -1;
            }
            tokenized += cur->rows();
        }
        if (!keep && !drop && !prepare_texts(im, *cur))
            return -1;
        const bool more = overlap && !s.finished && (want < 0 || tokenized < want);
        const int64_t room = want < 0 ? -1 : want - tokenized;
        int next_status = kNoBatch;
        Py_BEGIN_ALLOW_THREADS
            convert.start(*cur);
            if (more)
                next_status = tokenize_batch(im, *next, room, keep);
            convert.finish();
        Py_END_ALLOW_THREADS
        // The next batch's failure (an exception from read() or a row-skip
        // predicate, say) comes after this batch in a read on one thread:
        // it is set aside while this batch is handed over, and dropped if
        // that fails.
        const bool next_failed = next_status != 0 && next_status != kNoBatch;
        {
            tv::SavedError later;
            bool handed = im.engine.end_batch();
            if (!handed)
                engine_failed(im, cur->info);
            else
                handed = hand_over(im, *cur, keep, drop, progress);
            if (!handed) {
                Py_XDECREF(later.release());
                return -1;
            }
        }
        done += cur->rows();
        if (next_failed) {
            batch_failed(s, next_status);
            return -1;
        }
        if (next_status == 0)
            tokenized += next->rows();
        std::swap(cur, next);
        have = next_status == 0;
    }
    return done;
}

// Reads the first row(s): the header, or the first data row whose width
// decides the columns.  Returns the header fields (a list of str) or None.
PyObject *open_rows(Impl &im)
{
    Session &s = im.session;
    TextParser *p = s.p;
    const Options &o = im.opts;
    const bool has_header = o.header >= 0;
    // Rows before the header are dropped one by one: the tokenizer measures
    // each row against the one kept before it until the width is known.
    int status = 0;
    for (int64_t i = 0; i <= (has_header ? o.header : 0); ++i) {
        if (i > 0)
            api->parser_discard_rows(p, static_cast<size_t>(p->row_count));
        status = s.tokenize(1);
        if (status != 0) {
            tokenizer_failed(s, status);
            return nullptr;
        }
        if (!emit_warnings(take_warnings(s)) || PyErr_CheckSignals() < 0)
            return nullptr;
        if (p->row_count == 0)
            break;
    }
    const uint64_t want = 1;
    Ref header(Py_NewRef(Py_None));
    if (has_header) {
        if (p->row_count < want) {
            // No header row: no data either.
            s.finished = true;
            s.width = o.names_count >= 0 ? o.names_count : 0;
            api->parser_discard_rows(p, static_cast<size_t>(p->row_count));
            s.first = p->row_count;
            return header.release();
        }
        const uint64_t h = want - 1;
        const int64_t count = p->row_field_count[h];
        header.reset(PyList_New(static_cast<Py_ssize_t>(count)));
        if (!header)
            return nullptr;
        p->field_ptrs[p->field_count] = p->cur_field_ptr;
        for (int64_t i = 0; i < count; ++i) {
            const int64_t k = p->row_first_field[h] + i;
            const char *text = p->field_ptrs[k];
            const Py_ssize_t size = p->field_ptrs[k + 1] - text - 1;
            PyObject *name = PyUnicode_DecodeUTF8(text, size, s.errors.c_str());
            if (name == nullptr)
                return nullptr;
            PyList_SET_ITEM(header.get(), i, name);
        }
        // The header row stays at the front of the table.
        api->parser_discard_rows(p, static_cast<size_t>(h));
        s.first = 1;
        s.width = o.names_count >= 0 ? o.names_count : count;
    } else {
        s.first = 0;
        // With explicit names the first data row may be too long: the
        // tokenizer does not check the row at table index 0.
        while (o.names_count >= 0 && p->row_count == 1 && p->row_field_count[0] > o.names_count) {
            const unsigned long long line = p->source_rows;
            const long long saw = p->row_field_count[0];
            if (o.bad_rows == BadRowRaise) {
                raise_parse_error(static_cast<int64_t>(line), "Expected %lld fields in row %llu, saw %lld",
                                  static_cast<long long>(o.names_count), line, saw);
                return nullptr;
            }
            if (o.bad_rows == BadRowWarn) {
                Ref message(PyUnicode_FromFormat("Skipping row %llu: expected %lld fields, saw %lld", line,
                                                 static_cast<long long>(o.names_count), saw));
                if (!message || PyErr_WarnEx(ParseWarning, PyUnicode_AsUTF8(message.get()), 2) < 0)
                    return nullptr;
            }
            api->parser_discard_rows(p, 1);
            status = s.tokenize(1);
            if (status != 0) {
                tokenizer_failed(s, status);
                return nullptr;
            }
            if (!emit_warnings(take_warnings(s)))
                return nullptr;
        }
        if (p->row_count == 0) {
            s.finished = true;
            s.width = o.names_count >= 0 ? o.names_count : 0;
        } else {
            s.width = o.names_count >= 0 ? o.names_count : p->row_field_count[0];
            s.first_source_row = static_cast<int64_t>(p->source_rows);
        }
    }
    if (p->tok_state == Finished && p->row_count <= s.first)
        s.finished = true;
    p->want_fields = static_cast<ptrdiff_t>(s.width);
    return header.release();
}

// --- results --------------------------------------------------------------------------

const char kBlockCapsule[] = "tavrel.column_reader.buffer";

void free_capsule(PyObject *capsule)
{
    const Buffer::Block block{static_cast<char *>(PyCapsule_GetPointer(capsule, kBlockCapsule)),
                              reinterpret_cast<uintptr_t>(PyCapsule_GetContext(capsule))};
    Buffer::free_block(block);
}

// A 1-d array over a buffer's block, which the array's base frees.
PyObject *wrap_block(Buffer &buffer, npy_intp n, PyArray_Descr *descr)
{
    Buffer::Block block = buffer.release();
    if (block.data == nullptr) {
        block.data = static_cast<char *>(std::malloc(1));
        if (block.data == nullptr) {
            Py_DECREF(descr);
            return PyErr_NoMemory();
        }
    }
    Ref base(PyCapsule_New(block.data, kBlockCapsule, free_capsule));
    if (!base || PyCapsule_SetContext(base.get(), reinterpret_cast<void *>(static_cast<uintptr_t>(block.mapped))) < 0) {
        if (!base)
            Buffer::free_block(block);
        Py_DECREF(descr);
        return nullptr;
    }
    npy_intp dims[1] = {n};
    Ref array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, block.data, NPY_ARRAY_CARRAY, nullptr));
    if (!array)
        return nullptr;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(array.get()), base.release()) < 0)
        return nullptr;
    return array.release();
}

PyArray_Descr *datetime_descr(int unit)
{
    if (unit < 0 || unit > 13)
        unit = kUnitSecond;
    if (datetime_descrs[unit] == nullptr) {
        static const char *const names[14] = {"Y", "M",  "W",  "",   "D",  "h",  "m",
                                              "s", "ms", "us", "ns", "ps", "fs", "as"};
        Ref spec(PyUnicode_FromFormat("M8[%s]", names[unit]));
        if (!spec || !PyArray_DescrConverter(spec.get(), &datetime_descrs[unit]))
            return nullptr;
    }
    Py_INCREF(datetime_descrs[unit]);
    return datetime_descrs[unit];
}

// The finished array of text column j: rows that never met the tables (a
// column empty so far) become "", the array is cut to n and handed over.
PyObject *text_array(Impl &im, size_t j, npy_intp n)
{
    TextColumn &t = im.texts[j];
    if (!put_texts(im, j, RowTable{}, 0, n, t.drained, n, false) || !grow_texts(t, n))
        return nullptr;
    if (t.cap != n) {
        PyArray_Dims dims = {&n, 1};
        Ref r(PyArray_Resize(reinterpret_cast<PyArrayObject *>(t.array), &dims, 0, NPY_CORDER));
        if (!r)
            return nullptr;
    }
    PyObject *a = t.array;
    t = TextColumn{};
    return a;
}

PyObject *column_array(Impl &im, size_t j, npy_intp n)
{
    Column &c = *im.engine.columns[j];
    switch (c.kind) {
    case Kind::Text:
        return text_array(im, j, n);
    case Kind::Empty: {
        PyObject *a = PyArray_SimpleNew(1, &n, NPY_FLOAT64);
        if (a != nullptr) {
            double *d = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(a)));
            for (npy_intp i = 0; i < n; ++i)
                d[i] = NAN;
        }
        return a;
    }
    case Kind::Datetime: {
        PyArray_Descr *descr = datetime_descr(c.unit);
        if (descr == nullptr)
            return nullptr;
        return wrap_block(c.data, n, descr);
    }
    default: {
        const int type = c.kind == Kind::Int64     ? NPY_INT64
                         : c.kind == Kind::UInt64  ? NPY_UINT64
                         : c.kind == Kind::Float64 ? NPY_FLOAT64
                                                   : NPY_BOOL;
        return wrap_block(c.data, n, PyArray_DescrFromType(type));
    }
    }
}

PyObject *mask_array(Column &c, npy_intp n)
{
    if (!c.has_missing)
        return PyArray_ZEROS(1, &n, NPY_BOOL, 0);
    return wrap_block(c.missing, n, PyArray_DescrFromType(NPY_BOOL));
}

// --- methods -----------------------------------------------------------------------

int Reader_init(ReaderObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *kwlist[] = {"source",
                                   "chunk_bytes",
                                   "sep",
                                   "quote",
                                   "quote_doubling",
                                   "escape",
                                   "comment",
                                   "drop_blank_rows",
                                   "bad_rows",
                                   "encoding_errors",
                                   "skip_leading",
                                   "skip_set",
                                   "skip_predicate",
                                   "header",
                                   "names_count",
                                   "max_rows",
                                   "decimal_mark",
                                   "group_mark",
                                   "float_algorithm",
                                   "missing",
                                   "true_values",
                                   "false_values",
                                   "date_format",
                                   "fd",
                                   "threads",
                                   "limit",
                                   "mid_file",
                                   nullptr};
    PyObject *source;
    long long chunk_bytes = 1 << 20;
    PyObject *sep = nullptr, *quote = nullptr, *escape = nullptr, *comment = nullptr;
    PyObject *decimal_mark = nullptr, *group_mark = nullptr;
    int quote_doubling = 1, drop_blank_rows = 1, bad_rows = 0, float_algorithm = 0;
    const char *errors = "strict";
    long long skip_leading = 0, header = 0, names_count = -1, max_rows = -1;
    PyObject *skip_set = Py_None, *predicate = Py_None, *missing = Py_None;
    PyObject *true_values = Py_None, *false_values = Py_None, *date_format = Py_None;
    int fd = -1, threads = 1, mid_file = 0;
    long long limit = -1;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwargs, "O|$LOOpOOpisLOOLLLOOiOOOOiiLp", const_cast<char **>(kwlist), &source, &chunk_bytes, &sep,
            &quote, &quote_doubling, &escape, &comment, &drop_blank_rows, &bad_rows, &errors, &skip_leading, &skip_set,
            &predicate, &header, &names_count, &max_rows, &decimal_mark, &group_mark, &float_algorithm, &missing,
            &true_values, &false_values, &date_format, &fd, &threads, &limit, &mid_file))
        return -1;
    if (self->impl != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Reader.__init__ may be called only once");
        return -1;
    }
    if (!PyObject_CheckBuffer(source) && !PyObject_HasAttrString(source, "read")) {
        PyErr_SetString(PyExc_TypeError, "source must be a bytes-like object or have a read() method");
        return -1;
    }
    Impl *im = new (std::nothrow) Impl;
    if (im == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    self->impl = im;
    im->failed = true;  // until set up in full
    Options &o = im->opts;
    ValueRules &rules = im->engine.rules;
    if (chunk_bytes < 1 || chunk_bytes > kMaxChunkBytes) {
        PyErr_Format(PyExc_ValueError, "chunk_bytes must be between 1 and %lld",
                     static_cast<long long>(kMaxChunkBytes));
        return -1;
    }
    o.chunk_bytes = chunk_bytes;
    if ((sep != nullptr && !byte_option(sep, "sep", false, &o.sep)) ||
        (quote != nullptr && !byte_option(quote, "quote", true, &o.quote)) ||
        (escape != nullptr && !byte_option(escape, "escape", true, &o.escape)) ||
        (comment != nullptr && !byte_option(comment, "comment", true, &o.comment)) ||
        (decimal_mark != nullptr && !byte_option(decimal_mark, "decimal_mark", false, &rules.decimal_mark)) ||
        (group_mark != nullptr && !byte_option(group_mark, "group_mark", true, &rules.group_mark)))
        return -1;
    o.quote_doubling = quote_doubling != 0;
    o.drop_blank_rows = drop_blank_rows != 0;
    if (bad_rows < 0 || bad_rows > 2) {
        PyErr_SetString(PyExc_ValueError, "bad_rows must be 0, 1 or 2");
        return -1;
    }
    o.bad_rows = bad_rows;
    if (float_algorithm < 0 || float_algorithm > 3) {
        PyErr_SetString(PyExc_ValueError, "float_algorithm must be 0..3");
        return -1;
    }
    rules.float_algorithm = static_cast<FloatAlgorithm>(float_algorithm);
    if (header < -1 || names_count < -1 || max_rows < -1 || skip_leading < 0) {
        PyErr_SetString(PyExc_ValueError, "header, names_count, max_rows and skip_leading must not be negative");
        return -1;
    }
    o.header = header;
    o.names_count = names_count;
    o.max_rows = max_rows;
    o.skip_leading = skip_leading;
    if (threads < 1 || threads > kMaxThreads) {
        PyErr_Format(PyExc_ValueError, "threads must be between 1 and %d", kMaxThreads);
        return -1;
    }
    o.threads = threads;
    if (limit < -1) {
        PyErr_SetString(PyExc_ValueError, "limit must be a byte count or -1");
        return -1;
    }
    o.limit = limit;
    o.mid_file = mid_file != 0;
    try {
        o.errors = errors;
        rules.strict_utf8 = o.errors == "strict";
        if (skip_set != Py_None) {
            o.has_skip_set = true;
            if (!int_list(skip_set, "skip_set", &o.skip_set))
                return -1;
        }
        if (!bytes_list(missing, "missing", &rules.missing) ||
            !bytes_list(true_values, "true_values", &rules.true_values) ||
            !bytes_list(false_values, "false_values", &rules.false_values))
            return -1;
        if (date_format != Py_None) {
            if (!PyBytes_Check(date_format) || PyBytes_GET_SIZE(date_format) > 200) {
                PyErr_SetString(PyExc_TypeError, "date_format must be bytes (at most 200)");
                return -1;
            }
            rules.date_format.assign(PyBytes_AS_STRING(date_format),
                                     static_cast<size_t>(PyBytes_GET_SIZE(date_format)));
            rules.has_date_format = true;
        }
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    if (predicate != Py_None) {
        if (!PyCallable_Check(predicate)) {
            PyErr_SetString(PyExc_TypeError, "skip_predicate must be callable");
            return -1;
        }
        im->predicate = Ref::borrow(predicate);
    }
    im->source = Ref::borrow(source);
    if (fd < -1) {
        PyErr_SetString(PyExc_ValueError, "fd must be a file descriptor or -1");
        return -1;
    }
    if (!im->session.start(source, o, im->predicate.get(), fd))
        return -1;
    im->failed = false;
    return 0;
}

PyObject *Reader_open(ReaderObject *self, PyObject *)
{
    BusyGuard guard(self);
    if (!guard.ok())
        return nullptr;
    Impl &im = *self->impl;
    if (im.opened) {
        PyErr_SetString(PyExc_RuntimeError, "open() was called already");
        return nullptr;
    }
    Ref header(open_rows(im));
    if (!header)
        return nullptr;
    im.opened = true;
    return Py_BuildValue("(OL)", header.get(), static_cast<long long>(im.session.width));
}

PyObject *Reader_configure(ReaderObject *self, PyObject *args)
{
    PyObject *srcs, *kinds, *units, *allowed;
    if (!PyArg_ParseTuple(args, "O!O!O!O!", &PyTuple_Type, &srcs, &PyTuple_Type, &kinds, &PyTuple_Type, &units,
                          &PyTuple_Type, &allowed))
        return nullptr;
    BusyGuard guard(self);
    if (!guard.ok())
        return nullptr;
    Impl &im = *self->impl;
    if (!im.opened || im.configured) {
        PyErr_SetString(PyExc_RuntimeError, "configure() comes once, after open()");
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(srcs);
    if (PyTuple_GET_SIZE(kinds) != n || PyTuple_GET_SIZE(units) != n || PyTuple_GET_SIZE(allowed) != n) {
        PyErr_SetString(PyExc_ValueError, "configure() takes four tuples of one length");
        return nullptr;
    }
    std::vector<std::unique_ptr<Column>> columns;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long long src = PyLong_AsLongLong(PyTuple_GET_ITEM(srcs, i));
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(kinds, i));
        const long unit = PyLong_AsLong(PyTuple_GET_ITEM(units, i));
        const long mask = PyLong_AsLong(PyTuple_GET_ITEM(allowed, i));
        if (PyErr_Occurred())
            return nullptr;
        if (src < 0 || src >= im.session.width || kind < -1 || kind > static_cast<long>(Kind::Text) ||
            kind == static_cast<long>(Kind::Empty) || mask < 0 || mask > kFamAll ||
            (kind == static_cast<long>(Kind::Datetime) && !is_reader_unit(static_cast<int>(unit)))) {
            PyErr_SetString(PyExc_ValueError, "configure(): bad column description");
            return nullptr;
        }
        Column *c = new (std::nothrow) Column;
        if (c == nullptr)
            return PyErr_NoMemory();
        try {
            columns.emplace_back(c);
        } catch (...) {
            delete c;
            return PyErr_NoMemory();
        }
        c->index = static_cast<size_t>(i);
        c->src = src;
        c->allowed = static_cast<uint8_t>(mask);
        if (kind > 0) {
            c->forced = true;
            c->kind = static_cast<Kind>(kind);
            c->unit = c->kind == Kind::Datetime ? static_cast<int>(unit) : -1;
        }
    }
    try {
        im.texts.assign(columns.size(), TextColumn{});
        im.costs.assign(columns.size(), 0);
    } catch (...) {
        return PyErr_NoMemory();
    }
    im.engine.columns = std::move(columns);
    if (!im.engine.reset_types())
        return PyErr_NoMemory();
    im.configured = true;
    Py_RETURN_NONE;
}

bool ready(Impl &im)
{
    if (!im.configured) {
        PyErr_SetString(PyExc_RuntimeError, "configure() must come first");
        return false;
    }
    return true;
}

// The whole input; with `classify`, only the decided types are kept and
// returned as a list of (kind, unit).
PyObject *read_all(ReaderObject *self, PyObject *args, bool classify)
{
    PyObject *progress = Py_None;
    if (!PyArg_ParseTuple(args, "|O", &progress))
        return nullptr;
    BusyGuard guard(self);
    if (!guard.ok() || !ready(*self->impl))
        return nullptr;
    Impl &im = *self->impl;
    if (pump(im, -1, false, classify, progress) < 0)
        return nullptr;
    if (!classify)
        Py_RETURN_NONE;
    Ref list(PyList_New(static_cast<Py_ssize_t>(im.engine.columns.size())));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < im.engine.columns.size(); ++i) {
        const Column &c = *im.engine.columns[i];
        PyObject *item = Py_BuildValue("(ii)", static_cast<int>(c.kind), c.unit);
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// read(progress=None): the whole input.
PyObject *Reader_read(ReaderObject *self, PyObject *args) { return read_all(self, args, false); }

// classify(progress=None): [(kind, unit)] decided by the whole input.
PyObject *Reader_classify(ReaderObject *self, PyObject *args) { return read_all(self, args, true); }

// next_batch(rows, infer, progress=None): up to `rows` more data rows, the
// types decided by this batch alone when `infer`; the rows converted (0 at
// the end).
PyObject *Reader_next_batch(ReaderObject *self, PyObject *args)
{
    long long rows;
    int infer;
    PyObject *progress = Py_None;
    if (!PyArg_ParseTuple(args, "Lp|O", &rows, &infer, &progress))
        return nullptr;
    BusyGuard guard(self);
    if (!guard.ok() || !ready(*self->impl))
        return nullptr;
    Impl &im = *self->impl;
    if (rows < 1) {
        PyErr_SetString(PyExc_ValueError, "batch_rows must be at least 1");
        return nullptr;
    }
    if (infer) {
        if (!im.engine.reset_types())
            return PyErr_NoMemory();
    } else {
        im.engine.reset_storage();
    }
    for (TextColumn &t : im.texts) {
        Py_CLEAR(t.array);
        t = TextColumn{};
    }
    const uint64_t table_first = im.session.first;
    const int64_t got = pump(im, rows, infer != 0, false, progress);
    if (got < 0)
        return nullptr;
    if (infer) {
        const RowTable table = row_table(im.session.p);
        const uint64_t last = im.session.p->row_count;
        if (im.engine.pending_rows() > 0) {
            bool ok;
            Engine &engine = im.engine;
            Py_BEGIN_ALLOW_THREADS
                ok = engine.fill_pending(table, table_first, last, 0);
            Py_END_ALLOW_THREADS
            if (!ok) {
                engine_failed(im, BatchInfo{});
                return nullptr;
            }
        }
        if (!drain_texts(im, table, table_first, 0, true))
            return nullptr;
        im.engine.pending_done();
        im.session.discard();
    }
    return PyLong_FromLongLong(got);
}

PyObject *Reader_pending(ReaderObject *self, PyObject *)
{
    if (self->impl == nullptr)
        return PyLong_FromLong(0);
    return PyLong_FromLongLong(self->impl->engine.pending_rows());
}

// reread(source, skip_set=None): reads the source again under the same
// options and fills the rows that columns left pending.  skip_set replaces
// a row-skip predicate with the rows it skipped the first time.
PyObject *Reader_reread(ReaderObject *self, PyObject *args)
{
    PyObject *source, *skip_set = Py_None;
    int fd = -1;
    if (!PyArg_ParseTuple(args, "O|Oi", &source, &skip_set, &fd))
        return nullptr;
    if (fd < -1) {
        PyErr_SetString(PyExc_ValueError, "fd must be a file descriptor or -1");
        return nullptr;
    }
    BusyGuard guard(self);
    if (!guard.ok() || !ready(*self->impl))
        return nullptr;
    Impl &im = *self->impl;
    const int64_t pending = im.engine.pending_rows();
    if (pending == 0)
        Py_RETURN_NONE;
    Options o = im.opts;
    PyObject *predicate = im.predicate.get();
    if (skip_set != Py_None) {
        o.skip_set.clear();
        o.has_skip_set = true;
        if (!int_list(skip_set, "skip_set", &o.skip_set))
            return nullptr;
        predicate = nullptr;
    }
    // Bad rows were reported the first time; now they are only dropped.
    if (o.bad_rows == BadRowWarn)
        o.bad_rows = BadRowDrop;
    Impl second;
    second.opts = o;
    if (!second.session.start(source, o, predicate, fd))
        return nullptr;
    Ref header(open_rows(second));
    if (!header)
        return nullptr;
    Session &s = second.session;
    TextParser *p = s.p;
    int64_t row = 0;
    while (row < pending && !(s.finished && p->row_count <= s.first)) {
        if (p->row_count <= s.first) {
            const int status = s.tokenize(im.step);
            if (status != 0) {
                tokenizer_failed(s, status);
                return nullptr;
            }
            if (p->tok_state == Finished)
                s.finished = true;
        }
        const uint64_t first = s.first;
        const uint64_t last = p->row_count;
        const RowTable table = row_table(p);
        bool ok;
        Engine &engine = im.engine;
        Py_BEGIN_ALLOW_THREADS
            ok = engine.fill_pending(table, first, last, row);
        Py_END_ALLOW_THREADS
        if (!ok) {
            engine_failed(im, BatchInfo{});
            return nullptr;
        }
        const int64_t end = row + static_cast<int64_t>(last - first);
        for (size_t j = 0; j < im.engine.columns.size(); ++j) {
            const Column &c = *im.engine.columns[j];
            if (c.kind == Kind::Text && row < c.valid_from &&
                !put_texts(im, j, table, first, row, row, end < c.valid_from ? end : c.valid_from, true))
                return nullptr;
        }
        row = end;
        s.first = last;
        s.discard();
        if (PyErr_CheckSignals() < 0)
            return nullptr;
    }
    if (row < pending) {
        raise_parse_error(0, "the source changed between its two reads (it has fewer rows)");
        return nullptr;
    }
    im.engine.pending_done();
    s.close();
    Py_RETURN_NONE;
}

// result(): (arrays, masks, rows); the reader's values are handed over.
PyObject *Reader_result(ReaderObject *self, PyObject *)
{
    BusyGuard guard(self);
    if (!guard.ok() || !ready(*self->impl))
        return nullptr;
    Impl &im = *self->impl;
    if (im.engine.pending_rows() > 0) {
        PyErr_SetString(PyExc_RuntimeError, "rows are pending: reread() must come first");
        return nullptr;
    }
    const npy_intp n = static_cast<npy_intp>(im.engine.rows());
    const Py_ssize_t count = static_cast<Py_ssize_t>(im.engine.columns.size());
    Ref arrays(PyTuple_New(count));
    Ref masks(PyTuple_New(count));
    if (!arrays || !masks)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Column &c = *im.engine.columns[static_cast<size_t>(i)];
        PyObject *a = column_array(im, static_cast<size_t>(i), n);
        if (a == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(arrays.get(), i, a);
        PyObject *m = mask_array(c, n);
        if (m == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(masks.get(), i, m);
    }
    im.engine.reset_storage();
    return Py_BuildValue("(OOL)", arrays.get(), masks.get(), static_cast<long long>(n));
}

// utc(): per column, whether it holds date-times converted from offsets to
// UTC (every value had an offset).
PyObject *Reader_utc(ReaderObject *self, PyObject *)
{
    if (self->impl == nullptr)
        return PyTuple_New(0);
    const auto &columns = self->impl->engine.columns;
    Ref flags(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!flags)
        return nullptr;
    for (size_t i = 0; i < columns.size(); ++i)
        PyTuple_SET_ITEM(flags.get(), static_cast<Py_ssize_t>(i), PyBool_FromLong(columns[i]->utc()));
    return flags.release();
}

PyObject *Reader_close(ReaderObject *self, PyObject *)
{
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "the reader is in use");
        return nullptr;
    }
    delete self->impl;
    self->impl = nullptr;
    Py_RETURN_NONE;
}

PyObject *Reader_bytes_read(ReaderObject *self, void *)
{
    return PyLong_FromUnsignedLongLong(self->impl != nullptr ? self->impl->session.delivered : 0);
}

PyObject *Reader_consumed(ReaderObject *self, void *)
{
    return PyLong_FromUnsignedLongLong(self->impl != nullptr ? self->impl->session.consumed() : 0);
}

PyObject *Reader_new(PyTypeObject *type, PyObject *, PyObject *)
{
    ReaderObject *self = reinterpret_cast<ReaderObject *>(type->tp_alloc(type, 0));
    if (self != nullptr) {
        self->impl = nullptr;
        self->busy = false;
    }
    return reinterpret_cast<PyObject *>(self);
}

void Reader_dealloc(ReaderObject *self)
{
    PyObject_GC_UnTrack(self);
    delete self->impl;
    self->impl = nullptr;
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject *>(self));
}

int Reader_traverse(ReaderObject *self, visitproc visit, void *arg)
{
    if (self->impl != nullptr) {
        Py_VISIT(self->impl->source.get());
        Py_VISIT(self->impl->predicate.get());
    }
    return 0;
}

int Reader_clear(ReaderObject *self)
{
    if (self->impl != nullptr && !self->busy) {
        delete self->impl;
        self->impl = nullptr;
    }
    return 0;
}

PyMethodDef Reader_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(Reader_open), METH_NOARGS, "Reads the header; (names or None, width)."},
    {"configure", reinterpret_cast<PyCFunction>(Reader_configure), METH_VARARGS,
     "configure(sources, kinds, units, families): the columns to read."},
    {"read", reinterpret_cast<PyCFunction>(Reader_read), METH_VARARGS, "read(progress=None): reads all rows."},
    {"classify", reinterpret_cast<PyCFunction>(Reader_classify), METH_VARARGS,
     "classify(progress=None): decides the column types from all rows; [(kind, unit)]."},
    {"next_batch", reinterpret_cast<PyCFunction>(Reader_next_batch), METH_VARARGS,
     "next_batch(rows, infer, progress=None): reads the next batch; rows read."},
    {"pending", reinterpret_cast<PyCFunction>(Reader_pending), METH_NOARGS,
     "Rows that columns still need from their texts."},
    {"reread", reinterpret_cast<PyCFunction>(Reader_reread), METH_VARARGS,
     "reread(source, skip_set=None, fd=-1): fills pending rows from a second read."},
    {"result", reinterpret_cast<PyCFunction>(Reader_result), METH_NOARGS, "(arrays, masks, rows)."},
    {"utc", reinterpret_cast<PyCFunction>(Reader_utc), METH_NOARGS,
     "Per column: date-times converted from offsets to UTC."},
    {"close", reinterpret_cast<PyCFunction>(Reader_close), METH_NOARGS, "Releases the parser and the source."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef Reader_getset[] = {
    {"bytes_read", reinterpret_cast<getter>(Reader_bytes_read), nullptr, "Bytes handed to the tokenizer.", nullptr},
    {"consumed", reinterpret_cast<getter>(Reader_consumed), nullptr,
     "Bytes of the source the rows read so far take (where the next row starts).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- module ---------------------------------------------------------------------------

int make_exceptions(PyObject *module)
{
    if (ParseError == nullptr) {
        Ref dict(Py_BuildValue("{sO}", "row", Py_None));
        if (!dict)
            return -1;
        ParseError = PyErr_NewExceptionWithDoc(
            "tavrel.ParseError", "Malformed delimited text.  .row is the 1-based source row of the fault, or None.",
            PyExc_ValueError, dict.get());
        if (ParseError == nullptr)
            return -1;
    }
    if (ParseWarning == nullptr) {
        ParseWarning = PyErr_NewExceptionWithDoc("tavrel.ParseWarning", "A row of delimited text was skipped.",
                                                 PyExc_UserWarning, nullptr);
        if (ParseWarning == nullptr)
            return -1;
    }
    if (PyModule_AddObjectRef(module, "ParseError", ParseError) < 0 ||
        PyModule_AddObjectRef(module, "ParseWarning", ParseWarning) < 0)
        return -1;
    return 0;
}

int import_numpy() noexcept
{
    import_array1(-1);
    return 0;
}

int module_exec(PyObject *module)
{
    if (import_numpy() < 0)
        return -1;
    if (api == nullptr) {
        api = tavrel_parser_api_import();
        if (api == nullptr)
            return -1;
    }
    if (dt_api == nullptr) {
        dt_api = tavrel_datetime_api_import();
        if (dt_api == nullptr)
            return -1;
    }
    if (PyArray_GetNDArrayCFeatureVersion() >= 0x12 && !numpy2) {
        if (!strings_np2_init())
            return -1;
        numpy2 = true;
    }
    if (make_exceptions(module) < 0 || arrow_export_init(module) < 0)
        return -1;
    if (ReaderType.tp_name == nullptr) {
        ReaderType.tp_name = "tavrel._libs.column_reader.Reader";
        ReaderType.tp_basicsize = sizeof(ReaderObject);
        ReaderType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        ReaderType.tp_doc = "One read of delimited text into typed columns (see tavrel.read_columns).";
        ReaderType.tp_new = Reader_new;
        ReaderType.tp_init = reinterpret_cast<initproc>(Reader_init);
        ReaderType.tp_dealloc = reinterpret_cast<destructor>(Reader_dealloc);
        ReaderType.tp_traverse = reinterpret_cast<traverseproc>(Reader_traverse);
        ReaderType.tp_clear = reinterpret_cast<inquiry>(Reader_clear);
        ReaderType.tp_methods = Reader_methods;
        ReaderType.tp_getset = Reader_getset;
    }
    if (PyType_Ready(&ReaderType) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "Reader", reinterpret_cast<PyObject *>(&ReaderType)) < 0)
        return -1;
    if (PyModule_AddIntConstant(module, "NUMPY2_STRINGS", numpy2 ? 1 : 0) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrel._libs.column_reader",
    "Delimited text to typed NumPy columns, through the parser and date-time tables.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tv::reader

PyMODINIT_FUNC PyInit_column_reader(void) { return PyModuleDef_Init(&tv::reader::module_def); }
