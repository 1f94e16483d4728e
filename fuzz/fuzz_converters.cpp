// Fuzz target of the pure converters: random texts under random marks.
//
// Input layout: byte 0 decimal mark, byte 1 exponent letter, byte 2 group
// mark, byte 3 flags (bit 0 skip-trailing), the rest is the text (cut at
// its first NUL).  Marks are drawn from a small alphabet, NUL included, so
// that equal and absent marks come up often.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "tokenizer/converters.h"

using namespace tv;

namespace {

char pick_mark(uint8_t b)
{
    static const char kMarks[] = {'\0', '.', ',', 'e', 'E', 'd', ' ', '\'', '-', '+', '_', '5'};
    return kMarks[b % sizeof kMarks];
}

[[noreturn]] void fail() { std::abort(); }

void check_end(const char *text, size_t len, const char *end)
{
    if (end != nullptr && (end < text || end > text + len))
        fail();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const char decimal = pick_mark(data[0]);
    const char exponent = pick_mark(data[1]);
    const char group = pick_mark(data[2]);
    const int skip_trailing = data[3] & 1;
    // An exact-size heap copy, so that any read past the NUL is caught.
    std::vector<char> buffer(data + 4, data + size);
    buffer.push_back('\0');
    const char *text = buffer.data();
    const size_t len = std::strlen(text);

    int fast_error = 0, precise_error = 0, fast_maybe = -1, precise_maybe = -1;
    char *fast_end = nullptr, *precise_end = nullptr;
    const double fast =
        parse_double_fast(text, &fast_end, decimal, exponent, group, skip_trailing, &fast_error, &fast_maybe);
    const double precise = parse_double_precise(text, &precise_end, decimal, exponent, group, skip_trailing,
                                                &precise_error, &precise_maybe);
    check_end(text, len, fast_end);
    check_end(text, len, precise_end);
    // Both parsers read the same grammar: the same marks clear the flag and
    // the same texts have no digits.
    if (fast_maybe != precise_maybe)
        fail();
    const bool fast_no_digits = fast_error == 34 && fast == 0.0 && fast_end == nullptr;
    const bool precise_no_digits = precise_error == 34 && precise == 0.0 && precise_end == nullptr;
    if (fast_no_digits != precise_no_digits)
        fail();
    if (fast_error != 0 && fast_error != 34)
        fail();
    if (precise_error != 0 && precise_error != 34)
        fail();
    if (precise_error == 0 && (std::isinf(precise) || std::isnan(precise)))
        fail();
    if (fast_error == 0 && (std::isinf(fast) || std::isnan(fast)))
        fail();
    // Up to the exponent both stop at the same byte; the precise parser reads
    // at most 17 exponent digits.
    if (fast_end && precise_end && precise_end > fast_end)
        fail();
    if (fast_maybe == 1 && fast_end && precise_end && fast_end != precise_end)
        fail();

    double value = 0;
    int maybe = -1;
    if (text_to_double(text, &value, exponent, decimal, &maybe) == 1) {
        int error = 0;
        char *end = nullptr;
        const double again = parse_double_precise(text, &end, decimal, exponent, '\0', 1, &error, nullptr);
        if (error != 0 || *end != '\0' || std::memcmp(&again, &value, sizeof value) != 0)
            fail();
    }

    int error = -1;
    const int64_t i =
        parse_int64(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), &error, group);
    if (error < 0 || error > 3 || (error != 0 && i != 0))
        fail();
    if (error == 0 && group == '\0') {
        // Without a group mark the accepted texts are plain decimal integers.
        errno = 0;
        char *end = nullptr;
        const long long reference = std::strtoll(text, &end, 10);
        if (errno != 0 || reference != i)
            fail();
    }
    const int64_t narrow = parse_int64(text, -1000, 1000, &error, group);
    if (error == 0 && (narrow < -1000 || narrow > 1000))
        fail();

    UintScan scan{};
    const uint64_t u = parse_uint64(&scan, text, std::numeric_limits<int64_t>::max(),
                                    std::numeric_limits<uint64_t>::max(), &error, group);
    if (error < 0 || error > 3 || (error != 0 && u != 0))
        fail();
    if (scan.seen_above_signed && u <= uint64_t(std::numeric_limits<int64_t>::max()))
        fail();

    uint8_t flag = 7;
    const int b = parse_bool(text, &flag);
    if (b != -1 && (b != 0 || flag > 1))
        fail();
    return 0;
}
