// Number scanning for the column reader.  Pure functions over a field's
// bytes [b, e), which may hold any byte (a NUL inside a field is an
// ordinary byte here and makes the field no number).
//
// scan_int64 follows the integer rules of the parser table's parse_int64:
// surrounding whitespace (space and TAB..CR), one sign, at least one digit,
// and, when a group mark is set, that byte skipped anywhere after the first
// digit.  Unlike parse_int64 it always reads to the end of the field, so
// "1e999999999999999999999" is no integer rather than an overflow.
//
// scan_float gives exactly what Python's float() gives for the same text
// once the decimal mark is read as "." and group marks between integer
// digits are dropped: surrounding whitespace, one sign, "nan", "inf" and
// "infinity" in any letter case, digits with an optional fraction and
// exponent.  Numbers of at most 19 significant digits whose value and power
// of ten are both exact doubles take one correctly rounded multiplication
// or division; everything else goes to std::from_chars, which is correctly
// rounded too.  Underscores between digits, which float() accepts, are
// refused: such a field stays text.
#pragma once

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace tv::reader {

inline bool is_space(unsigned char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Steps over one sign; true when it was a minus.
inline bool read_sign(const char *&p, const char *e) noexcept
{
    if (p < e && (*p == '-' || *p == '+'))
        return *p++ == '-';
    return false;
}
inline bool is_digit(unsigned char c) noexcept { return static_cast<unsigned>(c - '0') < 10u; }

// Narrows [b, e) to its text without surrounding whitespace.
inline void trim_spaces(const char *&b, const char *&e) noexcept
{
    while (b < e && is_space(static_cast<unsigned char>(*b)))
        ++b;
    while (e > b && is_space(static_cast<unsigned char>(e[-1])))
        --e;
}

enum class IntScan : uint8_t {
    Ok,          // *out holds the value
    NotInt,      // not an integer text
    AboveInt64,  // digits only, above the int64 maximum
    BelowInt64   // a minus sign and digits below the int64 minimum
};

struct IntValue {
    int64_t value;
    bool negative;  // a minus sign was read (also for "-0")
};

__attribute__((noinline)) inline IntScan scan_int64_general(const char *b, const char *e, char group,
                                                            IntValue *out) noexcept
{
    const unsigned char g = static_cast<unsigned char>(group);
    while (b < e && is_space(static_cast<unsigned char>(*b)))
        ++b;
    const bool negative = read_sign(b, e);
    if (b == e || !is_digit(static_cast<unsigned char>(*b)))
        return IntScan::NotInt;
    const uint64_t limit = negative ? uint64_t(INT64_MAX) + 1u : uint64_t(INT64_MAX);
    uint64_t v = 0;
    bool overflow = false;
    for (; b < e; ++b) {
        const unsigned d = static_cast<unsigned char>(*b) - static_cast<unsigned>('0');
        if (d < 10u) {
            if (v > (limit - d) / 10u)
                overflow = true;
            else
                v = v * 10u + d;
        } else if (g == 0 || static_cast<unsigned char>(*b) != g) {
            break;
        }
    }
    while (b < e && is_space(static_cast<unsigned char>(*b)))
        ++b;
    if (b != e)
        return IntScan::NotInt;
    if (overflow)
        return negative ? IntScan::BelowInt64 : IntScan::AboveInt64;
    out->negative = negative;
    // Modular conversion: 2^63 with a minus sign becomes INT64_MIN.
    out->value = static_cast<int64_t>(negative ? 0u - v : v);
    return IntScan::Ok;
}

// The common form, an optional sign and 1 to 18 digits (which cannot
// overflow), is read here; anything else by the general path.
inline IntScan scan_int64(const char *b, const char *e, char group, IntValue *out) noexcept
{
    const char *p = b;
    const bool negative = read_sign(p, e);
    const char *digits = p;
    uint64_t v = 0;
    while (p < e && is_digit(static_cast<unsigned char>(*p)))
        v = v * 10u + static_cast<unsigned>(*p++ - '0');
    if (p == e && static_cast<size_t>(p - digits) - 1 < 18) {
        out->negative = negative;
        out->value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
        return IntScan::Ok;
    }
    return scan_int64_general(b, e, group, out);
}

namespace detail {

inline bool equal_nocase(const char *b, const char *e, const char *word) noexcept
{
    const size_t n = static_cast<size_t>(e - b);
    if (std::strlen(word) != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(b[i]);
        if (c >= 'A' && c <= 'Z')
            c = static_cast<unsigned char>(c + ('a' - 'A'));
        if (c != static_cast<unsigned char>(word[i]))
            return false;
    }
    return true;
}

// Powers of ten that doubles hold exactly.
inline constexpr double kExactPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                            1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The one-operation path needs each operation rounded once, in double.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
inline constexpr bool kOneRounding = true;
#else
inline constexpr bool kOneRounding = false;
#endif

}  // namespace detail

// Parses a float; false when the text is no float.  decimal is the decimal
// mark, group the group mark or NUL.  Any text: see scan_float below.
__attribute__((noinline)) inline bool scan_float_general(const char *b, const char *e, char decimal, char group,
                                                         double *out) noexcept
{
    trim_spaces(b, e);
    const bool negative = read_sign(b, e);
    if (b == e)
        return false;
    const unsigned char dm = static_cast<unsigned char>(decimal);
    const unsigned char gm = static_cast<unsigned char>(group);
    const unsigned char first = static_cast<unsigned char>(*b);
    if (!is_digit(first) && !(first == dm && e - b > 1 && is_digit(static_cast<unsigned char>(b[1])))) {
        double special;
        if (detail::equal_nocase(b, e, "nan"))
            special = NAN;
        else if (detail::equal_nocase(b, e, "inf") || detail::equal_nocase(b, e, "infinity"))
            special = INFINITY;
        else
            return false;
        *out = negative ? -special : special;
        return true;
    }

    // One pass: syntax, the first 19 significant digits, the decimal
    // exponent of the first significant digit (for out-of-range results).
    const char *p = b;
    uint64_t mantissa = 0;
    int significant = 0;     // significant digits read (leading zeros excluded)
    bool truncated = false;  // more than 19 significant digits
    int64_t exponent = 0;    // value = mantissa * 10^exponent (before truncation)
    int64_t lead = 0;        // decimal exponent of the first significant digit, without the exponent part
    bool marks = false;      // a group mark or a decimal mark other than "." was met
    bool digits = false;
    while (p < e) {
        const unsigned d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
        if (d < 10u) {
            digits = true;
            if (significant > 0 || d != 0) {
                if (significant < 19) {
                    mantissa = mantissa * 10u + d;
                } else {
                    truncated = true;
                    ++exponent;
                }
                ++significant;
            }
            ++p;
        } else if (gm != 0 && static_cast<unsigned char>(*p) == gm && p + 1 < e &&
                   is_digit(static_cast<unsigned char>(p[1])) && p > b) {
            marks = true;  // between two integer digits (p > b: a digit precedes)
            ++p;
        } else {
            break;
        }
    }
    lead = significant - 1;
    if (p < e && static_cast<unsigned char>(*p) == dm) {
        if (dm != '.')
            marks = true;
        ++p;
        int64_t zeros = 0;
        while (p < e && is_digit(static_cast<unsigned char>(*p))) {
            const unsigned d = static_cast<unsigned char>(*p) - static_cast<unsigned>('0');
            digits = true;
            if (significant > 0 || d != 0) {
                if (significant < 19) {
                    mantissa = mantissa * 10u + d;
                    --exponent;
                } else {
                    truncated = true;
                }
                if (significant == 0)
                    lead = -zeros - 1;
                ++significant;
            } else {
                ++zeros;
                --exponent;
            }
            ++p;
        }
    }
    if (!digits)
        return false;
    int64_t written_exponent = 0;
    if (p < e && (*p == 'e' || *p == 'E')) {
        ++p;
        bool exp_negative = false;
        if (p < e && (*p == '-' || *p == '+')) {
            exp_negative = *p == '-';
            ++p;
        }
        if (p == e || !is_digit(static_cast<unsigned char>(*p)))
            return false;
        while (p < e && is_digit(static_cast<unsigned char>(*p))) {
            if (written_exponent < 100000000)
                written_exponent = written_exponent * 10 + (*p - '0');
            ++p;
        }
        if (exp_negative)
            written_exponent = -written_exponent;
    }
    if (p != e)
        return false;

    double value;
    const int64_t e10 = exponent + written_exponent;
    if (mantissa == 0) {
        value = 0.0;
    } else if (detail::kOneRounding && !truncated && mantissa <= (uint64_t(1) << 53) && e10 >= -22 && e10 <= 22) {
        value = static_cast<double>(mantissa);
        value = e10 < 0 ? value / detail::kExactPowers[-e10] : value * detail::kExactPowers[e10];
    } else {
        // std::from_chars reads "." as the decimal mark and knows no group
        // marks: such texts are rewritten first.
        const char *fb = b;
        const char *fe = e;
        char small[128];
        char *copy = nullptr;
        if (marks) {
            const size_t n = static_cast<size_t>(e - b);
            copy = n <= sizeof small ? small : static_cast<char *>(std::malloc(n));
            if (copy == nullptr)
                return false;
            size_t k = 0;
            bool in_fraction = false;
            for (const char *q = b; q < e; ++q) {
                const unsigned char c = static_cast<unsigned char>(*q);
                if (!in_fraction && c == dm) {
                    copy[k++] = '.';
                    in_fraction = true;
                } else if (!in_fraction && gm != 0 && c == gm) {
                    continue;
                } else {
                    if (c == 'e' || c == 'E')
                        in_fraction = true;
                    copy[k++] = static_cast<char>(c);
                }
            }
            fb = copy;
            fe = copy + k;
        }
        const std::from_chars_result r = std::from_chars(fb, fe, value, std::chars_format::general);
        const bool whole = r.ptr == fe;
        const std::errc ec = r.ec;
        if (copy != nullptr && copy != small)
            std::free(copy);
        if (!whole)
            return false;
        if (ec == std::errc::result_out_of_range)
            value = lead + written_exponent > 0 ? INFINITY : 0.0;
        else if (ec != std::errc())
            return false;
    }
    *out = negative ? -value : value;
    return true;
}

namespace detail {

// Eight bytes at p, the first in the low byte.
inline uint64_t load8(const char *p) noexcept
{
    uint64_t w;
    std::memcpy(&w, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
}

// How many of the bytes of w (at most `room`) are digits, from the first.
inline unsigned digit_run(uint64_t w, size_t room) noexcept
{
    const uint64_t t = w - 0x3030303030303030u;
    uint64_t stop = (t | (t + 0x7676767676767676u)) & 0x8080808080808080u;
    if (room < 8)
        stop |= 0x8080808080808080u << (8 * room);
    return stop == 0 ? 8u : static_cast<unsigned>(__builtin_ctzll(stop)) / 8u;
}

// The value of the first k (1..8) bytes of w, all digits.
inline uint64_t digits_value(uint64_t w, unsigned k) noexcept
{
    // Leading zeros in front: the k digits move to the top bytes.
    w = (w << (8 * (8 - k))) | (0x3030303030303030u >> (8 * k));
    w -= 0x3030303030303030u;
    w = (w * 10) + (w >> 8);
    w = (((w & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
         (((w >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >>
        32;
    return w;
}

inline constexpr uint64_t kPowers10[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

}  // namespace detail

// Parses a float; false when the text is no float.  decimal is the decimal
// mark, group the group mark or NUL.  The common plain forms ("-12.375",
// "42") of at most 16 digits are read here, eight digits at a time when
// the bytes up to `readable` may be loaded (the field's own end is still
// where the text ends); the rest by the general path.
inline bool scan_float(const char *b, const char *e, char decimal, char group, double *out,
                       const char *readable = nullptr) noexcept
{
    const char *p = b;
    const bool negative = read_sign(p, e);
    uint64_t m;
    size_t count, fraction = 0;
    if (readable != nullptr && readable - p >= 16) {
        // Integer digits, then fraction digits, eight at a time.
        const uint64_t w = detail::load8(p);
        const unsigned k = detail::digit_run(w, static_cast<size_t>(e - p));
        if (k == 8)
            return scan_float_general(b, e, decimal, group, out);
        m = k != 0 ? detail::digits_value(w, k) : 0;
        p += k;
        count = k;
        if (p < e && *p == decimal) {
            ++p;
            const uint64_t f = detail::load8(p);
            const unsigned j = detail::digit_run(f, static_cast<size_t>(e - p));
            if (j == 8)
                return scan_float_general(b, e, decimal, group, out);
            if (j != 0)
                m = m * detail::kPowers10[j] + detail::digits_value(f, j);
            p += j;
            fraction = j;
            count += j;
        }
    } else {
        const char *digits = p;
        m = 0;  // wraps beyond 19 digits, which are not taken here
        while (p < e && is_digit(static_cast<unsigned char>(*p)))
            m = m * 10u + static_cast<unsigned>(*p++ - '0');
        count = static_cast<size_t>(p - digits);
        if (p < e && *p == decimal) {
            const char *f = ++p;
            while (p < e && is_digit(static_cast<unsigned char>(*p)))
                m = m * 10u + static_cast<unsigned>(*p++ - '0');
            fraction = static_cast<size_t>(p - f);
            count += fraction;
        }
    }
    if (detail::kOneRounding && p == e && count - 1 < 19 && fraction <= 22 && m <= (uint64_t(1) << 53)) {
        double v = static_cast<double>(m);
        if (fraction != 0)
            v /= detail::kExactPowers[fraction];
        *out = negative ? -v : v;
        return true;
    }
    return scan_float_general(b, e, decimal, group, out);
}

}  // namespace tv::reader
