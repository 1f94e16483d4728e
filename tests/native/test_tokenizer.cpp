// Native tests of the parser record and the tokenizer over an in-memory
// read function.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tokenizer/text_parser.h"

namespace {

struct MemoryReader {
    std::string data;
    std::vector<size_t> sizes;
    size_t pos = 0;
    size_t calls = 0;
    std::string chunk;
    int fail_status = -1;  // when >= 0: the next read fails with this status
    int extra_status = 0;  // status returned together with data
    size_t asked = 0;      // the size of the latest read
    // When set, every read notes whether the parser's warning text has
    // been given a new capacity since the previous read.
    TextParser *watched = nullptr;
    size_t warning_cap = 0;
    size_t warning_growths = 0;
};

char *read_memory(void *handle, size_t size, size_t *got, int *status, const char *) noexcept
{
    auto *r = static_cast<MemoryReader *>(handle);
    r->calls++;
    r->asked = size;
    if (r->watched != nullptr && tv::record_of(r->watched)->priv.warning_cap != r->warning_cap) {
        r->warning_cap = tv::record_of(r->watched)->priv.warning_cap;
        r->warning_growths++;
    }
    if (r->fail_status >= 0) {
        *got = 0;
        *status = r->fail_status;
        return nullptr;
    }
    size_t n = r->sizes.empty() ? r->data.size() : r->sizes[(r->calls - 1) % r->sizes.size()];
    n = std::min(n, r->data.size() - r->pos);
    r->chunk = r->data.substr(r->pos, n);
    r->pos += n;
    *got = n;
    *status = n == 0 ? TV_READ_EOF : r->extra_status;
    return r->chunk.data();
}

int released = 0;
void count_release(void *) noexcept { ++released; }

using Rows = std::vector<std::vector<std::string>>;

class Parser {
public:
    explicit Parser(std::string data, std::vector<size_t> sizes = {})
    {
        reader.data = std::move(data);
        reader.sizes = std::move(sizes);
        p = tv::parser_alloc();
        tv::parser_apply_defaults(p);
        EXPECT_EQ(tv::parser_setup(p), 0);
        p->src_handle = &reader;
        p->read_fn = read_memory;
        p->chunk_bytes = 1 << 16;
        p->last_header_row = UINT64_MAX;  // no header
    }
    ~Parser()
    {
        tv::parser_release(p);
        tv::parser_dealloc(p);
    }
    Rows rows() const
    {
        Rows out;
        for (uint64_t r = 0; r < p->row_count; ++r) {
            std::vector<std::string> row;
            for (int64_t j = 0; j < p->row_field_count[r]; ++j)
                row.emplace_back(p->field_ptrs[p->row_first_field[r] + j]);
            out.push_back(row);
        }
        return out;
    }
    std::string error() const { return p->error_text ? p->error_text : ""; }
    std::string warnings() const { return p->warning_text ? p->warning_text : ""; }

    MemoryReader reader;
    TextParser *p;
};

Rows tokenize(const std::string &data, std::vector<size_t> sizes = {}, void (*configure)(TextParser *) = nullptr)
{
    Parser ps(data, sizes);
    if (configure)
        configure(ps.p);
    EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0) << ps.error();
    return ps.rows();
}

TEST(ParserRecord, SetupValues)
{
    TextParser *p = tv::parser_alloc();
    ASSERT_NE(p, nullptr);
    tv::parser_apply_defaults(p);
    EXPECT_EQ(p->comment, '#');
    EXPECT_EQ(p->want_fields, -1);
    EXPECT_EQ(p->skip_below_row, -1);
    ASSERT_EQ(tv::parser_setup(p), 0);
    EXPECT_EQ(p->text_cap, 32u);
    EXPECT_EQ(p->field_cap, 3u);
    EXPECT_EQ(p->field_cap_peak, 3u);
    EXPECT_EQ(p->row_cap, 3u);
    EXPECT_EQ(p->row_first_field[0], 0);
    EXPECT_EQ(p->comment, '\0');
    // Set up again: what it owned is given back (no release_fn call).
    released = 0;
    p->release_fn = count_release;
    tv::parser_skip_row(p, 4);
    tv::set_error_text(p, "old");
    ASSERT_EQ(tv::parser_setup(p), 0);
    EXPECT_EQ(released, 0);
    EXPECT_EQ(p->skip_rows, nullptr);
    EXPECT_EQ(p->error_text, nullptr);
    tv::parser_release(p);
    EXPECT_EQ(released, 1);
    tv::parser_release(p);  // twice is harmless
    EXPECT_EQ(released, 1);
    tv::parser_dealloc(p);
}

TEST(ParserRecord, LeadingRows)
{
    Parser ps("");
    tv::parser_skip_leading_rows(ps.p, 3);
    EXPECT_EQ(ps.p->skip_below_row, 2);
    tv::parser_skip_leading_rows(ps.p, 0);
    tv::parser_skip_leading_rows(ps.p, -4);
    EXPECT_EQ(ps.p->skip_below_row, 2);
}

TEST(ParserRecord, DiscardRows)
{
    Parser ps("a,\nb,c\nd,e\nx");
    ASSERT_EQ(tv::tokenize_row_count(ps.p, 3, nullptr), 0);
    ASSERT_EQ(ps.p->row_count, 3u);
    // The first row's last field is empty: exactly "a\0\0" goes.
    ASSERT_EQ(tv::parser_discard_rows(ps.p, 1), 0);
    EXPECT_EQ(ps.rows(), (Rows{{"b", "c"}, {"d", "e"}}));
    EXPECT_EQ(std::string(ps.p->text_buf, 3), std::string("b\0c", 3));
    // More than there are: all kept rows go, the row being built stays.
    ASSERT_EQ(tv::parser_discard_rows(ps.p, 100), 0);
    EXPECT_EQ(ps.p->row_count, 0u);
    EXPECT_EQ(ps.p->row_first_field[0], 0);
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    // Row 0 again: with want_fields negative it is not measured.
    EXPECT_EQ(ps.rows(), (Rows{{"x"}}));
    EXPECT_EQ(ps.p->source_rows, 4u);
}

TEST(ParserRecord, ShrinkAndGrowBack)
{
    Parser ps("1,2,3,4,5\n");
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    ASSERT_EQ(ps.p->field_count, 5u);
    const uint64_t peak = ps.p->field_cap;
    ASSERT_EQ(tv::parser_shrink_buffers(ps.p), 0);
    EXPECT_EQ(ps.p->field_cap, 9u);
    EXPECT_EQ(ps.p->field_cap_peak, peak);
    EXPECT_EQ(ps.rows(), (Rows{{"1", "2", "3", "4", "5"}}));
    ASSERT_EQ(tv::parser_discard_rows(ps.p, 1), 0);
    ASSERT_EQ(tv::parser_shrink_buffers(ps.p), 0);
    EXPECT_EQ(ps.p->row_cap, 2u);
    EXPECT_EQ(ps.p->field_cap, 2u);
    // One reservation brings the field table back above the peak.
    ASSERT_EQ(tv::parser_reserve(ps.p, 1), 0);
    EXPECT_GT(ps.p->field_cap, peak - 1);
}

TEST(ParserRecord, GrowingBackAfterShrinksDoesNotRatchet)
{
    // Batches alternately of 4 and 2 fields, with a shrink after each: the
    // shrunk sizes (5 and 3) double to different sizes, and a reservation
    // that doubled past the peak would raise the peak every time.
    TextParser *p = tv::parser_alloc();
    tv::parser_apply_defaults(p);
    ASSERT_EQ(tv::parser_setup(p), 0);
    for (int cycle = 0; cycle < 60; ++cycle) {
        const uint64_t count = cycle % 2 ? 2 : 4;
        ASSERT_EQ(tv::parser_reserve(p, count), 0);
        for (uint64_t i = 0; i < count; ++i) {
            p->text_buf[i] = '\0';
            p->field_offsets[i] = static_cast<int64_t>(i);
            p->field_ptrs[i] = p->text_buf + i;
        }
        p->field_count = count;
        p->text_len = count;
        ASSERT_EQ(tv::parser_shrink_buffers(p), 0);
        p->field_count = 0;
        p->text_len = 0;
    }
    EXPECT_LE(p->field_cap_peak, 16u);
    tv::parser_release(p);
    tv::parser_dealloc(p);
}

TEST(ParserRecord, ColumnCursor)
{
    Parser ps("a,b\nc,d\ne,f\n");
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    ColumnCursor cur;
    tv::column_cursor_init(&cur, ps.p, 1, 1);
    EXPECT_STREQ(cur.field_ptrs[cur.first_field_of_row[0] + cur.column], "d");
    EXPECT_STREQ(cur.field_ptrs[cur.first_field_of_row[1] + cur.column], "f");
}

TEST(Tokenizer, ChunkingNeverMatters)
{
    const std::vector<std::string> inputs = {
        "a,b\nc,d\n",
        "a,b\r\nc,d",
        "a,b\rc,d",
        "\xEF\xBB\xBF"
        "a,\"b\nc\"\n",
        "x,y\n   q,r\n  \n",
        "#c\r,x\n",
        "\"a\"\"b\",c\r\n",
    };
    auto configure = [](TextParser *p) {
        p->drop_blank_rows = 1;
        p->comment = '#';
        p->quote_doubling = 1;
        p->want_fields = 2;
    };
    for (const auto &in : inputs) {
        const Rows whole = tokenize(in, {}, configure);
        for (size_t k : {1, 2, 3, 7})
            EXPECT_EQ(tokenize(in, {k}, configure), whole) << in << " in chunks of " << k;
    }
    EXPECT_EQ(tokenize("x,y\n   q,r\n", {1}, configure), (Rows{{"x", "y"}, {"   q", "r"}}));
}

TEST(Tokenizer, BlankRowOfSpecialBlanksIsReadAgainWhole)
{
    // Row starts of more than one 16-byte block of blanks that turn out to
    // be real rows are read again from their first byte; the blanks here are
    // also the escape byte.
    std::string data;
    for (int i = 0; i < 9; ++i)
        data += " \t";
    data += "x\n";
    auto configure = [](TextParser *p) {
        p->escape = ' ';
        p->drop_blank_rows = 1;
    };
    const Rows expected{{std::string(9, '\t') + "x"}};
    EXPECT_EQ(tokenize(data, {}, configure), expected);
    for (size_t k : {1, 5, 17})
        EXPECT_EQ(tokenize(data, {k}, configure), expected) << "in chunks of " << k;
}

TEST(Tokenizer, ReadFailures)
{
    {
        Parser ps("a");
        ps.reader.fail_status = TV_READ_FAILED;
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), -1);
        EXPECT_EQ(ps.error(), "Calling read(nbytes) on source failed. Try engine='python'.");
    }
    {
        Parser ps("a");
        ps.reader.fail_status = 0;
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), -1);
        EXPECT_EQ(ps.error(), "Unknown error in IO callback");
    }
    {
        // A status other than 0 and 1 with data is passed through; the data
        // is tokenized by the next run.
        Parser ps("a,b\n");
        ps.reader.extra_status = 5;
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), 5);
        ps.reader.extra_status = 0;
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
        EXPECT_EQ(ps.rows(), (Rows{{"a", "b"}}));
    }
}

TEST(Tokenizer, ChunkSizesBeyondThePlatformsSizesAreRefused)
{
    // read_fn takes a size_t, read back as a signed size: on 32-bit
    // platforms a larger chunk size is an error, not a wrapped request.
    const int64_t big = (int64_t{1} << 31) + 5;
    Parser ps("a\n");
    ps.p->chunk_bytes = big;
    if (sizeof(size_t) < sizeof(int64_t)) {
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), -1);
        EXPECT_EQ(ps.error(), "chunk size 2147483653 is beyond the sizes read_fn takes on this platform");
        EXPECT_EQ(ps.reader.calls, 0u);
    } else {
        EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
        EXPECT_EQ(ps.reader.asked, static_cast<size_t>(big));
    }
    Parser all("a\n");
    all.p->chunk_bytes = -1;  // everything: the reader sees SIZE_MAX, -1 as a signed size
    EXPECT_EQ(tv::tokenize_to_end(all.p, nullptr), 0);
    EXPECT_EQ(all.reader.asked, SIZE_MAX);
}

char *eof_with_bytes(void *, size_t, size_t *got, int *status, const char *) noexcept
{
    static char text[] = "abc";
    *got = 3;
    *status = TV_READ_EOF;
    return text;
}

TEST(Tokenizer, EndOfDataWithBytesFails)
{
    Parser ps("");
    ps.p->read_fn = eof_with_bytes;
    EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), -1);
    EXPECT_EQ(ps.p->error_text, nullptr);
    EXPECT_EQ(ps.p->tok_state, Finished);
    EXPECT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
}

TEST(Tokenizer, EndOfDataAfterShrinkStillClosesTheRow)
{
    Parser ps("a\nb", {2});
    ASSERT_EQ(tv::tokenize_row_count(ps.p, 1, nullptr), 0);
    ASSERT_EQ(tv::parser_discard_rows(ps.p, 1), 0);
    ASSERT_EQ(tv::parser_shrink_buffers(ps.p), 0);
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0) << ps.error();
    EXPECT_EQ(ps.rows(), (Rows{{"b"}}));
}

TEST(Tokenizer, PaddingInsideAChunkKeepsItsReservation)
{
    // Empty lines padded to many fields, all in one chunk.
    std::string data = "a,b,c,d,e,f,g,h,i,j\n";
    for (int i = 0; i < 200; ++i)
        data += "\n";
    Parser ps(data);
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    EXPECT_EQ(ps.p->row_count, 201u);
    EXPECT_EQ(ps.p->field_count, 2010u);
}

// Appending a warning line costs the line, not the text so far: the text
// grows by doubling, so it is given a new block a logarithmic number of
// times.  Reads of one row each let the reader see every growth.  (The
// time it takes is the benchmark's to show.)
TEST(Tokenizer, WarningsAccumulateInLinearTime)
{
    std::string data = "a\n";
    for (int i = 0; i < 200000; ++i)
        data += "b,c\n";
    Parser ps(data, {4});
    ps.p->bad_row_mode = BadRowWarn;
    ps.reader.watched = ps.p;
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    EXPECT_EQ(ps.p->row_count, 1u);
    const std::string w = ps.warnings();
    EXPECT_EQ(std::count(w.begin(), w.end(), '\n'), 200000);
    EXPECT_EQ(w.rfind("Skipping line 200001: expected 1 fields, saw 2\n"),
              w.size() - strlen("Skipping line 200001: expected 1 fields, saw 2\n"));
    // 9.3 MB: a first block of 128 bytes and 17 doublings.
    EXPECT_LE(ps.reader.warning_growths, 18u);
    // A client that takes the text starts a new one.
    free(ps.p->warning_text);
    ps.p->warning_text = nullptr;
}

int skip_even(void *, uint64_t row) noexcept { return row % 2 == 0; }
int predicate_fails(void *, uint64_t) noexcept { return -1; }

TEST(Tokenizer, SkipPredicateHook)
{
    Parser ps("r0\nr1\nr2\n");
    int token = 0;
    ps.p->skip_predicate = reinterpret_cast<struct _object *>(&token);
    tv::parser_set_predicate_caller(ps.p, skip_even);
    ASSERT_EQ(tv::tokenize_to_end(ps.p, nullptr), 0);
    EXPECT_EQ(ps.rows(), (Rows{{"r1"}}));
    EXPECT_EQ(ps.p->source_rows, 3u);

    Parser failing("r0\n");
    failing.p->skip_predicate = reinterpret_cast<struct _object *>(&token);
    tv::parser_set_predicate_caller(failing.p, predicate_fails);
    EXPECT_EQ(tv::tokenize_to_end(failing.p, nullptr), -1);
    EXPECT_EQ(failing.p->error_text, nullptr);
    EXPECT_EQ(failing.p->tok_state, RowStart);
}

TEST(Tokenizer, SkippedStatesArePublished)
{
    // One byte per run: a status passed through with each byte makes every
    // run stop right after reading, and the next run tokenizes that byte.
    Parser ps("\"a\\\nb\"\nz\n", {1});
    ps.p->escape = '\\';
    ps.reader.extra_status = 7;
    tv::parser_skip_row(ps.p, 0);
    std::vector<int> states;
    while (ps.p->tok_state != Finished) {
        const int r = tv::tokenize_to_end(ps.p, nullptr);
        ASSERT_TRUE(r == 7 || r == 0);
        states.push_back(ps.p->tok_state);
    }
    // Reads happen before each byte: the first run only reads.
    EXPECT_EQ(states, (std::vector<int>{RowStart, SkippedInQuotes, SkippedInQuotes, SkippedInQuotes, SkippedInQuotes,
                                        SkippedInQuotes, SkippedInField, RowStart, InField, Finished}));
    EXPECT_EQ(ps.rows(), (Rows{{"z"}}));
}

// ---------------------------------------------------------------- scanners

bool portable_forced()
{
    const char *portable = getenv("TAVREL_TOKENIZER_PORTABLE");
    return portable != nullptr && portable[0] != '\0' && strcmp(portable, "0") != 0;
}

TEST(Scanners, RunsUseTheBestOneUnlessToldOtherwise)
{
#if defined(__x86_64__)
    EXPECT_TRUE(tv::scanner_available(tv::Scanner::Sse2));
#endif
    const char *arch = getenv("TAVREL_TARGET_ARCH");
    if (arch != nullptr && strcmp(arch, "armhf") == 0) {
        // The emulated ARM CPU reports NEON: its build must be the one used.
        EXPECT_TRUE(tv::scanner_available(tv::Scanner::Neon));
    }
    tv::Scanner best = tv::Scanner::Portable;
    for (tv::Scanner s : {tv::Scanner::Sse2, tv::Scanner::Neon})
        if (tv::scanner_available(s))
            best = s;
    EXPECT_EQ(tv::tokenizer_scanner(), portable_forced() ? tv::Scanner::Portable : best);

    Parser ps("a\n");
    if (!tv::scanner_available(tv::Scanner::Neon)) {
        EXPECT_EQ(tv::tokenize_with(ps.p, tv::Scanner::Neon, UINT64_MAX, nullptr), -1);
        EXPECT_EQ(ps.error(), "the tokenizer has no such block scanner here");
    }
}

struct ScanOutcome {
    int result;
    Rows rows;
    uint64_t source_rows;
    uint64_t field_count;
    std::string error, warnings;
    bool operator==(const ScanOutcome &) const = default;
};

// Random dialects over texts with long runs of ordinary bytes and blanks,
// so that the block scans run in every state that has them.
ScanOutcome scan_with(tv::Scanner scanner, const std::string &data, uint32_t dialect, std::vector<size_t> sizes,
                      size_t batch)
{
    Parser ps(data, std::move(sizes));
    TextParser *p = ps.p;
    const char seps[] = {',', ';', '\t', ' '};
    const char quotes[] = {'"', '\'', ' ', '\t'};
    const char escapes[] = {'\0', '\\', ' ', '\t'};
    const char comments[] = {'\0', '#', ' ', ';'};
    const char ends[] = {'\0', '\0', '|', '\n'};
    p->sep = seps[dialect & 3];
    p->quote = quotes[(dialect >> 2) & 3];
    p->escape = escapes[(dialect >> 4) & 3];
    p->comment = comments[(dialect >> 6) & 3];
    p->row_end = ends[(dialect >> 8) & 3];
    p->quote_doubling = (dialect >> 10) & 1;
    p->split_on_blanks = (dialect >> 11) & 1;
    p->skip_space_after_sep = (dialect >> 12) & 1;
    p->drop_blank_rows = (dialect >> 13) & 1;
    p->quote_mode = (dialect >> 14) & 1 ? 3 : 0;
    p->bad_row_mode = BadRowWarn;
    if ((dialect >> 15) & 1)
        tv::parser_skip_row(p, 1);
    ScanOutcome out{};
    if (batch == 0) {
        out.result = tv::tokenize_with(p, scanner, UINT64_MAX, nullptr);
    } else {
        do {
            out.result = tv::tokenize_with(p, scanner, batch, nullptr);
        } while (out.result == 0 && p->tok_state != Finished);
    }
    out.rows = ps.rows();
    out.source_rows = p->source_rows;
    out.field_count = p->field_count;
    out.error = ps.error();
    out.warnings = ps.warnings();
    return out;
}

TEST(Scanners, AgreeWithThePortableOne)
{
    std::vector<tv::Scanner> blocks;
    for (tv::Scanner s : {tv::Scanner::Sse2, tv::Scanner::Neon})
        if (tv::scanner_available(s))
            blocks.push_back(s);
    if (blocks.empty())
        GTEST_SKIP() << "no block scanner on this CPU";
    const std::vector<std::string> pieces = {"abcdefghijklmnopqrstuvw",
                                             "12.5",
                                             ",",
                                             ";",
                                             "\"",
                                             "'",
                                             "\\",
                                             "#",
                                             "|",
                                             "\n",
                                             "\r\n",
                                             "\r",
                                             " ",
                                             "\t",
                                             "                    ",
                                             " \t \t \t \t \t \t \t \t \t",
                                             "\xef\xbb\xbf"};
    std::mt19937 rng(20240612);
    for (int i = 0; i < 3000; ++i) {
        std::string data;
        const int n = static_cast<int>(rng() % 40);
        for (int k = 0; k < n; ++k)
            data += pieces[rng() % pieces.size()];
        const uint32_t dialect = rng();
        const std::vector<size_t> sizes = {1 + rng() % 40, 1 + rng() % 7};
        const size_t batch = rng() % 3;
        const ScanOutcome expected = scan_with(tv::Scanner::Portable, data, dialect, {}, 0);
        for (tv::Scanner s : blocks) {
            ASSERT_EQ(scan_with(s, data, dialect, {}, 0), expected) << i;
            ASSERT_EQ(scan_with(s, data, dialect, sizes, batch), expected) << i;
        }
    }
}

}  // namespace
