// ISO 8601 parser and formatter: accepted forms, best units, zones, error
// codes and positions, format matching in the three modes, buffer rules and
// duration texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "datetime_core/iso8601_format.h"
#include "datetime_core/iso8601_parser.h"
#include "datetime_records.h"

using namespace tv::dt;

namespace {

struct Parsed {
    int rc = 0;
    npy_datetimestruct dts{};
    int unit = -99;
    int has_zone = -99;
    int offset = -99;
    DtError err;
};

// The text is copied into an exact-size heap buffer so that the address
// sanitizer catches any read past `length`.
Parsed parse(const std::string &text, const std::string &format = "", int mode = TV_FORMAT_INFER)
{
    Parsed p;
    char *buf = new char[text.size() ? text.size() : 1];
    std::memcpy(buf, text.data(), text.size());
    char *fmt = new char[format.size() ? format.size() : 1];
    std::memcpy(fmt, format.data(), format.size());
    p.rc = parse_iso8601(buf, static_cast<int>(text.size()), &p.dts, &p.unit, &p.has_zone, &p.offset, fmt,
                         static_cast<int>(format.size()), mode, &p.err);
    delete[] buf;
    delete[] fmt;
    return p;
}

void expect_unit(const std::string &text, int unit)
{
    Parsed p = parse(text);
    EXPECT_EQ(p.rc, 0) << text;
    EXPECT_EQ(p.unit, unit) << text;
}

void expect_parse_error(const std::string &text, int position, const std::string &format = "",
                        int mode = TV_FORMAT_INFER)
{
    Parsed p = parse(text, format, mode);
    EXPECT_EQ(p.rc, -1) << text;
    EXPECT_EQ(p.err.code, DtErrorCode::parse_error) << text;
    EXPECT_EQ(p.err.value, position) << text;
    EXPECT_EQ(p.unit, -99) << "best unit stored on failure: " << text;
}

void expect_range_error(const std::string &text, DtErrorCode code)
{
    Parsed p = parse(text);
    EXPECT_EQ(p.rc, -1) << text;
    EXPECT_EQ(p.err.code, code) << text;
}

std::string format(const npy_datetimestruct &r, int unit, int utc = 0)
{
    char buf[80];
    DtError err;
    EXPECT_EQ(format_iso8601(&r, buf, sizeof(buf), utc, unit, &err), 0);
    return buf;
}

std::string duration_text(int64_t v, int unit)
{
    tv_durationstruct d;
    DtError err;
    timedelta_to_durationstruct(v, unit, &d, &err);
    char buf[iso8601_duration_buffer_size];
    size_t n = 999;
    EXPECT_EQ(format_iso8601_duration(&d, buf, &n), 0);
    EXPECT_EQ(n, std::strlen(buf));
    return buf;
}

}  // namespace

TEST(Parse, DateForms)
{
    expect_unit("2020", NPY_FR_Y);
    expect_unit("2020-05", NPY_FR_M);
    expect_unit("2020-05-17", NPY_FR_D);
    expect_unit("20200517", NPY_FR_D);
    expect_unit("2020-5-7", NPY_FR_D);
    expect_unit("2020-5", NPY_FR_M);
    expect_unit("2020.05.17", NPY_FR_D);
    expect_unit("2020/05/17", NPY_FR_D);
    expect_unit("2020\\05\\17", NPY_FR_D);
    expect_unit("2020 05 17", NPY_FR_D);
    Parsed p = parse("-0044-03-15");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.dts.year, -44);
    EXPECT_EQ(p.has_zone, 0);
    p = parse("2020-5-7");
    EXPECT_EQ(p.dts.month, 5);
    EXPECT_EQ(p.dts.day, 7);
    expect_parse_error("202005", 6);
    expect_parse_error("2020/05-17", 7);
    expect_parse_error("2020-05-", 7);
    expect_parse_error("2020-", 5);
    expect_parse_error("2020-x", 5);
    expect_parse_error("2020x", 4);
    expect_parse_error("", 0);
    expect_parse_error("   ", 3);
    expect_parse_error("-", 1);
    expect_parse_error("2020-05-17x", 10);
    expect_range_error("202", DtErrorCode::month_out_of_range);
    expect_range_error("2020-13", DtErrorCode::month_out_of_range);
    expect_range_error("2020-00-01", DtErrorCode::month_out_of_range);
    expect_range_error("2020-02-30", DtErrorCode::day_out_of_range);
    expect_range_error("2019-02-29", DtErrorCode::day_out_of_range);
    expect_range_error("2020-01-00", DtErrorCode::day_out_of_range);
    expect_unit("2020-02-29", NPY_FR_D);
    expect_unit("0000-02-29", NPY_FR_D);
}

TEST(Parse, SurroundingWhitespace)
{
    expect_unit(" 2020-01-01 ", NPY_FR_D);
    expect_unit("\t2020-01-01\r\n", NPY_FR_D);
    expect_unit("2020 ", NPY_FR_Y);
    expect_unit(" 2020-05 ", NPY_FR_M);
    expect_unit("2020 05 ", NPY_FR_M);
    Parsed p = parse("2020 ");
    EXPECT_EQ(p.has_zone, 0);
    EXPECT_EQ(p.dts.year, 2020);
    // Without a separator a two-digit month still needs its day.
    expect_parse_error("202005 ", 6);
    expect_parse_error("- ", 2);
    // More than whitespace after the day keeps the time rules.
    expect_parse_error("2020-01-01  10:00", 11);
    expect_parse_error("2020-01-01 x", 11);
}

TEST(Parse, TimeForms)
{
    expect_parse_error("2020-01-01T", 10);
    expect_parse_error("2020-01-01T1", 12);
    expect_unit("2020-01-01T10", NPY_FR_h);
    Parsed p = parse("2020-01-01 5:3");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.dts.hour, 5);
    EXPECT_EQ(p.dts.min, 3);
    EXPECT_EQ(p.unit, NPY_FR_m);
    expect_unit("2020-01-01T1030", NPY_FR_m);
    expect_unit("2020-01-01T103000", NPY_FR_s);
    expect_unit("2020-01-01T10:30:00", NPY_FR_s);
    expect_unit("2020-01-01T10:30:5", NPY_FR_s);
    p = parse("2020-01-01T103");
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.err.code, DtErrorCode::parse_error);
    expect_parse_error("2020-01-01T10:", 14);
    expect_parse_error("2020-01-01T10:3:", 16);
    expect_parse_error("2020-01-01T1x", 12);
    expect_parse_error("2020-01-01Tx", 11);
    expect_range_error("2020-01-01T24:00", DtErrorCode::hours_out_of_range);
    expect_range_error("2020-01-01T23:60", DtErrorCode::minutes_out_of_range);
    expect_range_error("2020-01-01T23:59:60", DtErrorCode::seconds_out_of_range);
}

TEST(Parse, Fractions)
{
    Parsed p = parse("2020-01-01T10:00:00.5");
    EXPECT_EQ(p.dts.us, 500000);
    EXPECT_EQ(p.unit, NPY_FR_ms);
    expect_unit("2020-01-01T10:00:00.1234", NPY_FR_us);
    p = parse("2020-01-01T10:00:00.123456789");
    EXPECT_EQ(p.dts.us, 123456);
    EXPECT_EQ(p.dts.ps, 789000);
    EXPECT_EQ(p.unit, NPY_FR_ns);
    expect_unit("2020-01-01T10:00:00.1234567890", NPY_FR_ps);
    expect_unit("2020-01-01T10:00:00.1234567890123", NPY_FR_fs);
    p = parse("2020-01-01T10:00:00.123456789012345678");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.unit, NPY_FR_as);
    EXPECT_EQ(p.dts.as, 12345678 % 1000000);
    expect_parse_error("2020-01-01T10:00:00.1234567890123456789", 38);
}

TEST(Parse, Zones)
{
    Parsed p = parse("2020-01-01T10:00Z");
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.has_zone, 1);
    EXPECT_EQ(p.offset, 0);
    EXPECT_EQ(parse("2020-01-01T10:00Z ").rc, 0);
    for (auto [text, offset] : {std::pair<const char *, int>{"2020-01-01T10:00 +05:30", 330},
                                {"2020-01-01T10:00+0530", 330},
                                {"2020-01-01T10:00+05", 300},
                                {"2020-01-01T10:00-5:3", -303},
                                {"2020-01-01T10:00:00.25-01:00  ", -60}}) {
        p = parse(text);
        EXPECT_EQ(p.rc, 0) << text;
        EXPECT_EQ(p.has_zone, 1) << text;
        EXPECT_EQ(p.offset, offset) << text;
        EXPECT_EQ(p.dts.hour, 10) << text;
    }
    expect_range_error("2020-01-01T10:00+24:00", DtErrorCode::tz_hours_out_of_range);
    expect_range_error("2020-01-01T10:00+05:60", DtErrorCode::tz_minutes_out_of_range);
    expect_parse_error("2020-01-01T10:00+05:", 20);
    expect_parse_error("2020-01-01T10:00+05 ", 19);
    expect_parse_error("2020-01-01T10:00+", 17);
    expect_parse_error("2020-01-01T10:00Zx", 17);
    expect_parse_error("2020-01-01T10:00 x", 17);
    // Has-zone pointer without offset pointer: nothing written through null.
    DtError err;
    npy_datetimestruct r;
    int zone = 0;
    const char text[] = "2020-01-01T10:00+01";
    EXPECT_EQ(parse_iso8601(text, sizeof(text) - 1, &r, nullptr, &zone, nullptr, "", 0, TV_FORMAT_INFER, &err), 0);
    EXPECT_EQ(zone, 1);
}

TEST(Parse, FormatModes)
{
    Parsed p = parse("2020-01-01", "%Y-%m-%d", TV_FORMAT_EXACT);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.unit, NPY_FR_D);
    expect_parse_error("2020-01-01 10:00", 10, "%Y-%m-%d", TV_FORMAT_EXACT);
    p = parse("2020-01-01 10:00", "%Y-%m-%d", TV_FORMAT_PARTIAL);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.unit, NPY_FR_GENERIC);
    EXPECT_EQ(p.dts.day, 1);
    EXPECT_EQ(p.dts.hour, 0);
    expect_parse_error("2020-01-01", 10, "%Y-%m-%d %H:%M:%S", TV_FORMAT_PARTIAL);
    p = parse("2020-01-01 10:30:15.5+01:00", "%Y-%m-%d %H:%M:%S.%f%z", TV_FORMAT_EXACT);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.unit, NPY_FR_ms);
    expect_parse_error("2020/01/01", 5, "%Y-%m-%d", TV_FORMAT_EXACT);
    // Partial stops: best unit is what was reached.
    EXPECT_EQ(parse("2020-01-01T10:30:15", "%Y-%m-%dT%H", TV_FORMAT_PARTIAL).unit, NPY_FR_h);
    EXPECT_EQ(parse("2020-01-01T10:30:15", "%Y-%m-%dT%H:%M", TV_FORMAT_PARTIAL).unit, NPY_FR_m);
    // A format that ends at the seconds' "." still reports the seconds it read
    // into the record (reporting minutes would drop them at the best unit).
    p = parse("2020-01-01T10:30:15.5", "%Y-%m-%dT%H:%M:%S", TV_FORMAT_PARTIAL);
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.unit, NPY_FR_s);
    EXPECT_EQ(p.dts.sec, 15);
    EXPECT_EQ(p.dts.us, 0);
    EXPECT_EQ(parse("2020-01-01T10:30:15.5", "%Y-%m-%dT%H:%M:%S.", TV_FORMAT_PARTIAL).unit, NPY_FR_s);
    EXPECT_EQ(parse("2020-01-01T10:30:15Z", "%Y-%m-%dT%H:%M:%S", TV_FORMAT_PARTIAL).unit, NPY_FR_s);
    EXPECT_EQ(parse("2020", "%Y", TV_FORMAT_PARTIAL).unit, NPY_FR_Y);
    // INFER ignores the format, but a non-zero length fails every success.
    expect_parse_error("2020-01-01", 10, "%Y", TV_FORMAT_INFER);
    // Negative lengths.
    Parsed q;
    EXPECT_EQ(parse_iso8601("2020", -1, &q.dts, nullptr, nullptr, nullptr, "", 0, TV_FORMAT_INFER, &q.err), -1);
    EXPECT_EQ(q.err.value, 0);
    EXPECT_EQ(parse_iso8601("2020", 4, &q.dts, nullptr, nullptr, nullptr, "", -1, TV_FORMAT_EXACT, &q.err), -1);
}

TEST(Parse, MatchFormat)
{
    const char *f = "%Y-";
    int n = 3;
    EXPECT_EQ(match_format(&f, &n, "%Y", 2, TV_FORMAT_EXACT), MATCH_OK);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(match_format(&f, &n, "%m", 2, TV_FORMAT_EXACT), MATCH_FAIL);
    EXPECT_EQ(match_format(&f, &n, "-", 1, TV_FORMAT_EXACT), MATCH_OK);
    EXPECT_EQ(match_format(&f, &n, "-", 1, TV_FORMAT_EXACT), MATCH_FAIL);
    EXPECT_EQ(match_format(&f, &n, "-", 1, TV_FORMAT_PARTIAL), MATCH_COMPLETE);
    EXPECT_EQ(match_format(&f, &n, "-", 1, TV_FORMAT_INFER), MATCH_OK);
    n = -1;
    EXPECT_EQ(match_format(&f, &n, "-", 1, TV_FORMAT_PARTIAL), MATCH_FAIL);
}

TEST(Parse, NeverReadsPastLength)
{
    // Prefixes of a long text parsed from exact-size buffers (ASan checks).
    const std::string full = " -2020-01-01T10:30:15.123456789012345678+05:30 ";
    for (size_t n = 0; n <= full.size(); ++n) {
        parse(full.substr(0, n));
        parse(full.substr(0, n), "%Y-%m-%dT%H:%M:%S.%f%z", TV_FORMAT_PARTIAL);
    }
}

TEST(Parse, ShortcutsAgreeWithGeneralSteps)
{
    // Texts that start with a digit take the one-step date and time reads;
    // the same text after one space takes the general steps.  Everything but
    // the error position (one further) must agree.
    const char pieces[] = "0123456789012345678901-./\\ T:.Z+-";
    uint64_t state = 12345;
    auto next = [&state]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    };
    const std::string templates[] = {"2020-05-17",       "2020-05-17T10:30",  "2020/02/29 23:59:59.5",
                                     "2019-02-29T24:61", "1999.12.31T00:00Z", "2020-12-01 10:30+05:30"};
    for (int i = 0; i < 200000; ++i) {
        std::string text = templates[next() % 6];
        int edits = static_cast<int>(next() % 3);
        for (int e = 0; e < edits; ++e) {
            text[next() % text.size()] = pieces[next() % (sizeof(pieces) - 1)];
        }
        Parsed fast = parse(text);
        Parsed general = parse(" " + text);
        ASSERT_EQ(fast.rc, general.rc) << text;
        ASSERT_EQ(fast.err.code, general.err.code) << text;
        if (fast.err.code == DtErrorCode::parse_error) {
            ASSERT_EQ(fast.err.value + 1, general.err.value) << text;
        }
        ASSERT_EQ(fast.unit, general.unit) << text;
        ASSERT_EQ(fast.has_zone, general.has_zone) << text;
        ASSERT_EQ(fast.offset, general.offset) << text;
        if (fast.rc == 0) {
            ASSERT_EQ(cmp_datetimestruct(&fast.dts, &general.dts), 0) << text;
        }
    }
}

TEST(Format, Lengths)
{
    const int plain[] = {22, 25, 28, 4, 28, 32, 35, 38, 42, 45, 48, 51, 54, 57, 5, 5};
    const int local[] = {22, 25, 28, 4, 28, 36, 39, 42, 46, 49, 52, 55, 58, 61, 9, 9};
    for (int unit = 0; unit < 16; ++unit) {
        EXPECT_EQ(iso8601_length(0, unit), plain[unit]) << unit;
        EXPECT_EQ(iso8601_length(1, unit), local[unit]) << unit;
    }
    EXPECT_EQ(iso8601_length(0, -1), 4);
    EXPECT_EQ(iso8601_length(7, -5), 4);
}

TEST(Format, Units)
{
    npy_datetimestruct r = make(2020, 5, 17, 12, 34, 56, 789012, 345678, 901234);
    EXPECT_EQ(format(r, 0), "2020");
    EXPECT_EQ(format(r, 1), "2020-05");
    EXPECT_EQ(format(r, 2), "2020-05-17");
    EXPECT_EQ(format(r, 4), "2020-05-17");
    EXPECT_EQ(format(r, 5), "2020-05-17T12");
    EXPECT_EQ(format(r, 6), "2020-05-17T12:34");
    EXPECT_EQ(format(r, 7), "2020-05-17T12:34:56");
    EXPECT_EQ(format(r, 7, 1), "2020-05-17T12:34:56Z");
    EXPECT_EQ(format(r, 4, 1), "2020-05-17");
    EXPECT_EQ(format(r, 8), "2020-05-17T12:34:56.789");
    EXPECT_EQ(format(r, 9), "2020-05-17T12:34:56.789012");
    EXPECT_EQ(format(r, 10), "2020-05-17T12:34:56.789012345");
    EXPECT_EQ(format(r, 11), "2020-05-17T12:34:56.789012345678");
    EXPECT_EQ(format(r, 12), "2020-05-17T12:34:56.789012345678901");
    EXPECT_EQ(format(r, 13), "2020-05-17T12:34:56.789012345678901234");
    EXPECT_EQ(format(make(12345), 4), "12345-01-01");
    EXPECT_EQ(format(make(-44, 3, 15), 4), "-044-03-15");
    EXPECT_EQ(format(make(-1), 0), "-001");
    EXPECT_EQ(format(make(INT64_MIN), 0), "-9223372036854775808");
}

TEST(Format, BufferRules)
{
    npy_datetimestruct r = make(2020, 5, 17, 12, 34, 56);
    char buf[64];
    DtError err;
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(format_iso8601(&r, buf, 19, 0, 7, &err), 0);
    EXPECT_EQ(std::string(buf, 19), "2020-05-17T12:34:56");
    EXPECT_EQ(buf[19], 'x');
    EXPECT_EQ(format_iso8601(&r, buf, 18, 0, 7, &err), -1);
    EXPECT_EQ(err.code, DtErrorCode::buffer_too_short);
    EXPECT_EQ(err.value, 18);
    char message[200];
    dt_error_message(err, nullptr, message, sizeof(message));
    EXPECT_STREQ(message, "The string provided for NumPy ISO datetime formatting was too short, with length 18");

    // The year is never cut short: a size below the year's digits fails.
    npy_datetimestruct big = make(12345);
    std::memset(buf, 'x', sizeof(buf));
    EXPECT_EQ(format_iso8601(&big, buf, 5, 0, 0, &err), 0);
    EXPECT_EQ(std::string(buf, 5), "12345");
    EXPECT_EQ(format_iso8601(&big, buf, 4, 0, 0, &err), -1);
    EXPECT_EQ(format_iso8601(&big, buf, 6, 0, 0, &err), 0);
    EXPECT_STREQ(buf, "12345");
    // Zero and negative sizes fail and write nothing.
    for (int size : {0, -1, -1000}) {
        std::memset(buf, 'x', sizeof(buf));
        err = DtError{};
        EXPECT_EQ(format_iso8601(&r, buf, size, 0, 7, &err), -1);
        EXPECT_EQ(err.code, DtErrorCode::buffer_too_short);
        EXPECT_EQ(err.value, size);
        EXPECT_EQ(buf[0], 'x');
    }
    // Units without a text of their own are refused by their own length.
    for (int unit : {3, 14, -1}) {
        int n = iso8601_length(0, unit);
        EXPECT_EQ(format_iso8601(&r, buf, n, 0, unit, &err), -1);
    }
    // Every unit fits the size its length promises, even for the widest year.
    npy_datetimestruct widest = make(INT64_MIN, 12, 31, 23, 59, 59, 999999, 999999, 999999);
    for (int unit = 0; unit <= 13; ++unit) {
        if (unit == 3)
            continue;
        int n = iso8601_length(0, unit);
        std::vector<char> exact(static_cast<size_t>(n));
        EXPECT_EQ(format_iso8601(&widest, exact.data(), n, 1, unit, &err), 0) << unit;
        EXPECT_EQ(exact[std::strlen(exact.data())], '\0');
    }
}

TEST(Format, RoundTripEveryUnit)
{
    npy_datetimestruct r = make(-1236, 2, 29, 1, 2, 3, 456789, 12345, 678901);
    for (int unit : {0, 1, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) {
        std::string text = format(r, unit, unit >= 5);
        Parsed p = parse(text);
        EXPECT_EQ(p.rc, 0) << text;
        EXPECT_EQ(p.unit, unit) << text;
        EXPECT_EQ(p.dts.year, -1236);
    }
}

TEST(Format, Durations)
{
    EXPECT_EQ(duration_text(-1, NPY_FR_ns), "P-1DT23H59M59.999999999S");
    EXPECT_EQ(duration_text(1500, NPY_FR_us), "P0DT0H0M0.001500S");
    EXPECT_EQ(duration_text(1, NPY_FR_s), "P0DT0H0M1S");
    EXPECT_EQ(duration_text(0, NPY_FR_ns), "P0DT0H0M0S");
    EXPECT_EQ(duration_text(93600500, NPY_FR_ms), "P1DT2H0M0.500S");
    EXPECT_EQ(duration_text(INT64_MIN, NPY_FR_ns), "P-106752DT0H12M43.145224192S");
    EXPECT_EQ(duration_text(INT64_MIN, NPY_FR_W), "P-9223372036854775808DT0H0M0S");

    // Fields outside their ranges: the reported length is what was written.
    tv_durationstruct d{};
    d.days = INT64_MIN;
    d.hours = INT32_MIN;
    d.minutes = INT32_MIN;
    d.seconds = INT32_MIN;
    d.milliseconds = INT32_MIN;
    d.microseconds = INT32_MIN;
    d.nanoseconds = INT32_MIN;
    char buf[iso8601_duration_buffer_size];
    size_t n = 0;
    EXPECT_EQ(format_iso8601_duration(&d, buf, &n), 0);
    EXPECT_EQ(n, std::strlen(buf));
    EXPECT_LT(n, sizeof(buf));
    d.nanoseconds = 0;
    d.microseconds = 0;
    EXPECT_EQ(format_iso8601_duration(&d, buf, &n), 0);
    EXPECT_EQ(n, std::strlen(buf));
}
