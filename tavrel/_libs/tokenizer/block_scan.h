// Block scanning: runs of ordinary bytes inside fields, quotes, comments and
// skipped rows are found kBlockBytes at a time and copied in bulk.
//
// What a CPU offers for it is one small type (SSE2 on x86-64, NEON on ARM,
// a portable one without vector instructions), defined in the tokenizer's
// build for that CPU (tokenizer_sse2.cpp, tokenizer_neon.cpp,
// tokenizer_portable.cpp); the algorithms below are written once over it.
// A block type provides:
//
//   static constexpr bool available;       whole blocks are compared at once
//   static constexpr unsigned bits_per_byte;  of the match masks below
//   using Vec;                             a block of bytes, or a byte splat
//   static Vec splat(uint8_t b);
//   static Vec load(const uint8_t *p);     kBlockBytes bytes, unaligned
//   static void store(char *out, Vec v);
//   static Vec eq(Vec a, Vec b);           bytewise equality
//   static Vec either(Vec a, Vec b);       bytewise or
//   static uint64_t mask(Vec m);           bits_per_byte bits per byte, in order
//
// The portable type is never asked for any of the functions: available is
// false there, and every caller tests it at compile time.
//
// Everything here has internal linkage: each CPU's build has its own copy,
// compiled with that CPU's instructions, and none is shared with another.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tv {

namespace {

// Bytes compared at once by the block scans, which also store whole blocks
// at the write position.
constexpr size_t kBlockBytes = 16;

template <class Blocks>
inline unsigned lowest_index(uint64_t bits) noexcept
{
    return static_cast<unsigned>(__builtin_ctzll(bits)) / Blocks::bits_per_byte;
}

template <class Blocks>
inline uint64_t drop_lowest(uint64_t bits) noexcept
{
    if constexpr (Blocks::bits_per_byte == 1) {
        return bits & (bits - 1);
    } else {
        constexpr uint64_t one_byte = (uint64_t(1) << Blocks::bits_per_byte) - 1;
        return bits & ~(one_byte << (lowest_index<Blocks>(bits) * Blocks::bits_per_byte));
    }
}

template <class Blocks>
inline bool has_index(uint64_t bits, unsigned k) noexcept
{
    return (bits >> (k * Blocks::bits_per_byte)) & 1;
}

// Up to six bytes searched for at once; candidates are confirmed in the
// class table, so padding repeats a real needle.
template <class Blocks>
struct Needles {
    typename Blocks::Vec vec[6];
    bool usable;
    // Every needle is a real member of the set (so a match needs no check
    // in the class table); false only for an empty set padded with NUL.
    bool exact;

    // The set of its first n bytes, padded to six by repeating the first
    // (too_many: the set had more than six members, and no block search is
    // possible).
    void set(const uint8_t (&bytes)[6], int n, bool too_many) noexcept
    {
        usable = !too_many;
        exact = n > 0;
        if constexpr (Blocks::available) {
            for (int i = 0; i < 6; ++i) {
                vec[i] = Blocks::splat(bytes[i]);
            }
        }
    }

    // The bytes of the block that equal one of the first two needles, or,
    // with Six, of all six (the quoted and comment sets never have more
    // than two).
    template <bool Six>
    typename Blocks::Vec matches(typename Blocks::Vec v) const noexcept
    {
        const typename Blocks::Vec two = Blocks::either(Blocks::eq(v, vec[0]), Blocks::eq(v, vec[1]));
        if constexpr (!Six) {
            return two;
        } else {
            return Blocks::either(two, Blocks::either(Blocks::either(Blocks::eq(v, vec[2]), Blocks::eq(v, vec[3])),
                                                      Blocks::either(Blocks::eq(v, vec[4]), Blocks::eq(v, vec[5]))));
        }
    }
};

// The bytes that end a run of short unquoted fields in a block: the
// separator, and those that cannot start a field plainly (the quote and the
// dropped space, when they apply).
template <class Blocks>
struct FieldNeedles {
    typename Blocks::Vec sep;
    typename Blocks::Vec nonplain[2];

    void set(uint8_t sep_byte, uint8_t quote, uint8_t space) noexcept
    {
        if constexpr (Blocks::available) {
            sep = Blocks::splat(sep_byte);
            nonplain[0] = Blocks::splat(quote);
            nonplain[1] = Blocks::splat(space);
        }
    }
};

// Advances p to the first byte of [p, end) whose class meets mask (or to
// end), copying the bytes passed over to out when Copy is set.  Whole blocks
// are stored to out speculatively, so they need kBlockBytes of room below
// out_limit.  Six: all six needles are compared.
template <class Blocks, bool Copy, bool Six>
inline void scan(const uint8_t *&p, const uint8_t *end, char *&out, const char *out_limit, const Needles<Blocks> &nd,
                 const uint8_t *cls, uint8_t mask) noexcept
{
    if constexpr (Blocks::available) {
        if (nd.usable) {
            constexpr ptrdiff_t block = kBlockBytes;
            while (end - p >= block && (!Copy || out_limit - out >= block)) {
                const typename Blocks::Vec v = Blocks::load(p);
                if constexpr (Copy) {
                    Blocks::store(out, v);
                }
                for (uint64_t bits = Blocks::mask(nd.template matches<Six>(v)); bits != 0;
                     bits = drop_lowest<Blocks>(bits)) {
                    const unsigned k = lowest_index<Blocks>(bits);
                    if (nd.exact || (cls[p[k]] & mask)) {
                        p += k;
                        if constexpr (Copy) {
                            out += k;
                        }
                        return;
                    }
                }
                p += block;
                if constexpr (Copy) {
                    out += block;
                }
            }
        }
    }
    if constexpr (Copy) {
        while (p < end && !(cls[*p] & mask)) {
            *out++ = static_cast<char>(*p++);
        }
    } else {
        while (p < end && !(cls[*p] & mask)) {
            ++p;
        }
    }
}

// A block of short unquoted fields: the bytes that interrupt an unquoted
// field, the separators among them, and the bytes that cannot start a field
// plainly, as match masks.
struct BlockMasks {
    uint64_t special;
    uint64_t sep;
    uint64_t nonplain;
};

// Copies the block at p to out and finds its masks.
template <class Blocks>
inline BlockMasks copy_block_masks(const uint8_t *p, char *out, const Needles<Blocks> &unquoted,
                                   const FieldNeedles<Blocks> &fields) noexcept
{
    const typename Blocks::Vec v = Blocks::load(p);
    Blocks::store(out, v);
    const typename Blocks::Vec special = unquoted.template matches<true>(v);
    const typename Blocks::Vec nonplain =
        Blocks::either(special, Blocks::either(Blocks::eq(v, fields.nonplain[0]), Blocks::eq(v, fields.nonplain[1])));
    return {Blocks::mask(special), Blocks::mask(Blocks::eq(v, fields.sep)), Blocks::mask(nonplain)};
}

}  // namespace

}  // namespace tv
