// The tokenizer's record and every operation on it.
//
// TextParser (tavrel/parser_api.h) is the public part of a larger record:
// parser_alloc hands out a ParserRecord whose first member is the public
// TextParser, followed by state the tokenizer keeps for itself (the finer
// positions inside skipped rows, a byte-order mark split across reads, the
// warning text's length, the hook that calls a Python row-skip predicate).
// Records must therefore come from parser_alloc.
//
// Pure core: nothing here touches a Python object.  The row-skip predicate is
// a Python callable, so the tokenizer reaches it only through the hook the
// module installs (parser_set_predicate_caller).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <tavrel/parser_api.h>

namespace tv {

// Calls the row-skip predicate for a 0-based source row: 1 skip, 0 keep,
// -1 failed (the caller's exception is pending).
using SkipPredicateCaller = int (*)(void *predicate, uint64_t source_row) noexcept;

// Internal tokenizer states beyond the published ones: positions inside a
// skipped row that the four published skipped-row states do not describe.
// tok_state shows the published state nearest to each (see published_state).
inline constexpr int SkippedAfterEscape = 18;     // shown as SkippedInField
inline constexpr int SkippedEscapeInQuotes = 19;  // shown as SkippedInQuotes
inline constexpr int SkippedInComment = 20;       // shown as SkippedInField
inline constexpr int SkippedSkipSpaces = 21;      // shown as SkippedFieldStart

inline int published_state(int state) noexcept
{
    switch (state) {
    case SkippedAfterEscape:
    case SkippedInComment:
        return SkippedInField;
    case SkippedEscapeInQuotes:
        return SkippedInQuotes;
    case SkippedSkipSpaces:
        return SkippedFieldStart;
    default:
        return state;
    }
}

// A read function that takes the chunk size as the full signed 64-bit
// chunk_bytes.  read_fn's size is a size_t, which readers take back as the
// signed size it stands for; on 32-bit platforms that holds no chunk size
// beyond 2^31 - 1.  The module registers the wide form of its own reader
// once, at load; a run whose read_fn is that reader calls the wide form,
// so that read() gets the chunk size as it stands on every platform.
using WideReadFn = char *(*)(void *handle, int64_t size_wanted, size_t *size_read, int *status,
                             const char *encoding_errors) noexcept;
struct WideReader {
    tv_read_fn narrow;
    WideReadFn wide;
};
void register_wide_reader(const WideReader *reader) noexcept;
// The registered wide form of fn, or null.
WideReadFn wide_form_of(tv_read_fn fn) noexcept;

struct TokenizerPrivate {
    SkipPredicateCaller call_predicate;
    // Exact state when tok_state shows a coarser published one; used only
    // while tok_state still equals published_state(internal_state).
    int internal_state;
    // Byte-order mark at the start of the input: bytes of it matched so far
    // (0 to 2, held back until the next byte decides), or 3 once decided.
    int bom_matched;
    // Bytes to feed before the current chunk (held byte-order-mark bytes
    // that turned out to be data).
    uint8_t pending[3];
    int pending_pos;
    int pending_len;
    // read_fn reported the end of the data; only held bytes and the closing
    // of the last row remain.
    int input_ended;
    // Length and capacity of warning_text as last written here, so appending
    // a line does not rescan the text; trusted only while warning_text is
    // still the block written here.
    char *warning_block;
    size_t warning_len;
    size_t warning_cap;
    // parser_skip_row could not record a row; the next run fails.
    int skip_set_failed;
};

struct ParserRecord {
    TextParser pub;
    TokenizerPrivate priv;
};

inline ParserRecord *record_of(TextParser *p) noexcept { return reinterpret_cast<ParserRecord *>(p); }

// Record life cycle and buffers.
TextParser *parser_alloc() noexcept;
void parser_apply_defaults(TextParser *p) noexcept;
int parser_setup(TextParser *p) noexcept;
void parser_release(TextParser *p) noexcept;
void parser_dealloc(TextParser *p) noexcept;
int parser_skip_row(TextParser *p, int64_t row) noexcept;
void parser_skip_leading_rows(TextParser *p, int64_t count) noexcept;
int parser_discard_rows(TextParser *p, size_t count) noexcept;
int parser_shrink_buffers(TextParser *p) noexcept;
void column_cursor_init(ColumnCursor *cursor, TextParser *p, int64_t column, int64_t first_row) noexcept;
// Room for n more input bytes: two stream bytes, one field and one row each.
int parser_reserve(TextParser *p, size_t n) noexcept;
void parser_set_predicate_caller(TextParser *p, SkipPredicateCaller caller) noexcept;

bool skip_set_contains(const SkipRowSet *set, int64_t row) noexcept;

// Replaces error_text with a copy of the text (or the formatted text).
void set_error_text(TextParser *p, const char *text) noexcept;
void append_warning(TextParser *p, const char *line) noexcept;

// Tokenizer runs (tokenizer_select.cpp), with the process's block scanner.
int tokenize_row_count(TextParser *p, size_t rows, const char *encoding_errors) noexcept;
int tokenize_to_end(TextParser *p, const char *encoding_errors) noexcept;

// Block scanners: how runs of ordinary bytes are found and copied.
enum class Scanner : int { Portable = 0, Sse2 = 1, Neon = 2 };

// The scanner of this process's runs, chosen at the first call: the best
// one the build and the CPU have (SSE2 on x86-64, NEON on ARM CPUs that
// report it), or the portable one when the environment variable
// TAVREL_TOKENIZER_PORTABLE is set and neither empty nor "0" (a switch
// for running the tests over the portable path).
Scanner tokenizer_scanner() noexcept;
bool scanner_available(Scanner scanner) noexcept;
// A run with the given scanner, rows up to quota (UINT64_MAX: to the end);
// -1 with an error text when the scanner is not available.
int tokenize_with(TextParser *p, Scanner scanner, uint64_t quota, const char *encoding_errors) noexcept;

// The builds of the tokenizer, one per scanner compiled in (tokenizer_portable.cpp,
// tokenizer_sse2.cpp, tokenizer_neon.cpp).
int tokenize_run_portable(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept;
int tokenize_run_sse2(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept;
int tokenize_run_neon(TextParser *p, uint64_t quota, const char *encoding_errors) noexcept;

}  // namespace tv
