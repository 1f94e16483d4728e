"""Epoch conversions of the date-time table (slots 0, 6, 7) against
independent oracles: the proleptic Gregorian day count of
datetime.date.toordinal (shifted by whole 400-year cycles outside 1..9999)
and NumPy's own datetime64 / timedelta64 arithmetic in every unit."""

import random
from ctypes import byref, c_size_t
from datetime import date

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from support import datetime_client as client
record, DatetimeStruct, DurationStruct = client.record, client.DatetimeStruct, client.DurationStruct

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
UNITS = {"Y": 0, "M": 1, "W": 2, "D": 4, "h": 5, "m": 6, "s": 7, "ms": 8, "us": 9, "ns": 10, "ps": 11, "fs": 12, "as": 13}
# Count of each unit from hours down in one day.
PER_DAY = {5: 24, 6: 1440, 7: 86400, 8: 86400 * 10**3, 9: 86400 * 10**6, 10: 86400 * 10**9, 11: 86400 * 10**12}
EPOCH_ORDINAL = date(1970, 1, 1).toordinal()
DAYS_PER_CYCLE = 146097


@pytest.fixture(scope="module")
def api():
    return client.DatetimeApi(client.table_address())


def oracle_days(year, month, day):
    """Days since 1970-01-01 by date.toordinal, moving the year into 1..9999
    by whole 400-year cycles (which all have the same length)."""
    cycles, inner = divmod(year - 2000, 400)
    return date(2000 + inner, month, day).toordinal() - EPOCH_ORDINAL + cycles * DAYS_PER_CYCLE


def oracle_date(days):
    cycles, inner = divmod(days - (date(2000, 1, 1).toordinal() - EPOCH_ORDINAL), DAYS_PER_CYCLE)
    d = date.fromordinal(date(2000, 1, 1).toordinal() + inner)
    return d.year + 400 * cycles, d.month, d.day


def to_count(api, unit, rec):
    return api.npy_datetimestruct_to_datetime(unit, byref(rec))


def to_record(api, value, unit):
    out = DatetimeStruct()
    api.datetime_to_datetimestruct(value, unit, byref(out))
    return out.fields()


def test_days_against_toordinal_over_wide_range(api):
    rng = random.Random(5)
    years = [rng.randint(-(10**12), 10**12) for _ in range(3000)] + [rng.randint(-3000, 12000) for _ in range(3000)]
    years += [0, -1, -4, -100, -400, 1, 1600, 1700, 1900, 2000, 9999, 10000]
    for year in years:
        month = rng.randint(1, 12)
        leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
        length = [31, 29 if leap else 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31][month - 1]
        day = rng.randint(1, length)
        expected = oracle_days(year, month, day)
        assert to_count(api, 4, record(year, month, day)) == expected, (year, month, day)
        assert to_record(api, expected, 4)[:3] == (year, month, day)
        assert oracle_date(expected) == (year, month, day)
    for days in (INT64_MIN, INT64_MIN + 1, INT64_MAX, -(2**62), 2**62):
        assert to_record(api, days, 4)[:3] == oracle_date(days)


def test_counts_against_numpy_every_unit(api):
    """Record of a count and the count of the record, for random counts in
    every unit, against NumPy's datetime64 (NaT, the lowest int64, excluded)."""
    rng = random.Random(9)
    for name, unit in UNITS.items():
        values = [0, 1, -1, INT64_MAX, INT64_MIN + 1] + [rng.randint(INT64_MIN + 1, INT64_MAX) for _ in range(300)]
        values += [rng.randint(-(10**7), 10**7) for _ in range(100)]
        if name in ("W", "D"):
            # NumPy's own calendar arithmetic wraps for day counts near the
            # ends of int64; the toordinal oracle covers those (below).
            values = [v // 16 for v in values]
        for value in values:
            fields = to_record(api, value, unit)
            dt64 = np.datetime64(value, name)
            # NumPy's own ISO text at the same unit.
            expected = np.datetime_as_string(dt64, unit=name if name != "W" else "D")
            length = c_size_t()
            text = api.take_text(api.int64_to_iso_string(value, unit, unit, byref(length)), length)
            assert text == expected, (name, value)
            if name in ("Y", "W"):
                continue  # years and weeks wrap far out; NumPy agrees on the text only
            try:
                back = to_count(api, unit, record(*fields))
            except OverflowError:
                # Fine units miss the range on the way back; months only at
                # the very ends, where years*12 passes below the lowest count.
                assert unit >= 10 or abs(value) > 2**62
                continue
            assert back == value, (name, value)


def test_fine_units_against_numpy_days_and_rest(api):
    """Floor split of counts into day and time of day, hours to picoseconds."""
    rng = random.Random(3)
    for unit, per_day in PER_DAY.items():
        name = [k for k, v in UNITS.items() if v == unit][0]
        for _ in range(400):
            value = rng.randint(INT64_MIN + 1, INT64_MAX)
            days = value // per_day
            if unit < 11:  # NumPy cannot scale picoseconds to days
                assert days == int(np.datetime64(value, name).astype("M8[D]").astype(np.int64))
            fields = to_record(api, value, unit)
            assert fields[:3] == oracle_date(days)
            rest = value - days * per_day
            unit_of = per_day // 86400 if unit >= 7 else None
            if unit_of:
                seconds, sub = divmod(rest, unit_of)
                assert fields[3:6] == (seconds // 3600, seconds // 60 % 60, seconds % 60)


def test_nanosecond_edges(api):
    assert to_count(api, 10, record(1677, 9, 21, 0, 12, 43, 145224, 193000)) == INT64_MIN + 1
    assert to_count(api, 10, record(1677, 9, 21, 0, 12, 43, 145224, 192000)) == INT64_MIN
    with pytest.raises(OverflowError, match="^Overflow occurred in npy_datetimestruct_to_datetime$"):
        to_count(api, 10, record(1677, 9, 21, 0, 12, 43, 145224, 191000))
    assert to_count(api, 10, record(2262, 4, 11, 23, 47, 16, 854775, 807000)) == INT64_MAX
    with pytest.raises(OverflowError):
        to_count(api, 10, record(2262, 4, 11, 23, 47, 16, 854775, 808000))


def test_huge_years_overflow_instead_of_wrapping(api):
    for year in (INT64_MAX, INT64_MIN, 2**62, -(2**62), 10**17):
        for unit in (2, 4, 7, 10):
            with pytest.raises(OverflowError, match="^Overflow occurred in npy_datetimestruct_to_datetime$"):
                to_count(api, unit, record(year))
    with pytest.raises(OverflowError):
        to_count(api, 0, record(INT64_MIN))
    with pytest.raises(OverflowError):
        to_count(api, 1, record(INT64_MAX))
    # Year and week counts wrap by definition and never fail.
    assert to_record(api, INT64_MAX, 0)[0] == INT64_MAX + 1970 - 2**64
    to_record(api, INT64_MIN, 2)


@pytest.mark.parametrize("month", [0, 13, -1, 2**31 - 1, -(2**31)])
def test_record_with_bad_month_is_refused(api, month):
    with pytest.raises(ValueError, match=rf"^Month out of range in npy_datetimestruct: {month}$"):
        to_count(api, 4, record(2020, month, 1))
    with pytest.raises(ValueError, match="Month out of range"):
        to_count(api, 10, record(2020, month, 1))


def test_unknown_units(api):
    for unit in (3, 14, 15, -1):
        with pytest.raises(ValueError, match="^NumPy datetime metadata with corrupt unit value$"):
            to_count(api, unit, record(1970, 1, 1, 0, 0, 5))
        with pytest.raises(OverflowError):  # the chain to picoseconds overflows first
            to_count(api, unit, record(2020))
        with pytest.raises(RuntimeError, match="^NumPy datetime metadata is corrupted with invalid base unit$"):
            to_record(api, 1, unit)


def test_durations_against_numpy(api):
    rng = random.Random(7)
    for name, unit in (("s", 7), ("ms", 8), ("us", 9), ("ns", 10)):
        per_second = 10 ** (3 * (unit - 7))
        for value in [INT64_MIN, INT64_MAX, -1, 0] + [rng.randint(INT64_MIN, INT64_MAX) for _ in range(300)]:
            out = DurationStruct()
            api.timedelta_to_durationstruct(value, unit, byref(out))
            total = (out.days * 86400 + out.seconds_of_day) * per_second
            if unit == 8:
                total += out.milliseconds
            elif unit == 9:
                total += out.microseconds_of_second
            elif unit == 10:
                total += out.microseconds_of_second * 1000 + out.nanoseconds
            assert total == value
            assert 0 <= out.seconds_of_day < 86400
            if value != INT64_MIN:  # NaT
                td = np.timedelta64(value, name)
                assert out.days == int(td.astype("m8[D]").astype(np.int64)) or value < 0


@given(st.integers(INT64_MIN + 1, INT64_MAX), st.sampled_from([5, 6, 7, 8, 9, 10, 11, 12, 13]))
def test_count_record_count_round_trip(api, value, unit):
    fields = to_record(api, value, unit)
    try:
        assert to_count(api, unit, record(*fields)) == value
    except OverflowError:
        assert unit >= 11 or fields[0] > 2262 or fields[0] < 1677
