// The tokenizer's build for ARM CPUs with NEON: blocks of 16 bytes are
// compared at once, four mask bits per byte (a narrowing shift turns the
// byte mask into 64 bits).
//
// On a 32-bit ARM baseline without NEON, this file alone is compiled for it
// and runs only on CPUs that report it (tokenizer_select.cpp).  Everything
// it shares with the rest of the build is included before the switch, and
// what it includes after has internal linkage, so no NEON instruction
// reaches code that other CPUs run.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tokenizer/text_parser.h"

#if !defined(__ARM_NEON)
#pragma GCC push_options
#pragma GCC target("fpu=neon")
#define TV_NEON_BY_PRAGMA 1
#endif
#include <arm_neon.h>

#include "tokenizer/input.h"

namespace tv {

namespace {

struct NeonBlocks {
    static constexpr bool available = true;
    static constexpr unsigned bits_per_byte = 4;
    using Vec = uint8x16_t;

    static Vec splat(uint8_t b) noexcept { return vdupq_n_u8(b); }
    static Vec load(const uint8_t *p) noexcept { return vld1q_u8(p); }
    static void store(char *out, Vec v) noexcept { vst1q_u8(reinterpret_cast<uint8_t *>(out), v); }
    static Vec eq(Vec a, Vec b) noexcept { return vceqq_u8(a, b); }
    static Vec either(Vec a, Vec b) noexcept { return vorrq_u8(a, b); }
    static uint64_t mask(Vec m) noexcept
    {
        return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
    }
};
static_assert(sizeof(NeonBlocks::Vec) == kBlockBytes);

}  // namespace

int tokenize_run_neon(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept
{
    return run<NeonBlocks>(p, quota, encoding_errors);
}

}  // namespace tv

#if defined(TV_NEON_BY_PRAGMA)
#pragma GCC pop_options
#endif
