// Text-to-number converters; see converters.h for the shared conventions.
//
// Worked examples (decimal ".", exponent "E", group ","):
//   parse_double_fast("1,234.5e2")   -> 123450.0, *maybe_int = 0
//   parse_double_precise("0.1")      -> 1 / 10 (one table division)
//   parse_double_precise("123456789012345678901") keeps 17 digits, the last
//                                       four raise the exponent: 12345678901234567 * 1e4
//   parse_int64("-9223372036854775808", INT64_MIN, INT64_MAX) -> INT64_MIN
//   parse_int64("1,,2,", ...) with group ","  -> 12
//   parse_bool("True") -> 0 with *out = 1;  parse_bool("true ") -> -1
#include "converters.h"

#include <bit>
#include <cmath>
#include <limits>

namespace tv {

namespace {

inline bool is_space(unsigned char c) noexcept { return c == ' ' || (c >= 9 && c <= 13); }
inline bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10u; }
inline unsigned char fold_upper(unsigned char c) noexcept
{
    return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - ('a' - 'A')) : c;
}

// A NUL mark means "none": it must never match the terminating NUL, or a
// parser would step past the end of the text.
inline bool is_mark(unsigned char c, char mark) noexcept
{
    return mark != '\0' && c == static_cast<unsigned char>(mark);
}
inline bool is_exponent_letter(unsigned char c, char mark) noexcept
{
    return mark != '\0' && fold_upper(c) == fold_upper(static_cast<unsigned char>(mark));
}

inline const unsigned char *skip_spaces(const unsigned char *p) noexcept
{
    while (is_space(*p)) [[unlikely]]
        ++p;
    return p;
}

// -number when negative, by flipping the sign bit (what negation does),
// without a branch on a sign that is random from text to text.
inline double with_sign(double number, bool negative) noexcept
{
    return std::bit_cast<double>(std::bit_cast<uint64_t>(number) ^ (static_cast<uint64_t>(negative) << 63));
}

inline char *as_end(const unsigned char *p) noexcept { return const_cast<char *>(reinterpret_cast<const char *>(p)); }

// 10^i rounded to the nearest double, for the precise parser's single scaling.
constexpr int kMaxPower = 308;
constexpr double kPowersOfTen[kMaxPower + 1] = {
    1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,  1e11,  1e12,  1e13,  1e14,  1e15,
    1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,  1e26,  1e27,  1e28,  1e29,  1e30,  1e31,
    1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,  1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,
    1e48,  1e49,  1e50,  1e51,  1e52,  1e53,  1e54,  1e55,  1e56,  1e57,  1e58,  1e59,  1e60,  1e61,  1e62,  1e63,
    1e64,  1e65,  1e66,  1e67,  1e68,  1e69,  1e70,  1e71,  1e72,  1e73,  1e74,  1e75,  1e76,  1e77,  1e78,  1e79,
    1e80,  1e81,  1e82,  1e83,  1e84,  1e85,  1e86,  1e87,  1e88,  1e89,  1e90,  1e91,  1e92,  1e93,  1e94,  1e95,
    1e96,  1e97,  1e98,  1e99,  1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108, 1e109, 1e110, 1e111,
    1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119, 1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127,
    1e128, 1e129, 1e130, 1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141, 1e142, 1e143,
    1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152, 1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159,
    1e160, 1e161, 1e162, 1e163, 1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174, 1e175,
    1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185, 1e186, 1e187, 1e188, 1e189, 1e190, 1e191,
    1e192, 1e193, 1e194, 1e195, 1e196, 1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218, 1e219, 1e220, 1e221, 1e222, 1e223,
    1e224, 1e225, 1e226, 1e227, 1e228, 1e229, 1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239,
    1e240, 1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251, 1e252, 1e253, 1e254, 1e255,
    1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262, 1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271,
    1e272, 1e273, 1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284, 1e285, 1e286, 1e287,
    1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295, 1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303,
    1e304, 1e305, 1e306, 1e307, 1e308,
};

// Exponent digits beyond this magnitude no longer change the outcome (any
// such exponent is far out of range), so the fast parser stops growing it
// there instead of overflowing.
constexpr int64_t kExponentDigitsCap = 100000000;

// The precise parser keeps this many significant digits.
constexpr int kPreciseDigits = 17;

// Reads the optional sign and the digits of an exponent, p being on the
// exponent letter.  Without digits the position moves back one byte (onto the
// sign if there was one, else onto the letter) and the exponent is unchanged.
template <bool kBounded>
inline void read_exponent(const unsigned char *&p, int64_t &exponent) noexcept
{
    ++p;  // the letter
    const bool negative = *p == '-';
    p += static_cast<int>(negative | (*p == '+'));
    if (!is_digit(*p)) {
        --p;
        return;
    }
    int64_t n = 0;
    if constexpr (kBounded) {
        // At most 17 digits; the rest stay unread and end the number.
        for (int k = 0; k < kPreciseDigits && is_digit(*p); ++k, ++p)
            n = n * 10 + (*p - '0');
    } else {
        for (; is_digit(*p); ++p)
            if (n < kExponentDigitsCap)
                n = n * 10 + (*p - '0');
    }
    // n or -n without a branch (n is at most 10^17, no overflow either way).
    const int64_t sign_mask = -static_cast<int64_t>(negative);
    exponent += (n ^ sign_mask) - sign_mask;
}

// Gathers decimal digits as value * 10 + digit in double arithmetic.  That
// product and sum are exact while the value stays below 2^53, which 15
// digits always do, so the first 15 digits are gathered in an integer and
// the rounding double chain only starts at the 16th: bit for bit the same
// result, without a floating-point multiply per digit for ordinary numbers.
class DigitAccumulator {
public:
    void take(unsigned digit) noexcept
    {
        if (digits_ < kExactDigits) {
            whole_ = whole_ * 10u + digit;
        } else {
            if (digits_ == kExactDigits)
                number_ = static_cast<double>(static_cast<int64_t>(whole_));
            number_ = number_ * 10.0 + static_cast<double>(digit);
        }
        ++digits_;
    }

    // Takes the run of digits at p, at most limit of them, and returns how
    // many it took.  While exact, two digits go in per step (p[1] may be
    // read once p[0] is a digit, since the text goes on to its NUL), which
    // halves the dependent multiply-add chain of ordinary numbers.
    int64_t take_run(const unsigned char *&p, int64_t limit) noexcept
    {
        int64_t taken = 0;
        while (digits_ + 2 <= kExactDigits && taken + 2 <= limit) {
            const unsigned first = static_cast<unsigned>(p[0]) - '0';
            if (first > 9)
                return taken;
            const unsigned second = static_cast<unsigned>(p[1]) - '0';
            if (second > 9) {
                whole_ = whole_ * 10u + first;
                ++digits_;
                ++p;
                return taken + 1;
            }
            whole_ = whole_ * 100u + (first * 10u + second);
            digits_ += 2;
            p += 2;
            taken += 2;
        }
        for (; taken < limit; ++taken, ++p) {
            const unsigned digit = static_cast<unsigned>(*p) - '0';
            if (digit > 9)
                break;
            take(digit);
        }
        return taken;
    }

    double value() const noexcept
    {
        // whole_ stays below 10^15, so the signed conversion (one
        // instruction) gives the same value as the unsigned one.
        return digits_ <= kExactDigits ? static_cast<double>(static_cast<int64_t>(whole_)) : number_;
    }

private:
    static constexpr int64_t kExactDigits = 15;
    uint64_t whole_ = 0;
    double number_ = 0.0;
    int64_t digits_ = 0;
};

// Leading part shared by the fast and precise parsers: whitespace, sign,
// and the check that a digit (or a decimal mark and a digit) follows.
inline bool start_number(const unsigned char *&p, bool &negative, char decimal_mark) noexcept
{
    p = skip_spaces(p);
    // The sign is read without a branch: in a column it is as often one way
    // as the other, and a mispredicted branch costs more than the arithmetic.
    negative = *p == '-';
    p += static_cast<int>(negative | (*p == '+'));
    if (is_digit(*p))
        return true;
    return is_mark(*p, decimal_mark) && is_digit(p[1]);
}

}  // namespace

namespace {

// 10^(2^k) by repeated squaring in double arithmetic (10, 1e2, 1e4, 1e8,
// 1e16, then rounded squares); from 10^512 on the square overflows.
struct SquaredPowers {
    double value[11];
    constexpr SquaredPowers() : value{}
    {
        value[0] = 10.0;
        for (int k = 1; k < 9; ++k)
            value[k] = value[k - 1] * value[k - 1];
        value[9] = value[10] = std::numeric_limits<double>::infinity();
    }
};
constexpr SquaredPowers kSquaredPowers;
constexpr double kLowFactors[4][2] = {{1.0, 10.0}, {1.0, 1e2}, {1.0, 1e4}, {1.0, 1e8}};

// Template over the presence of a group mark, so the digit loops do not
// test for it per byte when there is none (the common case).
template <bool kGrouped>
double fast_parse(const unsigned char *p, char **end, char decimal_mark, char exponent_mark, char group_mark,
                  int skip_trailing, int *error, int *maybe_int, bool negative) noexcept
{
    const auto group = static_cast<unsigned char>(group_mark);
    // Integer digits, one group mark allowed after each; then the fraction.
    // (The accumulator keeps the first digits in an integer, which covers
    // the 32-bit start of the double chain and more.)
    DigitAccumulator digits;
    if constexpr (kGrouped) {
        for (;;) {
            const unsigned digit = static_cast<unsigned>(*p) - '0';
            if (digit > 9)
                break;
            digits.take(digit);
            ++p;
            if (*p == group)
                ++p;
        }
    } else {
        (void)group;
        digits.take_run(p, std::numeric_limits<int64_t>::max());
    }

    int64_t exponent = 0;
    if (is_mark(*p, decimal_mark)) {
        if (maybe_int)
            *maybe_int = 0;
        ++p;
        exponent -= digits.take_run(p, std::numeric_limits<int64_t>::max());
    }
    double number = digits.value();

    number = with_sign(number, negative);

    if (is_exponent_letter(*p, exponent_mark)) {
        if (maybe_int)
            *maybe_int = 0;
        read_exponent<false>(p, exponent);
    }

    if (exponent < -1021 || exponent > 1024) [[unlikely]] {
        *error = kFloatRangeError;
        return HUGE_VAL;
    }

    // Binary powering: at most 11 products or quotients.  A zero is left
    // alone, since 10^512 and above overflow the power and 0 * inf is NaN.
    // Walking the set bits only, lowest first, applies the same factors in
    // the same order as a bit-by-bit loop, with one branch per factor.
    if (number != 0.0) [[likely]] {
        const uint64_t magnitude = static_cast<uint64_t>(exponent < 0 ? -exponent : exponent);
        if (magnitude < 16) [[likely]] {
            // The four lowest factors, each 10^(2^k) or 1 by its bit, taken
            // from a table rather than branched on: a product or quotient by
            // 1 is exact, so the result is the one of the set bits alone.
            const double f0 = kLowFactors[0][magnitude & 1u];
            const double f1 = kLowFactors[1][(magnitude >> 1) & 1u];
            const double f2 = kLowFactors[2][(magnitude >> 2) & 1u];
            const double f3 = kLowFactors[3][(magnitude >> 3) & 1u];
            if (exponent < 0)
                number = number / f0 / f1 / f2 / f3;
            else
                number = number * f0 * f1 * f2 * f3;
        } else if (exponent < 0) {
            for (uint64_t n = static_cast<uint64_t>(-exponent); n != 0; n &= n - 1)
                number /= kSquaredPowers.value[std::countr_zero(n)];
        } else {
            for (uint64_t n = static_cast<uint64_t>(exponent); n != 0; n &= n - 1)
                number *= kSquaredPowers.value[std::countr_zero(n)];
        }
    }

    // Infinity of either sign is an overflow, and NaN can only come from an
    // overflowed intermediate (an infinite mantissa divided by an infinite power).
    if (std::isinf(number) || std::isnan(number)) [[unlikely]]
        *error = kFloatRangeError;

    if (skip_trailing)
        p = skip_spaces(p);
    if (end)
        *end = as_end(p);
    return number;
}

}  // namespace

double parse_double_fast(const char *text, char **end, char decimal_mark, char exponent_mark, char group_mark,
                         int skip_trailing, int *error, int *maybe_int) noexcept
{
    if (maybe_int)
        *maybe_int = 1;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    bool negative;
    if (!start_number(p, negative, decimal_mark)) {
        *error = kFloatRangeError;
        return 0.0;
    }
    return group_mark != '\0' ? fast_parse<true>(p, end, decimal_mark, exponent_mark, group_mark, skip_trailing, error,
                                                 maybe_int, negative)
                              : fast_parse<false>(p, end, decimal_mark, exponent_mark, group_mark, skip_trailing, error,
                                                  maybe_int, negative);
}

namespace {

template <bool kGrouped>
double precise_parse(const unsigned char *p, char **end, char decimal_mark, char exponent_mark, char group_mark,
                     int skip_trailing, int *error, int *maybe_int, bool negative) noexcept
{
    const auto group = static_cast<unsigned char>(group_mark);
    // Zeros before the first non-zero digit carry no precision, so they do
    // not use up the 17 kept digits (fraction zeros still move the exponent).
    // start_number guarantees at least one digit below.
    DigitAccumulator digits;
    int kept_digits = 0;
    int64_t exponent = 0;
    while (*p == '0') [[unlikely]] {
        ++p;
        if constexpr (kGrouped) {
            if (*p == group)
                ++p;
        }
    }
    if constexpr (kGrouped) {
        for (;;) {
            const unsigned digit = static_cast<unsigned>(*p) - '0';
            if (digit > 9)
                break;
            if (kept_digits < kPreciseDigits) {
                digits.take(digit);
                ++kept_digits;
            } else {
                ++exponent;
            }
            ++p;
            if (*p == group)
                ++p;
        }
    } else {
        kept_digits = static_cast<int>(digits.take_run(p, kPreciseDigits));
        for (; is_digit(*p); ++p)
            ++exponent;
    }

    if (is_mark(*p, decimal_mark)) {
        if (maybe_int)
            *maybe_int = 0;
        ++p;
        if (kept_digits == 0) [[unlikely]] {
            for (; *p == '0'; ++p)
                --exponent;
        }
        exponent -= digits.take_run(p, kPreciseDigits - kept_digits);
        while (is_digit(*p))
            ++p;
    }
    double number = digits.value();
    number = with_sign(number, negative);

    if (is_exponent_letter(*p, exponent_mark)) {
        if (maybe_int)
            *maybe_int = 0;
        read_exponent<true>(p, exponent);
    }

    // One product or quotient by an exact power (two far below 1e-308).
    // Division by 10^0 = 1 changes nothing and is skipped.
    if (exponent > kMaxPower) [[unlikely]] {
        *error = kFloatRangeError;
        return HUGE_VAL;
    }
    // At exponent 0 the product is by 1, which leaves the number as it is.
    if (exponent >= 0) {
        number *= kPowersOfTen[exponent];
    } else if (exponent >= -kMaxPower) {
        number /= kPowersOfTen[-exponent];
    } else if (exponent >= -2 * kMaxPower) {
        number /= kPowersOfTen[-exponent - kMaxPower];
        number /= kPowersOfTen[kMaxPower];
    } else {
        number = 0.0;
    }

    if (std::isinf(number)) [[unlikely]]
        *error = kFloatRangeError;

    if (skip_trailing)
        p = skip_spaces(p);
    if (end)
        *end = as_end(p);
    return number;
}

}  // namespace

double parse_double_precise(const char *text, char **end, char decimal_mark, char exponent_mark, char group_mark,
                            int skip_trailing, int *error, int *maybe_int) noexcept
{
    if (maybe_int)
        *maybe_int = 1;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    bool negative;
    if (!start_number(p, negative, decimal_mark)) {
        *error = kFloatRangeError;
        return 0.0;
    }
    return group_mark != '\0' ? precise_parse<true>(p, end, decimal_mark, exponent_mark, group_mark, skip_trailing,
                                                    error, maybe_int, negative)
                              : precise_parse<false>(p, end, decimal_mark, exponent_mark, group_mark, skip_trailing,
                                                     error, maybe_int, negative);
}

namespace {

// Accumulates the digits at p (the first is known to be a digit) against a
// precomputed limit: value may take digit d only while value < limit, or
// value == limit and d <= last_digit, so the check comes before the product
// and nothing can wrap.  After the first digit every group mark is skipped.
// Returns false on overflow.
template <typename T, bool kNegative>
inline bool accumulate_digits(const unsigned char *&p, T limit, int last_digit, char group_mark, T &value) noexcept
{
    T v = 0;
    for (bool first = true;; first = false) {
        if (!first && is_mark(*p, group_mark)) {
            ++p;
            continue;
        }
        if (!is_digit(*p))
            break;
        const int digit = *p - '0';
        if constexpr (kNegative) {
            if (v > limit || (v == limit && digit <= last_digit))
                v = v * 10 - digit;
            else
                return false;
        } else {
            if (v < limit || (v == limit && digit <= last_digit))
                v = v * 10 + static_cast<T>(digit);
            else
                return false;
        }
        ++p;
    }
    value = v;
    return true;
}

}  // namespace

int64_t parse_int64(const char *text, int64_t minimum, int64_t maximum, int *error, char group_mark) noexcept
{
    const unsigned char *p = skip_spaces(reinterpret_cast<const unsigned char *>(text));
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    } else if (*p == '+') {
        ++p;
    }
    if (!is_digit(*p)) {
        *error = kIntNoDigits;
        return 0;
    }

    int64_t value = 0;
    bool in_range;
    if (negative) {
        // C++ division truncates toward zero and the remainder takes the
        // dividend's sign: for INT64_MIN the limit is -922337203685477580
        // and the last digit 8.
        in_range =
            accumulate_digits<int64_t, true>(p, minimum / 10, static_cast<int>(-(minimum % 10)), group_mark, value);
    } else {
        in_range =
            accumulate_digits<int64_t, false>(p, maximum / 10, static_cast<int>(maximum % 10), group_mark, value);
    }
    if (!in_range) {
        *error = kIntOverflow;
        return 0;
    }

    p = skip_spaces(p);
    if (*p != '\0') {
        *error = kIntTrailing;
        return 0;
    }
    *error = kIntOk;
    return value;
}

uint64_t parse_uint64(UintScan *scan, const char *text, int64_t signed_max, uint64_t maximum, int *error,
                      char group_mark) noexcept
{
    const unsigned char *p = skip_spaces(reinterpret_cast<const unsigned char *>(text));
    if (*p == '-') {
        if (scan)
            scan->seen_negative = 1;
        *error = kIntOk;
        return 0;
    }
    if (*p == '+')
        ++p;
    if (!is_digit(*p)) {
        *error = kIntNoDigits;
        return 0;
    }

    uint64_t value = 0;
    if (!accumulate_digits<uint64_t, false>(p, maximum / 10, static_cast<int>(maximum % 10), group_mark, value)) {
        *error = kIntOverflow;
        return 0;
    }

    p = skip_spaces(p);
    if (*p != '\0') {
        *error = kIntTrailing;
        return 0;
    }
    if (scan && value > static_cast<uint64_t>(signed_max))
        scan->seen_above_signed = 1;
    *error = kIntOk;
    return value;
}

void uint_scan_reset(UintScan *scan) noexcept
{
    scan->seen_negative = 0;
    scan->seen_above_signed = 0;
    scan->seen_missing = 0;
}

int uint_scan_conflict(UintScan *scan) noexcept
{
    return scan->seen_above_signed && (scan->seen_negative || scan->seen_missing) ? 1 : 0;
}

namespace {

// Whole-text comparison folding ASCII letters only, whatever the locale.
inline bool equals_ignoring_case(const unsigned char *text, const char *upper_word) noexcept
{
    const auto *w = reinterpret_cast<const unsigned char *>(upper_word);
    for (; *w != '\0'; ++text, ++w)
        if (fold_upper(*text) != *w)
            return false;
    return *text == '\0';
}

}  // namespace

int parse_bool(const char *text, uint8_t *out) noexcept
{
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    if (equals_ignoring_case(t, "TRUE")) {
        *out = 1;
        return 0;
    }
    if (equals_ignoring_case(t, "FALSE")) {
        *out = 0;
        return 0;
    }
    return -1;
}

int text_to_double(const char *text, double *out, char exponent_mark, char decimal_mark, int *maybe_int) noexcept
{
    int error = 0;
    char *end = nullptr;
    *out = parse_double_precise(text, &end, decimal_mark, exponent_mark, '\0', 1, &error, maybe_int);
    return error == 0 && end != nullptr && *end == '\0' ? 1 : 0;
}

}  // namespace tv
