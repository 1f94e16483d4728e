"""Conversion of Python date/datetime objects (slots 3, 4, 8) and the datetime
metadata of NumPy dtypes (slot 10), called through the capsule's table."""

import gc
import sys
from ctypes import byref, c_size_t
from datetime import date, datetime, timedelta, timezone, tzinfo
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import given, strategies as st

from support import datetime_client as client

UNIT_CODES = {"Y": 0, "M": 1, "W": 2, "D": 4, "h": 5, "m": 6, "s": 7, "ms": 8, "us": 9, "ns": 10, "ps": 11, "fs": 12, "as": 13, "generic": 14}
INT32_MAX = 2**31 - 1


@pytest.fixture(scope="module")
def api():
    return client.DatetimeApi(client.table_address())


def tz(hours=0, minutes=0, seconds=0):
    return timezone(timedelta(hours=hours, minutes=minutes, seconds=seconds))


class FixedOffset:
    """A duck-typed time zone whose offset may be any size."""

    def __init__(self, seconds):
        self.seconds = seconds

    def utcoffset(self, obj):
        return SimpleNamespace(total_seconds=lambda: self.seconds)


def duck(year=2020, month=1, day=1, **fields):
    return SimpleNamespace(year=year, month=month, day=day, **fields)


def test_date_is_midnight(api):
    assert api.pydatetime_to_epoch(date(1970, 1, 2), 7) == 86400
    assert api.record_of_object(date(2020, 5, 17)) == (2020, 5, 17, 0, 0, 0, 0, 0, 0)
    assert api.iso_of_object(date(2020, 5, 17), 7) == "2020-05-17T00:00:00"
    # Missing any one of the four time attributes makes a date.
    assert api.record_of_object(duck(hour=5, minute=6, second=7)) == (2020, 1, 1, 0, 0, 0, 0, 0, 0)


def test_aware_objects_are_shifted_to_utc(api):
    dt = datetime(2020, 1, 1, 10, 0, tzinfo=tz(5, 30))
    assert api.record_of_object(dt) == (2020, 1, 1, 4, 30, 0, 0, 0, 0)
    assert api.iso_of_object(dt, 7) == "2020-01-01T04:30:00Z"
    assert api.iso_of_object(dt, 4) == "2020-01-01"  # no zone suffix above hours
    dt = datetime(2020, 12, 31, 23, 30, tzinfo=tz(-1))
    assert api.record_of_object(dt) == (2021, 1, 1, 0, 30, 0, 0, 0, 0)
    # Seconds of the offset below a whole minute are dropped.
    dt = datetime(2020, 1, 1, 10, 0, tzinfo=tz(5, 30, 45))
    assert api.record_of_object(dt)[3:5] == (4, 30)
    dt = datetime(2021, 3, 4, 5, 6, 7, 890123, tzinfo=tz(-3))
    utc_epoch = datetime(1970, 1, 1, tzinfo=timezone.utc)
    assert api.pydatetime_to_epoch(dt, 9) == (dt - utc_epoch) // timedelta(microseconds=1)


def test_naive_objects_keep_wall_clock(api):
    dt = datetime(2020, 5, 17, 12, 34, 56, 789012)
    assert api.iso_of_object(dt, 9) == "2020-05-17T12:34:56.789012"
    assert api.pydatetime_to_epoch(dt, 8) == (dt - datetime(1970, 1, 1)) // timedelta(milliseconds=1)

    class NoOffset(tzinfo):
        def utcoffset(self, obj):
            return None

    assert api.iso_of_object(datetime(2020, 5, 17, 12, tzinfo=NoOffset()), 7) == "2020-05-17T12:00:00"
    assert api.iso_of_object(duck(hour=1, minute=2, second=3, microsecond=4), 7) == "2020-01-01T01:02:03"


def test_user_code_runs_once_per_conversion(api):
    # An aware object's zone is asked once: the text and the shift come from
    # the same answer, whatever a second call would have said.
    calls = []

    class Fickle(tzinfo):
        def utcoffset(self, obj):
            calls.append(obj)
            return timedelta(hours=len(calls))

    dt = datetime(2020, 5, 17, 12, tzinfo=Fickle())
    assert api.iso_of_object(dt, 7) == "2020-05-17T11:00:00Z"
    assert len(calls) == 1
    assert api.record_of_object(dt)[3] == 10
    assert len(calls) == 2


@given(
    st.datetimes(min_value=datetime(1678, 1, 1), max_value=datetime(2261, 12, 31)),
    st.integers(-86399, 86399),
)
def test_agrees_with_python_arithmetic(api, naive, offset_seconds):
    obj = naive.replace(tzinfo=tz(seconds=offset_seconds))
    utc = naive - timedelta(minutes=int(offset_seconds / 60))
    micros = (utc - datetime(1970, 1, 1)) // timedelta(microseconds=1)
    assert api.pydatetime_to_epoch(obj, 9) == micros
    assert api.pydatetime_to_epoch(obj, 10) == micros * 1000
    assert api.iso_of_object(obj, 9) == utc.isoformat(timespec="microseconds") + "Z"
    assert api.iso_of_object(naive, 9) == naive.isoformat(timespec="microseconds")


def test_epoch_units_and_errors(api):
    epoch = datetime(1970, 1, 1)
    with pytest.raises(ValueError, match="^Call to scaleNanosecToUnit with value 0 and base 4 failed$"):
        api.pydatetime_to_epoch(epoch, 4)
    dt = datetime(2001, 2, 3, 4, 5, 6, 7)
    base = (datetime(2001, 2, 3) - datetime(1970, 1, 1)).days * 86400 + 4 * 3600 + 5 * 60 + 6
    assert [api.pydatetime_to_epoch(dt, u) for u in (7, 8, 9, 10)] == [base, base * 1000, base * 10**6 + 7, base * 10**9 + 7000]
    # Outside the nanosecond range the OverflowError is reported at once
    # (not rescaled, which would replace it here with the unit error).
    with pytest.raises(OverflowError, match="Overflow occurred in npy_datetimestruct_to_datetime"):
        api.pydatetime_to_epoch(datetime(3000, 1, 1), 4)
    with pytest.raises(ValueError, match="Could not convert datetime value to string"):
        api.iso_of_object(dt, 3)


@pytest.mark.parametrize(
    "obj, error",
    [
        (duck(month=1.5), TypeError),
        (duck(day="3"), TypeError),
        (duck(hour=1, minute=None, second=0, microsecond=0), TypeError),
        (duck(month=INT32_MAX + 1), OverflowError),
        (duck(hour=0, minute=0, second=0, microsecond=-(2**31) - 1), OverflowError),
        (duck(year=2**31), OverflowError),
        (duck(hour=0, minute=0, second=0, microsecond=0, tzinfo=FixedOffset(2**31)), OverflowError),
        (duck(hour=0, minute=0, second=0, microsecond=0, tzinfo=FixedOffset("x")), ValueError),
        (SimpleNamespace(year=2020, month=1), AttributeError),
    ],
)
def test_bad_fields_fail_with_their_error(api, obj, error):
    """Non-integers and values beyond 32 bits fail on every platform,
    instead of being stored as -1 or truncated."""
    with pytest.raises(error):
        api.record_of_object(obj)
    with pytest.raises(error):
        api.pydatetime_to_epoch(obj, 7)
    with pytest.raises(error):
        api.iso_of_object(obj, 7)


def test_errors_of_properties_and_time_zones_propagate(api):
    class Exploding:
        year, month, day, minute, second, microsecond = 2020, 1, 1, 0, 0, 0

        @property
        def hour(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        api.record_of_object(Exploding())

    class BadZone:
        def utcoffset(self, obj):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        api.pydatetime_to_epoch(duck(hour=0, minute=0, second=0, microsecond=0, tzinfo=BadZone()), 7)


@pytest.mark.parametrize("offset_seconds", [0, 59, -59, 40 * 86400 + 60, -400 * 86400 - 7200, 2**31 - 1, -(2**31)])
def test_offsets_of_any_size_give_valid_dates(api, offset_seconds):
    obj = duck(2020, 2, 29, hour=23, minute=59, second=1, microsecond=2, tzinfo=FixedOffset(offset_seconds))
    shift = timedelta(minutes=int(offset_seconds / 60))  # truncated toward zero
    expected = datetime(2020, 2, 29, 23, 59, 1, 2) - shift
    fields = api.record_of_object(obj)
    assert fields[:7] == (expected.year, expected.month, expected.day, expected.hour, expected.minute, 1, 2)
    assert api.pydatetime_to_epoch(obj, 9) == (expected - datetime(1970, 1, 1)) // timedelta(microseconds=1)


def test_month_outside_calendar(api):
    # A naive record is handed over as read; the calendar refuses it later.
    assert api.record_of_object(duck(month=13))[:2] == (2020, 13)
    with pytest.raises(ValueError, match="Month out of range"):
        api.pydatetime_to_epoch(duck(month=13), 7)
    with pytest.raises(ValueError, match="Month out of range"):
        api.record_of_object(duck(month=0, hour=0, minute=0, second=0, microsecond=0, tzinfo=FixedOffset(60)))


@pytest.mark.parametrize(
    "fields",
    [
        dict(month=13), dict(month=0), dict(month=-1), dict(day=0), dict(day=32), dict(month=4, day=31),
        dict(month=2, day=30), dict(year=2021, month=2, day=29), dict(year=1900, month=2, day=29), dict(hour=24),
        dict(hour=-1), dict(minute=60), dict(second=60), dict(second=-1), dict(microsecond=10**6),
        dict(microsecond=-1),
    ],
)
@pytest.mark.parametrize("zone", [None, FixedOffset(3600)])
def test_impossible_fields_have_no_iso_text(api, fields, zone):
    obj = duck(**{"hour": 0, "minute": 0, "second": 0, "microsecond": 0, "tzinfo": zone, **fields})
    objects = [obj, duck(**fields)] if set(fields) <= {"year", "month", "day"} else [obj]
    for obj in objects:
        length = c_size_t(12345)
        with pytest.raises(ValueError) as info:
            api.pydatetime_to_iso_string(obj, 7, byref(length))
        assert length.value == 12345  # nothing written
        month = fields.get("month", 1)
        if 1 <= month <= 12:
            assert str(info.value) == "Could not convert datetime value to string"
        else:  # the very error of the epoch conversion
            with pytest.raises(ValueError) as epoch_info:
                api.pydatetime_to_epoch(obj, 7)
            assert str(info.value) == str(epoch_info.value) == f"Month out of range in npy_datetimestruct: {month}"


def test_iso_text_at_the_edges_of_each_field(api):
    last = duck(2020, 2, 29, hour=23, minute=59, second=59, microsecond=999999)
    assert api.iso_of_object(last, 9) == "2020-02-29T23:59:59.999999"
    assert api.iso_of_object(duck(2000, 2, 29), 4) == "2000-02-29"
    assert api.iso_of_object(duck(2021, 12, 31, hour=23, minute=30, second=0, microsecond=0,
                                  tzinfo=FixedOffset(-3600)), 7) == "2022-01-01T00:30:00Z"


def test_utcoffset_receives_the_object_itself(api):
    seen = []

    class Zone:
        def utcoffset(self, obj):
            seen.append(obj)
            return timedelta(hours=1)

    class TupleDatetime(tuple):
        year, month, day, hour, minute, second, microsecond = 2020, 1, 1, 1, 0, 0, 0
        tzinfo = Zone()

    obj = TupleDatetime((1, 2))
    assert api.record_of_object(obj)[3] == 0
    assert seen == [obj]


@pytest.mark.parametrize(
    "spec",
    ["M8[ns]", "M8[s]", "m8[5ms]", "M8[2D]", "m8[7W]", "M8[Y]", "M8[3M]", "m8[us]", "M8[as]", "M8", "m8", ">M8[h]"],
)
def test_dtype_metadata(api, spec):
    dtype = np.dtype(spec)
    unit, count = np.datetime_data(dtype)
    meta = api.datetime_metadata_from_dtype(dtype)
    assert (meta.base, meta.num) == (UNIT_CODES[unit], count)
    assert np.dtype(spec) == dtype  # unchanged


@pytest.mark.parametrize("obj", [np.dtype("i8"), np.dtype([("a", "M8[s]")]), np.dtype("O"), "M8[s]", None])
def test_dtype_metadata_of_other_objects(api, obj):
    with pytest.raises(TypeError, match="expected a datetime64 or timedelta64 dtype"):
        api.datetime_metadata_from_dtype(obj)


def test_no_reference_leaks(api):
    aware = datetime(2020, 1, 1, 10, 0, tzinfo=tz(5, 30))
    naive = datetime(2020, 1, 1, 10, 0)
    objects = [aware, naive, date(2020, 1, 1), duck(month=1.5)]
    dtype = np.dtype("M8[ms]")
    length = c_size_t()

    def run(n):  # four conversions per round
        for i in range(n):
            obj = objects[i & 1]
            api.pydatetime_to_epoch(obj, 9)
            api.record_of_object(objects[2])
            client.object_free(api.pydatetime_to_iso_string(obj, 7, byref(length)))
            try:
                api.pydatetime_to_epoch(objects[3], 7)
            except TypeError:
                pass
            if i & 15 == 0:
                api.datetime_metadata_from_dtype(dtype)

    run(2000)  # warm the interpreter's caches first
    watched = objects + [aware.tzinfo, dtype]
    refs = [sys.getrefcount(o) for o in watched]
    gc.collect()
    before = sys.getallocatedblocks()
    run(25_000)
    gc.collect()
    after = sys.getallocatedblocks()
    # A leak of one block per round would show 25,000 (one per ten rounds,
    # 2,500); a few hundred blocks of cache growth are the interpreter's and
    # NumPy's own (NumPy 1.26 grows a little more than 2.x).
    assert after - before < 1500, (before, after)
    assert [sys.getrefcount(o) for o in watched] == refs
