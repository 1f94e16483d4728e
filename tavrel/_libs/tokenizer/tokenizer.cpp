// Delimited-text tokenizer: a byte-level state machine over the chunks that
// read_fn delivers, writing NUL-terminated field texts, a field table and a
// row table into the TextParser record.
//
// With the default dialect (sep ',', quote '"', row_end NUL = LF, CR or CR LF):
//
//     a,b LF c,d LF        -> rows (a, b) (c, d)
//     a,b CR LF c,d        -> rows (a, b) (c, d)     a lone CR ends a row too
//     a, LF                -> row (a, "")
//     "x,y",z LF           -> row (x,y  z)           separators inside quotes are text
//     "a""b" LF            -> row (a"b) with quote_doubling, else (ab")
//     # note LF 1 LF       -> row (1); the comment-only line is counted, not kept
//     want_fields 3: a LF  -> row (a, "", "")        short rows are padded
//
// The state is kept in the record between runs, so a run may stop after any
// row and the next one continues exactly there, also in the middle of a chunk;
// the result never depends on how the input is cut into chunks.  Rows that
// are skipped (skip set, leading-row count, predicate) are scanned by the same
// rules as kept rows (quotes, escapes, comments) but store nothing.
//
// Speed: the byte classes of the dialect are computed once per run into a
// 256-entry table, and runs of ordinary bytes inside fields, quotes, comments
// and skipped rows are found 16 bytes at a time (SSE2 or NEON, a table-driven
// loop elsewhere) and copied in bulk.  Room for a whole chunk (two stream
// bytes, one field and one row per input byte) is reserved before it is read,
// so nothing is allocated per byte.
//
// This file is compiled once per block scanner the platform may have,
// TV_TOKENIZER_SCANNER naming it (0 portable, 1 SSE2, 2 NEON); each build
// has its own entry point, and tokenizer_select.cpp chooses one for the
// process.
#include "text_parser.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if TV_TOKENIZER_SCANNER == 1
#include <emmintrin.h>
#define TV_TOKENIZER_SSE2 1
#define TV_TOKENIZER_ENTRY tokenize_run_sse2
#elif TV_TOKENIZER_SCANNER == 2
#if !defined(__ARM_NEON)
// A 32-bit ARM baseline without NEON: what follows (and nothing included
// above) is compiled for NEON, and runs only on CPUs that report it.
#pragma GCC push_options
#pragma GCC target("fpu=neon")
#define TV_TOKENIZER_NEON_PRAGMA 1
#endif
#include <arm_neon.h>
#define TV_TOKENIZER_NEON 1
#define TV_TOKENIZER_ENTRY tokenize_run_neon
#elif TV_TOKENIZER_SCANNER == 0
#define TV_TOKENIZER_ENTRY tokenize_run_portable
#else
#error "TV_TOKENIZER_SCANNER must be 0 (portable), 1 (SSE2) or 2 (NEON)"
#endif

#define TV_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace tv {

namespace {

const char kOutOfMemory[] = "out of memory";
const char kOverflow[] = "Buffer overflow caught - possible malformed input file.\n";
const uint8_t kByteOrderMark[3] = {0xEF, 0xBB, 0xBF};

// Byte classes (bits, since one byte may play several roles; each state
// tests them in its own order of precedence).
enum : uint8_t {
    kT = 1,      // row terminator
    kR = 2,      // carriage return (only when row_end is NUL)
    kE = 4,      // escape
    kS = 8,      // field separator (sep, or any blank when splitting on blanks)
    kC = 16,     // comment
    kQ = 32,     // active quote
    kBlank = 64, // space or tab
    kPlain = 128 // at a field start: pushed and the field goes on
};
constexpr uint8_t kUnquotedStop = kT | kR | kE | kS | kC;
constexpr uint8_t kQuotedStop = kE | kQ;
constexpr uint8_t kCommentStop = kT | kR;

// Up to six bytes searched for at once; candidates are confirmed in the
// class table, so padding repeats a real needle.
struct Needles {
#if defined(TV_TOKENIZER_SSE2)
    __m128i vec[6];
#elif defined(TV_TOKENIZER_NEON)
    uint8x16_t vec[6];
#endif
    bool usable;
    // Every needle is a real member of the set (so a match needs no check
    // in the class table); false only for an empty set padded with NUL.
    bool exact;
};

struct Dialect {
    uint8_t cls[256];
    Needles unquoted;
    Needles quoted;
    Needles comment;
    // Unquoted fields that end at a plain separator (one that is neither
    // terminator, carriage return nor escape), several per block.
    bool field_blocks;
#if defined(TV_TOKENIZER_SSE2)
    __m128i sep_vec;
    __m128i nonplain_vec[2];  // the quote and the dropped space, when they apply
#elif defined(TV_TOKENIZER_NEON)
    uint8x16_t sep_vec;
    uint8x16_t nonplain_vec[2];
#endif
    uint8_t sep;
    bool split;
    bool skip_space;
    bool doubling;
    bool drop_blank;
};

// The bytes that play a role in the dialect, each once; every other byte
// is plain text wherever it stands.  Built per run, so that the class table
// and the needle sets come from these few bytes rather than from scans over
// all 256 (a client reading small row batches builds the dialect often).
struct RoleBytes {
    uint8_t bytes[8];
    int n = 0;
    void add(uint8_t b) noexcept
    {
        for (int i = 0; i < n; ++i) {
            if (bytes[i] == b) {
                return;
            }
        }
        bytes[n++] = b;
    }
};

void collect_needles(Needles &nd, const uint8_t *cls, const RoleBytes &roles, uint8_t mask) noexcept
{
    uint8_t bytes[6] = {0, 0, 0, 0, 0, 0};
    int n = 0;
    bool too_many = false;
    for (int i = 0; i < roles.n; ++i) {
        const uint8_t b = roles.bytes[i];
        if (cls[b] & mask) {
            if (n == 6) {
                too_many = true;
                break;
            }
            bytes[n++] = b;
        }
    }
    for (int i = n; i < 6; ++i) {
        bytes[i] = bytes[0];
    }
    nd.usable = !too_many;
    nd.exact = n > 0;
#if defined(TV_TOKENIZER_SSE2)
    for (int i = 0; i < 6; ++i) {
        nd.vec[i] = _mm_set1_epi8(static_cast<char>(bytes[i]));
    }
#elif defined(TV_TOKENIZER_NEON)
    for (int i = 0; i < 6; ++i) {
        nd.vec[i] = vdupq_n_u8(bytes[i]);
    }
#endif
}

void build_dialect(Dialect &d, const TextParser *p) noexcept
{
    // Plain until a role below says otherwise.
    memset(d.cls, kPlain, sizeof d.cls);
    const uint8_t term = p->row_end != '\0' ? static_cast<uint8_t>(p->row_end) : uint8_t('\n');
    d.cls[term] |= kT;
    if (p->row_end == '\0') {
        d.cls[static_cast<uint8_t>('\r')] |= kR;
    }
    if (p->comment != '\0') {
        d.cls[static_cast<uint8_t>(p->comment)] |= kC;
    }
    if (p->escape != '\0') {
        d.cls[static_cast<uint8_t>(p->escape)] |= kE;
    }
    if (p->quote_mode != 3) {
        d.cls[static_cast<uint8_t>(p->quote)] |= kQ;
    }
    d.cls[static_cast<uint8_t>(' ')] |= kBlank;
    d.cls[static_cast<uint8_t>('\t')] |= kBlank;
    d.split = p->split_on_blanks != 0;
    d.sep = static_cast<uint8_t>(p->sep);
    if (d.split) {
        d.cls[static_cast<uint8_t>(' ')] |= kS;
        d.cls[static_cast<uint8_t>('\t')] |= kS;
    } else {
        d.cls[d.sep] |= kS;
    }
    d.skip_space = p->skip_space_after_sep != 0;
    d.doubling = p->quote_doubling != 0;
    d.drop_blank = p->drop_blank_rows != 0;
    RoleBytes roles;
    roles.add(term);
    roles.add(static_cast<uint8_t>('\r'));
    roles.add(static_cast<uint8_t>(p->comment));
    roles.add(static_cast<uint8_t>(p->escape));
    roles.add(static_cast<uint8_t>(p->quote));
    roles.add(static_cast<uint8_t>(' '));
    roles.add(static_cast<uint8_t>('\t'));
    roles.add(d.sep);
    for (int i = 0; i < roles.n; ++i) {
        const uint8_t b = roles.bytes[i];
        const bool special = (d.cls[b] & (kUnquotedStop | kQ)) != 0;
        const bool dropped_space = !d.split && d.skip_space && b == ' ';
        if (special || dropped_space) {
            d.cls[b] = static_cast<uint8_t>(d.cls[b] & ~kPlain);
        }
    }
    collect_needles(d.unquoted, d.cls, roles, kUnquotedStop);
    collect_needles(d.quoted, d.cls, roles, kQuotedStop);
    collect_needles(d.comment, d.cls, roles, kCommentStop);
    d.field_blocks = !d.split && d.unquoted.usable && (d.cls[d.sep] & (kT | kR | kE | kS)) == kS;
    // A byte that never stands at a field start plainly; the terminator is
    // special already, so it fills the unused places.
    const uint8_t quote_np = p->quote_mode != 3 ? static_cast<uint8_t>(p->quote) : term;
    const uint8_t space_np = d.skip_space ? uint8_t(' ') : term;
#if defined(TV_TOKENIZER_SSE2)
    d.sep_vec = _mm_set1_epi8(static_cast<char>(d.sep));
    d.nonplain_vec[0] = _mm_set1_epi8(static_cast<char>(quote_np));
    d.nonplain_vec[1] = _mm_set1_epi8(static_cast<char>(space_np));
#elif defined(TV_TOKENIZER_NEON)
    d.sep_vec = vdupq_n_u8(d.sep);
    d.nonplain_vec[0] = vdupq_n_u8(quote_np);
    d.nonplain_vec[1] = vdupq_n_u8(space_np);
#else
    (void)quote_np;
    (void)space_np;
#endif
}

// Bytes compared at once by the block scans, which also store whole blocks
// (see scan and copy_block_masks).
constexpr size_t kBlockBytes = 16;

// Advances p to the first byte of [p, end) whose class meets mask (or to
// end), copying the bytes passed over to out when Copy is set.  Whole
// 16-byte blocks are stored to out speculatively, so they need 16 bytes of
// room below out_limit.
#if defined(TV_TOKENIZER_SSE2) || defined(TV_TOKENIZER_NEON)
// Copies the 16 bytes at p to out and finds, one bit per byte (SSE2) or
// four (NEON): every byte that interrupts an unquoted field, the separators
// among them, and every byte that cannot start a field plainly.
struct BlockMasks {
    uint64_t special;
    uint64_t sep;
    uint64_t nonplain;
};

inline BlockMasks copy_block_masks(const uint8_t *p, char *out, const Dialect &d) noexcept
{
    const Needles &nd = d.unquoted;
#if defined(TV_TOKENIZER_SSE2)
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
    const __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[0]), _mm_cmpeq_epi8(v, nd.vec[1])),
                     _mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[2]), _mm_cmpeq_epi8(v, nd.vec[3]))),
        _mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[4]), _mm_cmpeq_epi8(v, nd.vec[5])));
    const __m128i nonplain =
        _mm_or_si128(special, _mm_or_si128(_mm_cmpeq_epi8(v, d.nonplain_vec[0]),
                                           _mm_cmpeq_epi8(v, d.nonplain_vec[1])));
    return {static_cast<unsigned>(_mm_movemask_epi8(special)),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, d.sep_vec))),
            static_cast<unsigned>(_mm_movemask_epi8(nonplain))};
#else
    const uint8x16_t v = vld1q_u8(p);
    vst1q_u8(reinterpret_cast<uint8_t *>(out), v);
    const uint8x16_t special = vorrq_u8(
        vorrq_u8(vorrq_u8(vceqq_u8(v, nd.vec[0]), vceqq_u8(v, nd.vec[1])),
                 vorrq_u8(vceqq_u8(v, nd.vec[2]), vceqq_u8(v, nd.vec[3]))),
        vorrq_u8(vceqq_u8(v, nd.vec[4]), vceqq_u8(v, nd.vec[5])));
    const uint8x16_t nonplain =
        vorrq_u8(special, vorrq_u8(vceqq_u8(v, d.nonplain_vec[0]), vceqq_u8(v, d.nonplain_vec[1])));
    auto bits = [](uint8x16_t m) {
        return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
    };
    return {bits(special), bits(vceqq_u8(v, d.sep_vec)), bits(nonplain)};
#endif
}

inline bool has_index(uint64_t bits, unsigned k) noexcept
{
#if defined(TV_TOKENIZER_SSE2)
    return (bits >> k) & 1;
#else
    return (bits >> (k * 4)) & 1;
#endif
}

inline unsigned lowest_index(uint64_t bits) noexcept
{
#if defined(TV_TOKENIZER_SSE2)
    return static_cast<unsigned>(__builtin_ctzll(bits));
#else
    return static_cast<unsigned>(__builtin_ctzll(bits)) >> 2;
#endif
}

inline uint64_t drop_lowest(uint64_t bits) noexcept
{
#if defined(TV_TOKENIZER_SSE2)
    return bits & (bits - 1);
#else
    return bits & ~(uint64_t(0xF) << (lowest_index(bits) * 4));
#endif
}
#define TV_TOKENIZER_BLOCKS 1
#endif

// Needles6: all six needles are compared; otherwise only the first two
// (the quoted and comment sets never have more).
template <bool Copy, bool Needles6>
inline void scan(const uint8_t *&p, const uint8_t *end, char *&out, const char *out_limit,
                 const Needles &nd, const uint8_t *cls, uint8_t mask) noexcept
{
#if defined(TV_TOKENIZER_SSE2) || defined(TV_TOKENIZER_NEON)
    if (nd.usable) {
        while (end - p >= 16 && (!Copy || out_limit - out >= 16)) {
#if defined(TV_TOKENIZER_SSE2)
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
            if (Copy) {
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
            }
            __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[0]), _mm_cmpeq_epi8(v, nd.vec[1]));
            if (Needles6) {
                m = _mm_or_si128(m, _mm_or_si128(
                                        _mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[2]),
                                                     _mm_cmpeq_epi8(v, nd.vec[3])),
                                        _mm_or_si128(_mm_cmpeq_epi8(v, nd.vec[4]),
                                                     _mm_cmpeq_epi8(v, nd.vec[5]))));
            }
            unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(m));
            while (bits != 0) {
                const unsigned k = static_cast<unsigned>(__builtin_ctz(bits));
                if (nd.exact || (cls[p[k]] & mask)) {
                    p += k;
                    if (Copy) {
                        out += k;
                    }
                    return;
                }
                bits &= bits - 1;
            }
#else
            const uint8x16_t v = vld1q_u8(p);
            if (Copy) {
                vst1q_u8(reinterpret_cast<uint8_t *>(out), v);
            }
            uint8x16_t m = vorrq_u8(vceqq_u8(v, nd.vec[0]), vceqq_u8(v, nd.vec[1]));
            if (Needles6) {
                m = vorrq_u8(m, vorrq_u8(vorrq_u8(vceqq_u8(v, nd.vec[2]), vceqq_u8(v, nd.vec[3])),
                                         vorrq_u8(vceqq_u8(v, nd.vec[4]), vceqq_u8(v, nd.vec[5]))));
            }
            // Four bits per byte.
            uint64_t bits = vget_lane_u64(
                vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
            while (bits != 0) {
                const unsigned k = static_cast<unsigned>(__builtin_ctzll(bits)) >> 2;
                if (nd.exact || (cls[p[k]] & mask)) {
                    p += k;
                    if (Copy) {
                        out += k;
                    }
                    return;
                }
                bits &= ~(uint64_t(0xF) << (k * 4));
            }
#endif
            p += 16;
            if (Copy) {
                out += 16;
            }
        }
    }
#else
    (void)nd;
    (void)out_limit;
#endif
    if (Copy) {
        while (p < end && !(cls[*p] & mask)) {
            *out++ = static_cast<char>(*p++);
        }
    } else {
        while (p < end && !(cls[*p] & mask)) {
            ++p;
        }
    }
}

class Machine {
public:
    Machine(TextParser *parser, const Dialect &dialect, uint64_t rows_at_start,
            uint64_t quota) noexcept
        : P(parser), priv(record_of(parser)->priv), D(dialect), rows_at_start_(rows_at_start),
          quota_(quota)
    {
    }

    void load_out() noexcept
    {
        out = P->text_buf + P->text_len;
        out_limit = P->text_buf + P->text_cap;
    }
    void store_out() noexcept { P->text_len = static_cast<uint64_t>(out - P->text_buf); }

    // 0: input exhausted, 1: row quota reached, -1: error.  p ends at the
    // next byte to read; st holds the state to continue in.
    int process(const uint8_t *&p, const uint8_t *end, int &st) noexcept;
    int finish(int &st) noexcept;

private:
    bool end_field() noexcept
    {
        if (TV_UNLIKELY(P->field_count >= P->field_cap || out >= out_limit)) {
            store_out();
            set_error_text(P, kOverflow);
            return false;
        }
        *out++ = '\0';
        const uint64_t fc = P->field_count;
        P->field_ptrs[fc] = P->cur_field_ptr;
        P->field_offsets[fc] = P->cur_field_offset;
        P->field_count = fc + 1;
        P->row_field_count[P->row_count] += 1;
        P->cur_field_offset = out - P->text_buf;
        P->cur_field_ptr = out;
        return true;
    }

    void count_row() noexcept { P->source_rows += 1; }

    void drop_row() noexcept
    {
        const uint64_t rc = P->row_count;
        P->row_first_field[rc] += P->row_field_count[rc];
        P->row_field_count[rc] = 0;
    }

    void end_skipped_row() noexcept
    {
        P->source_rows += 1;
        drop_row();
    }

    int keep_row() noexcept
    {
        P->source_rows += 1;
        P->row_count += 1;
        const uint64_t rc = P->row_count;
        if (TV_UNLIKELY(rc >= P->row_cap)) {
            store_out();
            set_error_text(P, kOverflow);
            return -1;
        }
        P->row_first_field[rc] = P->row_first_field[rc - 1] + P->row_field_count[rc - 1];
        P->row_field_count[rc] = 0;
        return rc - rows_at_start_ >= quota_ ? 1 : 0;
    }

    int bad_row(int64_t expected, int64_t seen) noexcept
    {
        P->source_rows += 1;
        drop_row();
        char line[100];
        if (P->bad_row_mode == BadRowRaise) {
            snprintf(line, sizeof line, "Expected %lld fields in line %llu, saw %lld\n",
                     static_cast<long long>(expected),
                     static_cast<unsigned long long>(P->source_rows),
                     static_cast<long long>(seen));
            store_out();
            set_error_text(P, line);
            return -1;
        }
        if (P->bad_row_mode == BadRowWarn) {
            snprintf(line, sizeof line, "Skipping line %llu: expected %lld fields, saw %lld\n",
                     static_cast<unsigned long long>(P->source_rows),
                     static_cast<long long>(expected), static_cast<long long>(seen));
            append_warning(P, line);
        }
        return 0;
    }

    // remaining: input bytes still to come in this pass, so that padding
    // keeps the pass's reservation intact.
    int end_row(size_t remaining) noexcept
    {
        const uint64_t rc = P->row_count;
        const int64_t seen = P->row_field_count[rc];
        int64_t expected = static_cast<int64_t>(P->want_fields);
        if (expected < 0 && rc > 0) {
            expected = P->row_field_count[rc - 1];
        }
        const uint64_t header_rows = P->last_header_row + 1;
        if (rc < header_rows) {
            return keep_row();
        }
        if (rc > header_rows && seen > expected) {
            if (P->column_subset) {
                return keep_row();
            }
            return bad_row(expected, seen);
        }
        if (seen < expected) {
            const uint64_t missing = static_cast<uint64_t>(expected - seen);
            store_out();
            if (missing > SIZE_MAX - remaining ||
                parser_reserve(P, static_cast<size_t>(missing + remaining)) != 0) {
                set_error_text(P, kOutOfMemory);
                return -1;
            }
            load_out();
            for (uint64_t i = 0; i < missing; ++i) {
                if (!end_field()) {
                    return -1;
                }
            }
            store_out();
        }
        return keep_row();
    }

    // 1 skip, 0 keep, -1 error (error text or Python exception).
    int row_is_skipped() noexcept
    {
        if (P->skip_predicate != nullptr) {
            if (priv.call_predicate == nullptr) {
                store_out();
                set_error_text(P, "no caller installed for the row-skip predicate");
                return -1;
            }
            return priv.call_predicate(P->skip_predicate, P->source_rows);
        }
        if (P->skip_rows != nullptr) {
            return skip_set_contains(P->skip_rows, static_cast<int64_t>(P->source_rows)) ? 1 : 0;
        }
        return static_cast<int64_t>(P->source_rows) <= P->skip_below_row ? 1 : 0;
    }

    int rewind_blank_row(const uint8_t *p, const uint8_t *end, int &st) noexcept;

public:
    // Write position and end of the stream outside process().
    char *out = nullptr;
    const char *out_limit = nullptr;

private:
    TextParser *P;
    TokenizerPrivate &priv;
    const Dialect &D;
    uint64_t rows_at_start_;
    uint64_t quota_;
};

// A row of blanks (BlankRowCheck, not splitting) turned out to be a real
// row.  Its blanks were stored tentatively at the start of the current field;
// they are fed again from FieldStart, exactly as if the row had been read
// from its first byte, wherever the chunks were cut.
//
// The replay reads them from the stream it writes to.  Every byte read
// writes at most one byte, so the write position never passes the read
// position, but the block scans store whole blocks at the write position:
// up to kBlockBytes - 1 bytes beyond it, which is over bytes not yet read
// as soon as the replay has consumed a byte without writing one (an escape,
// an opening quote, a dropped space).  So the held bytes move up by one
// block first: whatever the replay stores then lands on bytes already read.
int Machine::rewind_blank_row(const uint8_t *p, const uint8_t *end, int &st) noexcept
{
    const uint64_t start = static_cast<uint64_t>(P->cur_field_offset);
    store_out();
    const uint64_t held = P->text_len - start;
    // The block of room the move needs, then the rest of the chunk.
    if (parser_reserve(P, static_cast<size_t>(end - p) + kBlockBytes) != 0) {
        set_error_text(P, kOutOfMemory);
        return -1;
    }
    load_out();
    char *const moved = P->text_buf + start + kBlockBytes;
    memmove(moved, P->text_buf + start, static_cast<size_t>(held));
    const uint8_t *src = reinterpret_cast<const uint8_t *>(moved);
    P->text_len = start;  // the held bytes now lie past the stream's end
    st = FieldStart;
    return process(src, src + held, st);
}

// The hot state lives in locals while bytes are processed: stores through
// the char pointer `out` may alias anything reachable from the record, so
// keeping field_count and friends in the record would reload them after
// every byte written.  TV_SYNC writes them back before anything else looks
// at the record; TV_RELOAD picks them up again afterwards.
#define TV_SYNC()                                                        \
    do {                                                                 \
        this->out = out;                                                 \
        P->text_len = static_cast<uint64_t>(out - tbuf);                 \
        P->field_count = fc;                                             \
        P->row_field_count[P->row_count] = row_fields;                   \
        P->cur_field_ptr = cur;                                          \
        P->cur_field_offset = cur - tbuf;                                \
    } while (0)

#define TV_RELOAD()                                                      \
    do {                                                                 \
        tbuf = P->text_buf;                                              \
        out = tbuf + P->text_len;                                        \
        out_end = tbuf + P->text_cap;                                    \
        fptrs = P->field_ptrs;                                           \
        foffs = P->field_offsets;                                        \
        fc = P->field_count;                                             \
        fcap = P->field_cap;                                             \
        row_fields = P->row_field_count[P->row_count];                   \
        cur = P->cur_field_ptr;                                          \
    } while (0)

#define TV_EXIT(value)        \
    do {                      \
        result = (value);     \
        goto done;            \
    } while (0)

#define TV_END_FIELD()                                                   \
    do {                                                                 \
        if (TV_UNLIKELY(fc >= fcap || out >= out_end)) {                 \
            TV_SYNC();                                                   \
            set_error_text(P, kOverflow);                                \
            TV_EXIT(-1);                                                 \
        }                                                                \
        *out++ = '\0';                                                   \
        fptrs[fc] = cur;                                                 \
        foffs[fc] = cur - tbuf;                                          \
        ++fc;                                                            \
        ++row_fields;                                                    \
        cur = out;                                                       \
    } while (0)

// Sets the next state, then ends the row; stops on an error or the quota.
#define TV_END_ROW(next)                                                 \
    do {                                                                 \
        st = (next);                                                     \
        TV_SYNC();                                                       \
        const int r_ = end_row(static_cast<size_t>(end - p));            \
        TV_RELOAD();                                                     \
        if (r_ != 0) {                                                   \
            TV_EXIT(r_);                                                 \
        }                                                                \
    } while (0)

int Machine::process(const uint8_t *&p_ref, const uint8_t *end, int &st_ref) noexcept
{
    // Locals, not the references: see TV_SYNC.
    const uint8_t *p = p_ref;
    int st = st_ref;
    const uint8_t *const cls = D.cls;
    int result = 0;
    char *tbuf;
    char *out;
    const char *out_end;
    char **fptrs;
    int64_t *foffs;
    uint64_t fc;
    uint64_t fcap;
    int64_t row_fields;
    char *cur;
    TV_RELOAD();
    while (p < end) {
        const uint8_t b = *p;
        const uint8_t c = cls[b];
        switch (st) {
        case RowStart: {
            TV_SYNC();
            const int skipped = row_is_skipped();
            if (TV_UNLIKELY(skipped != 0)) {
                if (skipped < 0) {
                    TV_EXIT(-1);
                }
                st = SkippedFieldStart;  // this byte again, in the skipped row
                continue;
            }
            if (c & kT) {
                ++p;
                if (D.drop_blank) {
                    count_row();
                } else {
                    TV_END_ROW(RowStart);
                }
                continue;
            }
            if (c & kR) {
                ++p;
                if (D.drop_blank) {
                    count_row();
                    st = AfterCRQuiet;
                } else {
                    st = AfterCR;
                }
                continue;
            }
            if (c & kC) {
                ++p;
                st = InCommentRow;
                continue;
            }
            if (c & kBlank) {
                if (D.split) {
                    ++p;
                    st = D.drop_blank ? BlankRowCheck : SkipSpaces;
                    continue;
                }
                if (b != D.sep && D.drop_blank) {
                    ++p;
                    *out++ = static_cast<char>(b);  // tentative, see rewind_blank_row
                    st = BlankRowCheck;
                    continue;
                }
            }
            st = FieldStart;
            continue;
        }
        case FieldStart:
            if (c & kPlain) {
                st = InField;
                continue;
            }
            ++p;
            if (c & kT) {
                TV_END_FIELD();
                TV_END_ROW(RowStart);
            } else if (c & kR) {
                TV_END_FIELD();
                st = AfterCR;
            } else if (c & kQ) {
                st = InQuotes;
            } else if (c & kE) {
                st = AfterEscape;
            } else if (D.split && (c & kBlank)) {
                st = SkipSpaces;
            } else if (!D.split && D.skip_space && b == ' ') {
                // dropped
            } else if (!D.split && b == D.sep) {
                TV_END_FIELD();
            } else {
                // Only the comment byte is left.
                TV_END_FIELD();
                st = InComment;
            }
            continue;
        case InField:
#if defined(TV_TOKENIZER_BLOCKS)
            // Short fields: one 16-byte block copied to the stream holds
            // several fields; each plain separator becomes the NUL that ends
            // its field in place, and the next field's bytes are already
            // where they belong.
            if (D.field_blocks) {
                bool leave = false;
                while (!leave && end - p >= 16 && out_end - out >= 16) {
                    const uint8_t *const blk = p;
                    char *const oblk = out;
                    const BlockMasks m = copy_block_masks(blk, oblk, D);
                    const uint64_t others = m.special & ~m.sep;
                    unsigned stop = others != 0 ? lowest_index(others) : 16;
                    for (uint64_t seps = m.sep; seps != 0; seps = drop_lowest(seps)) {
                        const unsigned k = lowest_index(seps);
                        if (k >= stop) {
                            break;
                        }
                        if (TV_UNLIKELY(fc >= fcap)) {
                            stop = k;  // the general path reports it
                            break;
                        }
                        oblk[k] = '\0';
                        fptrs[fc] = cur;
                        foffs[fc] = cur - tbuf;
                        ++fc;
                        ++row_fields;
                        cur = oblk + k + 1;
                        if (k + 1 == 16 || has_index(m.nonplain, k + 1)) {
                            stop = k + 1;
                            st = FieldStart;
                            break;
                        }
                    }
                    if (stop < 16 || st != InField) {
                        leave = true;
                    }
                    p = blk + stop;
                    out = oblk + stop;
                }
                if (st != InField) {
                    continue;
                }
            }
#endif
            // Field after field while the next one starts plainly.
            for (;;) {
                scan<true, true>(p, end, out, out_end, D.unquoted, cls, kUnquotedStop);
                if (p == end) {
                    break;
                }
                const uint8_t s = cls[*p];
                ++p;
                if (s & kT) {
                    TV_END_FIELD();
                    TV_END_ROW(RowStart);
                } else if (s & kR) {
                    TV_END_FIELD();
                    st = AfterCR;
                } else if (s & kE) {
                    st = AfterEscape;
                } else if (s & kS) {
                    TV_END_FIELD();
                    if (!D.split && p < end && (cls[*p] & kPlain)) {
                        continue;
                    }
                    st = D.split ? SkipSpaces : FieldStart;
                } else {
                    TV_END_FIELD();
                    st = InComment;
                }
                break;
            }
            continue;
        case AfterEscape:
            *out++ = static_cast<char>(b);
            ++p;
            st = InField;
            continue;
        case InQuotes:
            // Quoted field after quoted field without leaving this case.
            for (;;) {
                scan<true, false>(p, end, out, out_end, D.quoted, cls, kQuotedStop);
                if (p == end) {
                    break;
                }
                const uint8_t s = cls[*p];
                ++p;
                if (s & kE) {
                    st = EscapeInQuotes;
                } else if (!D.doubling) {
                    st = InField;
                } else if (p < end && (cls[*p] & kQ)) {
                    // A doubled quote: one quote byte, still inside the quotes.
                    *out++ = static_cast<char>(*p++);
                    continue;
                } else if (!D.split && p < end && (cls[*p] & kS)) {
                    // The closing quote and its separator; a quoted next
                    // field goes straight into its quotes.
                    ++p;
                    TV_END_FIELD();
                    if (p < end && (cls[*p] & (kT | kR | kQ)) == kQ) {
                        ++p;
                        continue;
                    }
                    st = FieldStart;
                } else {
                    st = QuoteInQuotes;
                }
                break;
            }
            continue;
        case EscapeInQuotes:
            *out++ = static_cast<char>(b);
            ++p;
            st = InQuotes;
            continue;
        case QuoteInQuotes:
            ++p;
            if (c & kQ) {
                *out++ = static_cast<char>(b);
                st = InQuotes;
            } else if (c & kS) {
                TV_END_FIELD();
                st = D.split ? SkipSpaces : FieldStart;
            } else if (c & kT) {
                TV_END_FIELD();
                TV_END_ROW(RowStart);
            } else if (c & kR) {
                TV_END_FIELD();
                st = AfterCR;
            } else {
                *out++ = static_cast<char>(b);
                st = InField;
            }
            continue;
        case AfterCR:
            // The next row starts with this byte (unless it is the LF of a
            // CR LF pair) and goes through RowStart like every other row.
            if (b == '\n') {
                ++p;
            }
            TV_END_ROW(RowStart);
            continue;
        case AfterCRQuiet:
            if (b == '\n') {
                ++p;
            }
            st = RowStart;
            continue;
        case SkipSpaces:
            if (c & kT) {
                ++p;
                TV_END_ROW(RowStart);
            } else if (c & kR) {
                ++p;
                st = AfterCR;
            } else if (c & kC) {
                ++p;
                st = InComment;
            } else if (c & kBlank) {
                ++p;
            } else {
                // The row-skip test already ran for this row at its start.
                st = FieldStart;
            }
            continue;
        case InComment: {
            char *unused = nullptr;
            scan<false, false>(p, end, unused, nullptr, D.comment, cls, kCommentStop);
            if (p == end) {
                continue;
            }
            const uint8_t s = cls[*p];
            ++p;
            if (s & kT) {
                TV_END_ROW(RowStart);
            } else {
                st = AfterCR;
            }
            continue;
        }
        case InCommentRow: {
            char *unused = nullptr;
            scan<false, false>(p, end, unused, nullptr, D.comment, cls, kCommentStop);
            if (p == end) {
                continue;
            }
            const uint8_t s = cls[*p];
            ++p;
            count_row();
            st = (s & kT) ? RowStart : AfterCRQuiet;
            continue;
        }
        case BlankRowCheck:
            if (c & (kT | kR)) {
                ++p;
                out = cur;  // the tentative blanks go
                count_row();
                st = (c & kT) ? RowStart : AfterCRQuiet;
            } else if (D.split) {
                if (c & kC) {
                    // Blanks and then a comment: a row without fields, as
                    // when blank rows are kept (a comment line starts with
                    // the comment byte).
                    ++p;
                    st = InComment;
                } else if (c & kBlank) {
                    ++p;
                } else {
                    st = FieldStart;
                }
            } else if ((c & kBlank) && b != D.sep) {
                ++p;
                *out++ = static_cast<char>(b);
            } else {
                TV_SYNC();
                int next = st;
                const int r = rewind_blank_row(p, end, next);
                st = next;
                TV_RELOAD();
                if (r != 0) {
                    TV_EXIT(r);
                }
            }
            continue;

        // Skipped rows: the kept-row rules, storing nothing.
        case SkippedFieldStart:
            ++p;
            if (c & kT) {
                end_skipped_row();
                st = RowStart;
            } else if (c & kR) {
                count_row();
                st = AfterCRQuiet;
            } else if (c & kQ) {
                st = SkippedInQuotes;
            } else if (c & kE) {
                st = SkippedAfterEscape;
            } else if (D.split && (c & kBlank)) {
                st = SkippedSkipSpaces;
            } else if (!D.split && D.skip_space && b == ' ') {
                // dropped
            } else if (!D.split && b == D.sep) {
                // an empty field
            } else if (c & kC) {
                st = SkippedInComment;
            } else {
                st = SkippedInField;
            }
            continue;
        case SkippedInField: {
            char *unused = nullptr;
            scan<false, true>(p, end, unused, nullptr, D.unquoted, cls, kUnquotedStop);
            if (p == end) {
                continue;
            }
            const uint8_t s = cls[*p];
            ++p;
            if (s & kT) {
                end_skipped_row();
                st = RowStart;
            } else if (s & kR) {
                count_row();
                st = AfterCRQuiet;
            } else if (s & kE) {
                st = SkippedAfterEscape;
            } else if (s & kS) {
                st = D.split ? SkippedSkipSpaces : SkippedFieldStart;
            } else {
                st = SkippedInComment;
            }
            continue;
        }
        case SkippedAfterEscape:
            ++p;
            st = SkippedInField;
            continue;
        case SkippedInQuotes: {
            char *unused = nullptr;
            scan<false, false>(p, end, unused, nullptr, D.quoted, cls, kQuotedStop);
            if (p == end) {
                continue;
            }
            const uint8_t s = cls[*p];
            ++p;
            if (s & kE) {
                st = SkippedEscapeInQuotes;
            } else {
                st = D.doubling ? SkippedQuoteInQuotes : SkippedInField;
            }
            continue;
        }
        case SkippedEscapeInQuotes:
            ++p;
            st = SkippedInQuotes;
            continue;
        case SkippedQuoteInQuotes:
            ++p;
            if (c & kQ) {
                st = SkippedInQuotes;
            } else if (c & kS) {
                st = D.split ? SkippedSkipSpaces : SkippedFieldStart;
            } else if (c & kT) {
                end_skipped_row();
                st = RowStart;
            } else if (c & kR) {
                count_row();
                st = AfterCRQuiet;
            } else {
                st = SkippedInField;
            }
            continue;
        case SkippedInComment: {
            char *unused = nullptr;
            scan<false, false>(p, end, unused, nullptr, D.comment, cls, kCommentStop);
            if (p == end) {
                continue;
            }
            const uint8_t s = cls[*p];
            ++p;
            if (s & kT) {
                end_skipped_row();
                st = RowStart;
            } else {
                count_row();
                st = AfterCRQuiet;
            }
            continue;
        }
        case SkippedSkipSpaces:
            if (c & kT) {
                ++p;
                end_skipped_row();
                st = RowStart;
            } else if (c & kR) {
                ++p;
                count_row();
                st = AfterCRQuiet;
            } else if (c & kC) {
                ++p;
                st = SkippedInComment;
            } else if (c & kBlank) {
                ++p;
            } else {
                st = SkippedFieldStart;
            }
            continue;
        default:
            TV_SYNC();
            set_error_text(P, "invalid tokenizer state");
            TV_EXIT(-1);
        }
    }
done:
    TV_SYNC();
    p_ref = p;
    st_ref = st;
    return result;
}

#undef TV_SYNC
#undef TV_RELOAD
#undef TV_EXIT
#undef TV_END_FIELD
#undef TV_END_ROW

// End of data: closes the row in progress.  The state becomes Finished.
int Machine::finish(int &st) noexcept
{
    store_out();
    if (parser_reserve(P, 1) != 0) {
        set_error_text(P, kOutOfMemory);
        return -1;
    }
    load_out();
    int result = 0;
    switch (st) {
    case RowStart:
    case AfterCRQuiet:
    case InCommentRow:
        break;
    case BlankRowCheck:
        out = P->cur_field_ptr;
        break;
    case FieldStart:
    case InField:
    case QuoteInQuotes:
        if (!end_field()) {
            result = -1;
            break;
        }
        result = end_row(0) < 0 ? -1 : 0;
        break;
    case AfterEscape:
        set_error_text(P, "EOF following escape character");
        result = -1;
        break;
    case InQuotes:
    case EscapeInQuotes: {
        char text[80];
        snprintf(text, sizeof text, "EOF inside string starting at row %llu",
                 static_cast<unsigned long long>(P->source_rows));
        set_error_text(P, text);
        result = -1;
        break;
    }
    case AfterCR:
    case SkipSpaces:
    case InComment:
        result = end_row(0) < 0 ? -1 : 0;
        break;
    case SkippedFieldStart:
    case SkippedInField:
    case SkippedInQuotes:
    case SkippedQuoteInQuotes:
    case SkippedAfterEscape:
    case SkippedEscapeInQuotes:
    case SkippedInComment:
    case SkippedSkipSpaces:
        end_skipped_row();
        break;
    default:
        set_error_text(P, "invalid tokenizer state");
        result = -1;
        break;
    }
    store_out();
    st = Finished;
    return result;
}

// The chunk size as read_fn's size, which readers take back as the signed
// size it stands for (a negative one asks for everything); false when the
// platform's sizes cannot hold it.
bool narrow_read_size(int64_t chunk_bytes, size_t &size) noexcept
{
    if constexpr (sizeof(size_t) < sizeof(int64_t)) {
        if (chunk_bytes < PTRDIFF_MIN || chunk_bytes > PTRDIFF_MAX) {
            return false;
        }
    }
    size = static_cast<size_t>(static_cast<ptrdiff_t>(chunk_bytes));
    return true;
}

int run(TextParser *P, uint64_t quota, const char *encoding_errors) noexcept
{
    if (P->tok_state == Finished) {
        return 0;
    }
    TokenizerPrivate &priv = record_of(P)->priv;
    if (priv.skip_set_failed) {
        set_error_text(P, kOutOfMemory);
        return -1;
    }
    int st = P->tok_state;
    if (published_state(priv.internal_state) == st) {
        st = priv.internal_state;
    }

    Dialect dialect;
    build_dialect(dialect, P);
    Machine m(P, dialect, P->row_count, quota);
    const uint64_t rows_at_start = P->row_count;
    int result = 0;

    for (;;) {
        if (P->row_count - rows_at_start >= quota) {
            break;
        }
        // Bytes held back at the start of the input that were not a
        // byte-order mark after all.
        if (priv.pending_pos < priv.pending_len) {
            const size_t n = static_cast<size_t>(priv.pending_len - priv.pending_pos);
            if (parser_reserve(P, n) != 0) {
                set_error_text(P, kOutOfMemory);
                result = -1;
                break;
            }
            const uint8_t *p = priv.pending + priv.pending_pos;
            m.load_out();
            const int r = m.process(p, priv.pending + priv.pending_len, st);
            m.store_out();
            priv.pending_pos = static_cast<int>(p - priv.pending);
            if (r != 0) {
                result = r < 0 ? -1 : 0;
                break;
            }
            continue;
        }
        if (priv.input_ended) {
            m.load_out();
            result = m.finish(st);
            break;
        }
        if (P->chunk_pos >= P->chunk_len || P->chunk_pos < 0) {
            if (P->read_fn == nullptr) {
                set_error_text(P, "Unknown error in IO callback");
                result = -1;
                break;
            }
            const WideReadFn wide = wide_form_of(P->read_fn);
            size_t size = 0;
            if (wide == nullptr && !narrow_read_size(P->chunk_bytes, size)) {
                char text[120];
                snprintf(text, sizeof text,
                         "chunk size %lld is beyond the sizes read_fn takes on this platform",
                         static_cast<long long>(P->chunk_bytes));
                set_error_text(P, text);
                result = -1;
                break;
            }
            size_t got = 0;
            int status = 0;
            P->chunk_pos = 0;
            char *data = wide != nullptr
                             ? wide(P->src_handle, P->chunk_bytes, &got, &status, encoding_errors)
                             : P->read_fn(P->src_handle, size, &got, &status, encoding_errors);
            P->chunk_len = static_cast<int64_t>(got);
            P->chunk = data;
            if (status == TV_READ_EOF) {
                if (got != 0) {
                    P->chunk_len = 0;
                    st = Finished;
                    result = -1;
                    break;
                }
                priv.input_ended = 1;
                if (priv.bom_matched > 0 && priv.bom_matched < 3) {
                    // The whole input was a prefix of a byte-order mark: data.
                    memcpy(priv.pending, kByteOrderMark, static_cast<size_t>(priv.bom_matched));
                    priv.pending_pos = 0;
                    priv.pending_len = priv.bom_matched;
                }
                priv.bom_matched = 3;
                continue;
            }
            if (data == nullptr) {
                P->chunk_len = 0;
                set_error_text(P, status == TV_READ_FAILED
                                      ? "Calling read(nbytes) on source failed. Try engine='python'."
                                      : "Unknown error in IO callback");
                result = -1;
                break;
            }
            if (status != TV_READ_OK) {
                result = status;
                break;
            }
            continue;
        }

        const size_t avail = static_cast<size_t>(P->chunk_len - P->chunk_pos);
        if (parser_reserve(P, avail) != 0) {
            set_error_text(P, kOutOfMemory);
            result = -1;
            break;
        }
        const uint8_t *base = reinterpret_cast<const uint8_t *>(P->chunk);
        if (priv.bom_matched < 3) {
            int k = priv.bom_matched;
            int64_t pos = P->chunk_pos;
            while (k < 3 && pos < P->chunk_len && base[pos] == kByteOrderMark[k]) {
                ++k;
                ++pos;
            }
            if (k == 3) {
                P->chunk_pos = pos;
                priv.bom_matched = 3;
            } else if (pos == P->chunk_len) {
                priv.bom_matched = k;  // undecided: hold these bytes back
                P->chunk_pos = pos;
                continue;
            } else {
                const int held = priv.bom_matched;
                priv.bom_matched = 3;
                if (held > 0) {
                    memcpy(priv.pending, kByteOrderMark, static_cast<size_t>(held));
                    priv.pending_pos = 0;
                    priv.pending_len = held;
                    continue;
                }
            }
        }
        const uint8_t *p = base + P->chunk_pos;
        m.load_out();
        const int r = m.process(p, base + P->chunk_len, st);
        m.store_out();
        P->chunk_pos = p - base;
        if (r != 0) {
            result = r < 0 ? -1 : 0;
            break;
        }
    }
    P->tok_state = published_state(st);
    priv.internal_state = st;
    return result;
}

}  // namespace

int TV_TOKENIZER_ENTRY(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept
{
    return run(p, quota, encoding_errors);
}

}  // namespace tv

#if defined(TV_TOKENIZER_NEON_PRAGMA)
#pragma GCC pop_options
#endif
