// Arrow export of columns: the C data interface structures (arrow_abi.h)
// built over buffers that belong to someone else, mostly the NumPy arrays
// of a read.  Pure: no Python object is touched here.  Each column's
// buffers are held by a ColumnStore, which every exported array of that
// column retains; the last release, from whichever thread makes it, frees
// the blocks made for the export and hands the outside owner to a drop
// callback (the module's takes the interpreter lock to drop its arrays).
//
// The conversions the export needs (bit packing, validity bitmaps, day and
// time-unit changes, text offsets, batch limits) and the check of a schema a
// consumer asks for are here too, so that they are tested natively.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "arrow_abi.h"
#include "civil_time.hpp"
#include "column_store.hpp"

namespace tv::reader::arrow {

// The buffers of one column and what keeps them alive.  Reference counted
// (atomically: exported arrays are released from any thread).
class ColumnStore {
public:
    using Drop = void (*)(void *owner) noexcept;

    // A store holding one reference; `drop(owner)` runs when the last goes
    // (never when owner is null).  Null when out of memory, after dropping
    // the owner.
    static ColumnStore *create(Drop drop, void *owner) noexcept;

    ColumnStore(const ColumnStore &) = delete;
    ColumnStore &operator=(const ColumnStore &) = delete;

    // Zeroed memory of at least `bytes` (8-byte multiple), freed with the
    // store; null when out of memory.
    void *make(size_t bytes) noexcept;
    // Takes over a released Buffer block; false when out of memory (the
    // block is freed then).
    bool adopt(Buffer::Block block) noexcept;

    void retain() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

private:
    ColumnStore(Drop drop, void *owner) noexcept : drop_(drop), owner_(owner) {}
    ~ColumnStore();

    std::atomic<int64_t> refs_{1};
    Drop drop_;
    void *owner_;
    std::vector<Buffer::Block> blocks_;
};

// One field of a schema.
struct Field {
    std::string name;    // UTF-8, no NUL
    std::string format;  // e.g. "l", "g", "b", "tsu:UTC", "tdD", "u", "U"
    int64_t flags = ARROW_FLAG_NULLABLE;
};

// A struct schema ("+s") with one child per field.  False when out of
// memory (`out` is then left released).
bool export_schema(const std::vector<Field> &fields, ArrowSchema *out) noexcept;

// One column's part of one batch.
struct Chunk {
    ColumnStore *store = nullptr;  // retained by the exported array
    int64_t length = 0;
    int64_t null_count = 0;
    int n_buffers = 2;  // 2 (validity, values) or 3 (validity, offsets, data)
    const void *buffers[3] = {nullptr, nullptr, nullptr};
};

// A struct array of `length` rows over the chunks (one record batch).  False
// when out of memory (`out` is then left released).
bool export_batch(int64_t length, const std::vector<Chunk> &chunks, ArrowArray *out) noexcept;

// A stream of the schema's batches, handed out in order.  Takes the
// batches over whatever happens (on failure they are released); false when
// out of memory (`out` is then left released).
bool export_stream(const std::vector<Field> &fields, std::vector<ArrowArray> &batches, ArrowArrayStream *out) noexcept;

// --- buffers ------------------------------------------------------------------------

// Bytes of a bitmap of n bits, padded to whole 64-bit words.
inline size_t bitmap_bytes(int64_t n) noexcept { return static_cast<size_t>((n + 63) / 64) * 8; }

// Bytes (zero: false) as bits, least significant first, into a zeroed bitmap.
void pack_bits(const uint8_t *bytes, int64_t n, uint8_t *bits) noexcept;

// The validity bitmap of rows [0, n) into a zeroed bitmap (bit set: a
// value), `missing(i)` telling the nulls; returns the null count.
template <class Missing>
int64_t pack_validity(uint8_t *bits, int64_t n, Missing missing) noexcept
{
    int64_t valid = 0;
    for (int64_t i = 0; i < n; i += 8) {
        const int64_t stop = n - i < 8 ? n - i : 8;
        unsigned b = 0;
        for (int64_t k = 0; k < stop; ++k)
            b |= (missing(i + k) ? 0u : 1u) << k;
        bits[i >> 3] = static_cast<uint8_t>(b);
        valid += __builtin_popcount(b);
    }
    return n - valid;
}

// Date-time counts changed to another unit, `null(i)` telling the rows to
// skip (written as 0).  Each returns -1, or the first row whose value the
// target cannot hold.
//   to_date32: counts of years (unit 0), months (1), weeks (2) or days (4)
//              to days since 1970-01-01 as int32;
//   scale_up:  counts times `factor` (hours and minutes to seconds);
//   scale_down_exact: counts divided by `divisor`, which must divide each.
template <class Null>
int64_t to_date32(const int64_t *in, int64_t n, int unit, int32_t *out, Null null) noexcept;
template <class Null>
int64_t scale_up(const int64_t *in, int64_t n, int64_t factor, int64_t *out, Null null) noexcept;
template <class Null>
int64_t scale_down_exact(const int64_t *in, int64_t n, int64_t divisor, int64_t *out, Null null) noexcept;

// The text of a column gathered for export: the values back to back and
// n + 1 int64 offsets (from 0) where they start.
class TextGather {
public:
    bool begin(int64_t rows) noexcept;
    bool append(const char *text, size_t size) noexcept;
    // A null of the value's own (as NumPy's NA string): no text, flagged.
    bool append_null() noexcept;

    int64_t rows() const noexcept { return row_; }
    const int64_t *offsets() const noexcept { return reinterpret_cast<const int64_t *>(offsets_.data()); }
    const char *data() const noexcept { return data_.data() != nullptr ? data_.data() : ""; }
    // Per row, 1 for a null of its own; null when there is none.
    const uint8_t *nulls() const noexcept
    {
        return any_null_ ? reinterpret_cast<const uint8_t *>(nulls_.data()) : nullptr;
    }
    Buffer &data_buffer() noexcept { return data_; }
    Buffer &offsets_buffer() noexcept { return offsets_; }

private:
    Buffer data_;
    Buffer offsets_;
    Buffer nulls_;
    int64_t row_ = 0;
    int64_t capacity_ = 0;
    bool any_null_ = false;
};

// Offsets of rows [start, start + length) of a gathered column, from 0:
// int32 unless `large`.  The caller checked that int32 holds them.
void rebase_offsets(const int64_t *offsets, int64_t start, int64_t length, bool large, void *out) noexcept;

// Where batches start so that each batch's text in every column spans at
// most `limit` bytes (offsets: n + 1 int64 values per column).  Always one
// batch at least (an empty table has one empty batch).  0, or 1 when one
// value alone is longer than the limit, or -1 when out of memory.
int split_rows(const std::vector<const int64_t *> &offsets, int64_t n, int64_t limit,
               std::vector<int64_t> *starts) noexcept;

// Checks a schema asked for by a consumer against ours: a struct of the
// same fields in the same order, by name, each of our format or, for a
// text field, the other offset width ("u" and "U").  On success the fields
// take the requested formats and nullability; false with a message.
bool match_requested(const ArrowSchema *requested, std::vector<Field> *fields, std::string *message) noexcept;

// --- templates ----------------------------------------------------------------------

namespace detail {

// Years, months or weeks since 1970 whose first day is within the range
// of int32 days (about 5.8 million years either way).
constexpr int64_t kMaxYears = 5800000;

// Each count through `convert(count, &out[i])` (false: it cannot be held).
template <class T, class Null, class Convert>
int64_t convert_counts(const int64_t *in, int64_t n, T *out, Null null, Convert convert) noexcept
{
    for (int64_t i = 0; i < n; ++i) {
        if (null(i))
            out[i] = 0;
        else if (!convert(in[i], &out[i]))
            return i;
    }
    return -1;
}

inline bool days_of(int64_t v, int unit, int32_t *out) noexcept
{
    int64_t days;
    switch (unit) {
    case 0:  // years
        if (v < -kMaxYears || v > kMaxYears)
            return false;
        days = days_from_civil(1970 + v, 1, 1);
        break;
    case 1: {  // months
        if (v < -12 * kMaxYears || v > 12 * kMaxYears)
            return false;
        const int64_t years = v >= 0 ? v / 12 : -((-v + 11) / 12);
        days = days_from_civil(1970 + years, static_cast<int>(v - years * 12) + 1, 1);
        break;
    }
    case 2:  // weeks
        if (v < -(INT64_C(1) << 40) || v > (INT64_C(1) << 40))
            return false;
        days = v * 7;
        break;
    default:
        days = v;
        break;
    }
    if (days < INT32_MIN || days > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(days);
    return true;
}

}  // namespace detail

template <class Null>
int64_t to_date32(const int64_t *in, int64_t n, int unit, int32_t *out, Null null) noexcept
{
    return detail::convert_counts(in, n, out, null,
                                  [unit](int64_t v, int32_t *o) { return detail::days_of(v, unit, o); });
}

template <class Null>
int64_t scale_up(const int64_t *in, int64_t n, int64_t factor, int64_t *out, Null null) noexcept
{
    return detail::convert_counts(in, n, out, null,
                                  [factor](int64_t v, int64_t *o) { return !__builtin_mul_overflow(v, factor, o); });
}

template <class Null>
int64_t scale_down_exact(const int64_t *in, int64_t n, int64_t divisor, int64_t *out, Null null) noexcept
{
    return detail::convert_counts(in, n, out, null, [divisor](int64_t v, int64_t *o) {
        *o = v / divisor;
        return v % divisor == 0;
    });
}

}  // namespace tv::reader::arrow
