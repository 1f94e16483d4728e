// The column reader's conversion engine (see reader_engine.hpp).
#include "reader_engine.hpp"

#include <climits>
#include <cmath>
#include <cstring>
#include <utility>

#include "civil_time.hpp"
#include "number_parse.hpp"
#include "utf8_check.hpp"

namespace tv::reader {

namespace {

inline size_t width_of(Kind k) noexcept { return k == Kind::Bool ? 1 : 8; }
inline bool has_values(Kind k) noexcept { return k != Kind::Empty && k != Kind::Text; }

template <class T>
inline T *values_of(Column &c) noexcept
{
    return reinterpret_cast<T *>(c.data.data());
}

// Writes the placeholder of a missing value into rows [a, b).
void fill_default(Column &c, Kind k, int64_t a, int64_t b) noexcept
{
    switch (k) {
    case Kind::Int64:
    case Kind::UInt64:
        std::memset(c.data.data() + a * 8, 0, static_cast<size_t>(b - a) * 8);
        break;
    case Kind::Bool:
        std::memset(c.data.data() + a, 0, static_cast<size_t>(b - a));
        break;
    case Kind::Float64:
        for (int64_t i = a; i < b; ++i)
            values_of<double>(c)[i] = NAN;
        break;
    case Kind::Datetime:
        for (int64_t i = a; i < b; ++i)
            values_of<int64_t>(c)[i] = kNaT;
        break;
    default:
        break;
    }
}

inline uint8_t *bool_slot(Column &c, int64_t row) noexcept { return reinterpret_cast<uint8_t *>(c.data.data()) + row; }

inline bool row_missing(const Column &c, int64_t row) noexcept { return c.has_missing && c.missing.data()[row] != 0; }

}  // namespace

// What classify() found out about one text.
struct Engine::Parsed {
    ValueClass cls;
    int64_t i = 0;  // integer (the uint64's bits when above_int64)
    double f = 0;   // float
    uint8_t b = 0;  // bool
    bool minus_zero = false;
};

bool Engine::reset_types() noexcept
{
    has_markers_ = false;
    std::memset(marker_first_, 0, sizeof marker_first_);
    for (const std::string &m : rules.missing) {
        if (!m.empty()) {
            has_markers_ = true;
            marker_first_[static_cast<unsigned char>(m[0])] = true;
        }
    }
    for (auto &cp : columns) {
        Column &c = *cp;
        if (!c.forced) {
            c.type.reset(c.allowed, api_->uint_scan_conflict);
            c.kind = Kind::Empty;
            c.unit = -1;
        }
        c.zones = 0;
        settle(c);
    }
    reset_storage();
    return true;
}

void Engine::reset_storage() noexcept
{
    rows_ = 0;
    batch_end_ = 0;
    for (auto &cp : columns) {
        Column &c = *cp;
        c.data.clear();
        c.missing.clear();
        c.has_missing = false;
        c.valid_from = 0;
        c.negative_zeros.clear();
        c.bad_utf8 = false;
        c.error = EngineError{};
    }
}

// Kept by the column (columns may be converted on several threads).
bool Engine::fail(EngineError::Code code, Column &c, int64_t row, const char *text, size_t size) noexcept
{
    EngineError &e = c.error;
    if (e.code != EngineError::None)
        return false;
    e.code = code;
    e.column = c.index;
    e.row = row;
    try {
        e.text.assign(text, size < 200 ? size : 200);
    } catch (...) {
        e.text.clear();
    }
    return false;
}

// The columns' failure met first in row order (the lowest row, then the
// first column) becomes `error`; the columns' are cleared.  False when
// there was one.
bool Engine::take_error() noexcept
{
    Column *first = nullptr;
    for (auto &cp : columns) {
        Column &c = *cp;
        if (c.error.code != EngineError::None && (first == nullptr || c.error.row < first->error.row))
            first = &c;
    }
    if (first == nullptr)
        return true;
    std::swap(error, first->error);
    for (auto &cp : columns)
        cp->error = EngineError{};
    return false;
}

bool Engine::is_missing_text(const char *text, size_t size) const noexcept
{
    if (size == 0)
        return true;
    if (!has_markers_ || !marker_first_[static_cast<unsigned char>(text[0])])
        return false;
    for (const std::string &m : rules.missing) {
        if (m.size() == size && std::memcmp(m.data(), text, size) == 0)
            return true;
    }
    return false;
}

// --- reading one text as each family -----------------------------------------

bool Engine::read_float(const char *text, size_t size, double *out) const noexcept
{
    if (rules.float_algorithm == FloatAlgorithm::Exact)
        return scan_float(text, text + size, rules.decimal_mark, rules.group_mark, out);
    tv_parse_double_fn parse = rules.float_algorithm == FloatAlgorithm::Fast      ? api_->parse_double_fast
                               : rules.float_algorithm == FloatAlgorithm::Precise ? api_->parse_double_precise
                                                                                  : api_->parse_double_roundtrip;
    int err = 0;
    char *end = nullptr;
    // The table's parsers read up to the NUL: a NUL inside the field stops
    // them short of its end, which refuses the text.
    const double v = parse(text, &end, rules.decimal_mark, 'E', rules.group_mark, 1, &err, nullptr);
    if (err != 0 || end != text + size)
        return false;
    *out = v;
    return true;
}

namespace {

bool in_list(const std::vector<std::string> &list, const char *text, size_t size) noexcept
{
    for (const std::string &s : list) {
        if (s.size() == size && std::memcmp(s.data(), text, size) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool Engine::read_bool(const char *text, size_t size, uint8_t *out) const noexcept
{
    if (rules.true_values.empty() && rules.false_values.empty()) {
        // The parser's own spellings: TRUE and FALSE in any letter case.
        if ((size != 4 && size != 5) || std::memchr(text, 0, size) != nullptr)
            return false;
        return api_->parse_bool(text, out) == 0;
    }
    if (rules.true_values.empty() ? detail::equal_nocase(text, text + size, "true")
                                  : in_list(rules.true_values, text, size)) {
        *out = 1;
        return true;
    }
    if (rules.false_values.empty() ? detail::equal_nocase(text, text + size, "false")
                                   : in_list(rules.false_values, text, size)) {
        *out = 0;
        return true;
    }
    return false;
}

bool Engine::read_datetime(const char *text, size_t size, ValueClass *v) const noexcept
{
    const char *b = text;
    const char *e = text + size;
    trim_spaces(b, e);
    if (b == e || e - b > 64)
        return false;
    npy_datetimestruct dts;
    int best = -1, has_zone = 0, offset = 0;
    const char *format = rules.has_date_format ? rules.date_format.c_str() : "";
    const int format_length = rules.has_date_format ? static_cast<int>(rules.date_format.size()) : 0;
    if (dt_->parse_iso8601(b, static_cast<int>(e - b), 0, &dts, &best, &has_zone, &offset, format, format_length,
                           rules.has_date_format ? TV_FORMAT_EXACT : TV_FORMAT_INFER) != 0)
        return false;
    if (!is_reader_unit(best))
        return false;
    if (!has_zone)
        offset = 0;
    v->aware = has_zone != 0;
    v->unit = unit_for_offset(best, offset);
    v->instant = make_instant(dts.year, dts.month, dts.day, dts.hour, dts.min, dts.sec, dts.us, dts.ps, dts.as, offset);
    v->families |= kFamDatetime;
    return true;
}

// An integer text above the int64 maximum (digits, spaces and group marks
// only, so no NUL inside), through the table's unsigned parser and the
// column's scan record.
bool Engine::read_uint64(Column &c, const char *text, uint64_t *out) const noexcept
{
    int err = 0;
    const uint64_t u = api_->parse_uint64(c.type.scan(), text, INT64_MAX, UINT64_MAX, &err, rules.group_mark);
    if (err != 0)
        return false;
    *out = u;
    return true;
}

void Engine::classify(Column &c, const char *text, size_t size, Parsed &v) noexcept
{
    const uint8_t mask = c.type.mask();
    ValueClass &cls = v.cls;
    if (mask & (kFamInt | kFamFloat)) {
        IntValue iv;
        const IntScan s = scan_int64(text, text + size, rules.group_mark, &iv);
        uint64_t u;
        if (s == IntScan::Ok) {
            cls.families |= kFamInt | kFamFloat;
            cls.negative = iv.value < 0;
            v.i = iv.value;
            v.minus_zero = iv.negative && iv.value == 0;
            v.f = v.minus_zero ? -0.0 : static_cast<double>(iv.value);
        } else if (s == IntScan::AboveInt64 && (mask & kFamInt) && read_uint64(c, text, &u)) {
            cls.families |= kFamInt | kFamFloat;
            cls.above_int64 = true;
            v.i = static_cast<int64_t>(u);
            v.f = static_cast<double>(u);
        }
        if (!(cls.families & kFamFloat) && (mask & kFamFloat) && read_float(text, size, &v.f))
            cls.families |= kFamFloat;
    }
    if ((mask & kFamBool) && read_bool(text, size, &v.b))
        cls.families |= kFamBool;
    if (mask & kFamDatetime)
        read_datetime(text, size, &cls);
}

// --- storing -----------------------------------------------------------------

// Texts stay in the parser's tables until the module moves them into the
// column's array (between batches); here they are only checked for UTF-8.
bool Engine::check_text(Column &c, const char *text, size_t size, int64_t row, const char *readable) noexcept
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (size <= 16 && readable != nullptr && readable - text >= 16) {
        // A short text: two words checked for ASCII at once (the first byte
        // is the low byte of the first word).
        uint64_t w0, w1;
        std::memcpy(&w0, text, 8);
        std::memcpy(&w1, text + 8, 8);
        const uint64_t m0 = size >= 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * size)) - 1;
        const uint64_t m1 = size >= 16 ? ~uint64_t(0) : size <= 8 ? 0 : (uint64_t(1) << (8 * (size - 8))) - 1;
        if ((((w0 & m0) | (w1 & m1)) & 0x8080808080808080u) == 0)
            return true;
    }
#endif
    if (!utf8_valid(text, size)) {
        c.bad_utf8 = true;
        if (rules.strict_utf8)
            return fail(EngineError::BadUtf8, c, row, text, size);
    }
    return true;
}

bool Engine::place_missing(Column &c, int64_t row) noexcept
{
    if (!c.has_missing) {
        if (!c.missing.resize(static_cast<size_t>(batch_end_)))
            return fail(EngineError::NoMemory, c, row, "", 0);
        std::memset(c.missing.data(), 0, static_cast<size_t>(batch_end_));
        c.has_missing = true;
    }
    c.missing.data()[row] = 1;
    switch (c.kind) {
    case Kind::Empty:
    case Kind::Text:
        return true;
    default:
        fill_default(c, c.kind, row, row + 1);
        return true;
    }
}

bool Engine::store(Column &c, const Parsed &v, const char *text, size_t size, int64_t row) noexcept
{
    switch (c.kind) {
    case Kind::Int64:
    case Kind::UInt64:
        values_of<int64_t>(c)[row] = v.i;
        if (v.minus_zero) {
            const size_t n = c.negative_zeros.size();
            if (!c.negative_zeros.resize(n + sizeof(int64_t)))
                return fail(EngineError::NoMemory, c, row, "", 0);
            std::memcpy(c.negative_zeros.data() + n, &row, sizeof row);
        }
        return true;
    case Kind::Float64:
        values_of<double>(c)[row] = v.f;
        return true;
    case Kind::Bool:
        *bool_slot(c, row) = v.b;
        return true;
    case Kind::Datetime:
        if (!instant_to_count(v.cls.instant, c.unit, &values_of<int64_t>(c)[row]))
            return fail(EngineError::BadValue, c, row, text, size);
        return true;
    case Kind::Text:
        return check_text(c, text, size, row, nullptr);
    case Kind::Empty:
        break;
    }
    return true;
}

// The general path: classify the text in full, let the column's type take
// it, move the stored values to the new type if it changed, store.
bool Engine::place_value(Column &c, const char *text, size_t size, int64_t row) noexcept
{
    Parsed v;
    classify(c, text, size, v);
    c.type.add(v.cls);
    const Kind k = c.type.kind();
    const int unit = k == Kind::Datetime ? c.type.unit() : -1;
    if ((k != c.kind || unit != c.unit) && !become(c, k, unit, row))
        return false;
    return store(c, v, text, size, row);
}

bool Engine::become(Column &c, Kind k, int unit, int64_t row) noexcept
{
    const Kind from = c.kind;
    const size_t room = static_cast<size_t>(batch_end_) * width_of(k);
    if (from == Kind::Empty) {
        // Every row so far was missing.
        c.valid_from = 0;
        if (k != Kind::Text) {
            if (!c.data.resize(room))
                return fail(EngineError::NoMemory, c, row, "", 0);
            fill_default(c, k, 0, row);
        }
    } else if (from == Kind::Int64 && k == Kind::UInt64) {
        // No value was negative: the bits are the same.
    } else if ((from == Kind::Int64 || from == Kind::UInt64) && k == Kind::Float64) {
        double *d = values_of<double>(c);
        const int64_t *s = values_of<int64_t>(c);
        for (int64_t i = 0; i < row; ++i) {
            if (row_missing(c, i))
                d[i] = NAN;
            else if (from == Kind::Int64)
                d[i] = static_cast<double>(s[i]);
            else
                d[i] = static_cast<double>(static_cast<uint64_t>(s[i]));
        }
        const int64_t *z = reinterpret_cast<const int64_t *>(c.negative_zeros.data());
        for (size_t j = 0; j < c.negative_zeros.size() / sizeof(int64_t); ++j)
            d[z[j]] = -0.0;
        c.negative_zeros.clear();
    } else if (from == Kind::Datetime && k == Kind::Datetime) {
        int64_t *v = values_of<int64_t>(c);
        for (int64_t i = c.valid_from; i < row; ++i) {
            if (v[i] != kNaT && !instant_to_count(count_to_instant(v[i], c.unit), unit, &v[i]))
                return fail(EngineError::BadValue, c, i, "", 0);
        }
    } else {
        // The stored values cannot become the new kind: the rows so far
        // are pending, to be filled from their texts.
        c.valid_from = row;
        c.negative_zeros.clear();
        if (k != Kind::Text) {
            if (!c.data.resize(room))
                return fail(EngineError::NoMemory, c, row, "", 0);
            fill_default(c, k, 0, row);
        }
    }
    if (k == Kind::Text)
        c.data.clear();
    c.kind = k;
    c.unit = unit;
    return true;
}

// --- the loop --------------------------------------------------------------------

// Which kind's fast path a column takes: its own kind when no other family
// is still possible (or the kind is forced), else none (Empty).
void Engine::settle(Column &c) noexcept { c.fast = (c.forced || !c.type.unsettled()) ? c.kind : Kind::Empty; }

// One field: missing, or a value the column's kind takes at once, or (the
// general path) a value that is classified in full.
__attribute__((always_inline)) inline bool Engine::convert_value(Column &c, const char *text, size_t size,
                                                                 int64_t row) noexcept
{
    if (size == 0 || (has_markers_ && is_missing_text(text, size)))
        return place_missing(c, row);
    switch (c.fast) {
    case Kind::Int64:
    case Kind::UInt64: {
        IntValue iv;
        const IntScan s = scan_int64(text, text + size, rules.group_mark, &iv);
        if (s == IntScan::Ok) {
            if (iv.value < 0) {
                if (c.fast == Kind::UInt64)
                    break;
                c.type.scan()->seen_negative = 1;
            }
            values_of<int64_t>(c)[row] = iv.value;
            if (iv.negative && iv.value == 0) {
                Parsed v;
                v.minus_zero = true;
                return store(c, v, text, size, row);
            }
            return true;
        }
        uint64_t u;
        if (c.fast == Kind::UInt64 && s == IntScan::AboveInt64 && read_uint64(c, text, &u)) {
            values_of<uint64_t>(c)[row] = u;
            return true;
        }
        break;
    }
    case Kind::Float64: {
        double *slot = &values_of<double>(c)[row];
        if (rules.float_algorithm == FloatAlgorithm::Exact
                ? scan_float(text, text + size, rules.decimal_mark, rules.group_mark, slot, readable_)
                : read_float(text, size, slot))
            return true;
        break;
    }
    case Kind::Bool:
        if (read_bool(text, size, bool_slot(c, row)))
            return true;
        break;
    case Kind::Datetime: {
        ValueClass v;
        if (!read_datetime(text, size, &v))
            break;
        c.zones |= v.aware ? 1 : 2;
        if (!c.forced && !c.type.holds(v)) {
            if (v.aware != c.type.aware() || v.unit > c.unit)
                break;
            c.type.add(v);
            if (c.type.kind() != Kind::Datetime)
                break;
        }
        if (instant_to_count(v.instant, c.unit, &values_of<int64_t>(c)[row]))
            return true;
        break;
    }
    case Kind::Text:
        return check_text(c, text, size, row, readable_);
    case Kind::Empty:
        break;
    }
    return convert_slow(c, text, size, row);
}

bool Engine::convert_slow(Column &c, const char *text, size_t size, int64_t row) noexcept
{
    if (c.forced)
        return fail(EngineError::BadValue, c, row, text, size);
    const bool ok = place_value(c, text, size, row);
    settle(c);
    return ok;
}

void Engine::begin_batch(const RowTable &t, uint64_t first, uint64_t last) noexcept
{
    batch_end_ = rows_ + static_cast<int64_t>(last - first);
    // The number scanner may load a few bytes past a field's end, within
    // the table's text buffer.
    readable_ = t.readable;
}

bool Engine::convert_column(size_t j, const RowTable &t, uint64_t first, uint64_t last) noexcept
{
    Column &c = *columns[j];
    if (last <= first)
        return true;
    if (has_values(c.kind) && !c.data.resize(static_cast<size_t>(batch_end_) * width_of(c.kind)))
        return fail(EngineError::NoMemory, c, rows_, "", 0);
    if (c.has_missing) {
        if (!c.missing.resize(static_cast<size_t>(batch_end_)))
            return fail(EngineError::NoMemory, c, rows_, "", 0);
        std::memset(c.missing.data() + rows_, 0, static_cast<size_t>(batch_end_ - rows_));
    }
    char **fields = t.fields;
    const int64_t *first_field = t.first_field;
    const int64_t *counts = t.counts;
    const int64_t src = c.src;
    int64_t row = rows_;
    for (uint64_t r = first; r < last; ++r, ++row) {
        // Rows are padded to the width by the tokenizer, except a first row
        // read before the width was known: its absent fields are missing.
        if (src >= counts[r]) {
            if (!place_missing(c, row))
                return false;
            continue;
        }
        char **f = fields + first_field[r] + src;
        const char *text = f[0];
        if (!convert_value(c, text, static_cast<size_t>(f[1] - text) - 1, row))
            return false;
    }
    return true;
}

bool Engine::end_batch() noexcept
{
    if (!take_error())
        return false;
    rows_ = batch_end_;
    return true;
}

bool Engine::convert(const RowTable &t, uint64_t first, uint64_t last) noexcept
{
    begin_batch(t, first, last);
    for (size_t j = 0; j < columns.size(); ++j) {
        if (!convert_column(j, t, first, last))
            break;
    }
    return end_batch();
}

// --- pending rows ------------------------------------------------------------

int64_t Engine::pending_rows() const noexcept
{
    int64_t n = 0;
    for (const auto &cp : columns) {
        if (cp->valid_from > n)
            n = cp->valid_from;
    }
    return n;
}

bool Engine::fill_value(Column &c, const char *text, size_t size, int64_t row) noexcept
{
    ValueClass v;
    if (c.kind == Kind::Bool && read_bool(text, size, bool_slot(c, row)))
        return true;
    if (c.kind == Kind::Datetime && read_datetime(text, size, &v) &&
        instant_to_count(v.instant, c.unit, &values_of<int64_t>(c)[row]))
        return true;
    return fail(EngineError::SourceChanged, c, row, text, size);
}

bool Engine::fill_pending(const RowTable &t, uint64_t first, uint64_t last, int64_t row0) noexcept
{
    if (last <= first)
        return true;
    char **fields = t.fields;
    const int64_t *first_field = t.first_field;
    for (auto &cp : columns) {
        Column &c = *cp;
        if (c.kind == Kind::Text)
            continue;  // the module takes texts from the tables itself
        for (uint64_t r = first; r < last; ++r) {
            const int64_t row = row0 + static_cast<int64_t>(r - first);
            if (row >= c.valid_from)
                break;
            const int64_t k = first_field[r] + c.src;
            const bool absent = c.src >= t.counts[r];
            const char *text = absent ? "" : fields[k];
            const size_t size = absent ? 0 : static_cast<size_t>(fields[k + 1] - text) - 1;
            const bool missing = is_missing_text(text, size);
            if (missing != row_missing(c, row)) {
                fail(EngineError::SourceChanged, c, row, text, size);
                return take_error();
            }
            if (!missing && !fill_value(c, text, size, row))
                return take_error();
        }
    }
    return true;
}

void Engine::pending_done() noexcept
{
    for (auto &cp : columns)
        cp->valid_from = 0;
}

}  // namespace tv::reader
