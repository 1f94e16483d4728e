// Records and epoch conversions: calendar rules, counts in every unit, the
// nanosecond boundary, floor rules for negative counts, durations, and the
// defined outcomes for records and counts outside the usual ranges.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "datetime_core/np_datetime.h"
#include "datetime_records.h"

using namespace tv::dt;

namespace {

int64_t to_count(int unit, const npy_datetimestruct &r, DtErrorCode expect = DtErrorCode::none)
{
    DtError err;
    int64_t v = npy_datetimestruct_to_datetime(unit, &r, &err);
    EXPECT_EQ(err.code, expect) << "unit " << unit;
    if (err) {
        EXPECT_EQ(v, -1);
    }
    return v;
}

npy_datetimestruct from_count(int64_t v, int unit)
{
    npy_datetimestruct r;
    DtError err;
    EXPECT_EQ(datetime_to_datetimestruct(v, unit, &r, &err), 0);
    EXPECT_FALSE(err);
    return r;
}

void expect_record(const npy_datetimestruct &r, const npy_datetimestruct &want)
{
    EXPECT_EQ(cmp_datetimestruct(&r, &want), 0)
        << r.year << "-" << r.month << "-" << r.day << " " << r.hour << ":" << r.min << ":" << r.sec << "." << r.us
        << " ps " << r.ps << " as " << r.as;
}

tv_durationstruct duration(int64_t v, int unit)
{
    tv_durationstruct d;
    DtError err;
    EXPECT_EQ(timedelta_to_durationstruct(v, unit, &d, &err), 0);
    return d;
}

}  // namespace

TEST(Calendar, LeapYears)
{
    EXPECT_EQ(is_leap_year(2000), 1);
    EXPECT_EQ(is_leap_year(1900), 0);
    EXPECT_EQ(is_leap_year(2020), 1);
    EXPECT_EQ(is_leap_year(2019), 0);
    EXPECT_EQ(is_leap_year(0), 1);
    EXPECT_EQ(is_leap_year(-4), 1);
    EXPECT_EQ(is_leap_year(-400), 1);
    EXPECT_EQ(is_leap_year(-100), 0);
    EXPECT_EQ(is_leap_year(INT64_MIN), 1);
    for (int64_t y : {int64_t{-400000}, int64_t{400000}, INT64_MIN + 800000, INT64_MAX - 800000}) {
        for (int64_t year = y - 400000; year < y + 400000; ++year) {
            ASSERT_EQ(is_leap_year(year), year % 4 == 0 && (year % 100 != 0 || year % 400 == 0)) << year;
        }
    }
    EXPECT_EQ(days_per_month[1][1], 29);
    EXPECT_EQ(days_per_month[0][1], 28);
}

TEST(Calendar, DaysFromEpoch)
{
    auto days = [](int64_t y, int m, int d) {
        npy_datetimestruct r = make(y, m, d);
        return days_from_epoch(&r);
    };
    EXPECT_EQ(days(1970, 1, 1), 0);
    EXPECT_EQ(days(2000, 1, 1), 10957);
    EXPECT_EQ(days(2001, 1, 1), 11323);
    EXPECT_EQ(days(1969, 1, 1), -365);
    EXPECT_EQ(days(1968, 1, 1), -731);
    EXPECT_EQ(days(2000, 3, 1), 10957 + 31 + 29);
    // A month outside 1..12 is carried into the year.
    EXPECT_EQ(days(2019, 13, 1), days(2020, 1, 1));
    EXPECT_EQ(days(2020, 0, 1), days(2019, 12, 1));
    EXPECT_EQ(days(2020, -11, 5), days(2019, 1, 5));
    EXPECT_EQ(days(2020, INT32_MIN, 1), days(2020 - 178956971, 4, 1));
    // Absurd years wrap without trapping (checked by the sanitizer build).
    (void)days(INT64_MAX, 12, 31);
    (void)days(INT64_MIN, INT32_MAX, INT32_MAX);

    int64_t out = 0;
    npy_datetimestruct bad = make(2020, 13, 1);
    EXPECT_FALSE(days_from_epoch_checked(&bad, &out));
    npy_datetimestruct huge = make(INT64_MAX / 300);
    EXPECT_FALSE(days_from_epoch_checked(&huge, &out));
    npy_datetimestruct fine = make(-2000000000000LL, 2, 29);
    EXPECT_TRUE(days_from_epoch_checked(&fine, &out));
    EXPECT_EQ(out, days_from_epoch(&fine));
}

TEST(Calendar, SetYmdFromDaysRoundTrip)
{
    // Every day across several 400-year cycles on both sides of the anchors.
    for (int64_t d = -800000; d <= 800000; d += 1) {
        npy_datetimestruct r = make(0);
        set_ymd_from_days(d, &r);
        ASSERT_GE(r.month, 1);
        ASSERT_LE(r.month, 12);
        ASSERT_GE(r.day, 1);
        ASSERT_LE(r.day, days_per_month[is_leap_year(r.year)][r.month - 1]);
        ASSERT_EQ(days_from_epoch(&r), d);
    }
    npy_datetimestruct r = make(0);
    set_ymd_from_days(INT64_MIN, &r);
    EXPECT_EQ(days_from_epoch(&r), INT64_MIN);
    set_ymd_from_days(INT64_MAX, &r);
    EXPECT_EQ(days_from_epoch(&r), INT64_MAX);
}

TEST(Calendar, AddMinutes)
{
    npy_datetimestruct r = make(2020, 3, 1, 0, 10);
    add_minutes(&r, -20);
    expect_record(r, make(2020, 2, 29, 23, 50));
    r = make(2019, 12, 31, 23, 30);
    add_minutes(&r, 45);
    expect_record(r, make(2020, 1, 1, 0, 15));
    r = make(2020, 1, 1, 10, 0);
    add_minutes(&r, -330);
    expect_record(r, make(2020, 1, 1, 4, 30));
    r = make(2020, 12, 31, 23, 30);
    add_minutes(&r, 60);
    expect_record(r, make(2021, 1, 1, 0, 30));
    // Out-of-range client fields: defined, no table read outside its rows.
    r = make(2020, 14, 1, 0, 0);
    add_minutes(&r, 0);
    expect_record(r, make(2021, 2, 1));
    r = make(2020, 1, 1, INT32_MAX, INT32_MAX);
    add_minutes(&r, INT_MAX);
    r = make(2020, -5, 1, INT32_MIN, INT32_MIN);
    add_minutes(&r, INT_MIN);
    EXPECT_GE(r.month, 1);
    EXPECT_LE(r.month, 12);
}

TEST(Calendar, Compare)
{
    npy_datetimestruct a = make(2020, 1, 1, 0, 0, 0, 0, 0, 5);
    npy_datetimestruct b = make(2020, 1, 1, 0, 0, 0, 0, 0, 6);
    EXPECT_EQ(cmp_datetimestruct(&a, &b), -1);
    EXPECT_EQ(cmp_datetimestruct(&b, &a), 1);
    EXPECT_EQ(cmp_datetimestruct(&a, &a), 0);
    npy_datetimestruct c = make(-5, 12, 31);
    EXPECT_EQ(cmp_datetimestruct(&c, &a), -1);
}

TEST(ToCount, EpochInEveryUnit)
{
    npy_datetimestruct epoch = make(1970);
    for (int unit : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) {
        EXPECT_EQ(to_count(unit, epoch), 0) << unit;
        expect_record(from_count(0, unit), epoch);
    }
}

TEST(ToCount, Units)
{
    npy_datetimestruct r = make(2020, 5, 17, 12, 34, 56, 789012, 345678, 901234);
    int64_t days = 18399;
    EXPECT_EQ(to_count(NPY_FR_Y, r), 50);
    EXPECT_EQ(to_count(NPY_FR_M, r), 50 * 12 + 4);
    EXPECT_EQ(to_count(NPY_FR_D, r), days);
    EXPECT_EQ(to_count(NPY_FR_W, r), days / 7);
    EXPECT_EQ(to_count(NPY_FR_h, r), days * 24 + 12);
    EXPECT_EQ(to_count(NPY_FR_m, r), (days * 24 + 12) * 60 + 34);
    int64_t secs = ((days * 24 + 12) * 60 + 34) * 60 + 56;
    EXPECT_EQ(to_count(NPY_FR_s, r), secs);
    EXPECT_EQ(to_count(NPY_FR_ms, r), secs * 1000 + 789);
    EXPECT_EQ(to_count(NPY_FR_us, r), secs * 1000000 + 789012);
    EXPECT_EQ(to_count(NPY_FR_ns, r), (secs * 1000000 + 789012) * 1000 + 345);
    // Picoseconds and finer overflow for 2020.
    to_count(NPY_FR_ps, r, DtErrorCode::overflow);
    npy_datetimestruct near = make(1970, 1, 1, 0, 0, 1, 2, 3, 4);
    EXPECT_EQ(to_count(NPY_FR_ps, near), 1000000000000LL + 2000000 + 3);
    EXPECT_EQ(to_count(NPY_FR_fs, near), (1000000000000LL + 2000000 + 3) * 1000);
    EXPECT_EQ(to_count(NPY_FR_as, near), (1000000000000LL + 2000000 + 3) * 1000000 + 4);
}

TEST(ToCount, WeeksFloor)
{
    auto week_of = [](int64_t d) {
        npy_datetimestruct r = make(0);
        set_ymd_from_days(d, &r);
        return to_count(NPY_FR_W, r);
    };
    EXPECT_EQ(week_of(6), 0);
    EXPECT_EQ(week_of(7), 1);
    EXPECT_EQ(week_of(-1), -1);
    EXPECT_EQ(week_of(-7), -1);
    EXPECT_EQ(week_of(-8), -2);
}

TEST(ToCount, NanosecondBoundary)
{
    EXPECT_EQ(to_count(NPY_FR_ns, make(1677, 9, 21, 0, 12, 43, 145224, 193000)), -9223372036854775807LL);
    EXPECT_EQ(to_count(NPY_FR_ns, make(1677, 9, 21, 0, 12, 43, 145224, 192000)), INT64_MIN);
    // Sub-nanosecond picoseconds truncate, as everywhere else in the unit.
    EXPECT_EQ(to_count(NPY_FR_ns, make(1677, 9, 21, 0, 12, 43, 145224, 192999)), INT64_MIN);
    to_count(NPY_FR_ns, make(1677, 9, 21, 0, 12, 43, 145224, 191000), DtErrorCode::overflow);
    to_count(NPY_FR_ns, make(1677, 9, 21, 0, 12, 43, 145223, 999000), DtErrorCode::overflow);
    EXPECT_EQ(to_count(NPY_FR_ns, make(2262, 4, 11, 23, 47, 16, 854775, 807000)), INT64_MAX);
    to_count(NPY_FR_ns, make(2262, 4, 11, 23, 47, 16, 854775, 808000), DtErrorCode::overflow);
}

TEST(ToCount, OverflowAndBadInput)
{
    to_count(NPY_FR_Y, make(INT64_MIN), DtErrorCode::overflow);
    EXPECT_EQ(to_count(NPY_FR_Y, make(INT64_MAX)), INT64_MAX - 1970);
    to_count(NPY_FR_M, make(INT64_MAX / 10), DtErrorCode::overflow);
    to_count(NPY_FR_D, make(INT64_MAX / 100), DtErrorCode::overflow);
    to_count(NPY_FR_D, make(INT64_MIN / 100), DtErrorCode::overflow);
    to_count(NPY_FR_s, make(300000000000LL), DtErrorCode::overflow);
    npy_datetimestruct far = make(-2000000000000LL);
    EXPECT_EQ(to_count(NPY_FR_D, far), days_from_epoch(&far));
    to_count(NPY_FR_W, make(INT64_MIN / 366 + 1), DtErrorCode::none);
    to_count(NPY_FR_D, make(2020, 13, 1), DtErrorCode::record_month_out_of_range);
    to_count(NPY_FR_ns, make(2020, 0, 1), DtErrorCode::record_month_out_of_range);
    // Months are not needed for years; months only add.
    EXPECT_EQ(to_count(NPY_FR_Y, make(2020, 13, 1)), 50);
    EXPECT_EQ(to_count(NPY_FR_M, make(2020, 13, 1)), 612);
    to_count(NPY_FR_us, make(2020, 1, 1, INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX));
    // Unknown units: the chain runs to picoseconds first.
    for (int unit : {3, 14, 15, -1, INT_MAX, INT_MIN}) {
        to_count(unit, make(1970, 1, 1, 0, 0, 1), DtErrorCode::corrupt_unit);
        to_count(unit, make(2020), DtErrorCode::overflow);
    }
}

TEST(FromCount, NegativeCountsFloor)
{
    expect_record(from_count(-1, NPY_FR_ns), make(1969, 12, 31, 23, 59, 59, 999999, 999000));
    expect_record(from_count(-1, NPY_FR_ps), make(1969, 12, 31, 23, 59, 59, 999999, 999999));
    expect_record(from_count(-1, NPY_FR_fs), make(1969, 12, 31, 23, 59, 59, 999999, 999999, 999000));
    expect_record(from_count(-1, NPY_FR_as), make(1969, 12, 31, 23, 59, 59, 999999, 999999, 999999));
    expect_record(from_count(-1, NPY_FR_M), make(1969, 12));
    expect_record(from_count(12, NPY_FR_M), make(1971, 1));
    expect_record(from_count(-1, NPY_FR_W), make(1969, 12, 25));
    expect_record(from_count(-1, NPY_FR_h), make(1969, 12, 31, 23));
    expect_record(from_count(-1, NPY_FR_m), make(1969, 12, 31, 23, 59));
    expect_record(from_count(-1, NPY_FR_s), make(1969, 12, 31, 23, 59, 59));
    expect_record(from_count(-1, NPY_FR_ms), make(1969, 12, 31, 23, 59, 59, 999000));
    expect_record(from_count(-1, NPY_FR_us), make(1969, 12, 31, 23, 59, 59, 999999));
    expect_record(from_count(INT64_MIN, NPY_FR_ns), make(1677, 9, 21, 0, 12, 43, 145224, 192000));
    expect_record(from_count(INT64_MAX, NPY_FR_ns), make(2262, 4, 11, 23, 47, 16, 854775, 807000));
    expect_record(from_count(-1, NPY_FR_Y), make(1969));
}

TEST(FromCount, EveryUnitRoundTrips)
{
    const int64_t values[] = {0,
                              1,
                              -1,
                              59,
                              -61,
                              86399,
                              1234567890123LL,
                              -987654321098LL,
                              INT64_MAX / 1000000000000LL,
                              INT64_MIN / 1000000000000LL};
    for (int unit : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}) {
        for (int64_t v : values) {
            if (unit <= 4 && (v > 100000000 || v < -100000000))
                continue;
            npy_datetimestruct r = from_count(v, unit);
            DtError err;
            int64_t back = npy_datetimestruct_to_datetime(unit, &r, &err);
            if (!err) {
                EXPECT_EQ(back, v) << "unit " << unit;
            } else {
                EXPECT_GE(unit, 11);
            }
        }
    }
    // Year and week counts that leave the representable range wrap.
    from_count(INT64_MAX, NPY_FR_Y);
    from_count(INT64_MIN, NPY_FR_W);
    from_count(INT64_MAX, NPY_FR_D);
    from_count(INT64_MIN, NPY_FR_s);
}

TEST(FromCount, InvalidUnitLeavesEpoch)
{
    for (int unit : {3, 14, -1, 99}) {
        npy_datetimestruct r = make(2000, 5, 5, 5);
        DtError err;
        EXPECT_EQ(datetime_to_datetimestruct(123, unit, &r, &err), -1);
        EXPECT_EQ(err.code, DtErrorCode::invalid_datetime_unit);
        expect_record(r, make(1970));
    }
}

TEST(Duration, Examples)
{
    tv_durationstruct d = duration(-1, NPY_FR_ns);
    EXPECT_EQ(d.days, -1);
    EXPECT_EQ(d.hours, 23);
    EXPECT_EQ(d.minutes, 59);
    EXPECT_EQ(d.seconds, 59);
    EXPECT_EQ(d.milliseconds, 999);
    EXPECT_EQ(d.microseconds, 999);
    EXPECT_EQ(d.nanoseconds, 999);
    EXPECT_EQ(d.seconds_of_day, 86399);
    EXPECT_EQ(d.microseconds_of_second, 999999);
    EXPECT_EQ(d.nanoseconds_of_microsecond, 999);

    d = duration(-1, NPY_FR_h);
    EXPECT_EQ(d.days, 0);
    EXPECT_EQ(d.hours, -1);
    EXPECT_EQ(d.seconds_of_day, -3600);
    d = duration(-3600, NPY_FR_s);
    EXPECT_EQ(d.days, -1);
    EXPECT_EQ(d.hours, 23);
    EXPECT_EQ(d.seconds_of_day, 82800);
    d = duration(-86400, NPY_FR_s);
    EXPECT_EQ(d.days, -1);
    EXPECT_EQ(d.seconds_of_day, 0);
    d = duration(-90, NPY_FR_m);
    EXPECT_EQ(d.days, 0);
    EXPECT_EQ(d.hours, -1);
    EXPECT_EQ(d.minutes, -30);
    d = duration(3, NPY_FR_W);
    EXPECT_EQ(d.days, 21);
    d = duration(1500, NPY_FR_us);
    EXPECT_EQ(d.milliseconds, 1);
    EXPECT_EQ(d.microseconds, 500);
    d = duration(90061001, NPY_FR_ms);
    EXPECT_EQ(d.days, 1);
    EXPECT_EQ(d.hours, 1);
    EXPECT_EQ(d.minutes, 1);
    EXPECT_EQ(d.seconds, 1);
    EXPECT_EQ(d.milliseconds, 1);
}

TEST(Duration, ExtremesAreExact)
{
    // days * 86400 * S + time of day + rest reproduces the count exactly.
    for (int unit : {7, 8, 9, 10}) {
        const int64_t per_second[] = {1, 1000, 1000000, 1000000000};
        int64_t s = per_second[unit - 7];
        for (int64_t v : {INT64_MIN, INT64_MIN + 1, INT64_MAX, int64_t{-1}, int64_t{0}}) {
            tv_durationstruct d = duration(v, unit);
            EXPECT_GE(d.seconds_of_day, 0);
            EXPECT_LT(d.seconds_of_day, 86400);
            int64_t rest = int64_t{d.milliseconds} * 1000000 + int64_t{d.microseconds} * 1000 + d.nanoseconds;
            if (unit == 7)
                rest = 0;
            if (unit == 8)
                rest = d.milliseconds;
            if (unit == 9)
                rest = int64_t{d.milliseconds} * 1000 + d.microseconds;
            uint64_t total = static_cast<uint64_t>(d.days) * 86400u * static_cast<uint64_t>(s) +
                             static_cast<uint64_t>(d.seconds_of_day) * static_cast<uint64_t>(s) +
                             static_cast<uint64_t>(rest);
            EXPECT_EQ(static_cast<int64_t>(total), v) << "unit " << unit;
        }
    }
    duration(INT64_MIN, NPY_FR_W);
    duration(INT64_MIN, NPY_FR_h);
    duration(INT64_MIN, NPY_FR_m);
}

TEST(Duration, InvalidUnitsLeaveZero)
{
    for (int unit : {0, 1, 3, 11, 12, 13, 14, -1, 1000}) {
        tv_durationstruct d;
        std::memset(&d, 0x55, sizeof(d));
        DtError err;
        EXPECT_EQ(timedelta_to_durationstruct(5, unit, &d, &err), -1);
        EXPECT_EQ(err.code, DtErrorCode::invalid_timedelta_unit);
        tv_durationstruct zero;
        std::memset(&zero, 0, sizeof(zero));
        EXPECT_EQ(std::memcmp(&d, &zero, sizeof(d)), 0);
    }
}

TEST(Scale, Units)
{
    int64_t v = -1500000000;
    EXPECT_EQ(scaleNanosecToUnit(&v, NPY_FR_s), 0);
    EXPECT_EQ(v, -1);
    v = 1234567;
    EXPECT_EQ(scaleNanosecToUnit(&v, NPY_FR_ms), 0);
    EXPECT_EQ(v, 1);
    v = 1234567;
    EXPECT_EQ(scaleNanosecToUnit(&v, NPY_FR_us), 0);
    EXPECT_EQ(v, 1234);
    EXPECT_EQ(scaleNanosecToUnit(&v, NPY_FR_ns), 0);
    EXPECT_EQ(v, 1234);
    EXPECT_EQ(scaleNanosecToUnit(&v, NPY_FR_D), -1);
    EXPECT_EQ(v, 1234);
}

TEST(Errors, Messages)
{
    char buf[200];
    DtError err;
    err.set(DtErrorCode::parse_error, 7);
    dt_error_message(err, "2020/05-17", buf, sizeof(buf));
    EXPECT_STREQ(buf, "Error parsing datetime string \"2020/05-17\" at position 7");
    err.set(DtErrorCode::buffer_too_short, 18);
    dt_error_message(err, nullptr, buf, sizeof(buf));
    EXPECT_STREQ(buf, "The string provided for NumPy ISO datetime formatting was too short, with length 18");
    err.set(DtErrorCode::overflow);
    dt_error_message(err, nullptr, buf, sizeof(buf));
    EXPECT_STREQ(buf, "Overflow occurred in npy_datetimestruct_to_datetime");
}
