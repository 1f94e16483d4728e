// Unit tests of the pure text-to-number converters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "tokenizer/converters.h"

using namespace tv;

namespace {

constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

using DoubleParser = double (*)(const char *, char **, char, char, char, int, int *, int *);

struct FloatResult {
    double value;
    int error;
    int maybe_int;
    std::ptrdiff_t consumed;  // -1 when the end pointer was not written
};

FloatResult run(DoubleParser parse, const char *text, char decimal = '.', char exponent = 'E', char group = '\0',
                int skip_trailing = 1)
{
    FloatResult r{};
    char *end = nullptr;
    r.maybe_int = -7;
    r.value = parse(text, &end, decimal, exponent, group, skip_trailing, &r.error, &r.maybe_int);
    r.consumed = end ? end - text : -1;
    return r;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---------------------------------------------------------------- parse_int64

TEST(ParseInt64, LimitsOfTheSignedRange)
{
    int error = -1;
    EXPECT_EQ(parse_int64("9223372036854775807", kI64Min, kI64Max, &error, '\0'), kI64Max);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("9223372036854775808", kI64Min, kI64Max, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(parse_int64("-9223372036854775808", kI64Min, kI64Max, &error, '\0'), kI64Min);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("-9223372036854775809", kI64Min, kI64Max, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(parse_int64("92233720368547758070", kI64Min, kI64Max, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
}

TEST(ParseInt64, CallerRangesNarrowerThanInt64)
{
    int error = -1;
    EXPECT_EQ(parse_int64("127", -128, 127, &error, '\0'), 127);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("128", -128, 127, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(parse_int64("-128", -128, 127, &error, '\0'), -128);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("-129", -128, 127, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
    // Degenerate ranges reject without wrapping.
    EXPECT_EQ(parse_int64("-1", 5, 10, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
    EXPECT_EQ(parse_int64("1", -10, -5, &error, '\0'), 0);
    EXPECT_EQ(error, 2);
}

TEST(ParseInt64, GroupMarks)
{
    int error = -1;
    EXPECT_EQ(parse_int64("1,234,567", kI64Min, kI64Max, &error, ','), 1234567);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("1,,2", kI64Min, kI64Max, &error, ','), 12);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("-12,", kI64Min, kI64Max, &error, ','), -12);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64(",12", kI64Min, kI64Max, &error, ','), 0);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(parse_int64("1,234", kI64Min, kI64Max, &error, '\0'), 0);
    EXPECT_EQ(error, 3);
    // A blank as group mark also swallows trailing blanks.
    EXPECT_EQ(parse_int64(" 1 234 ", kI64Min, kI64Max, &error, ' '), 1234);
    EXPECT_EQ(error, 0);
}

TEST(ParseInt64, WhitespaceSignsAndGarbage)
{
    int error = -1;
    EXPECT_EQ(parse_int64(" \t\n\v\f\r42 \r\n", kI64Min, kI64Max, &error, '\0'), 42);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(parse_int64("+42", kI64Min, kI64Max, &error, '\0'), 42);
    EXPECT_EQ(error, 0);
    for (const char *text : {"", "-", "+", "  ", "+-1", "a1", "- 1"}) {
        EXPECT_EQ(parse_int64(text, kI64Min, kI64Max, &error, '\0'), 0) << text;
        EXPECT_EQ(error, 1) << text;
    }
    for (const char *text : {"1a", "1 2", "1.0", "1e3"}) {
        EXPECT_EQ(parse_int64(text, kI64Min, kI64Max, &error, '\0'), 0) << text;
        EXPECT_EQ(error, 3) << text;
    }
}

// ------------------------------------------------------ parse_uint64, UintScan

TEST(ParseUint64, RangeAndScanRecord)
{
    UintScan scan{7, 7, 7};
    uint_scan_reset(&scan);
    EXPECT_EQ(scan.seen_negative + scan.seen_above_signed + scan.seen_missing, 0);

    int error = -1;
    EXPECT_EQ(parse_uint64(&scan, "18446744073709551615", kI64Max, kU64Max, &error, '\0'), kU64Max);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(scan.seen_above_signed, 1);
    EXPECT_EQ(uint_scan_conflict(&scan), 0);

    EXPECT_EQ(parse_uint64(&scan, "18446744073709551616", kI64Max, kU64Max, &error, '\0'), 0u);
    EXPECT_EQ(error, 2);

    EXPECT_EQ(parse_uint64(&scan, " -5x", kI64Max, kU64Max, &error, '\0'), 0u);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(scan.seen_negative, 1);
    EXPECT_EQ(uint_scan_conflict(&scan), 1);
}

TEST(ParseUint64, ConflictNeedsBothKinds)
{
    UintScan scan{};
    int error = -1;
    EXPECT_EQ(parse_uint64(&scan, "9223372036854775807", kI64Max, kU64Max, &error, '\0'), uint64_t(kI64Max));
    EXPECT_EQ(scan.seen_above_signed, 0);
    scan.seen_missing = 1;
    EXPECT_EQ(uint_scan_conflict(&scan), 0);
    EXPECT_EQ(parse_uint64(&scan, "9,223,372,036,854,775,808", kI64Max, kU64Max, &error, ','), uint64_t(kI64Max) + 1);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(uint_scan_conflict(&scan), 1);

    EXPECT_EQ(parse_uint64(&scan, "+", kI64Max, kU64Max, &error, '\0'), 0u);
    EXPECT_EQ(error, 1);
    EXPECT_EQ(parse_uint64(&scan, "12 x", kI64Max, kU64Max, &error, '\0'), 0u);
    EXPECT_EQ(error, 3);
    EXPECT_EQ(parse_uint64(&scan, "256", 127, 255, &error, '\0'), 0u);
    EXPECT_EQ(error, 2);
}

// ------------------------------------------------------------------ parse_bool

TEST(ParseBool, WholeTextAnyCase)
{
    uint8_t out = 9;
    for (const char *text : {"true", "True", "TRUE", "tRuE"}) {
        out = 9;
        EXPECT_EQ(parse_bool(text, &out), 0) << text;
        EXPECT_EQ(out, 1) << text;
    }
    for (const char *text : {"false", "FALSE", "False"}) {
        out = 9;
        EXPECT_EQ(parse_bool(text, &out), 0) << text;
        EXPECT_EQ(out, 0) << text;
    }
    for (const char *text : {"true ", " true", "tru", "truee", "", "1", "yes", "FALS"}) {
        out = 9;
        EXPECT_EQ(parse_bool(text, &out), -1) << text;
        EXPECT_EQ(out, 9) << text;
    }
}

// ------------------------------------------------------- parse_double_precise

TEST(ParseDoublePrecise, ScalesOnceByAnExactPower)
{
    auto r = run(parse_double_precise, "1.5e10");
    EXPECT_TRUE(same_bits(r.value, 15.0 * 1e9));
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.maybe_int, 0);
    EXPECT_EQ(r.consumed, 6);

    r = run(parse_double_precise, "0.1");
    EXPECT_TRUE(same_bits(r.value, 1.0 / 10.0));
    r = run(parse_double_precise, "-123.456");
    EXPECT_TRUE(same_bits(r.value, -123456.0 / 1e3));
    r = run(parse_double_precise, "  42  ");
    EXPECT_TRUE(same_bits(r.value, 42.0));
    EXPECT_EQ(r.maybe_int, 1);
    EXPECT_EQ(r.consumed, 6);
    r = run(parse_double_precise, "  42  ", '.', 'E', '\0', 0);
    EXPECT_EQ(r.consumed, 4);
}

TEST(ParseDoublePrecise, KeepsSeventeenSignificantDigits)
{
    // Digits after the 17th raise the exponent (integer part) or are dropped.
    auto r = run(parse_double_precise, "123456789012345678901");
    EXPECT_TRUE(same_bits(r.value, 12345678901234567.0 * 1e4));
    r = run(parse_double_precise, "1.23456789012345678901");
    EXPECT_TRUE(same_bits(r.value, 12345678901234567.0 / 1e16));
    EXPECT_EQ(r.consumed, 22);
}

TEST(ParseDoublePrecise, LeadingZerosDoNotUseUpDigits)
{
    auto r = run(parse_double_precise, "0.00000000000000005");
    EXPECT_TRUE(same_bits(r.value, 5.0 / 1e17));
    EXPECT_EQ(r.error, 0);
    r = run(parse_double_precise, "00000000000000000123");
    EXPECT_TRUE(same_bits(r.value, 123.0));
    EXPECT_EQ(r.maybe_int, 1);
    r = run(parse_double_precise, "0.000000000000000000000000000001234567890123456789");
    EXPECT_TRUE(same_bits(r.value, 12345678901234567.0 / 1e46));
    r = run(parse_double_precise, "-0.000");
    EXPECT_TRUE(same_bits(r.value, -0.0));
    EXPECT_EQ(r.error, 0);
}

TEST(ParseDoublePrecise, ExponentRanges)
{
    auto r = run(parse_double_precise, "1e308");
    EXPECT_TRUE(same_bits(r.value, 1e308));
    EXPECT_EQ(r.error, 0);
    r = run(parse_double_precise, "1e309");
    EXPECT_TRUE(std::isinf(r.value) && r.value > 0);
    EXPECT_EQ(r.error, 34);
    EXPECT_EQ(r.consumed, -1);
    r = run(parse_double_precise, "-1e309");  // still +inf, the sign is not applied
    EXPECT_TRUE(std::isinf(r.value) && r.value > 0);
    EXPECT_EQ(r.error, 34);
    r = run(parse_double_precise, "9e308");  // overflow through the table product
    EXPECT_TRUE(std::isinf(r.value));
    EXPECT_EQ(r.error, 34);
    EXPECT_GE(r.consumed, 0);
    r = run(parse_double_precise, "-9e308");
    EXPECT_TRUE(std::isinf(r.value) && r.value < 0);
    EXPECT_EQ(r.error, 34);
    r = run(parse_double_precise, "1.5e-320");  // two divisions
    EXPECT_TRUE(same_bits(r.value, 15.0 / 1e13 / 1e308));
    EXPECT_EQ(r.error, 0);
    r = run(parse_double_precise, "1e-616");
    EXPECT_TRUE(same_bits(r.value, 1.0 / 1e308 / 1e308));
    r = run(parse_double_precise, "-1e-617");
    EXPECT_TRUE(same_bits(r.value, 0.0));
    EXPECT_EQ(r.error, 0);
    // At most 17 exponent digits are read; the rest end the number.
    r = run(parse_double_precise, "1e000000000000000001234");
    EXPECT_EQ(r.consumed, 19);
    EXPECT_TRUE(same_bits(r.value, 1.0));
}

TEST(ParseDoublePrecise, ExponentLetterWithoutDigits)
{
    auto r = run(parse_double_precise, "12e");
    EXPECT_TRUE(same_bits(r.value, 12.0));
    EXPECT_EQ(r.consumed, 2);
    EXPECT_EQ(r.maybe_int, 0);
    r = run(parse_double_precise, "12e+");
    EXPECT_EQ(r.consumed, 3);
    r = run(parse_double_precise, "12E-x");
    EXPECT_EQ(r.consumed, 3);
    r = run(parse_double_precise, "12d3", '.', 'D');  // the letter folds in case
    EXPECT_TRUE(same_bits(r.value, 12000.0));
    EXPECT_EQ(r.consumed, 4);
}

TEST(ParseDoublePrecise, NoDigits)
{
    for (const char *text : {"", " ", "-", "+", ".", "-.", ".e1", "e1", "x", "+-1", ". 5"}) {
        auto r = run(parse_double_precise, text);
        EXPECT_EQ(r.error, 34) << text;
        EXPECT_TRUE(same_bits(r.value, 0.0)) << text;
        EXPECT_EQ(r.consumed, -1) << text;
    }
    auto r = run(parse_double_precise, ".5");
    EXPECT_TRUE(same_bits(r.value, 5.0 / 10.0));
    EXPECT_EQ(r.maybe_int, 0);
    r = run(parse_double_precise, "5.");
    EXPECT_TRUE(same_bits(r.value, 5.0));
    EXPECT_EQ(r.maybe_int, 0);
    EXPECT_EQ(r.consumed, 2);
}

TEST(ParseDoublePrecise, MarksAndNulMarks)
{
    auto r = run(parse_double_precise, "1.234.567,89", ',', 'E', '.');
    EXPECT_TRUE(same_bits(r.value, 123456789.0 / 1e2));
    EXPECT_EQ(r.consumed, 12);
    // A NUL decimal or exponent mark means none: the terminator is never stepped over.
    r = run(parse_double_precise, "12", '\0', '\0');
    EXPECT_TRUE(same_bits(r.value, 12.0));
    EXPECT_EQ(r.consumed, 2);
    EXPECT_EQ(r.maybe_int, 1);
    r = run(parse_double_precise, "1.5", '\0', 'E');
    EXPECT_EQ(r.consumed, 1);
    // A group mark equal to the decimal mark wins after a digit.
    r = run(parse_double_precise, "1.5", '.', 'E', '.');
    EXPECT_TRUE(same_bits(r.value, 15.0));
    EXPECT_EQ(r.maybe_int, 1);
}

// ---------------------------------------------------------- parse_double_fast

TEST(ParseDoubleFast, AccumulatesInBinary)
{
    auto r = run(parse_double_fast, "1,234.5e2", '.', 'E', ',');
    EXPECT_TRUE(same_bits(r.value, 12345.0 * 10.0));
    EXPECT_EQ(r.maybe_int, 0);
    EXPECT_EQ(r.consumed, 9);
    // Ten digits: nine in the integer, the tenth in floating point.
    r = run(parse_double_fast, "12345678901");
    EXPECT_TRUE(same_bits(r.value, (123456789.0 * 10.0 + 0.0) * 10.0 + 1.0));
    EXPECT_EQ(r.maybe_int, 1);
    r = run(parse_double_fast, "0.125");
    EXPECT_TRUE(same_bits(r.value, 125.0 / 10.0 / 100.0));
    r = run(parse_double_fast, "1e-5");  // 5 = 1 + 4: divide by 10, then by 10^4
    EXPECT_TRUE(same_bits(r.value, 1.0 / 10.0 / 1e4));
}

TEST(ParseDoubleFast, ExponentRangeGivesPositiveInfinity)
{
    for (const char *text : {"1e-1022", "-1e-1022", "1e1025", "-5e2000"}) {
        auto r = run(parse_double_fast, text);
        EXPECT_TRUE(std::isinf(r.value) && r.value > 0) << text;
        EXPECT_EQ(r.error, 34) << text;
        EXPECT_EQ(r.consumed, -1) << text;
    }
    auto r = run(parse_double_fast, "1e-1021");
    EXPECT_EQ(r.error, 0);
    EXPECT_TRUE(same_bits(r.value, 0.0));
}

TEST(ParseDoubleFast, OverflowOfEitherSignIsAnError)
{
    auto r = run(parse_double_fast, "1e400");
    EXPECT_TRUE(std::isinf(r.value) && r.value > 0);
    EXPECT_EQ(r.error, 34);
    EXPECT_EQ(r.consumed, 5);
    r = run(parse_double_fast, "-1e400");
    EXPECT_TRUE(std::isinf(r.value) && r.value < 0);
    EXPECT_EQ(r.error, 34);
}

TEST(ParseDoubleFast, ZeroWithLargeExponentStaysZero)
{
    auto r = run(parse_double_fast, "0e600");
    EXPECT_TRUE(same_bits(r.value, 0.0));
    EXPECT_EQ(r.error, 0);
    r = run(parse_double_fast, "-0.0e1024");
    EXPECT_TRUE(same_bits(r.value, -0.0));
    EXPECT_EQ(r.error, 0);
    // An overflowed mantissa divided by an overflowed power is not a number.
    std::string huge(400, '9');
    huge += "e-600";
    r = run(parse_double_fast, huge.c_str());
    EXPECT_EQ(r.error, 34);
}

TEST(ParseDoubleFast, ExponentLetterWithoutDigits)
{
    auto r = run(parse_double_fast, "7E");
    EXPECT_EQ(r.consumed, 1);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.maybe_int, 0);
    r = run(parse_double_fast, "7e-");
    EXPECT_EQ(r.consumed, 2);
    // An exponent too long for 32 bits ends out of range, without wrapping.
    r = run(parse_double_fast, "1e99999999999999999999999");
    EXPECT_EQ(r.error, 34);
    r = run(parse_double_fast, "1e-99999999999999999999999");
    EXPECT_EQ(r.error, 34);
}

// ------------------------------------------- literal accumulation, digit by digit

// The digit loops gather digits in integers (and two at a time) where that
// is exact; a plain digit-by-digit double chain must give the same bits.
double literal_mantissa(const std::string &digits, size_t first_double_digit)
{
    uint64_t small = 0;
    size_t i = 0;
    for (; i < digits.size() && i < first_double_digit; ++i)
        small = small * 10 + static_cast<uint64_t>(digits[i] - '0');
    double number = static_cast<double>(small);
    for (; i < digits.size(); ++i)
        number = number * 10.0 + (digits[i] - '0');
    return number;
}

TEST(DigitAccumulation, MatchesTheDoubleChainForLongDigitRuns)
{
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        const size_t int_len = 1 + rng() % 24;
        const size_t frac_len = rng() % 24;
        std::string int_digits, frac_digits;
        for (size_t i = 0; i < int_len; ++i)
            int_digits.push_back(static_cast<char>('0' + (i == 0 ? 1 + rng() % 9 : rng() % 10)));
        for (size_t i = 0; i < frac_len; ++i)
            frac_digits.push_back(static_cast<char>('0' + rng() % 10));
        const std::string text = frac_len ? int_digits + "." + frac_digits : int_digits;

        // Fast: every digit, the first 9 in a 32-bit integer; then 10^-frac_len
        // by binary powering.
        double fast = literal_mantissa(int_digits + frac_digits, 9);
        double power = 10.0;
        for (size_t n = frac_len; n != 0; n >>= 1, power *= power)
            if (n & 1)
                fast /= power;
        auto r = run(parse_double_fast, text.c_str());
        ASSERT_TRUE(same_bits(r.value, fast)) << text;

        // Precise: the first 17 digits (no leading zeros here), one scaling.
        const std::string all = int_digits + frac_digits;
        const std::string kept = all.substr(0, 17);
        int exponent = static_cast<int>(int_len > 17 ? int_len - 17 : 0) -
                       static_cast<int>(kept.size() > int_len ? kept.size() - int_len : 0);
        double precise = literal_mantissa(kept, 0);
        if (exponent > 0)
            precise *= std::pow(10.0, exponent);  // exact for these small powers
        else if (exponent < 0)
            precise /= std::pow(10.0, -exponent);
        r = run(parse_double_precise, text.c_str());
        ASSERT_TRUE(same_bits(r.value, precise)) << text;
    }
}

// Small exponents take their factors from a table and large ones walk the
// bits; both must be the plain bit-by-bit powering, in either direction and
// for either sign (the sign is applied by flipping the sign bit).
TEST(DigitAccumulation, FastPoweringMatchesBitByBitOnBothSidesOfTheTable)
{
    std::mt19937_64 rng(777);
    for (int round = 0; round < 4000; ++round) {
        const uint64_t mantissa = rng() >> (rng() % 64);
        const int exponent = static_cast<int>(rng() % 81) - 40;
        const bool negative = rng() & 1;
        std::string text(negative ? "-" : "+");
        text += std::to_string(mantissa);
        text += 'e';
        text += std::to_string(exponent);
        double expected = literal_mantissa(std::to_string(mantissa), 15);
        if (expected != 0.0) {
            double power = 10.0;
            for (unsigned n = static_cast<unsigned>(std::abs(exponent)); n != 0; n >>= 1, power *= power)
                if (n & 1)
                    expected = exponent < 0 ? expected / power : expected * power;
        }
        if (negative)
            expected = -expected;
        const auto r = run(parse_double_fast, text.c_str());
        ASSERT_TRUE(same_bits(r.value, expected)) << text;
        ASSERT_EQ(r.error, 0) << text;
        ASSERT_EQ(r.maybe_int, 0) << text;
    }
    EXPECT_TRUE(same_bits(run(parse_double_fast, "-0e5").value, -0.0));
    EXPECT_TRUE(same_bits(run(parse_double_precise, "-0.0").value, -0.0));
    EXPECT_TRUE(same_bits(run(parse_double_precise, "+0").value, 0.0));
}

// ------------------------------------------------------------- text_to_double

TEST(TextToDouble, WholeTextOrNothing)
{
    double value = -1;
    int maybe_int = -1;
    EXPECT_EQ(text_to_double(" 2,5e3 ", &value, 'e', ',', &maybe_int), 1);
    EXPECT_TRUE(same_bits(value, 25.0 * 1e2));
    EXPECT_EQ(maybe_int, 0);
    EXPECT_EQ(text_to_double("12", &value, 'E', '.', &maybe_int), 1);
    EXPECT_EQ(maybe_int, 1);
    EXPECT_EQ(text_to_double("12e", &value, 'E', '.', &maybe_int), 0);
    EXPECT_TRUE(same_bits(value, 12.0));
    EXPECT_EQ(text_to_double("1,000", &value, 'E', '.', &maybe_int), 0);
    EXPECT_EQ(text_to_double("", &value, 'E', '.', &maybe_int), 0);
    EXPECT_TRUE(same_bits(value, 0.0));
    EXPECT_EQ(text_to_double("1e999", &value, 'E', '.', nullptr), 0);
    EXPECT_TRUE(std::isinf(value));
}

}  // namespace
