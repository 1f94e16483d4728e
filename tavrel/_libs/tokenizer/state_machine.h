// The tokenizer's state machine: byte classes of the dialect, the
// transitions of every state, and the ends of fields and rows.
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
// row and the next one continues exactly there, also in the middle of a
// chunk; the result never depends on how the input is cut into chunks.
// Rows that are skipped (skip set, leading-row count, predicate) are scanned
// by the same transitions as kept rows (quotes, escapes, comments): each
// state's handler is written once for both kinds of row, and a skipped row
// stores nothing and ends without becoming a row.
//
// Speed: the byte classes of the dialect are computed once per run into a
// 256-entry table, runs of ordinary bytes are found a block at a time
// (block_scan.h), and the write side of the record (stream position, field
// table) lives in a local Writer while bytes are processed.
//
// Everything here has internal linkage (see block_scan.h).
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "tokenizer/block_scan.h"
#include "tokenizer/text_parser.h"

namespace tv {

namespace {

constexpr char kOutOfMemory[] = "out of memory";
constexpr char kOverflow[] = "Buffer overflow caught - possible malformed input file.\n";

// Byte classes (bits, since one byte may play several roles; each state
// tests them in its own order of precedence).
enum : uint8_t {
    kT = 1,       // row terminator
    kR = 2,       // carriage return (only when row_end is NUL)
    kE = 4,       // escape
    kS = 8,       // field separator (sep, or any blank when splitting on blanks)
    kC = 16,      // comment
    kQ = 32,      // active quote
    kBlank = 64,  // space or tab
    kPlain = 128  // at a field start: pushed and the field goes on
};
constexpr uint8_t kUnquotedStop = kT | kR | kE | kS | kC;
constexpr uint8_t kQuotedStop = kE | kQ;
constexpr uint8_t kCommentStop = kT | kR;

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

template <class Blocks>
struct Dialect {
    uint8_t cls[256];
    Needles<Blocks> unquoted;
    Needles<Blocks> quoted;
    Needles<Blocks> comment;
    // Unquoted fields that end at a plain separator (one that is neither
    // terminator, carriage return nor escape), several per block.
    bool field_blocks;
    FieldNeedles<Blocks> fields;
    uint8_t sep;
    bool split;
    bool skip_space;
    bool doubling;
    bool drop_blank;
};

template <class Blocks>
void collect_needles(Needles<Blocks> &nd, const uint8_t *cls, const RoleBytes &roles, uint8_t mask) noexcept
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
    nd.set(bytes, n, too_many);
}

template <class Blocks>
void build_dialect(Dialect<Blocks> &d, const TextParser *p) noexcept
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
    d.fields.set(d.sep, quote_np, space_np);
}

// The write side of the record while bytes are processed: the stream's write
// position and the field table, held in locals.  Stores through the char
// pointer `out` may alias anything reachable from the record, so kept in
// the record, field_count and the rest would be reloaded after every byte
// written.  store() writes them back before anything else looks at the
// record; load() picks them up again afterwards.
struct Writer {
    char *tbuf;
    char *out;
    const char *out_end;
    char **fptrs;
    int64_t *foffs;
    uint64_t fc;
    uint64_t fcap;
    int64_t row_fields;
    char *cur;

    void load(const TextParser *P) noexcept
    {
        tbuf = P->text_buf;
        out = tbuf + P->text_len;
        out_end = tbuf + P->text_cap;
        fptrs = P->field_ptrs;
        foffs = P->field_offsets;
        fc = P->field_count;
        fcap = P->field_cap;
        row_fields = P->row_field_count[P->row_count];
        cur = P->cur_field_ptr;
    }

    void store(TextParser *P) const noexcept
    {
        P->text_len = static_cast<uint64_t>(out - tbuf);
        P->field_count = fc;
        P->row_field_count[P->row_count] = row_fields;
        P->cur_field_ptr = cur;
        P->cur_field_offset = cur - tbuf;
    }

    // Records the field being built, whose NUL goes at `nul`.  The next
    // field starts after it.
    void close_field(char *nul) noexcept
    {
        *nul = '\0';
        fptrs[fc] = cur;
        foffs[fc] = cur - tbuf;
        ++fc;
        ++row_fields;
        cur = nul + 1;
    }

    // Ends the field being built at the write position; false when the
    // stream or the field table is full (not expected after a reservation).
    bool end_field() noexcept
    {
        if (fc >= fcap || out >= out_end) [[unlikely]] {
            return false;
        }
        close_field(out++);
        return true;
    }

    void push(uint8_t b) noexcept { *out++ = static_cast<char>(b); }
};

// The state a handler for kept rows names, in a skipped row.
constexpr int skipped_state(int state) noexcept
{
    switch (state) {
    case FieldStart:
        return SkippedFieldStart;
    case InField:
        return SkippedInField;
    case AfterEscape:
        return SkippedAfterEscape;
    case InQuotes:
        return SkippedInQuotes;
    case EscapeInQuotes:
        return SkippedEscapeInQuotes;
    case QuoteInQuotes:
        return SkippedQuoteInQuotes;
    case InComment:
        return SkippedInComment;
    case SkipSpaces:
        return SkippedSkipSpaces;
    default:
        return state;
    }
}

#define TV_HANDLER [[gnu::always_inline]] inline

template <class Blocks>
class Machine {
public:
    Machine(TextParser *parser, const Dialect<Blocks> &dialect, uint64_t rows_at_start, uint64_t quota) noexcept
        : P(parser), priv(record_of(parser)->priv), D(dialect), rows_at_start_(rows_at_start), quota_(quota)
    {}

    // Processes [p, end) from state st.  0: input exhausted, 1: row quota
    // reached, -1: error.  p ends at the next byte to read; st holds the
    // state to continue in.
    int process(const uint8_t *&p, const uint8_t *end, int &st) noexcept
    {
        Pass s{p, end, st, {}};
        s.w.load(P);
        const uint8_t *const cls = D.cls;
        int result = 0;
        while (result == 0 && s.p < s.end) {
            const uint8_t b = *s.p;
            const uint8_t c = cls[b];
            // One flat switch over every state, kept and skipped, so that
            // a step costs one jump.
            switch (s.st) {
            case RowStart:
                result = row_start(s, b, c);
                break;
            case FieldStart:
                result = field_start<true>(s, b, c);
                break;
            case SkippedFieldStart:
                result = field_start<false>(s, b, c);
                break;
            case InField:
                result = in_field<true>(s);
                break;
            case SkippedInField:
                result = in_field<false>(s);
                break;
            case AfterEscape:
                result = escaped<true>(s, b, InField);
                break;
            case SkippedAfterEscape:
                result = escaped<false>(s, b, InField);
                break;
            case InQuotes:
                result = in_quotes<true>(s);
                break;
            case SkippedInQuotes:
                result = in_quotes<false>(s);
                break;
            case EscapeInQuotes:
                result = escaped<true>(s, b, InQuotes);
                break;
            case SkippedEscapeInQuotes:
                result = escaped<false>(s, b, InQuotes);
                break;
            case QuoteInQuotes:
                result = quote_in_quotes<true>(s, b, c);
                break;
            case SkippedQuoteInQuotes:
                result = quote_in_quotes<false>(s, b, c);
                break;
            case SkipSpaces:
                result = skip_spaces<true>(s, c);
                break;
            case SkippedSkipSpaces:
                result = skip_spaces<false>(s, c);
                break;
            case InComment:
                result = in_comment<true>(s);
                break;
            case SkippedInComment:
                result = in_comment<false>(s);
                break;
            case AfterCR:
                result = after_cr(s, b);
                break;
            case AfterCRQuiet:
                result = after_cr_quiet(s, b);
                break;
            case InCommentRow:
                result = in_comment_row(s);
                break;
            case BlankRowCheck:
                result = blank_row_check(s, b, c);
                break;
            default:
                s.w.store(P);
                set_error_text(P, "invalid tokenizer state");
                result = -1;
                break;
            }
        }
        s.w.store(P);
        p = s.p;
        st = s.st;
        return result;
    }

    // End of data: closes the row in progress.  The state becomes Finished.
    int finish(int &st) noexcept
    {
        if (parser_reserve(P, 1) != 0) {
            set_error_text(P, kOutOfMemory);
            return -1;
        }
        int result = 0;
        switch (st) {
        case RowStart:
        case AfterCRQuiet:
        case InCommentRow:
            break;
        case BlankRowCheck:
            // The tentative blanks go.
            P->text_len = static_cast<uint64_t>(P->cur_field_offset);
            break;
        case FieldStart:
        case InField:
        case QuoteInQuotes: {
            Writer w;
            w.load(P);
            const bool ended = w.end_field();
            w.store(P);
            if (!ended) {
                set_error_text(P, kOverflow);
                result = -1;
                break;
            }
            result = end_row(0) < 0 ? -1 : 0;
            break;
        }
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
        st = Finished;
        return result;
    }

private:
    // The hot state of one process() call, in locals.
    struct Pass {
        const uint8_t *p;
        const uint8_t *end;
        int st;
        Writer w;
    };

    // The state named for a kept row, in a row of this kind.
    template <bool Kept>
    static constexpr int in(int kept_state) noexcept
    {
        return Kept ? kept_state : skipped_state(kept_state);
    }

    // --- Rows ------------------------------------------------------------

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
        if (rc >= P->row_cap) [[unlikely]] {
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
                     static_cast<long long>(expected), static_cast<unsigned long long>(P->source_rows),
                     static_cast<long long>(seen));
            set_error_text(P, line);
            return -1;
        }
        if (P->bad_row_mode == BadRowWarn) {
            snprintf(line, sizeof line, "Skipping line %llu: expected %lld fields, saw %lld\n",
                     static_cast<unsigned long long>(P->source_rows), static_cast<long long>(expected),
                     static_cast<long long>(seen));
            append_warning(P, line);
        }
        return 0;
    }

    // Ends the kept row in the record (the writer stored): the field-count
    // test, padding, and the next row.  remaining: input bytes still to come
    // in this pass, so that padding keeps the pass's reservation intact.
    // 0, 1 when the row quota is reached, -1 on error.
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
            if (missing > SIZE_MAX - remaining || parser_reserve(P, static_cast<size_t>(missing + remaining)) != 0) {
                set_error_text(P, kOutOfMemory);
                return -1;
            }
            Writer w;
            w.load(P);
            bool ended = true;
            for (uint64_t i = 0; i < missing && ended; ++i) {
                ended = w.end_field();
            }
            w.store(P);
            if (!ended) {
                set_error_text(P, kOverflow);
                return -1;
            }
        }
        return keep_row();
    }

    // 1 skip, 0 keep, -1 error (error text or Python exception).
    int row_is_skipped() noexcept
    {
        if (P->skip_predicate != nullptr) {
            if (priv.call_predicate == nullptr) {
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

    // A row of blanks (BlankRowCheck, not splitting) turned out to be a
    // real row.  Its blanks were stored tentatively at the start of the
    // current field; they are fed again from FieldStart, exactly as if the
    // row had been read from its first byte, wherever the chunks were cut.
    //
    // The replay reads them from the stream it writes to.  Every byte read
    // writes at most one byte, so the write position never passes the read
    // position, but the block scans store whole blocks at the write
    // position: up to kBlockBytes - 1 bytes beyond it, which is over bytes
    // not yet read as soon as the replay has consumed a byte without
    // writing one (an escape, an opening quote, a dropped space).  So the
    // held bytes move up by one block first: whatever the replay stores
    // then lands on bytes already read.
    int rewind_blank_row(const uint8_t *p, const uint8_t *end, int &st) noexcept
    {
        const uint64_t start = static_cast<uint64_t>(P->cur_field_offset);
        const uint64_t held = P->text_len - start;
        // The block of room the move needs, then the rest of the chunk.
        if (parser_reserve(P, static_cast<size_t>(end - p) + kBlockBytes) != 0) {
            set_error_text(P, kOutOfMemory);
            return -1;
        }
        char *const moved = P->text_buf + start + kBlockBytes;
        memmove(moved, P->text_buf + start, static_cast<size_t>(held));
        const uint8_t *src = reinterpret_cast<const uint8_t *>(moved);
        P->text_len = start;  // the held bytes now lie past the stream's end
        st = FieldStart;
        return process(src, src + held, st);
    }

    // --- Actions of a kept or a skipped row --------------------------------
    // A skipped row stores no byte and no field, and its ends only count it.

    int overflow(Pass &s) noexcept
    {
        s.w.store(P);
        set_error_text(P, kOverflow);
        return -1;
    }

    template <bool Kept>
    TV_HANDLER int end_field(Pass &s) noexcept
    {
        if constexpr (Kept) {
            if (!s.w.end_field()) [[unlikely]] {
                return overflow(s);
            }
        }
        return 0;
    }

    template <bool Kept>
    TV_HANDLER void push(Pass &s, uint8_t b) noexcept
    {
        if constexpr (Kept) {
            s.w.push(b);
        }
    }

    // The kept row ends; `next` is the state to continue in.
    int end_kept_row(Pass &s, int next) noexcept
    {
        s.st = next;
        s.w.store(P);
        const int r = end_row(static_cast<size_t>(s.end - s.p));
        s.w.load(P);
        return r;
    }

    // A terminator ends the row.
    template <bool Kept>
    TV_HANDLER int terminator(Pass &s) noexcept
    {
        if constexpr (Kept) {
            return end_kept_row(s, RowStart);
        } else {
            end_skipped_row();
            s.st = RowStart;
            return 0;
        }
    }

    // A carriage return: a kept row waits for a possible LF; a skipped row
    // is over (counted), and an LF right after it is consumed quietly.
    template <bool Kept>
    TV_HANDLER void carriage_return(Pass &s) noexcept
    {
        if constexpr (Kept) {
            s.st = AfterCR;
        } else {
            count_row();
            s.st = AfterCRQuiet;
        }
    }

    // The field ends (in a kept row), and then the row at a terminator, or
    // at a carriage return as carriage_return() says, or the state is next.
    template <bool Kept>
    TV_HANDLER int end_field_and_row(Pass &s) noexcept
    {
        const int r = end_field<Kept>(s);
        return r != 0 ? r : terminator<Kept>(s);
    }

    template <bool Kept>
    TV_HANDLER int end_field_at_cr(Pass &s) noexcept
    {
        const int r = end_field<Kept>(s);
        if (r == 0) {
            carriage_return<Kept>(s);
        }
        return r;
    }

    template <bool Kept>
    TV_HANDLER int end_field_then(Pass &s, int next) noexcept
    {
        const int r = end_field<Kept>(s);
        if (r == 0) {
            s.st = next;
        }
        return r;
    }

    // --- States ------------------------------------------------------------

    TV_HANDLER int row_start(Pass &s, uint8_t b, uint8_t c) noexcept
    {
        s.w.store(P);
        const int skipped = row_is_skipped();
        if (skipped != 0) [[unlikely]] {
            if (skipped < 0) {
                return -1;
            }
            s.st = SkippedFieldStart;  // this byte again, in the skipped row
            return 0;
        }
        if (c & kT) {
            ++s.p;
            if (D.drop_blank) {
                count_row();
                return 0;
            }
            return end_kept_row(s, RowStart);
        }
        if (c & kR) {
            ++s.p;
            if (D.drop_blank) {
                count_row();
                s.st = AfterCRQuiet;
            } else {
                s.st = AfterCR;
            }
            return 0;
        }
        if (c & kC) {
            ++s.p;
            s.st = InCommentRow;
            return 0;
        }
        if (c & kBlank) {
            if (D.split) {
                ++s.p;
                s.st = D.drop_blank ? BlankRowCheck : SkipSpaces;
                return 0;
            }
            if (b != D.sep && D.drop_blank) {
                ++s.p;
                s.w.push(b);  // tentative, see rewind_blank_row
                s.st = BlankRowCheck;
                return 0;
            }
        }
        s.st = FieldStart;
        return 0;
    }

    template <bool Kept>
    TV_HANDLER int field_start(Pass &s, uint8_t b, uint8_t c) noexcept
    {
        if constexpr (Kept) {
            if (c & kPlain) {
                s.st = InField;
                return 0;
            }
        }
        ++s.p;
        if (c & kT) {
            return end_field_and_row<Kept>(s);
        }
        if (c & kR) {
            return end_field_at_cr<Kept>(s);
        }
        if (c & kQ) {
            s.st = in<Kept>(InQuotes);
        } else if (c & kE) {
            s.st = in<Kept>(AfterEscape);
        } else if (D.split && (c & kBlank)) {
            s.st = in<Kept>(SkipSpaces);
        } else if (!D.split && D.skip_space && b == ' ') {
            // dropped
        } else if (!D.split && b == D.sep) {
            return end_field<Kept>(s);  // an empty field
        } else if (c & kC) {
            return end_field_then<Kept>(s, in<Kept>(InComment));
        } else {
            // Only in a skipped row (a kept one took plain bytes above).
            push<Kept>(s, b);
            s.st = in<Kept>(InField);
        }
        return 0;
    }

    // Short fields: one block copied to the stream holds several fields;
    // each plain separator becomes the NUL that ends its field in place, and
    // the next field's bytes are already where they belong.  Leaves the
    // state InField when the fields go on past the blocks.
    TV_HANDLER void field_blocks(Pass &s) noexcept
    {
        constexpr ptrdiff_t block = kBlockBytes;
        bool leave = false;
        while (!leave && s.end - s.p >= block && s.w.out_end - s.w.out >= block) {
            const uint8_t *const blk = s.p;
            char *const oblk = s.w.out;
            const BlockMasks m = copy_block_masks<Blocks>(blk, oblk, D.unquoted, D.fields);
            const uint64_t others = m.special & ~m.sep;
            unsigned stop = others != 0 ? lowest_index<Blocks>(others) : unsigned{kBlockBytes};
            for (uint64_t seps = m.sep; seps != 0; seps = drop_lowest<Blocks>(seps)) {
                const unsigned k = lowest_index<Blocks>(seps);
                if (k >= stop) {
                    break;
                }
                if (s.w.fc >= s.w.fcap) [[unlikely]] {
                    stop = k;  // the general path reports it
                    break;
                }
                s.w.close_field(oblk + k);
                if (k + 1 == kBlockBytes || has_index<Blocks>(m.nonplain, k + 1)) {
                    stop = k + 1;
                    s.st = FieldStart;
                    break;
                }
            }
            if (stop < kBlockBytes || s.st != InField) {
                leave = true;
            }
            s.p = blk + stop;
            s.w.out = oblk + stop;
        }
    }

    template <bool Kept>
    TV_HANDLER int in_field(Pass &s) noexcept
    {
        if constexpr (Kept && Blocks::available) {
            if (D.field_blocks) {
                field_blocks(s);
                if (s.st != InField) {
                    return 0;
                }
            }
        }
        const uint8_t *const cls = D.cls;
        // Field after field while the next one starts plainly.
        for (;;) {
            scan<Blocks, Kept, true>(s.p, s.end, s.w.out, s.w.out_end, D.unquoted, cls, kUnquotedStop);
            if (s.p == s.end) {
                return 0;
            }
            const uint8_t stop = cls[*s.p];
            ++s.p;
            if (stop & kT) {
                return end_field_and_row<Kept>(s);
            }
            if (stop & kR) {
                return end_field_at_cr<Kept>(s);
            }
            if (stop & kE) {
                s.st = in<Kept>(AfterEscape);
                return 0;
            }
            if (stop & kS) {
                if (const int r = end_field<Kept>(s); r != 0) {
                    return r;
                }
                if (!D.split && s.p < s.end && (cls[*s.p] & kPlain)) {
                    continue;
                }
                s.st = D.split ? in<Kept>(SkipSpaces) : in<Kept>(FieldStart);
                return 0;
            }
            return end_field_then<Kept>(s, in<Kept>(InComment));
        }
    }

    // The byte after an escape is text, whatever its class; the field goes
    // on in `next` (InField, or InQuotes inside quotes).
    template <bool Kept>
    TV_HANDLER int escaped(Pass &s, uint8_t b, int next) noexcept
    {
        push<Kept>(s, b);
        ++s.p;
        s.st = in<Kept>(next);
        return 0;
    }

    template <bool Kept>
    TV_HANDLER int in_quotes(Pass &s) noexcept
    {
        const uint8_t *const cls = D.cls;
        // Quoted field after quoted field without leaving this state.
        for (;;) {
            scan<Blocks, Kept, false>(s.p, s.end, s.w.out, s.w.out_end, D.quoted, cls, kQuotedStop);
            if (s.p == s.end) {
                return 0;
            }
            const uint8_t stop = cls[*s.p];
            ++s.p;
            if (stop & kE) {
                s.st = in<Kept>(EscapeInQuotes);
                return 0;
            }
            if (!D.doubling) {
                s.st = in<Kept>(InField);
                return 0;
            }
            if (s.p < s.end && (cls[*s.p] & kQ)) {
                // A doubled quote: one quote byte, still inside the quotes.
                push<Kept>(s, *s.p++);
                continue;
            }
            if (!D.split && s.p < s.end && (cls[*s.p] & kS)) {
                // The closing quote and its separator; a quoted next field
                // goes straight into its quotes.
                ++s.p;
                if (const int r = end_field<Kept>(s); r != 0) {
                    return r;
                }
                if (s.p < s.end && (cls[*s.p] & (kT | kR | kQ)) == kQ) {
                    ++s.p;
                    continue;
                }
                s.st = in<Kept>(FieldStart);
                return 0;
            }
            s.st = in<Kept>(QuoteInQuotes);
            return 0;
        }
    }

    template <bool Kept>
    TV_HANDLER int quote_in_quotes(Pass &s, uint8_t b, uint8_t c) noexcept
    {
        ++s.p;
        if (c & kQ) {
            push<Kept>(s, b);
            s.st = in<Kept>(InQuotes);
            return 0;
        }
        if (c & kS) {
            return end_field_then<Kept>(s, D.split ? in<Kept>(SkipSpaces) : in<Kept>(FieldStart));
        }
        if (c & kT) {
            return end_field_and_row<Kept>(s);
        }
        if (c & kR) {
            return end_field_at_cr<Kept>(s);
        }
        push<Kept>(s, b);
        s.st = in<Kept>(InField);
        return 0;
    }

    template <bool Kept>
    TV_HANDLER int skip_spaces(Pass &s, uint8_t c) noexcept
    {
        if (c & kT) {
            ++s.p;
            return terminator<Kept>(s);
        }
        if (c & kR) {
            ++s.p;
            carriage_return<Kept>(s);
        } else if (c & kC) {
            ++s.p;
            s.st = in<Kept>(InComment);
        } else if (c & kBlank) {
            ++s.p;
        } else {
            // The row-skip test already ran for this row at its start.
            s.st = in<Kept>(FieldStart);
        }
        return 0;
    }

    template <bool Kept>
    TV_HANDLER int in_comment(Pass &s) noexcept
    {
        scan<Blocks, false, false>(s.p, s.end, s.w.out, s.w.out_end, D.comment, D.cls, kCommentStop);
        if (s.p == s.end) {
            return 0;
        }
        const uint8_t stop = D.cls[*s.p];
        ++s.p;
        if (stop & kT) {
            return terminator<Kept>(s);
        }
        carriage_return<Kept>(s);
        return 0;
    }

    // The next row starts with this byte (unless it is the LF of a CR LF
    // pair) and goes through RowStart like every other row.
    TV_HANDLER int after_cr(Pass &s, uint8_t b) noexcept
    {
        if (b == '\n') {
            ++s.p;
        }
        return end_kept_row(s, RowStart);
    }

    TV_HANDLER int after_cr_quiet(Pass &s, uint8_t b) noexcept
    {
        if (b == '\n') {
            ++s.p;
        }
        s.st = RowStart;
        return 0;
    }

    TV_HANDLER int in_comment_row(Pass &s) noexcept
    {
        scan<Blocks, false, false>(s.p, s.end, s.w.out, s.w.out_end, D.comment, D.cls, kCommentStop);
        if (s.p != s.end) {
            const uint8_t stop = D.cls[*s.p];
            ++s.p;
            count_row();
            s.st = (stop & kT) ? RowStart : AfterCRQuiet;
        }
        return 0;
    }

    TV_HANDLER int blank_row_check(Pass &s, uint8_t b, uint8_t c) noexcept
    {
        if (c & (kT | kR)) {
            ++s.p;
            s.w.out = s.w.cur;  // the tentative blanks go
            count_row();
            s.st = (c & kT) ? RowStart : AfterCRQuiet;
            return 0;
        }
        if (D.split) {
            if (c & kC) {
                // Blanks and then a comment: a row without fields, as when
                // blank rows are kept (a comment line starts with the
                // comment byte).
                ++s.p;
                s.st = InComment;
            } else if (c & kBlank) {
                ++s.p;
            } else {
                s.st = FieldStart;
            }
            return 0;
        }
        if ((c & kBlank) && b != D.sep) {
            ++s.p;
            s.w.push(b);
            return 0;
        }
        s.w.store(P);
        int next = s.st;
        const int r = rewind_blank_row(s.p, s.end, next);
        s.st = next;
        s.w.load(P);
        return r;
    }

    TextParser *P;
    TokenizerPrivate &priv;
    const Dialect<Blocks> &D;
    uint64_t rows_at_start_;
    uint64_t quota_;
};

#undef TV_HANDLER

}  // namespace

}  // namespace tv
