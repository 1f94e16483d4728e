"""ISO 8601 parsing and formatting through the date-time capsule (slots 2, 5,
11, 12, 13, 14): exact messages and positions, format modes, buffer rules,
NumPy's own parser and formatter as oracles, and format-then-parse round
trips as properties."""

import ctypes
import random
import re
from ctypes import byref, c_int, c_size_t
from datetime import datetime, timedelta, timezone

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from support import datetime_client as client
record, DatetimeStruct, DurationStruct = client.record, client.DatetimeStruct, client.DurationStruct

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
UNIT_NAMES = ["Y", "M", "W", None, "D", "h", "m", "s", "ms", "us", "ns", "ps", "fs", "as"]
PARTIAL, EXACT, INFER = 0, 1, 2


@pytest.fixture(scope="module")
def api():
    return client.DatetimeApi(client.table_address())


def parse(api, text, fmt=b"", mode=INFER, raise_errors=1):
    if isinstance(text, str):
        text = text.encode()
    out, best, has_zone, offset = DatetimeStruct(), c_int(-99), c_int(-99), c_int(-99)
    status = api.parse_iso8601(text, len(text), raise_errors, byref(out), byref(best), byref(has_zone),
                               byref(offset), fmt, len(fmt), mode)
    return status, out.fields(), best.value, has_zone.value, offset.value


def fmt(api, rec, unit, utc=0, size=None):
    size = api.iso8601_length(0, unit) + (5 if utc else 0) if size is None else size
    buf = ctypes.create_string_buffer(max(size, 1) + 8)
    assert api.format_iso8601(byref(rec), buf, size, utc, unit) == 0
    return buf.value.decode()


def parse_error(text, position):
    return pytest.raises(ValueError, match="^" + re.escape(f'Error parsing datetime string "{text}" at position {position}') + "$")


# --- parser ------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, position",
    [("202005", 6), ("2020/05-17", 7), ("2020-01-01T1", 12), ("2020-01-01T10:00+05 ", 19), ("", 0)],
)
def test_parse_error_messages(api, text, position):
    with parse_error(text, position):
        parse(api, text)
    assert parse(api, text, raise_errors=0)[0] == -1


def test_parse_error_message_quotes_any_text(api):
    # Bytes that are not UTF-8 are shown replaced; a long text is quoted whole.
    with pytest.raises(ValueError, match="^" + re.escape('Error parsing datetime string "\ufffd2020" at position 0') + "$"):
        parse(api, b"\xff2020")
    long_text = "2020-01-01T10:00" + "x" * 1000
    with parse_error(long_text, 16):
        parse(api, long_text)


@pytest.mark.parametrize(
    "text, field",
    [("202", "Month"), ("2020-02-30", "Day"), ("2019-02-29", "Day"), ("2020-01-01T24:00", "Hours"),
     ("2020-01-01T23:60", "Minutes"), ("2020-01-01T23:59:60", "Seconds"),
     ("2020-01-01T10:00+24:00", "Timezone hours offset"), ("2020-01-01T10:00+05:60", "Timezone minutes offset")],
)
def test_range_messages(api, text, field):
    with pytest.raises(ValueError, match="^" + re.escape(f'{field} out of range in datetime string "{text}"') + "$"):
        parse(api, text)


def test_whitespace_after_year_month_or_date(api):
    assert parse(api, "2020 ")[:4] == (0, (2020, 1, 1, 0, 0, 0, 0, 0, 0), 0, 0)
    assert parse(api, " 2020-05 ")[:4] == (0, (2020, 5, 1, 0, 0, 0, 0, 0, 0), 1, 0)
    assert parse(api, " 2020-01-01 ")[:4] == (0, (2020, 1, 1, 0, 0, 0, 0, 0, 0), 4, 0)
    assert parse(api, "2020-01-01\t\n")[2] == 4
    with parse_error("2020-01-01  10:00", 11):
        parse(api, "2020-01-01  10:00")


def test_format_modes(api):
    with parse_error("2020-01-01 10:00", 10):
        parse(api, "2020-01-01 10:00", b"%Y-%m-%d", EXACT)
    assert parse(api, "2020-01-01 10:00", b"%Y-%m-%d", PARTIAL)[:3] == (0, (2020, 1, 1, 0, 0, 0, 0, 0, 0), 14)
    status, fields, best, has_zone, offset = parse(api, "2020-01-01 10:30:15.5-01:00", b"%Y-%m-%d %H:%M:%S.%f%z", EXACT)
    assert (status, fields[3:7], best, has_zone, offset) == (0, (10, 30, 15, 500000), 8, 1, -60)


def test_parse_agrees_with_numpy(api):
    """Count of each parsed text in its best unit, against NumPy's own parser."""
    rng = random.Random(11)
    for _ in range(2000):
        year = rng.randint(1, 9999)
        seconds = rng.randint(0, 86399)
        base = datetime(year, rng.randint(1, 12), rng.randint(1, 28)) + timedelta(seconds=seconds)
        form = rng.randrange(6)
        frac = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 9)))
        y = f"{base.year:04d}"  # strftime does not pad years below 1000
        text = [y, y + base.strftime("-%m"), y + base.strftime("-%m-%d"), y + base.strftime("-%m-%dT%H:%M"),
                y + base.strftime("-%m-%d %H:%M:%S"), y + base.strftime("-%m-%dT%H:%M:%S.") + frac][form]
        status, fields, best, _, _ = parse(api, text)
        assert status == 0
        name = UNIT_NAMES[best]
        if best >= 10 and not 1678 <= year <= 2261:
            continue  # nanoseconds reach only these years
        expected = int(np.datetime64(text, name).astype(np.int64))
        assert api.npy_datetimestruct_to_datetime(best, byref(record(*fields))) == expected, text


@given(st.datetimes(min_value=datetime(1, 1, 1), max_value=datetime(9999, 12, 31, 23, 59, 59, 999999),
                    timezones=st.none() | st.timezones()),
       st.sampled_from(["auto", "hours", "minutes", "seconds", "milliseconds", "microseconds"]),
       st.sampled_from(["T", " "]))
def test_parse_accepts_isoformat(api, value, timespec, sep):
    try:
        text = value.isoformat(sep=sep, timespec=timespec)
    except ValueError:
        return
    offset = value.utcoffset()
    if offset is not None and offset.seconds % 60:
        return  # offsets with seconds are beyond ISO text of minutes
    status, fields, best, has_zone, zone = parse(api, text)
    assert status == 0
    assert fields[:6] == (value.year, value.month, value.day, value.hour,
                          value.minute if timespec != "hours" else 0,
                          value.second if timespec not in ("hours", "minutes") else 0)
    if offset is not None:
        assert has_zone == 1 and zone == offset // timedelta(minutes=1)


# --- formatter -----------------------------------------------------------------


@given(st.integers(INT64_MIN + 1, INT64_MAX), st.sampled_from([4, 5, 6, 7, 8, 9, 10, 11, 12, 13]),
       st.sampled_from([0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13]), st.booleans())
def test_format_then_parse_round_trip(api, value, value_unit, text_unit, utc):
    rec = DatetimeStruct()
    api.datetime_to_datetimestruct(value, value_unit, byref(rec))
    if not 0 <= rec.year <= 9999:
        return  # only four-digit years parse back
    text = fmt(api, rec, text_unit, utc)
    status, fields, best, has_zone, _ = parse(api, text)
    assert status == 0, text
    assert best == (4 if text_unit == 2 else text_unit)
    assert has_zone == (1 if utc and text_unit >= 5 else 0 if text_unit <= 4 else -99)
    # The record comes back down to the unit of the text.
    cut = {0: 1, 1: 2, 2: 3, 4: 3, 5: 4, 6: 5, 7: 6}.get(text_unit, 9)
    expected = list(rec.fields())
    defaults = [0, 1, 1, 0, 0, 0, 0, 0, 0]
    expected[cut:] = defaults[cut:]
    if text_unit >= 8:
        digits = 3 * (text_unit - 7)  # fraction digits kept
        sub = expected[6] * 10**12 + expected[7] * 10**6 + expected[8]
        sub -= sub % 10 ** (18 - digits)
        expected[6:9] = [sub // 10**12, sub // 10**6 % 10**6, sub % 10**6]
    assert fields == tuple(expected), text


def test_count_text_against_numpy(api):
    rng = random.Random(4)
    for unit in range(14):
        if unit == 3:
            continue
        for _ in range(200):
            value = rng.randint(-(2**40), 2**40)
            length = c_size_t()
            text = api.take_text(api.int64_to_iso_string(value, unit, unit, byref(length)), length)
            assert text == np.datetime_as_string(np.datetime64(value, UNIT_NAMES[unit]), unit=UNIT_NAMES[unit if unit != 2 else 4])
            assert length.value == len(text)


def test_buffer_exactly_as_long_as_the_text(api):
    rec = record(12345, 5, 17, 12, 34, 56)
    buf = ctypes.create_string_buffer(b"#" * 40)
    assert api.format_iso8601(byref(rec), buf, 20, 0, 7) == 0
    assert buf.raw[:21] == b"12345-05-17T12:34:56#"  # no room for the terminator, none written
    with pytest.raises(RuntimeError, match="^The string provided for NumPy ISO datetime formatting was too short, with length 4$"):
        api.format_iso8601(byref(rec), buf, 4, 0, 0)  # the year alone needs 5
    assert api.format_iso8601(byref(rec), buf, 5, 0, 0) == 0 and buf.raw[:5] == b"12345"


@pytest.mark.parametrize("size", [0, -1, -(2**31)])
def test_non_positive_buffer_size_fails_without_writing(api, size):
    buf = ctypes.create_string_buffer(b"#" * 8)
    with pytest.raises(RuntimeError, match=f"too short, with length {size}$"):
        api.format_iso8601(byref(record(2020)), buf, size, 0, 4)
    assert buf.raw[:8] == b"#" * 8


def test_count_text_with_invalid_value_unit_returns_no_text(api):
    length = c_size_t(7777)
    with pytest.raises(RuntimeError, match="invalid base unit"):
        api.int64_to_iso_string(5, 3, 7, byref(length))
    assert length.value == 7777  # failed before planning any text
    with pytest.raises(ValueError, match="^Could not convert datetime value to string$"):
        api.int64_to_iso_string(5, 7, 14, byref(length))


def test_durations(api):
    length = c_size_t()
    for ns, expected in [(-1, "P-1DT23H59M59.999999999S"), (1_500_000, "P0DT0H0M0.001500S"), (10**9, "P0DT0H0M1S"),
                         (0, "P0DT0H0M0S"), (93_600_500_000_000, "P1DT2H0M0.500S"),
                         (INT64_MIN, "P-106752DT0H12M43.145224192S"), (INT64_MAX, "P106751DT23H47M16.854775807S")]:
        text = api.take_text(api.int64_to_iso_duration_string(ns, byref(length)), length)
        assert (text, length.value) == (expected, len(expected))


def test_duration_length_is_what_was_written(api):
    buf = ctypes.create_string_buffer(71)
    length = c_size_t()
    extreme = DurationStruct(INT64_MIN, -(2**31), -(2**31), -(2**31), -(2**31), -(2**31), -(2**31))
    assert api.format_iso8601_duration(byref(extreme), buf, byref(length)) == 0
    assert length.value == len(buf.value) < 71
    wide = DurationStruct(days=1, milliseconds=123456)
    assert api.format_iso8601_duration(byref(wide), buf, byref(length)) == 0
    assert length.value == len(buf.value)
