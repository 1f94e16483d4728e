// Shared pieces of the tokenizer fuzz targets: the dialect decoded from the
// first input bytes, an in-memory reader, a run of the tokenizer whole, in
// chunks or in row batches, and the outcome compared between runs.
//
// Everything is sized for short inputs and reused from run to run, so that
// an execution allocates little beyond the parser's own buffers: the reader
// copies each chunk to the end of one block (a read past the chunk's NUL
// lands in the allocator's red zone), and outcomes keep their storage.  The
// harness's own code is left out of the coverage instrumentation: only the
// tokenizer's branches should steer the fuzzer, and the checks here run
// over every field several times per input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tokenizer/text_parser.h"

#if defined(__clang__)
#define FUZZ_HARNESS __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_HARNESS
#endif

namespace fuzz {

// Longest text a target tokenizes; longer inputs are rejected.
inline constexpr size_t kMaxText = 512;
// Bytes of an input that choose the dialect and the run options.
inline constexpr size_t kConfigBytes = 8;

[[noreturn]] inline void fail() { abort(); }

struct Reader {
    const uint8_t *data = nullptr;
    size_t len = 0;
    size_t pos = 0;
    const size_t *sizes = nullptr;  // read sizes in turn; none: everything at once
    size_t n_sizes = 0;
    size_t calls = 0;
    // The chunk handed out is copied to the end of this block and followed
    // by a NUL, like the buffer of a bytes object.
    char *block = nullptr;
    size_t block_len = 0;

    Reader()
    {
        block_len = kMaxText + 1;
        block = static_cast<char *>(malloc(block_len));
        if (block == nullptr)
            fail();
    }
    ~Reader() { free(block); }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    void start(const uint8_t *d, size_t n, const size_t *s, size_t ns)
    {
        data = d;
        len = n;
        pos = 0;
        sizes = s;
        n_sizes = ns;
        calls = 0;
    }
};

FUZZ_HARNESS inline char *read_chunk(void *handle, size_t, size_t *got, int *status, const char *) noexcept
{
    Reader *r = static_cast<Reader *>(handle);
    size_t n = r->n_sizes == 0 ? r->len : r->sizes[r->calls % r->n_sizes];
    r->calls++;
    if (n > r->len - r->pos)
        n = r->len - r->pos;
    char *chunk = r->block + (r->block_len - 1 - n);
    memcpy(chunk, r->data + r->pos, n);
    chunk[n] = '\0';
    r->pos += n;
    *got = n;
    *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
    return chunk;
}

inline uint64_t g_skip_mask;

FUZZ_HARNESS inline int skip_by_mask(void *, uint64_t row) noexcept
{
    return row < 64 && ((g_skip_mask >> row) & 1) ? 1 : 0;
}

// Rows as one text of NUL-terminated fields plus the field count of each
// row; the field texts end at their NUL, as clients read them.
struct Outcome {
    int result = 0;
    std::string cells;
    std::vector<int64_t> row_sizes;
    uint64_t source_rows = 0;
    uint64_t field_count = 0;
    std::string error;
    std::string warnings;

    void clear()
    {
        result = 0;
        cells.clear();
        row_sizes.clear();
        source_rows = 0;
        field_count = 0;
        error.clear();
        warnings.clear();
    }
    bool operator==(const Outcome &o) const
    {
        return result == o.result && cells == o.cells && row_sizes == o.row_sizes && source_rows == o.source_rows &&
               error == o.error && warnings == o.warnings;
    }
};

// The tables agree with each other: every field of fields [from_field,
// field_count) lies in the stream and ends at a NUL there, and every row of
// rows [from_row, row_count] covers recorded fields.
FUZZ_HARNESS inline void check_tables(const TextParser *p, uint64_t from_field = 0, uint64_t from_row = 0)
{
    if (p->text_len >= p->text_cap || p->field_count >= p->field_cap || p->row_count >= p->row_cap)
        fail();
    for (uint64_t i = from_field; i < p->field_count; ++i) {
        const int64_t off = p->field_offsets[i];
        if (off < 0 || static_cast<uint64_t>(off) >= p->text_len || p->field_ptrs[i] != p->text_buf + off)
            fail();
        if (memchr(p->text_buf + off, 0, p->text_len - static_cast<uint64_t>(off)) == nullptr)
            fail();
    }
    for (uint64_t r = from_row; r <= p->row_count; ++r) {
        const int64_t first = p->row_first_field[r];
        const int64_t n = p->row_field_count[r];
        if (first < 0 || n < 0 || static_cast<uint64_t>(first + n) > p->field_count)
            fail();
    }
    if (p->cur_field_ptr != p->text_buf + p->cur_field_offset)
        fail();
}

FUZZ_HARNESS inline void collect_rows(const TextParser *p, Outcome &out, uint64_t from = 0)
{
    for (uint64_t r = from; r < p->row_count; ++r) {
        const int64_t n = p->row_field_count[r];
        for (int64_t j = 0; j < n; ++j) {
            const char *field = p->field_ptrs[p->row_first_field[r] + j];
            out.cells.append(field, strlen(field) + 1);  // with its NUL
        }
        out.row_sizes.push_back(n);
    }
}

// The second half of the quote, escape and comment tables (chosen by the
// low bits of byte 4) holds the blanks.
inline constexpr char kSeps[] = {',', ';', '\t', ' ', '"', '#', '\n', '\0'};
inline constexpr char kQuotes[] = {'"', '\'', ',', '\\', ' ', '\t', ' ', '\t'};
inline constexpr char kEscapes[] = {'\0', '\\', '"', ' ', '\t', ' ', '\t', '\\'};
inline constexpr char kEnds[] = {'\0', '\0', ';', '|', '\r', ' '};
inline constexpr char kComments[] = {'\0', '#', ';', ' ', '\t', ' ', '\t', '#'};

// Bytes 0 to 5 of an input: the dialect and the row-skipping options.
FUZZ_HARNESS inline void apply_config(TextParser *p, const uint8_t *cfg)
{
    p->sep = kSeps[cfg[0] & 7];
    p->quote = kQuotes[((cfg[0] >> 3) & 3) | ((cfg[4] & 1) << 2)];
    p->escape = kEscapes[((cfg[0] >> 5) & 3) | ((cfg[4] & 2) << 1)];
    p->row_end = kEnds[cfg[1] % 6];
    p->comment = kComments[((cfg[1] >> 4) & 3) | (cfg[4] & 4)];
    p->quote_mode = (cfg[1] & 0x40) ? 3 : 0;
    p->quote_doubling = cfg[2] & 1;
    p->split_on_blanks = (cfg[2] >> 1) & 1;
    p->skip_space_after_sep = (cfg[2] >> 2) & 1;
    p->drop_blank_rows = (cfg[2] >> 3) & 1;
    p->column_subset = (cfg[2] >> 4) & 1;
    p->bad_row_mode = (cfg[2] >> 5) & 3;
    p->want_fields = static_cast<int>(cfg[3] % 7) - 1;
    p->last_header_row = (cfg[3] & 0x80) ? 0 : UINT64_MAX;
    switch ((cfg[4] >> 6) & 3) {
    case 1:
        for (int r = 0; r < 6; ++r)
            if ((cfg[5] >> r) & 1)
                tv::parser_skip_row(p, r);
        break;
    case 2:
        tv::parser_skip_leading_rows(p, cfg[5] % 5);
        break;
    case 3:
        g_skip_mask = cfg[5];
        tv::parser_set_predicate_caller(p, skip_by_mask);
        p->skip_predicate = reinterpret_cast<struct _object *>(&g_skip_mask);
        break;
    default:
        break;
    }
}

// Checks of tables that grow between calls: fields and rows seen by an
// earlier call are checked again only once the stream has moved (or after
// all() says everything may have changed).
struct GrowingCheck {
    uint64_t fields = 0;
    uint64_t rows = 0;
    const char *buf = nullptr;

    FUZZ_HARNESS void operator()(const TextParser *p)
    {
        if (p->text_buf != buf) {
            fields = 0;
            buf = p->text_buf;
        }
        check_tables(p, fields, rows);
        fields = p->field_count;
        rows = p->row_count;
    }
    FUZZ_HARNESS void all(const TextParser *p)
    {
        fields = 0;
        rows = 0;
        (*this)(p);
    }
};

struct RunOptions {
    const size_t *sizes = nullptr;  // read sizes; none: one read
    size_t n_sizes = 0;
    size_t batch = 0;          // rows per tokenize_row_count; 0: tokenize_to_end
    int drop_blank_rows = -1;  // 0 or 1 overrides the configured value
    bool portable = false;     // the portable block scanner, not the process's
};

// Tokenizes text under the configured dialect into out.  In row batches the
// buffers are shrunk and all kept rows but the last are discarded between
// batches.
FUZZ_HARNESS inline void run(Reader &reader, const uint8_t *cfg, const uint8_t *text, size_t len, const RunOptions &opt,
                             Outcome &out)
{
    out.clear();
    TextParser *p = tv::parser_alloc();
    if (p == nullptr)
        fail();
    tv::parser_apply_defaults(p);
    if (tv::parser_setup(p) != 0)
        fail();
    apply_config(p, cfg);
    if (opt.drop_blank_rows >= 0)
        p->drop_blank_rows = opt.drop_blank_rows;
    reader.start(text, len, opt.sizes, opt.n_sizes);
    p->src_handle = &reader;
    p->read_fn = read_chunk;
    p->chunk_bytes = 1 << 16;

    const tv::Scanner scanner = opt.portable ? tv::Scanner::Portable : tv::tokenizer_scanner();
    if (opt.batch == 0) {
        out.result = tv::tokenize_with(p, scanner, UINT64_MAX, nullptr);
        check_tables(p);
        collect_rows(p, out);
    } else {
        // The expected field count refers to the previous kept row and
        // header rows to the first indexes, so the last row stays and
        // nothing is discarded under a header.  Without discarding the
        // tables only grow; the checks between batches cover what changed
        // (every field again once the stream has moved), the last one all.
        const bool discard = p->last_header_row == UINT64_MAX;
        uint64_t kept_before = 0;
        GrowingCheck check;
        for (int guard = 0;; ++guard) {
            if (guard > 100000)
                fail();
            const uint64_t before = p->row_count;
            out.result = tv::tokenize_with(p, scanner, opt.batch, nullptr);
            check(p);
            if (out.result == 0 && p->tok_state != Finished && p->row_count - before != opt.batch)
                fail();
            collect_rows(p, out, kept_before);
            if (discard && p->row_count > 1) {
                tv::parser_discard_rows(p, p->row_count - 1);
                check.all(p);
            }
            kept_before = p->row_count;
            if (tv::parser_shrink_buffers(p) != 0)
                fail();
            check(p);
            if (out.result != 0 || p->tok_state == Finished)
                break;
        }
        check_tables(p);
    }
    out.source_rows = p->source_rows;
    out.field_count = p->field_count;
    if (p->error_text)
        out.error = p->error_text;
    if (p->warning_text)
        out.warnings = p->warning_text;
    tv::parser_release(p);
    tv::parser_dealloc(p);
}

}  // namespace fuzz
