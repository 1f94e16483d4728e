// The tokenizer's entry points: each run goes to the build of the tokenizer
// whose block scanner the process uses, chosen here and only here.  The
// build compiles one with no vector instructions and, where the platform
// may have them, one with SSE2 (x86-64, where every CPU has it) or NEON
// (ARM, where 32-bit CPUs may lack it: the kernel's capability bits decide).
#include "text_parser.h"

#include <stdlib.h>
#include <string.h>

#if defined(__arm__) && defined(__linux__) && !defined(__ARM_NEON)
#include <sys/auxv.h>
#ifndef HWCAP_NEON
#define HWCAP_NEON (1 << 12)  // as in the kernel's asm/hwcap.h for 32-bit ARM
#endif
#endif

namespace tv {

namespace {

using RunFn = int (*)(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept;

// A vector build: whether it is compiled in, and its entry point.
struct Build {
    bool present;
    RunFn run;
};
#if defined(TV_HAVE_SCANNER_SSE2)
constexpr Build kSse2{true, tokenize_run_sse2};
#else
constexpr Build kSse2{false, nullptr};
#endif
#if defined(TV_HAVE_SCANNER_NEON)
constexpr Build kNeon{true, tokenize_run_neon};
#else
constexpr Build kNeon{false, nullptr};
#endif

// Whether this CPU runs NEON code: always where the baseline has it, by the
// kernel's capability bits on 32-bit ARM Linux, never elsewhere.
#if defined(__ARM_NEON)
bool cpu_has_neon() noexcept { return true; }
#elif defined(__arm__) && defined(__linux__)
bool cpu_has_neon() noexcept { return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0; }
#else
bool cpu_has_neon() noexcept { return false; }
#endif

Scanner best_scanner() noexcept
{
    if (kSse2.present) {
        return Scanner::Sse2;
    }
    if (kNeon.present && cpu_has_neon()) {
        return Scanner::Neon;
    }
    return Scanner::Portable;
}

Scanner choose_scanner() noexcept
{
    const char *portable = getenv("TAVREL_TOKENIZER_PORTABLE");
    if (portable != nullptr && portable[0] != '\0' && strcmp(portable, "0") != 0) {
        return Scanner::Portable;
    }
    return best_scanner();
}

}  // namespace

Scanner tokenizer_scanner() noexcept
{
    static const Scanner chosen = choose_scanner();
    return chosen;
}

bool scanner_available(Scanner scanner) noexcept
{
    switch (scanner) {
    case Scanner::Portable:
        return true;
    case Scanner::Sse2:
    case Scanner::Neon:
        return best_scanner() == scanner;
    }
    return false;
}

int tokenize_with(TextParser *p, Scanner scanner, uint64_t quota, const char *encoding_errors) noexcept
{
    RunFn run = nullptr;
    switch (scanner) {
    case Scanner::Portable:
        run = tokenize_run_portable;
        break;
    case Scanner::Sse2:
        run = kSse2.run;
        break;
    case Scanner::Neon:
        run = scanner_available(scanner) ? kNeon.run : nullptr;
        break;
    }
    if (run == nullptr) {
        set_error_text(p, "the tokenizer has no such block scanner here");
        return -1;
    }
    return run(p, quota, encoding_errors);
}

int tokenize_row_count(TextParser *p, size_t rows, const char *encoding_errors) noexcept
{
    return tokenize_with(p, tokenizer_scanner(), rows, encoding_errors);
}

int tokenize_to_end(TextParser *p, const char *encoding_errors) noexcept
{
    return tokenize_with(p, tokenizer_scanner(), UINT64_MAX, encoding_errors);
}

}  // namespace tv
