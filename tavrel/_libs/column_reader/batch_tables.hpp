// The tokenizer's tables of one batch, taken out of the parser record.
//
// A TextParser keeps its rows in five heap buffers (the text stream, two
// field arrays, two row arrays) that its clients read and write directly
// and that the record frees with the C library's free() when it is
// released.  To convert one batch while the next is tokenized, the reader
// takes the buffers holding the batch out of the record and gives the
// record a second set, into which the row under construction (usually
// empty, since the tokenizer stops right after a row) is moved.  The two
// sets then change places batch after batch; no row text is copied.
//
// The record's first row after a swap is an empty placeholder: the
// tokenizer never measures the row at index 0 against the expected number
// of fields, so new rows must come after it.
//
// Pure: no Python objects; every allocation reports failure by its result.
#pragma once

#include <tavrel/parser_api.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tv::reader {

// Where the rows of a table are, as the conversion reads them.  Field i's
// text is fields[i] up to fields[i + 1] - 1 (its terminating NUL): the
// entry after the last field marks where the next field would begin.
struct RowTable {
    char **fields = nullptr;
    const int64_t *first_field = nullptr;
    const int64_t *counts = nullptr;
    const char *readable = nullptr;  // the text may be loaded up to here
};

// The view of a parser's own tables; marks the end of the last field (the
// field arrays always have a spare entry).
inline RowTable row_table(TextParser *p) noexcept
{
    p->field_ptrs[p->field_count] = p->cur_field_ptr;
    return RowTable{p->field_ptrs, p->row_first_field, p->row_field_count, p->text_buf + p->text_cap};
}

class TableSet {
public:
    TableSet() noexcept = default;
    TableSet(const TableSet &) = delete;
    TableSet &operator=(const TableSet &) = delete;
    TableSet(TableSet &&o) noexcept : b_(o.b_) { o.b_ = Buffers{}; }
    TableSet &operator=(TableSet &&o) noexcept
    {
        if (this != &o) {
            clear();
            b_ = o.b_;
            o.b_ = Buffers{};
        }
        return *this;
    }
    ~TableSet() { clear(); }

    void clear() noexcept
    {
        std::free(b_.text);
        std::free(b_.field_ptrs);
        std::free(b_.field_offsets);
        std::free(b_.row_first);
        std::free(b_.row_count);
        b_ = Buffers{};
    }

    bool empty() const noexcept { return b_.text == nullptr; }
    // Rows taken (the placeholder or header row at index 0 included).
    uint64_t rows() const noexcept { return b_.rows; }
    // Bytes of text of the rows taken.
    uint64_t text_bytes() const noexcept { return b_.text_len; }
    const RowTable &view() const noexcept { return b_.view; }

    // Takes the parser's tables (rows [0, row_count) and everything the
    // batch's conversion reads) into *this and gives the parser `spare`'s
    // buffers, holding the placeholder row and then the row under
    // construction.  `spare` may be empty (fresh buffers are allocated) and
    // is left empty.  False when out of memory: then the parser is as it was.
    bool take_from(TextParser *p, TableSet &spare) noexcept
    {
        const uint64_t rc = p->row_count;
        const int64_t f0 = p->row_first_field[rc];
        const uint64_t nf = p->field_count - static_cast<uint64_t>(f0);
        const int64_t t0 = nf > 0 ? p->field_offsets[f0] : p->cur_field_offset;
        const uint64_t tail = p->text_len - static_cast<uint64_t>(t0);
        Buffers &s = spare.b_;
        if (!spare.fit(tail + 1, nf + 1, 3))
            return false;
        // The row under construction, to the front of the new stream.
        if (tail != 0)
            std::memcpy(s.text, p->text_buf + t0, tail);
        for (uint64_t i = 0; i < nf; ++i) {
            const int64_t off = p->field_offsets[static_cast<uint64_t>(f0) + i] - t0;
            s.field_offsets[i] = off;
            s.field_ptrs[i] = s.text + off;
        }
        const int64_t cur = p->cur_field_offset - t0;

        clear();
        b_.text = p->text_buf;
        b_.text_cap = p->text_cap;
        b_.field_ptrs = p->field_ptrs;
        b_.field_offsets = p->field_offsets;
        b_.field_cap = p->field_cap;
        b_.row_first = p->row_first_field;
        b_.row_count = p->row_field_count;
        b_.row_cap = p->row_cap;
        b_.rows = rc;
        // The batch's text ends where the row under construction began, and
        // entry f0 (that row's first field, or the spare entry) now marks
        // the end of the batch's last field.
        b_.text_len = static_cast<uint64_t>(t0);
        b_.field_ptrs[f0] = b_.text + t0;
        b_.view = RowTable{b_.field_ptrs, b_.row_first, b_.row_count, b_.text + b_.text_cap};

        p->text_buf = s.text;
        p->text_cap = s.text_cap;
        p->text_len = tail;
        p->field_ptrs = s.field_ptrs;
        p->field_offsets = s.field_offsets;
        p->field_cap = s.field_cap;
        p->field_count = nf;
        p->cur_field_offset = cur;
        p->cur_field_ptr = s.text + cur;
        p->row_first_field = s.row_first;
        p->row_field_count = s.row_count;
        p->row_cap = s.row_cap;
        p->row_first_field[0] = 0;
        p->row_field_count[0] = 0;
        p->row_first_field[1] = 0;
        p->row_field_count[1] = static_cast<int64_t>(nf);
        p->row_count = 1;
        s = Buffers{};
        return true;
    }

private:
    struct Buffers {
        char *text = nullptr;
        uint64_t text_cap = 0;
        uint64_t text_len = 0;
        char **field_ptrs = nullptr;
        int64_t *field_offsets = nullptr;
        uint64_t field_cap = 0;
        int64_t *row_first = nullptr;
        int64_t *row_count = nullptr;
        uint64_t row_cap = 0;
        uint64_t rows = 0;
        RowTable view;
    };

    // Grows the buffers to more than the given text bytes, fields and rows
    // (the record's rule: capacity strictly above use).
    bool fit(uint64_t text, uint64_t fields, uint64_t rows) noexcept
    {
        return grow(reinterpret_cast<void **>(&b_.text), &b_.text_cap, text, 1) &&
               grow_pair(reinterpret_cast<void **>(&b_.field_ptrs), reinterpret_cast<void **>(&b_.field_offsets),
                         &b_.field_cap, fields, sizeof(char *), sizeof(int64_t)) &&
               grow_pair(reinterpret_cast<void **>(&b_.row_first), reinterpret_cast<void **>(&b_.row_count),
                         &b_.row_cap, rows, sizeof(int64_t), sizeof(int64_t));
    }

    static uint64_t capacity_for(uint64_t cap, uint64_t need) noexcept
    {
        if (cap > need)
            return cap;
        const uint64_t c = need < 16 ? 16 : need;
        return c + c / 2;
    }

    static bool grow(void **block, uint64_t *cap, uint64_t need, size_t unit) noexcept
    {
        const uint64_t c = capacity_for(*cap, need);
        if (c == *cap && *block != nullptr)
            return true;
        if (c > SIZE_MAX / unit)
            return false;
        void *b = std::realloc(*block, static_cast<size_t>(c) * unit);
        if (b == nullptr)
            return false;
        *block = b;
        *cap = c;
        return true;
    }

    // Two arrays of one capacity.  When the second cannot grow, the first
    // is larger than the capacity says, which is harmless.
    static bool grow_pair(void **a, void **b, uint64_t *cap, uint64_t need, size_t ua, size_t ub) noexcept
    {
        const uint64_t c = capacity_for(*cap, need);
        if (c == *cap && *a != nullptr && *b != nullptr)
            return true;
        if (c > SIZE_MAX / ua || c > SIZE_MAX / ub)
            return false;
        void *na = std::realloc(*a, static_cast<size_t>(c) * ua);
        if (na == nullptr)
            return false;
        *a = na;
        void *nb = std::realloc(*b, static_cast<size_t>(c) * ub);
        if (nb == nullptr)
            return false;
        *b = nb;
        *cap = c;
        return true;
    }

    Buffers b_;
};

}  // namespace tv::reader
