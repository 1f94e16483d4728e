// Fuzz target of the tokenizer: random dialects, random inputs, random
// chunkings.
//
// Input layout: bytes 0 to 5 choose the dialect and the skip options, byte 6
// and 7 the read sizes of the chunked run and the row batch of the batched
// run; the rest is the text.  Every input is tokenized three ways (one read,
// reads of the chosen sizes, and row batches with the buffers shrunk and
// all kept rows but the last discarded between batches); all three must give the same
// rows, counts, errors and warnings, and the tables must be consistent after
// every run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tokenizer/text_parser.h"

namespace {

[[noreturn]] void fail() { abort(); }

struct Reader {
    const uint8_t *data;
    size_t len;
    size_t pos;
    std::vector<size_t> sizes;
    size_t calls;
    std::string chunk;  // the chunk handed out, NUL-terminated like a bytes object
};

char *read_chunk(void *handle, size_t, size_t *got, int *status, const char *) noexcept
{
    Reader *r = static_cast<Reader *>(handle);
    size_t n = r->sizes.empty() ? r->len : r->sizes[r->calls % r->sizes.size()];
    r->calls++;
    if (n > r->len - r->pos) {
        n = r->len - r->pos;
    }
    r->chunk.assign(reinterpret_cast<const char *>(r->data + r->pos), n);
    r->pos += n;
    *got = n;
    *status = n == 0 ? TV_READ_EOF : TV_READ_OK;
    return r->chunk.data();
}

uint64_t g_skip_mask;

int skip_by_mask(void *, uint64_t row) noexcept
{
    return row < 64 && ((g_skip_mask >> row) & 1) ? 1 : 0;
}

struct Outcome {
    int result = 0;
    std::vector<std::vector<std::string>> rows;
    uint64_t source_rows = 0;
    std::string error;
    std::string warnings;
    bool operator==(const Outcome &o) const
    {
        return result == o.result && rows == o.rows && source_rows == o.source_rows &&
               error == o.error && warnings == o.warnings;
    }
};

void check_tables(const TextParser *p)
{
    if (p->text_len >= p->text_cap || p->field_count >= p->field_cap || p->row_count >= p->row_cap)
        fail();
    for (uint64_t i = 0; i < p->field_count; ++i) {
        const int64_t off = p->field_offsets[i];
        if (off < 0 || static_cast<uint64_t>(off) >= p->text_len || p->field_ptrs[i] != p->text_buf + off)
            fail();
        if (memchr(p->text_buf + off, 0, p->text_len - static_cast<uint64_t>(off)) == nullptr)
            fail();
    }
    for (uint64_t r = 0; r <= p->row_count; ++r) {
        const int64_t first = p->row_first_field[r];
        const int64_t n = p->row_field_count[r];
        if (first < 0 || n < 0 || static_cast<uint64_t>(first + n) > p->field_count)
            fail();
    }
    if (p->cur_field_ptr != p->text_buf + p->cur_field_offset)
        fail();
}

void collect_rows(const TextParser *p, Outcome &out, uint64_t from = 0)
{
    for (uint64_t r = from; r < p->row_count; ++r) {
        std::vector<std::string> row;
        for (int64_t j = 0; j < p->row_field_count[r]; ++j)
            row.emplace_back(p->field_ptrs[p->row_first_field[r] + j]);
        out.rows.push_back(std::move(row));
    }
}

const char kSeps[] = {',', ';', '\t', ' ', '"', '#', '\n', '\0'};
const char kQuotes[] = {'"', '\'', ',', '\\'};
const char kEscapes[] = {'\0', '\\', '"', ' '};
const char kEnds[] = {'\0', '\0', ';', '|', '\r', ' '};
const char kComments[] = {'\0', '#', ';', ' '};

Outcome run(const uint8_t *cfg, const uint8_t *data, size_t len, std::vector<size_t> sizes,
            size_t batch)
{
    TextParser *p = tv::parser_alloc();
    if (p == nullptr)
        fail();
    tv::parser_apply_defaults(p);
    if (tv::parser_setup(p) != 0)
        fail();
    p->sep = kSeps[cfg[0] & 7];
    p->quote = kQuotes[(cfg[0] >> 3) & 3];
    p->escape = kEscapes[(cfg[0] >> 5) & 3];
    p->row_end = kEnds[cfg[1] % 6];
    p->comment = kComments[(cfg[1] >> 4) & 3];
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
    Reader reader{data, len, 0, std::move(sizes), 0, {}};
    p->src_handle = &reader;
    p->read_fn = read_chunk;
    p->chunk_bytes = 1 << 16;

    Outcome out;
    if (batch == 0) {
        out.result = tv::tokenize_to_end(p, nullptr);
        check_tables(p);
        collect_rows(p, out);
    } else {
        uint64_t kept_before = 0;
        for (int guard = 0;; ++guard) {
            if (guard > 100000)
                fail();
            const uint64_t before = p->row_count;
            out.result = tv::tokenize_row_count(p, batch, nullptr);
            check_tables(p);
            if (out.result == 0 && p->tok_state != Finished && p->row_count - before != batch)
                fail();
            collect_rows(p, out, kept_before);
            // The expected field count refers to the previous kept row and
            // header rows to the first indexes, so the last row stays and
            // nothing is discarded under a header.
            if (p->last_header_row == UINT64_MAX && p->row_count > 1)
                tv::parser_discard_rows(p, p->row_count - 1);
            kept_before = p->row_count;
            check_tables(p);
            if (tv::parser_shrink_buffers(p) != 0)
                fail();
            check_tables(p);
            if (out.result != 0 || p->tok_state == Finished)
                break;
        }
    }
    out.source_rows = p->source_rows;
    if (p->error_text)
        out.error = p->error_text;
    if (p->warning_text)
        out.warnings = p->warning_text;
    tv::parser_release(p);
    tv::parser_dealloc(p);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *input, size_t size)
{
    if (size < 8)
        return 0;
    const uint8_t *cfg = input;
    const uint8_t *data = input + 8;
    const size_t len = size - 8;
    std::vector<size_t> sizes = {static_cast<size_t>(input[6] & 7) + 1,
                                 static_cast<size_t>(input[6] >> 4) + 1};
    const size_t batch = static_cast<size_t>(input[7] & 3) + 1;

    const Outcome whole = run(cfg, data, len, {}, 0);
    const Outcome chunked = run(cfg, data, len, sizes, 0);
    if (!(whole == chunked))
        fail();
    const Outcome batched = run(cfg, data, len, sizes, batch);
    if (!(whole == batched))
        fail();
    return 0;
}
