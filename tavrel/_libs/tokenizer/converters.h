// Text-to-number converters over NUL-terminated field texts.
//
// Pure functions: no Python objects, no allocation, no locale; safe to call
// with the interpreter lock released.  The Python-touching converters (the
// round-trip float parser and the object converter) live in py_converters.h.
//
// Shared conventions:
//   * whitespace is space and the bytes 9 to 13; digits are ASCII 0 to 9;
//     letters fold to upper case in ASCII a to z only;
//   * a mark argument (decimal, exponent, group) of NUL means "none";
//   * the float parsers only ever set *error (34 for no digits or out of
//     range), so the caller zeroes it first; on the two early error paths
//     (no digits, exponent out of range) *end is left unwritten;
//   * *maybe_int (may be null) is 1 on return unless a decimal mark or an
//     exponent letter was consumed.
#pragma once

#include <stdint.h>

// UintScan and the slot function types these signatures must match.
#include <tavrel/parser_api.h>

namespace tv {

// Integer parser error codes (written on every return).
enum IntParseError : int {
    kIntOk = 0,
    kIntNoDigits = 1,
    kIntOverflow = 2,
    kIntTrailing = 3,
};

// Error of the float parsers: no digits or out of range.
inline constexpr int kFloatRangeError = 34;

// Accumulates in binary floating point; the first 9 integer digits in a
// 32-bit integer.  Decimal exponents outside [-1021, 1024] give +inf, error 34.
double parse_double_fast(const char *text, char **end, char decimal_mark, char exponent_mark, char group_mark,
                         int skip_trailing, int *error, int *maybe_int) noexcept;

// Keeps the first 17 significant digits and scales once by an exact power
// of ten from a table (twice for exponents between -616 and -309).
double parse_double_precise(const char *text, char **end, char decimal_mark, char exponent_mark, char group_mark,
                            int skip_trailing, int *error, int *maybe_int) noexcept;

// 0 on success; 1 no digit, 2 outside [minimum, maximum], 3 trailing bytes.
// Returns 0 on any error.
int64_t parse_int64(const char *text, int64_t minimum, int64_t maximum, int *error, char group_mark) noexcept;

// As parse_int64 against [0, maximum]; records negatives and values above
// signed_max in *scan.  A negative text returns 0 with error 0.
uint64_t parse_uint64(UintScan *scan, const char *text, int64_t signed_max, uint64_t maximum, int *error,
                      char group_mark) noexcept;

void uint_scan_reset(UintScan *scan) noexcept;

// 1 when the column holds values above the signed maximum together with
// negatives or missing values, so neither integer type can hold it.
int uint_scan_conflict(UintScan *scan) noexcept;

// 0 with *out = 1 for "TRUE", 0 for "FALSE" (whole text, any letter case);
// -1 otherwise.
int parse_bool(const char *text, uint8_t *out) noexcept;

// Precise parse of a whole text (trailing whitespace allowed, no group mark).
// Stores the value in every case; 1 when it parsed cleanly to the end, else 0.
// Note the order: exponent mark before decimal mark.
int text_to_double(const char *text, double *out, char exponent_mark, char decimal_mark, int *maybe_int) noexcept;

}  // namespace tv
