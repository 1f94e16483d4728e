// Converters against the C library on 10 million generated numeric texts.
//
// Built through meson (benchmarks/meson.build) and run by
// benchmarks/bench_converters.sh [count].
//
// Prints, for each converter, the time per text and the ratio "peer time /
// our time" (above 1 means faster than the C library).  Float texts mix
// integers, decimals and exponents; integer texts are signed 64-bit values
// of every length.  Each timing is the best of a few passes.
#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <time.h>
#include <vector>

#include "tokenizer/converters.h"

using namespace tv;

namespace {

struct Texts {
    std::string bytes;             // NUL-separated texts
    std::vector<uint32_t> starts;  // offset of each text
};

// Kinds change every run_length texts: 1 interleaves them at random, as a
// worst case for branch prediction; a long run is one column of a file.
Texts make_float_texts(size_t count, size_t run_length, std::mt19937_64 &rng)
{
    Texts t;
    t.bytes.reserve(count * 14);
    t.starts.reserve(count);
    char buf[64];
    std::uniform_int_distribution<int> kind(0, 2), digits(1, 9), frac(1, 8);
    int this_kind = 0;
    for (size_t i = 0; i < count; ++i) {
        const int64_t mantissa = static_cast<int64_t>(rng() % 1000000000ull) - 500000000;
        int n = 0;
        if (i % run_length == 0)
            this_kind = kind(rng);
        switch (this_kind) {
        case 0:  // integer
            n = std::snprintf(buf, sizeof buf, "%" PRId64, mantissa % 100000000);
            break;
        case 1:  // decimal
            n = std::snprintf(buf, sizeof buf, "%.*f", frac(rng), static_cast<double>(mantissa) / 1e4);
            break;
        default:  // exponent
            n = std::snprintf(buf, sizeof buf, "%.*e", digits(rng), static_cast<double>(mantissa) / 1e8 * 3.0);
            break;
        }
        t.starts.push_back(static_cast<uint32_t>(t.bytes.size()));
        t.bytes.append(buf, static_cast<size_t>(n));
        t.bytes.push_back('\0');
    }
    return t;
}

Texts make_int_texts(size_t count, std::mt19937_64 &rng)
{
    Texts t;
    t.bytes.reserve(count * 12);
    t.starts.reserve(count);
    char buf[32];
    std::uniform_int_distribution<int> bits(1, 63);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t magnitude = rng() >> (64 - bits(rng));
        const int64_t v = (rng() & 1) ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
        const int n = std::snprintf(buf, sizeof buf, "%" PRId64, v);
        t.starts.push_back(static_cast<uint32_t>(t.bytes.size()));
        t.bytes.append(buf, static_cast<size_t>(n));
        t.bytes.push_back('\0');
    }
    return t;
}

template <typename F>
double best_seconds(F &&f, int passes = 3)
{
    // Thread CPU time, so that a busy machine's preemptions do not count.
    auto now = [] {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    };
    double best = 1e300;
    for (int i = 0; i < passes; ++i) {
        const double t0 = now();
        f();
        best = std::min(best, now() - t0);
    }
    return best;
}

volatile double double_sink;
volatile int64_t int_sink;

void report(const char *ours, double ours_s, const char *peer, double peer_s, size_t n)
{
    std::printf("%-22s %7.1f ns/text   %-8s %7.1f ns/text   ratio %5.2fx\n", ours, ours_s / n * 1e9, peer,
                peer_s / n * 1e9, peer_s / ours_s);
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
    std::mt19937_64 rng(20261208);
    const Texts floats = make_float_texts(count, 1, rng);
    const Texts ints = make_int_texts(count, rng);
    const char *ib = ints.bytes.data();

    // A sanity pass: both peers accept every text.
    size_t mismatches = 0;
    for (size_t i = 0; i < count; ++i) {
        int error = 0;
        const char *s = ib + ints.starts[i];
        if (parse_int64(s, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(), &error, '\0') !=
                std::strtoll(s, nullptr, 10) ||
            error != 0)
            ++mismatches;
    }
    std::printf("%zu texts each; %zu integer mismatches against strtoll\n", count, mismatches);

    auto time_floats = [&](const Texts &texts, const char *title) {
        const char *fb = texts.bytes.data();
        auto run_double = [&](auto parse) {
            return best_seconds([&] {
                double acc = 0;
                for (uint32_t start : texts.starts) {
                    int error = 0;
                    acc += parse(fb + start, nullptr, '.', 'E', '\0', 0, &error, nullptr);
                }
                double_sink = acc;
            });
        };
        const double strtod_s = best_seconds([&] {
            double acc = 0;
            for (uint32_t start : texts.starts)
                acc += std::strtod(fb + start, nullptr);
            double_sink = acc;
        });
        const double precise_s = run_double(parse_double_precise);
        const double fast_s = run_double(parse_double_fast);
        std::printf("%s\n", title);
        report("parse_double_precise", precise_s, "strtod", strtod_s, texts.starts.size());
        report("parse_double_fast", fast_s, "strtod", strtod_s, texts.starts.size());
    };
    time_floats(floats, "float texts, kinds interleaved at random:");
    time_floats(make_float_texts(count, 100000, rng), "float texts, one kind per column of 100000:");

    const double strtoll_s = best_seconds([&] {
        int64_t acc = 0;
        for (uint32_t start : ints.starts)
            acc += std::strtoll(ib + start, nullptr, 10);
        int_sink = acc;
    });
    const double int64_s = best_seconds([&] {
        uint64_t acc = 0;
        for (uint32_t start : ints.starts) {
            int error = 0;
            acc += static_cast<uint64_t>(parse_int64(ib + start, std::numeric_limits<int64_t>::min(),
                                                     std::numeric_limits<int64_t>::max(), &error, '\0'));
        }
        int_sink = static_cast<int64_t>(acc);
    });

    std::printf("integer texts (1 to 19 digits, either sign):\n");
    report("parse_int64", int64_s, "strtoll", strtoll_s, count);
    return mismatches == 0 ? 0 : 1;
}
