// The tokenizer's entry points: each run goes to the build of tokenizer.cpp
// whose block scanner the process uses.  The build compiles one with no
// vector instructions and, where the platform may have them, one with SSE2
// (x86-64, where every CPU has it) or NEON (ARM, where 32-bit CPUs may
// lack it: the kernel's capability bits decide).
#include "text_parser.h"

#include <stdlib.h>
#include <string.h>

#if defined(__arm__) && defined(__linux__) && !defined(__ARM_NEON)
#include <sys/auxv.h>
#ifndef HWCAP_NEON
#define HWCAP_NEON (1 << 12)  // as in the kernel's asm/hwcap.h for 32-bit ARM
#endif
#define TV_NEON_BY_HWCAP 1
#endif

namespace tv {

namespace {

Scanner best_scanner() noexcept
{
#if defined(TV_HAVE_SCANNER_SSE2)
    return Scanner::Sse2;
#elif defined(TV_HAVE_SCANNER_NEON) && defined(__ARM_NEON)
    return Scanner::Neon;
#elif defined(TV_HAVE_SCANNER_NEON) && defined(TV_NEON_BY_HWCAP)
    return (getauxval(AT_HWCAP) & HWCAP_NEON) != 0 ? Scanner::Neon : Scanner::Portable;
#else
    return Scanner::Portable;
#endif
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

int tokenize_with(TextParser *p, Scanner scanner, uint64_t quota,
                  const char *encoding_errors) noexcept
{
    switch (scanner) {
    case Scanner::Portable:
        return tokenize_run_portable(p, quota, encoding_errors);
#if defined(TV_HAVE_SCANNER_SSE2)
    case Scanner::Sse2:
        return tokenize_run_sse2(p, quota, encoding_errors);
#endif
#if defined(TV_HAVE_SCANNER_NEON)
    case Scanner::Neon:
        if (scanner_available(scanner)) {
            return tokenize_run_neon(p, quota, encoding_errors);
        }
        break;
#endif
    default:
        break;
    }
    set_error_text(p, "the tokenizer has no such block scanner here");
    return -1;
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
