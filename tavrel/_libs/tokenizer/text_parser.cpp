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
    size_t cap;  // power of two
    size_t count;
};

namespace tv {

namespace {

// The one growth rule for every buffer: the capacity that exceeds `need`,
// reached by doubling `cap` (0 becomes 2); 0 when no such capacity of
// `elem`-byte entries can be addressed.
uint64_t grown_capacity(uint64_t cap, uint64_t need, size_t elem) noexcept
{
    uint64_t c = cap;
    while (c <= need) {
        if (c == 0) {
            c = 2;
        } else if (c > UINT64_MAX / 2) {
            return 0;
        } else {
            c *= 2;
        }
    }
    return c <= SIZE_MAX / elem ? c : 0;
}

// Reallocates an array to exactly n entries (n > 0); -1 keeps the old block.
template <class T>
int resize_array(T *&array, uint64_t n) noexcept
{
    if (n == 0 || n > SIZE_MAX / sizeof(T)) {
        return -1;
    }
    void *block = realloc(array, static_cast<size_t>(n) * sizeof(T));
    if (block == nullptr) {
        return -1;
    }
    array = static_cast<T *>(block);
    return 0;
}

// Grows an array by the growth rule until its capacity exceeds `need`.  The
// block is reallocated once, at the end; on failure the array keeps its
// block and capacity and -1 is returned.
template <class T, class Cap>
int grow_array(T *&array, Cap &cap, uint64_t need) noexcept
{
    if (cap > need) {
        return 0;
    }
    const uint64_t c = grown_capacity(cap, need, sizeof(T));
    if (c == 0 || resize_array(array, c) != 0) {
        return -1;
    }
    cap = static_cast<Cap>(c);
    return 0;
}

// Two arrays indexed alike (field pointers and offsets, row first fields
// and field counts) share one capacity and are resized together to n
// entries.  If the second reallocation fails, the capacity is what both
// blocks still hold (the smaller of the old capacity and n) and -1 is
// returned.
template <class A, class B>
int resize_pair(A *&a, B *&b, uint64_t &cap, uint64_t n) noexcept
{
    if (resize_array(a, n) != 0) {
        return -1;
    }
    if (resize_array(b, n) != 0) {
        cap = n < cap ? n : cap;
        return -1;
    }
    cap = n;
    return 0;
}

// The pair grown by the growth rule until its capacity exceeds `need`.
template <class A, class B>
int grow_pair(A *&a, B *&b, uint64_t &cap, uint64_t need) noexcept
{
    if (cap > need) {
        return 0;
    }
    const size_t elem = sizeof(A) > sizeof(B) ? sizeof(A) : sizeof(B);
    const uint64_t c = grown_capacity(cap, need, elem);
    return c == 0 ? -1 : resize_pair(a, b, cap, c);
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
        // At most half full: twice the room, by the growth rule.
        const uint64_t cap = grown_capacity(set->cap, set->cap, sizeof(uint64_t));
        if (cap == 0 || !skip_set_rehash(set, static_cast<size_t>(cap))) {
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

void parser_dealloc(TextParser *p) noexcept { free(record_of(p)); }

void parser_set_predicate_caller(TextParser *p, SkipPredicateCaller caller) noexcept
{
    record_of(p)->priv.call_predicate = caller;
}

namespace {
std::atomic<const WideReader *> g_wide_reader{nullptr};
}  // namespace

void register_wide_reader(const WideReader *reader) noexcept { g_wide_reader.store(reader, std::memory_order_release); }

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
    if (grow_array(p->text_buf, p->text_cap, p->text_len + 2 * n64) != 0) {
        return -1;
    }
    if (p->text_buf != old_text) {
        repoint_fields(p);
    }

    if (n64 > UINT64_MAX - 1 - p->field_count) {
        return -1;
    }
    const uint64_t need = p->field_count + n64;
    if (need < p->field_cap_peak) {
        // Back to the largest size seen, exactly: doubling from the shrunk
        // size could overshoot the peak, and as the shrink records every
        // capacity as the new peak, batches of varying size would then
        // ratchet the field table up without bound.
        if (p->field_cap < p->field_cap_peak &&
            resize_pair(p->field_ptrs, p->field_offsets, p->field_cap, p->field_cap_peak) != 0) {
            return -1;
        }
    } else if (grow_pair(p->field_ptrs, p->field_offsets, p->field_cap, need) != 0) {
        return -1;
    }

    if (n64 > UINT64_MAX - 2 - p->row_count) {
        return -1;
    }
    return grow_pair(p->row_first_field, p->row_field_count, p->row_cap, p->row_count + n64 + 1);
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
    uint64_t t = shrink_target(p->field_count);
    if (t != 0 && t < p->field_cap && resize_pair(p->field_ptrs, p->field_offsets, p->field_cap, t) != 0) {
        return -1;
    }
    t = shrink_target(p->text_len);
    if (t != 0 && t < p->text_cap) {
        char *old = p->text_buf;
        if (resize_array(p->text_buf, t) != 0) {
            return -1;
        }
        if (p->text_buf != old) {
            repoint_fields(p);
        }
        p->text_cap = t;
    }
    t = shrink_target(p->row_count);
    if (t != 0 && t < p->row_cap && resize_pair(p->row_first_field, p->row_field_count, p->row_cap, t) != 0) {
        return -1;
    }
    return 0;
}

void column_cursor_init(ColumnCursor *cursor, TextParser *p, int64_t column, int64_t first_row) noexcept
{
    cursor->field_ptrs = p->field_ptrs;
    // Computed in integers: a cursor for a row past the table is the
    // client's to avoid dereferencing, not undefined to form.
    cursor->first_field_of_row = reinterpret_cast<int64_t *>(reinterpret_cast<uintptr_t>(p->row_first_field) +
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
    if (add > SIZE_MAX - 1 - priv.warning_len) {
        return;  // the line is lost, as when memory runs out
    }
    // The text and its NUL; a first block of 128 bytes at least.
    const size_t need = priv.warning_len + add;
    if (grow_array(p->warning_text, priv.warning_cap, need < 127 ? 127 : need) != 0) {
        return;
    }
    priv.warning_block = p->warning_text;
    memcpy(p->warning_text + priv.warning_len, line, add + 1);
    priv.warning_len += add;
}

}  // namespace tv
