// The tokenizer's build for x86-64, whose every CPU has SSE2: blocks of 16
// bytes are compared at once, one mask bit per byte.
#include <emmintrin.h>

#include "tokenizer/input.h"

namespace tv {

namespace {

struct Sse2Blocks {
    static constexpr bool available = true;
    static constexpr unsigned bits_per_byte = 1;
    using Vec = __m128i;

    static Vec splat(uint8_t b) noexcept { return _mm_set1_epi8(static_cast<char>(b)); }
    static Vec load(const uint8_t *p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }
    static void store(char *out, Vec v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v); }
    static Vec eq(Vec a, Vec b) noexcept { return _mm_cmpeq_epi8(a, b); }
    static Vec either(Vec a, Vec b) noexcept { return _mm_or_si128(a, b); }
    static uint64_t mask(Vec m) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(m)); }
};
static_assert(sizeof(Sse2Blocks::Vec) == kBlockBytes);

}  // namespace

int tokenize_run_sse2(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept
{
    return run<Sse2Blocks>(p, quota, encoding_errors);
}

}  // namespace tv
