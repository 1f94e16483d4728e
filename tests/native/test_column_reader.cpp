// Native tests of the column reader's pure helpers: number scanning, the
// calendar arithmetic, the type decision, UTF-8 validation, buffers, the
// batch tables and the thread pool.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "column_reader/batch_tables.hpp"
#include "column_reader/civil_time.hpp"
#include "column_reader/column_store.hpp"
#include "column_reader/number_parse.hpp"
#include "column_reader/type_state.hpp"
#include "column_reader/thread_pool.hpp"
#include "column_reader/utf8_check.hpp"

using namespace tv::reader;

namespace {

IntScan int_of(const std::string &s, int64_t *v, char group = 0, bool *negative = nullptr)
{
    IntValue iv{0, false};
    const IntScan r = scan_int64(s.data(), s.data() + s.size(), group, &iv);
    *v = iv.value;
    if (negative != nullptr)
        *negative = iv.negative;
    return r;
}

bool float_of(const std::string &s, double *v, char decimal = '.', char group = 0)
{
    return scan_float(s.data(), s.data() + s.size(), decimal, group, v);
}

// Bit-for-bit equality (tells -0.0 from 0.0).
bool same(double a, double b)
{
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

// --- integers ---------------------------------------------------------------------

TEST(ScanInt64, LimitsAndOverflow)
{
    int64_t v;
    EXPECT_EQ(int_of("9223372036854775807", &v), IntScan::Ok);
    EXPECT_EQ(v, INT64_MAX);
    EXPECT_EQ(int_of("-9223372036854775808", &v), IntScan::Ok);
    EXPECT_EQ(v, INT64_MIN);
    EXPECT_EQ(int_of("9223372036854775808", &v), IntScan::AboveInt64);
    EXPECT_EQ(int_of("-9223372036854775809", &v), IntScan::BelowInt64);
    EXPECT_EQ(int_of("99999999999999999999999", &v), IntScan::AboveInt64);
    // An overflow followed by junk is no integer at all.
    EXPECT_EQ(int_of("99999999999999999999999x", &v), IntScan::NotInt);
}

TEST(ScanInt64, SpacesSignsAndJunk)
{
    int64_t v;
    bool negative;
    EXPECT_EQ(int_of(" \t+42 \r", &v), IntScan::Ok);
    EXPECT_EQ(v, 42);
    EXPECT_EQ(int_of("007", &v), IntScan::Ok);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(int_of("-0", &v, 0, &negative), IntScan::Ok);
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(negative);
    for (const char *bad : {"", " ", "+", "-", "1.0", "1e3", "0x10", "1 2", "--1", "1-", "１"})
        EXPECT_EQ(int_of(bad, &v), IntScan::NotInt) << bad;
    // A NUL inside the field is a byte like any other: no integer.
    EXPECT_EQ(int_of(std::string("12\0"
                                 "3",
                                 4),
                     &v),
              IntScan::NotInt);
}

TEST(ScanInt64, GroupMarksAfterTheFirstDigit)
{
    int64_t v;
    EXPECT_EQ(int_of("1,234,567", &v, ','), IntScan::Ok);
    EXPECT_EQ(v, 1234567);
    EXPECT_EQ(int_of("1,,2,", &v, ','), IntScan::Ok);
    EXPECT_EQ(v, 12);
    EXPECT_EQ(int_of(",1", &v, ','), IntScan::NotInt);
    EXPECT_EQ(int_of("1,234", &v), IntScan::NotInt);
}

// --- floats -----------------------------------------------------------------------

TEST(ScanFloat, AgreesWithCorrectRounding)
{
    // glibc's strtod is correctly rounded in the C locale; compare on
    // random decimal texts of every length and exponent.
    std::mt19937_64 rng(7);
    char text[80];
    for (int i = 0; i < 200000; ++i) {
        const int digits = 1 + static_cast<int>(rng() % 25);
        int k = 0;
        if (rng() % 2)
            text[k++] = '-';
        const int point = static_cast<int>(rng() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point && d > 0)
                text[k++] = '.';
            text[k++] = static_cast<char>('0' + rng() % 10);
        }
        if (rng() % 3 == 0)
            k += std::snprintf(text + k, sizeof text - k, "e%d", static_cast<int>(rng() % 700) - 350);
        text[k] = '\0';
        double got;
        ASSERT_TRUE(float_of(text, &got)) << text;
        const double want = std::strtod(text, nullptr);
        ASSERT_TRUE(same(got, want)) << text << " " << got << " " << want;
    }
}

TEST(ScanFloat, SpecialsAndEdges)
{
    double v;
    EXPECT_TRUE(float_of(" -0.0 ", &v));
    EXPECT_TRUE(same(v, -0.0));
    EXPECT_TRUE(float_of("1e400", &v));
    EXPECT_EQ(v, INFINITY);
    EXPECT_TRUE(float_of("-1e400", &v));
    EXPECT_EQ(v, -INFINITY);
    EXPECT_TRUE(float_of("1e-400", &v));
    EXPECT_TRUE(same(v, 0.0));
    EXPECT_TRUE(float_of("-1e-400", &v));
    EXPECT_TRUE(same(v, -0.0));
    EXPECT_TRUE(float_of("4.9e-324", &v));
    EXPECT_EQ(v, 4.9e-324);
    EXPECT_TRUE(float_of("0.000000000000000000000000000001e30", &v));
    EXPECT_EQ(v, 1.0);
    EXPECT_TRUE(float_of("InFiNiTy", &v));
    EXPECT_EQ(v, INFINITY);
    EXPECT_TRUE(float_of("-inf", &v));
    EXPECT_EQ(v, -INFINITY);
    EXPECT_TRUE(float_of("+NaN", &v));
    EXPECT_TRUE(std::isnan(v));
    EXPECT_TRUE(float_of("1.", &v));
    EXPECT_EQ(v, 1.0);
    EXPECT_TRUE(float_of(".5", &v));
    EXPECT_EQ(v, 0.5);
    EXPECT_TRUE(float_of("1.e5", &v));
    EXPECT_EQ(v, 1e5);
    for (const char *bad :
         {"", ".", "e5", "1e", "1e+", "--1", "1_000", "nan(1)", "0x1p3", "1.5.5", "infinit", "1 e5", "1,5", "+-1"})
        EXPECT_FALSE(float_of(bad, &v)) << bad;
    EXPECT_FALSE(float_of(std::string("1\0"
                                      "5",
                                      3),
                          &v));
}

TEST(ScanFloat, DecimalAndGroupMarks)
{
    double v;
    EXPECT_TRUE(float_of("1,5", &v, ','));
    EXPECT_EQ(v, 1.5);
    EXPECT_FALSE(float_of("1.5", &v, ','));
    EXPECT_TRUE(float_of("1.234.567,25", &v, ',', '.'));
    EXPECT_EQ(v, 1234567.25);
    EXPECT_TRUE(float_of("1 000 000.125", &v, '.', ' '));
    EXPECT_EQ(v, 1000000.125);
    // Group marks stand between integer digits only.
    EXPECT_FALSE(float_of("1,,000.5", &v, '.', ','));
    EXPECT_FALSE(float_of("1.5,0", &v, '.', ','));
    EXPECT_FALSE(float_of("1000,", &v, '.', ','));
    // Long texts with marks take the slow path.
    EXPECT_TRUE(float_of("3,14159265358979323846264338327950288", &v, ','));
    EXPECT_EQ(v, 3.14159265358979323846264338327950288);
}

// --- calendar ----------------------------------------------------------------------

TEST(CivilTime, DaysRoundTrip)
{
    EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
    EXPECT_EQ(days_from_civil(2000, 1, 1), 10957);
    EXPECT_EQ(days_from_civil(1968, 1, 1), -731);
    EXPECT_EQ(days_from_civil(0, 3, 1), -719468);
    for (int64_t d = -800000; d <= 3000000; d += 37) {
        int64_t y;
        int m, day;
        civil_from_days(d, &y, &m, &day);
        ASSERT_EQ(days_from_civil(y, m, day), d);
    }
}

TEST(CivilTime, CountsAndTheirLimits)
{
    int64_t v;
    const Instant noon = make_instant(2020, 2, 29, 12, 0, 0, 0, 0, 0, 0);
    EXPECT_TRUE(instant_to_count(noon, kUnitHour, &v));
    EXPECT_EQ(v, 18321 * 24 + 12);
    EXPECT_FALSE(instant_to_count(noon, kUnitDay, &v));  // not a whole day
    EXPECT_TRUE(instant_to_count(make_instant(2020, 5, 1, 0, 0, 0, 0, 0, 0, 0), kUnitMonth, &v));
    EXPECT_EQ(v, 50 * 12 + 4);
    // An offset moves the instant to UTC, across midnight.
    const Instant east = make_instant(2020, 1, 1, 1, 0, 0, 0, 0, 0, 330);
    EXPECT_TRUE(instant_to_count(east, kUnitMinute, &v));
    EXPECT_EQ(v, 18261 * 1440 + 19 * 60 + 30);  // 2019-12-31T19:30Z
    // Nanoseconds hold 1677-09-21T00:12:43.145224193 .. 2262; the int64
    // minimum itself is NaT, so .145224192 is out.
    const Instant low = make_instant(1677, 9, 21, 0, 12, 43, 145224, 193000, 0, 0);
    EXPECT_TRUE(instant_to_count(low, 10, &v));
    EXPECT_EQ(v, INT64_MIN + 1);
    EXPECT_FALSE(instant_to_count(make_instant(1677, 9, 21, 0, 12, 43, 145224, 192000, 0, 0), 10, &v));
    EXPECT_FALSE(instant_to_count(make_instant(2263, 1, 1, 0, 0, 0, 0, 0, 0, 0), 10, &v));
    EXPECT_TRUE(instant_to_count(make_instant(2263, 1, 1, 0, 0, 0, 0, 0, 0, 0), 9, &v));
    // Counts come back to the same instant in every unit.
    for (int unit : {0, 1, 4, 5, 6, 7, 8, 9, 10}) {
        const Instant t = count_to_instant(-123457, unit);
        ASSERT_TRUE(instant_to_count(t, unit, &v)) << unit;
        EXPECT_EQ(v, -123457) << unit;
    }
    EXPECT_EQ(unit_for_offset(kUnitHour, 330), kUnitMinute);
    EXPECT_EQ(unit_for_offset(kUnitHour, -60), kUnitHour);
    EXPECT_EQ(unit_for_offset(kUnitDay, 0), kUnitDay);
}

// --- type decision -----------------------------------------------------------------

namespace {

ValueClass integer(bool negative = false, bool above = false)
{
    ValueClass v;
    v.families = kFamInt | kFamFloat;
    v.negative = negative;
    v.above_int64 = above;
    return v;
}

ValueClass of(uint8_t families)
{
    ValueClass v;
    v.families = families;
    return v;
}

ValueClass datetime(int unit, bool aware, Instant t, uint8_t more = 0)
{
    ValueClass v;
    v.families = static_cast<uint8_t>(kFamDatetime | more);
    v.unit = unit;
    v.aware = aware;
    v.instant = t;
    return v;
}

}  // namespace

TEST(TypeState, IntegerLadder)
{
    TypeState t;
    EXPECT_EQ(t.kind(), Kind::Empty);
    t.add(integer());
    EXPECT_EQ(t.kind(), Kind::Int64);
    EXPECT_FALSE(t.unsettled());
    t.add(integer(false, true));
    EXPECT_EQ(t.kind(), Kind::UInt64);
    t.add(integer(true));  // negative and above the int64 maximum: no integer type holds both
    EXPECT_EQ(t.kind(), Kind::Float64);
    t.add(of(0));
    EXPECT_EQ(t.kind(), Kind::Text);

    TypeState u;
    u.add(integer(true));
    u.add(integer(false, true));
    EXPECT_EQ(u.kind(), Kind::Float64);
}

TEST(TypeState, LateValuesDecide)
{
    TypeState t;
    for (int i = 0; i < 1000; ++i)
        t.add(integer());
    t.add(of(kFamFloat));
    EXPECT_EQ(t.kind(), Kind::Float64);
    TypeState b;
    b.add(of(kFamBool));
    EXPECT_EQ(b.kind(), Kind::Bool);
    b.add(integer());
    EXPECT_EQ(b.kind(), Kind::Text);
}

TEST(TypeState, YearsStayIntegersUntilADate)
{
    const Instant y2020 = make_instant(2020, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    TypeState t;
    t.add(datetime(kUnitYear, false, y2020, kFamInt | kFamFloat));
    EXPECT_EQ(t.kind(), Kind::Int64);
    EXPECT_TRUE(t.unsettled());
    t.add(datetime(kUnitDay, false, make_instant(2021, 3, 4, 0, 0, 0, 0, 0, 0, 0)));
    EXPECT_EQ(t.kind(), Kind::Datetime);
    EXPECT_EQ(t.unit(), kUnitDay);
}

TEST(TypeState, DatetimeUnitsZonesAndRange)
{
    const Instant day = make_instant(2020, 1, 1, 0, 0, 0, 0, 0, 0, 0);
    TypeState t;
    t.add(datetime(kUnitDay, false, day));
    t.add(datetime(9, false, make_instant(2020, 1, 1, 10, 0, 0, 5, 0, 0, 0)));
    EXPECT_EQ(t.kind(), Kind::Datetime);
    EXPECT_EQ(t.unit(), 9);
    t.add(datetime(kUnitDay, true, day));  // with a zone among values without
    EXPECT_EQ(t.kind(), Kind::Text);

    // A finer unit that the earliest value cannot be counted in.
    TypeState r;
    r.add(datetime(kUnitDay, false, make_instant(1500, 1, 1, 0, 0, 0, 0, 0, 0, 0)));
    EXPECT_EQ(r.kind(), Kind::Datetime);
    r.add(datetime(10, false, make_instant(2000, 1, 1, 0, 0, 0, 0, 1000, 0, 0)));
    EXPECT_EQ(r.kind(), Kind::Text);
}

TEST(TypeState, AllowedFamilies)
{
    TypeState t;
    t.reset(kFamAll & ~kFamDatetime, nullptr);
    t.add(datetime(kUnitDay, false, Instant{0, 0, 0}));
    EXPECT_EQ(t.kind(), Kind::Text);
}

// --- UTF-8 and buffers ----------------------------------------------------------

TEST(Utf8, ValidAndInvalid)
{
    EXPECT_TRUE(utf8_valid("plain ascii text, long enough for words", 39));
    EXPECT_TRUE(utf8_valid("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 9));
    for (const char *bad : {"\x80", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3",
                            "abcdefgh\xff", "\xf8\x88\x80\x80\x80"})
        EXPECT_FALSE(utf8_valid(bad, std::strlen(bad))) << bad;
}

TEST(Buffer, GrowsAcrossTheMappingThresholdKeepingItsBytes)
{
    Buffer b;
    for (size_t n = 8; n <= (size_t(3) << 20); n += 8) {
        ASSERT_TRUE(b.resize(n));
        std::memcpy(b.data() + n - 8, &n, 8);
    }
    for (size_t n = 8; n <= (size_t(3) << 20); n += 8) {
        size_t v;
        std::memcpy(&v, b.data() + n - 8, 8);
        ASSERT_EQ(v, n);
    }
    Buffer::Block block = b.release();
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_NE(block.data, nullptr);
    Buffer::free_block(block);
}

// --- batch tables ------------------------------------------------------------------

namespace {

// A parser record's tables filled as the tokenizer leaves them: the rows
// given, each field NUL-terminated, then a row under construction holding
// `partial` fields and the text of a field being built.
struct FakeParser {
    TextParser p{};

    FakeParser(const std::vector<std::vector<std::string>> &rows, const std::vector<std::string> &partial,
               const std::string &building)
    {
        p.text_cap = 256;
        p.text_buf = static_cast<char *>(std::malloc(p.text_cap));
        p.field_cap = 64;
        p.field_ptrs = static_cast<char **>(std::malloc(p.field_cap * sizeof(char *)));
        p.field_offsets = static_cast<int64_t *>(std::malloc(p.field_cap * sizeof(int64_t)));
        p.row_cap = 16;
        p.row_first_field = static_cast<int64_t *>(std::malloc(p.row_cap * sizeof(int64_t)));
        p.row_field_count = static_cast<int64_t *>(std::malloc(p.row_cap * sizeof(int64_t)));
        p.row_first_field[0] = 0;
        p.row_field_count[0] = 0;
        for (const auto &row : rows) {
            for (const std::string &f : row)
                push(f);
            p.row_count += 1;
            p.row_first_field[p.row_count] = static_cast<int64_t>(p.field_count);
            p.row_field_count[p.row_count] = 0;
        }
        for (const std::string &f : partial)
            push(f);
        p.cur_field_offset = static_cast<int64_t>(p.text_len);
        std::memcpy(p.text_buf + p.text_len, building.data(), building.size());
        p.text_len += building.size();
        p.cur_field_ptr = p.text_buf + p.cur_field_offset;
    }
    ~FakeParser()
    {
        std::free(p.text_buf);
        std::free(p.field_ptrs);
        std::free(p.field_offsets);
        std::free(p.row_first_field);
        std::free(p.row_field_count);
    }

    void push(const std::string &f)
    {
        p.field_ptrs[p.field_count] = p.text_buf + p.text_len;
        p.field_offsets[p.field_count] = static_cast<int64_t>(p.text_len);
        std::memcpy(p.text_buf + p.text_len, f.c_str(), f.size() + 1);
        p.text_len += f.size() + 1;
        p.field_count += 1;
        p.row_field_count[p.row_count] += 1;
    }
};

std::string field_of(const RowTable &t, uint64_t row, int64_t col)
{
    char **f = t.fields + t.first_field[row] + col;
    return std::string(f[0], static_cast<size_t>(f[1] - f[0]) - 1);
}

}  // namespace

TEST(TableSet, TakesTheBatchAndMovesTheRowUnderConstruction)
{
    FakeParser fake({{"h1", "h2"}, {"1", "abc"}, {"", "x"}}, {"p1"}, "bui");
    TextParser &p = fake.p;
    TableSet batch, spare;
    ASSERT_TRUE(batch.take_from(&p, spare));
    // The batch: its rows and fields as they were, the last field ending
    // where the row under construction began.
    EXPECT_EQ(batch.rows(), 3u);
    const RowTable &t = batch.view();
    EXPECT_EQ(field_of(t, 1, 1), "abc");
    EXPECT_EQ(field_of(t, 2, 0), "");
    EXPECT_EQ(field_of(t, 2, 1), "x");
    EXPECT_EQ(batch.text_bytes(), 15u);
    // The parser: an empty placeholder row, then the row under construction
    // with its field and the text being built, rebased to the new stream.
    EXPECT_EQ(p.row_count, 1u);
    EXPECT_EQ(p.row_field_count[0], 0);
    EXPECT_EQ(p.row_first_field[1], 0);
    EXPECT_EQ(p.row_field_count[1], 1);
    EXPECT_EQ(p.field_count, 1u);
    EXPECT_EQ(p.field_offsets[0], 0);
    EXPECT_STREQ(p.field_ptrs[0], "p1");
    EXPECT_EQ(p.cur_field_offset, 3);
    EXPECT_EQ(p.cur_field_ptr, p.text_buf + 3);
    EXPECT_EQ(p.text_len, 6u);
    EXPECT_EQ(std::memcmp(p.text_buf + 3, "bui", 3), 0);
    EXPECT_GT(p.text_cap, p.text_len);
    EXPECT_GT(p.field_cap, p.field_count);
    EXPECT_GT(p.row_cap, p.row_count);
    EXPECT_TRUE(spare.empty());
}

TEST(TableSet, SetsChangePlacesBatchAfterBatch)
{
    FakeParser fake({{"a"}, {"b"}}, {}, "");
    TextParser &p = fake.p;
    TableSet first, second, spare;
    char *const original = p.text_buf;
    ASSERT_TRUE(first.take_from(&p, spare));
    char *const fresh = p.text_buf;
    EXPECT_EQ(first.view().fields[0], original);
    // The parser's new tables hold the placeholder row only.
    EXPECT_EQ(p.row_count, 1u);
    EXPECT_EQ(p.field_count, 0u);
    EXPECT_EQ(p.text_len, 0u);
    // A row, as the tokenizer would add it after the placeholder.
    p.field_ptrs[0] = p.text_buf;
    p.field_offsets[0] = 0;
    std::memcpy(p.text_buf, "c", 2);
    p.text_len = 2;
    p.field_count = 1;
    p.row_field_count[1] = 1;
    p.row_count = 2;
    p.row_first_field[2] = 1;
    p.row_field_count[2] = 0;
    p.cur_field_offset = 2;
    p.cur_field_ptr = p.text_buf + 2;
    // The first batch's tables are handed back as the spare, and taken by
    // the parser when the second batch is taken.
    spare = std::move(first);
    ASSERT_TRUE(second.take_from(&p, spare));
    EXPECT_EQ(field_of(second.view(), 1, 0), "c");
    EXPECT_EQ(second.view().fields[0], fresh);
    EXPECT_EQ(p.text_buf, original);
    EXPECT_TRUE(spare.empty());
}

// --- thread pool ------------------------------------------------------------------

namespace {

struct Counts {
    std::vector<std::atomic<int>> runs;
    explicit Counts(size_t n) : runs(n) {}
    static void run(void *context, size_t i) { static_cast<Counts *>(context)->runs[i].fetch_add(1); }
};

}  // namespace

TEST(ThreadPool, EveryTaskOfEveryJobRunsOnce)
{
    for (size_t workers : {size_t(0), size_t(1), size_t(3)}) {
        ThreadPool pool(workers);
        for (size_t count : {size_t(0), size_t(1), size_t(7), size_t(200)}) {
            for (int round = 0; round < 50; ++round) {
                Counts counts(count);
                ThreadPool::Job job;
                job.run = &Counts::run;
                job.context = &counts;
                job.count = count;
                pool.post(job);
                if (round % 2 == 0)
                    std::this_thread::yield();  // the calling thread busy elsewhere
                pool.finish(job);
                for (size_t i = 0; i < count; ++i)
                    ASSERT_EQ(counts.runs[i].load(), 1) << workers << " " << count << " " << i;
            }
        }
        EXPECT_LE(pool.threads(), workers);
    }
}

TEST(ThreadPool, WorkersShareTheTasks)
{
    ThreadPool pool(2);
    std::atomic<int> others{0};
    const std::thread::id me = std::this_thread::get_id();
    struct Context {
        std::thread::id me;
        std::atomic<int> *others;
    } context{me, &others};
    ThreadPool::Job job;
    job.run = [](void *c, size_t) {
        auto *ctx = static_cast<Context *>(c);
        if (std::this_thread::get_id() != ctx->me)
            ctx->others->fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    job.context = &context;
    job.count = 40;
    pool.post(job);
    // The calling thread is away while the workers start on the job.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    pool.finish(job);
    EXPECT_EQ(pool.threads(), 2u);
    EXPECT_GT(others.load(), 0);
    pool.stop();
    EXPECT_EQ(pool.threads(), 0u);
}
