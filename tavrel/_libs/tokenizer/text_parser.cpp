// Parser record: allocation, defaults, buffers and their growth, row
// discarding, shrinking, the skip-row set, error and warning texts.
#include "text_parser.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

struct SkipRowSet {
    uint64_t *keys;
    uint8_t *used;
    size_t cap;    // power of two
    size_t count;
};

namespace tv {

namespace {

// The one growth rule for every buffer: double the capacity (0 becomes 2)
// until it exceeds the need.  The block is reallocated once, at the end; on
// failure the buffer keeps its block and capacity and -1 is returned.
int grow(void **block, uint64_t *cap, uint64_t need, size_t elem) noexcept
{
    if (*cap > need) {
        return 0;
    }
    uint64_t c = *cap;
    while (c <= need) {
        if (c == 0) {
            c = 2;
        } else if (c > UINT64_MAX / 2) {
            return -1;
        } else {
            c *= 2;
        }
    }
    if (c > SIZE_MAX / elem) {
        return -1;
    }
    void *nb = realloc(*block, static_cast<size_t>(c) * elem);
    if (nb == nullptr) {
        return -1;
    }
    *block = nb;
    *cap = c;
    return 0;
}

// Resizes a block to exactly n entries (n > 0); -1 keeps the old block.
int resize(void **block, uint64_t n, size_t elem) noexcept
{
    if (n > SIZE_MAX / elem) {
        return -1;
    }
    void *nb = realloc(*block, static_cast<size_t>(n) * elem);
    if (nb == nullptr) {
        return -1;
    }
    *block = nb;
    return 0;
}

void repoint_fields(TextParser *p) noexcept
{
    p->cur_field_ptr = p->text_buf + p->cur_field_offset;
    for (uint64_t i = 0; i < p->field_count; ++i) {
        p->field_ptrs[i] = p->text_buf + p->field_offsets[i];
    }
}

// Smallest power of two >= u (1 for u <= 1), plus one; 0 when it would not fit.
uint64_t shrink_target(uint64_t u) noexcept
{
    uint64_t pw = 1;
    while (pw < u) {
        if (pw > UINT64_MAX / 2) {
            return 0;
        }
        pw *= 2;
    }
    return pw + 1;
}

uint64_t hash_row(uint64_t k) noexcept
{
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

void skip_set_free(SkipRowSet *set) noexcept
{
    if (set != nullptr) {
        free(set->keys);
        free(set->used);
        free(set);
    }
}

bool skip_set_rehash(SkipRowSet *set, size_t new_cap) noexcept
{
    uint64_t *keys = static_cast<uint64_t *>(calloc(new_cap, sizeof(uint64_t)));
    uint8_t *used = static_cast<uint8_t *>(calloc(new_cap, 1));
    if (keys == nullptr || used == nullptr) {
        free(keys);
        free(used);
        return false;
    }
    for (size_t i = 0; i < set->cap; ++i) {
        if (set->used[i]) {
            size_t j = static_cast<size_t>(hash_row(set->keys[i])) & (new_cap - 1);
            while (used[j]) {
                j = (j + 1) & (new_cap - 1);
            }
            used[j] = 1;
            keys[j] = set->keys[i];
        }
    }
    free(set->keys);
    free(set->used);
    set->keys = keys;
    set->used = used;
    set->cap = new_cap;
    return true;
}

bool skip_set_insert(SkipRowSet *set, uint64_t key) noexcept
{
    if ((set->count + 1) * 2 > set->cap) {
        if (set->cap > SIZE_MAX / 2 / sizeof(uint64_t) || !skip_set_rehash(set, set->cap * 2)) {
            return false;
        }
    }
    size_t j = static_cast<size_t>(hash_row(key)) & (set->cap - 1);
    while (set->used[j]) {
        if (set->keys[j] == key) {
            return true;
        }
        j = (j + 1) & (set->cap - 1);
    }
    set->used[j] = 1;
    set->keys[j] = key;
    ++set->count;
    return true;
}

void free_texts(TextParser *p) noexcept
{
    ParserRecord *r = record_of(p);
    free(p->error_text);
    p->error_text = nullptr;
    free(p->warning_text);
    p->warning_text = nullptr;
    r->priv.warning_block = nullptr;
    r->priv.warning_len = 0;
    r->priv.warning_cap = 0;
}

// Frees everything the record owns; the source is not touched.
void free_owned(TextParser *p) noexcept
{
    free_texts(p);
    skip_set_free(p->skip_rows);
    p->skip_rows = nullptr;
    record_of(p)->priv.skip_set_failed = 0;
    free(p->text_buf);
    p->text_buf = nullptr;
    free(p->field_ptrs);
    p->field_ptrs = nullptr;
    free(p->field_offsets);
    p->field_offsets = nullptr;
    free(p->row_first_field);
    p->row_first_field = nullptr;
    free(p->row_field_count);
    p->row_field_count = nullptr;
    p->text_len = p->text_cap = 0;
    p->field_count = p->field_cap = 0;
    p->row_count = p->row_cap = 0;
    p->cur_field_ptr = nullptr;
}

}  // namespace

bool skip_set_contains(const SkipRowSet *set, int64_t row) noexcept
{
    if (set == nullptr || set->count == 0) {
        return false;
    }
    uint64_t key = static_cast<uint64_t>(row);
    size_t j = static_cast<size_t>(hash_row(key)) & (set->cap - 1);
    while (set->used[j]) {
        if (set->keys[j] == key) {
            return true;
        }
        j = (j + 1) & (set->cap - 1);
    }
    return false;
}

TextParser *parser_alloc() noexcept
{
    ParserRecord *r = static_cast<ParserRecord *>(calloc(1, sizeof(ParserRecord)));
    return r == nullptr ? nullptr : &r->pub;
}

void parser_apply_defaults(TextParser *p) noexcept
{
    p->decimal_mark = '.';
    p->exponent_mark = 'E';
    p->tok_state = RowStart;
    p->sep = ',';
    p->split_on_blanks = 0;
    p->quote_doubling = 0;
    p->quote = '"';
    p->escape = '\0';
    p->row_end = '\0';
    p->skip_space_after_sep = 0;
    p->quote_mode = 0;
    p->newline_in_quotes = 1;
    p->want_fields = -1;
    p->bad_row_mode = BadRowRaise;
    p->comment = '#';
    p->group_mark = '\0';
    // A set recorded before the defaults were applied would otherwise leak.
    skip_set_free(p->skip_rows);
    p->skip_rows = nullptr;
    p->skip_predicate = nullptr;
    p->skip_below_row = -1;
    p->reserved_counter = 0;
}

int parser_setup(TextParser *p) noexcept
{
    ParserRecord *r = record_of(p);
    // A record set up before gives back what it owns; its source stays.
    free_owned(p);

    p->text_buf = static_cast<char *>(malloc(32));
    p->text_len = 0;
    p->text_cap = 32;
    p->field_ptrs = static_cast<char **>(malloc(3 * sizeof(char *)));
    p->field_offsets = static_cast<int64_t *>(malloc(3 * sizeof(int64_t)));
    p->field_count = 0;
    p->field_cap = 3;
    p->field_cap_peak = 3;
    p->row_first_field = static_cast<int64_t *>(malloc(3 * sizeof(int64_t)));
    p->row_field_count = static_cast<int64_t *>(malloc(3 * sizeof(int64_t)));
    p->row_count = 0;
    p->source_rows = 0;
    p->row_cap = 3;
    if (p->text_buf == nullptr || p->field_ptrs == nullptr || p->field_offsets == nullptr ||
        p->row_first_field == nullptr || p->row_field_count == nullptr) {
        parser_release(p);
        return -1;
    }
    p->cur_field_ptr = p->text_buf;
    p->cur_field_offset = 0;
    p->tok_state = RowStart;
    p->comment = '\0';
    p->row_first_field[0] = 0;
    p->row_field_count[0] = 0;
    p->chunk_len = 0;
    p->chunk_pos = 0;

    r->priv.internal_state = RowStart;
    r->priv.bom_matched = 0;
    r->priv.pending_pos = r->priv.pending_len = 0;
    r->priv.input_ended = 0;
    return 0;
}

void parser_release(TextParser *p) noexcept
{
    free_owned(p);
    if (p->release_fn != nullptr) {
        tv_release_fn release = p->release_fn;
        p->release_fn = nullptr;
        release(p->src_handle);
    }
}

void parser_dealloc(TextParser *p) noexcept
{
    free(record_of(p));
}

void parser_set_predicate_caller(TextParser *p, SkipPredicateCaller caller) noexcept
{
    record_of(p)->priv.call_predicate = caller;
}

namespace {
std::atomic<const WideReader *> g_wide_reader{nullptr};
}  // namespace

void register_wide_reader(const WideReader *reader) noexcept
{
    g_wide_reader.store(reader, std::memory_order_release);
}

WideReadFn wide_form_of(tv_read_fn fn) noexcept
{
    const WideReader *reader = g_wide_reader.load(std::memory_order_acquire);
    return reader != nullptr && fn != nullptr && reader->narrow == fn ? reader->wide : nullptr;
}

int parser_skip_row(TextParser *p, int64_t row) noexcept
{
    if (p->skip_rows == nullptr) {
        SkipRowSet *set = static_cast<SkipRowSet *>(calloc(1, sizeof(SkipRowSet)));
        if (set != nullptr) {
            set->cap = 16;
            set->keys = static_cast<uint64_t *>(calloc(set->cap, sizeof(uint64_t)));
            set->used = static_cast<uint8_t *>(calloc(set->cap, 1));
            if (set->keys == nullptr || set->used == nullptr) {
                skip_set_free(set);
                set = nullptr;
            }
        }
        if (set == nullptr) {
            // No failure result: remember it, so the next run fails instead
            // of keeping a row that was to be skipped.
            record_of(p)->priv.skip_set_failed = 1;
            return 0;
        }
        p->skip_rows = set;
    }
    if (!skip_set_insert(p->skip_rows, static_cast<uint64_t>(row))) {
        record_of(p)->priv.skip_set_failed = 1;
    }
    return 0;
}

void parser_skip_leading_rows(TextParser *p, int64_t count) noexcept
{
    if (count >= 1) {
        p->skip_below_row = count - 1;
    }
}

int parser_reserve(TextParser *p, size_t n) noexcept
{
    const uint64_t n64 = n;
    if (n64 > (UINT64_MAX - p->text_len) / 2) {
        return -1;
    }
    char *old_text = p->text_buf;
    void *block = p->text_buf;
    if (grow(&block, &p->text_cap, p->text_len + 2 * n64, 1) != 0) {
        return -1;
    }
    p->text_buf = static_cast<char *>(block);
    if (p->text_buf != old_text) {
        repoint_fields(p);
    }

    if (n64 > UINT64_MAX - 1 - p->field_count) {
        return -1;
    }
    const uint64_t need = p->field_count + n64;
    uint64_t old_cap = p->field_cap;
    block = p->field_ptrs;
    if (need < p->field_cap_peak) {
        // Back to the largest size seen, exactly: doubling from the shrunk
        // size could overshoot the peak, and as the shrink records every
        // capacity as the new peak, batches of varying size would then
        // ratchet the field table up without bound.
        if (p->field_cap < p->field_cap_peak) {
            if (resize(&block, p->field_cap_peak, sizeof(char *)) != 0) {
                return -1;
            }
            p->field_cap = p->field_cap_peak;
        }
    } else if (grow(&block, &p->field_cap, need, sizeof(char *)) != 0) {
        return -1;
    }
    p->field_ptrs = static_cast<char **>(block);
    if (p->field_cap != old_cap) {
        block = p->field_offsets;
        if (resize(&block, p->field_cap, sizeof(int64_t)) != 0) {
            // Both arrays must agree on the capacity; use the smaller one.
            p->field_cap = old_cap;
            return -1;
        }
        p->field_offsets = static_cast<int64_t *>(block);
    }

    if (n64 > UINT64_MAX - 2 - p->row_count) {
        return -1;
    }
    old_cap = p->row_cap;
    block = p->row_first_field;
    if (grow(&block, &p->row_cap, p->row_count + n64 + 1, sizeof(int64_t)) != 0) {
        return -1;
    }
    p->row_first_field = static_cast<int64_t *>(block);
    if (p->row_cap != old_cap) {
        block = p->row_field_count;
        if (resize(&block, p->row_cap, sizeof(int64_t)) != 0) {
            p->row_cap = old_cap;
            return -1;
        }
        p->row_field_count = static_cast<int64_t *>(block);
    }
    return 0;
}

int parser_discard_rows(TextParser *p, size_t n) noexcept
{
    const uint64_t k = n < p->row_count ? n : p->row_count;
    if (k == 0) {
        return 0;
    }
    const uint64_t d = static_cast<uint64_t>(p->row_first_field[k - 1] + p->row_field_count[k - 1]);
    uint64_t c = 0;
    if (d >= 1) {
        c = static_cast<uint64_t>(p->field_offsets[d - 1]) + strlen(p->field_ptrs[d - 1]) + 1;
    }
    if (c < p->text_len) {
        memmove(p->text_buf, p->text_buf + c, static_cast<size_t>(p->text_len - c));
    }
    p->text_len -= c;
    const uint64_t remaining = p->field_count - d;
    const int64_t shift = static_cast<int64_t>(c);
    for (uint64_t i = 0; i < remaining; ++i) {
        p->field_ptrs[i] = p->field_ptrs[i + d] - shift;
        p->field_offsets[i] = p->field_offsets[i + d] - shift;
    }
    p->field_count -= d;
    p->cur_field_offset -= shift;
    p->cur_field_ptr -= shift;
    for (uint64_t i = 0; i <= p->row_count - k; ++i) {
        p->row_first_field[i] = p->row_first_field[i + k] - static_cast<int64_t>(d);
        p->row_field_count[i] = p->row_field_count[i + k];
    }
    p->row_count -= k;
    return 0;
}

int parser_shrink_buffers(TextParser *p) noexcept
{
    if (p->field_cap > p->field_cap_peak) {
        p->field_cap_peak = p->field_cap;
    }
    void *block;
    uint64_t t = shrink_target(p->field_count);
    if (t != 0 && t < p->field_cap) {
        block = p->field_ptrs;
        if (resize(&block, t, sizeof(char *)) != 0) {
            return -1;
        }
        p->field_ptrs = static_cast<char **>(block);
        block = p->field_offsets;
        if (resize(&block, t, sizeof(int64_t)) != 0) {
            // field_ptrs is already smaller (a shrinking realloc keeps the
            // entries), so the common capacity is the new one either way;
            // the larger offsets block is simply kept.
            p->field_cap = t;
            return -1;
        }
        p->field_offsets = static_cast<int64_t *>(block);
        p->field_cap = t;
    }
    t = shrink_target(p->text_len);
    if (t != 0 && t < p->text_cap) {
        char *old = p->text_buf;
        block = p->text_buf;
        if (resize(&block, t, 1) != 0) {
            return -1;
        }
        p->text_buf = static_cast<char *>(block);
        if (p->text_buf != old) {
            repoint_fields(p);
        }
        p->text_cap = t;
    }
    t = shrink_target(p->row_count);
    if (t != 0 && t < p->row_cap) {
        block = p->row_first_field;
        if (resize(&block, t, sizeof(int64_t)) != 0) {
            return -1;
        }
        p->row_first_field = static_cast<int64_t *>(block);
        block = p->row_field_count;
        if (resize(&block, t, sizeof(int64_t)) != 0) {
            p->row_cap = t;
            return -1;
        }
        p->row_field_count = static_cast<int64_t *>(block);
        p->row_cap = t;
    }
    return 0;
}

void column_cursor_init(ColumnCursor *cursor, TextParser *p, int64_t column,
                        int64_t first_row) noexcept
{
    cursor->field_ptrs = p->field_ptrs;
    // Computed in integers: a cursor for a row past the table is the
    // client's to avoid dereferencing, not undefined to form.
    cursor->first_field_of_row = reinterpret_cast<int64_t *>(
        reinterpret_cast<uintptr_t>(p->row_first_field) +
        static_cast<uintptr_t>(first_row) * sizeof(int64_t));
    cursor->column = column;
}

void set_error_text(TextParser *p, const char *text) noexcept
{
    size_t len = strlen(text);
    char *copy = static_cast<char *>(malloc(len + 1));
    free(p->error_text);
    p->error_text = copy;
    if (copy != nullptr) {
        memcpy(copy, text, len + 1);
    }
}

void append_warning(TextParser *p, const char *line) noexcept
{
    TokenizerPrivate &priv = record_of(p)->priv;
    const size_t add = strlen(line);
    if (p->warning_text == nullptr || p->warning_text != priv.warning_block) {
        // The client took the text (or replaced it): start from what is there.
        priv.warning_block = p->warning_text;
        priv.warning_len = p->warning_text == nullptr ? 0 : strlen(p->warning_text);
        priv.warning_cap = p->warning_text == nullptr ? 0 : priv.warning_len + 1;
    }
    const size_t need = priv.warning_len + add + 1;
    if (need > priv.warning_cap) {
        size_t cap = priv.warning_cap < 128 ? 128 : priv.warning_cap;
        while (cap < need) {
            if (cap > SIZE_MAX / 2) {
                return;  // the line is lost, as when memory runs out
            }
            cap *= 2;
        }
        char *nb = static_cast<char *>(realloc(p->warning_text, cap));
        if (nb == nullptr) {
            return;
        }
        p->warning_text = nb;
        priv.warning_block = nb;
        priv.warning_cap = cap;
    }
    memcpy(p->warning_text + priv.warning_len, line, add + 1);
    priv.warning_len += add;
}

}  // namespace tv
