// The conversion engine of the column reader: turns the rows that the
// parser table's tokenizer leaves in a TextParser into typed columns.
//
// It touches no Python object and may run without the interpreter lock;
// the module around it (column_reader.cpp) owns the parser, the source and
// the lock.  Each column's type is decided by all of its values
// (type_state.hpp) while the values are converted speculatively into the
// decided type:
//   - int64 -> uint64 reinterprets the stored values, int -> float64 casts
//     them (an integer's double is its text's correctly rounded value;
//     "-0" is remembered for the sign of zero), and a date-time column that
//     meets a finer unit rescales its counts;
//   - any other change (to bool, to date-time from numbers, to text) cannot
//     be made from the stored values: rows before it are marked pending
//     (`valid_from`) and are filled later from their texts, by a second
//     read of the source or from the rows still in the parser's tables.
// Text columns store nothing here: the module moves their texts from the
// parser's tables into the column's NumPy array after each batch.
// Values of a pending row are guaranteed to convert, since the type never
// admits a value it has not seen (barring a source that changed between
// reads, which is reported).
//
// Columns are converted one at a time over a batch's rows, each with its
// own state, so the columns of a batch may be converted on different
// threads at once (convert_column); a failure is kept by its column, and
// the batch reports the one a row-by-row conversion would have met first:
// the lowest row, and in it the first column.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tavrel/datetime_api.h>
#include <tavrel/parser_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "batch_tables.hpp"
#include "column_store.hpp"
#include "type_state.hpp"

namespace tv::reader {

constexpr int64_t kNaT = INT64_MIN;

enum class FloatAlgorithm : int { Exact = 0, Fast = 1, Precise = 2, Roundtrip = 3 };

// How values are read; fixed for a read.
struct ValueRules {
    char decimal_mark = '.';
    char group_mark = '\0';
    FloatAlgorithm float_algorithm = FloatAlgorithm::Exact;
    std::vector<std::string> missing;      // besides the empty field
    std::vector<std::string> true_values;  // empty: the parser's own spellings
    std::vector<std::string> false_values;
    std::string date_format;  // with has_date_format: the format to match
    bool has_date_format = false;
    bool strict_utf8 = true;  // a text that is not UTF-8 fails the read
};

// A failure met while converting, reported by the module.
struct EngineError {
    enum Code { None, NoMemory, BadValue, BadUtf8, SourceChanged } code = None;
    size_t column = 0;  // index into the columns
    int64_t row = 0;    // 0-based data row
    std::string text;   // the offending text (cut)
};

struct Column {
    size_t index = 0;     // position among the columns read
    int64_t src = 0;      // field index in the row
    bool forced = false;  // the kind was given, not decided
    uint8_t allowed = kFamAll;
    TypeState type;
    Kind kind = Kind::Empty;  // the kind the stored values have
    Kind fast = Kind::Empty;  // the kind whose fast path it takes (Empty: none)
    int unit = -1;            // their unit (Datetime)
    Buffer data;              // one value per row (8 bytes, 1 for Bool)
    Buffer missing;           // one flag per row, once a value was missing
    bool has_missing = false;
    int64_t valid_from = 0;  // rows before this one are pending
    Buffer negative_zeros;   // int64 rows whose text was "-0" (integer kinds)
    bool bad_utf8 = false;   // a text is not valid UTF-8
    EngineError error;       // the first failure in the batch being converted
    uint8_t zones = 0;       // a forced date-time column's values: 1 with an offset, 2 without, 3 both

    // Date-times converted from offsets to UTC: all of them had one.
    bool utc() const noexcept { return kind == Kind::Datetime && (forced ? zones == 1 : type.aware()); }

    bool missing_at(int64_t row) const noexcept { return has_missing && missing.data()[row] != 0; }
};

class Engine {
public:
    Engine(const ParserApi *api, const tv_datetime_capi *dt) noexcept : api_(api), dt_(dt) {}

    ValueRules rules;
    std::vector<std::unique_ptr<Column>> columns;
    EngineError error;

    // Rows converted (the length of every column).
    int64_t rows() const noexcept { return rows_; }

    // Prepares the columns for a fresh start (types and storage); false
    // when out of memory.
    bool reset_types() noexcept;
    // Drops the stored values but keeps the decided types (rows() becomes 0).
    void reset_storage() noexcept;

    // A batch: rows [first, last) of a table become rows rows() .. of the
    // columns.  begin_batch and end_batch run on one thread, around the
    // conversions of the batch's columns, which may run on several threads
    // at once (each column on one).  end_batch is false when a column
    // failed, with `error` set to the failure met first in row order.
    void begin_batch(const RowTable &t, uint64_t first, uint64_t last) noexcept;
    bool convert_column(size_t j, const RowTable &t, uint64_t first, uint64_t last) noexcept;
    bool end_batch() noexcept;
    // All of a batch's columns on the calling thread.
    bool convert(const RowTable &t, uint64_t first, uint64_t last) noexcept;

    // The most rows any column still needs from its texts.
    int64_t pending_rows() const noexcept;
    // Fills pending rows [row0, row0 + (last - first)) from rows [first,
    // last) of the table; false on error.
    bool fill_pending(const RowTable &t, uint64_t first, uint64_t last, int64_t row0) noexcept;
    // Marks every column complete (after its pending rows were filled).
    void pending_done() noexcept;

private:
    struct Parsed;

    void settle(Column &c) noexcept;
    bool convert_value(Column &c, const char *text, size_t size, int64_t row) noexcept;
    __attribute__((noinline)) bool convert_slow(Column &c, const char *text, size_t size, int64_t row) noexcept;
    void classify(Column &c, const char *text, size_t size, Parsed &v) noexcept;
    bool place_missing(Column &c, int64_t row) noexcept;
    bool place_value(Column &c, const char *text, size_t size, int64_t row) noexcept;
    bool store(Column &c, const Parsed &v, const char *text, size_t size, int64_t row) noexcept;
    // `readable`: the text's buffer may be loaded up to there (or null).
    bool check_text(Column &c, const char *text, size_t size, int64_t row, const char *readable) noexcept;
    bool become(Column &c, Kind kind, int unit, int64_t row) noexcept;
    bool fill_value(Column &c, const char *text, size_t size, int64_t row) noexcept;
    bool fail(EngineError::Code code, Column &c, int64_t row, const char *text, size_t size) noexcept;
    bool take_error() noexcept;
    bool is_missing_text(const char *text, size_t size) const noexcept;
    bool read_float(const char *text, size_t size, double *out) const noexcept;
    bool read_bool(const char *text, size_t size, uint8_t *out) const noexcept;
    bool read_datetime(const char *text, size_t size, ValueClass *v) const noexcept;
    bool read_uint64(Column &c, const char *text, uint64_t *out) const noexcept;

    const ParserApi *api_;
    const tv_datetime_capi *dt_;
    int64_t rows_ = 0;
    int64_t batch_end_ = 0;           // rows_ plus the rows of the batch being converted
    const char *readable_ = nullptr;  // end of the text buffer of the batch's table
    bool has_markers_ = false;        // missing markers besides the empty field
    bool marker_first_[256] = {};
};

}  // namespace tv::reader
