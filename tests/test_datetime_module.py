"""The tavrel_datetime module and its function table, reached as a native
client would: the capsule's pointer is read as an array of 15 function
pointers and each slot is called through ctypes (PYFUNCTYPE: the GIL stays
held, and an exception the slot leaves set is raised).

The client itself is support/datetime_client.py, shared with the other
date-time tests."""

import ctypes
import importlib
import os
import re
import subprocess
import sys
import textwrap
from ctypes import byref, c_int, c_int64, c_size_t

import pytest

from support.datetime_client import (
    CAPSULE_NAME,
    SLOTS,
    DatetimeApi,
    DatetimeStruct,
    DurationStruct,
    capsule_name,
    capsule_pointer,
    record,
    table_address,
)

NS_PER_DAY = 86_400 * 10**9
INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


@pytest.fixture(scope="module")
def api():
    return DatetimeApi(table_address())


def test_module_publishes_capsule_on_package():
    mod = importlib.import_module("tavrel._libs.tavrel_datetime")
    import tavrel

    assert mod.__name__ == "tavrel._libs.tavrel_datetime"
    assert mod.__doc__ == "Internal module with datetime support for other extensions"
    assert [n for n in dir(mod) if not n.startswith("__")] == []
    capsule = tavrel._tavrel_datetime_CAPI
    assert type(capsule).__name__ == "PyCapsule"
    assert capsule_name(capsule) == CAPSULE_NAME
    assert capsule_pointer(capsule, CAPSULE_NAME) == table_address()


def test_installed_header_declares_this_slot_order():
    import tavrel

    with open(os.path.join(tavrel.get_include(), "tavrel", "datetime_api.h")) as f:
        header = f.read()
    table = header[header.index("typedef struct tv_datetime_capi {") : header.index("} tv_datetime_capi;")]
    assert re.findall(r"\(\*(\w+)\)\(", table) == [name for name, _, _ in SLOTS]
    assert '#define TV_DATETIME_CAPSULE_NAME "tavrel._tavrel_datetime_CAPI"' in header


def test_reimport_keeps_the_published_table(api):
    mod = importlib.import_module("tavrel._libs.tavrel_datetime")
    importlib.reload(mod)
    assert table_address() == api.address
    del sys.modules["tavrel._libs.tavrel_datetime"]
    importlib.import_module("tavrel._libs.tavrel_datetime")
    assert table_address() == api.address
    # The table a client kept is still alive and usable.
    assert api.iso8601_length(0, 7) == 38


def run_python(code):
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )


def test_import_errors_when_package_or_numpy_missing():
    # The extension is loaded under its bare name so that its parent package
    # need not be importable.
    result = run_python(
        """
        import importlib.util, sys
        import tavrel._libs
        path = importlib.util.find_spec("tavrel._libs.tavrel_datetime").origin
        spec = importlib.util.spec_from_file_location("tavrel_datetime", path)
        del sys.modules["tavrel._libs"], sys.modules["tavrel"]
        sys.modules["tavrel"] = None
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as e:
            print("package:", type(e).__name__, e)
        """
    )
    assert "package: ImportError tv_datetime could not import module tavrel" in result.stdout, result.stderr
    result = run_python(
        """
        import importlib.util, sys
        import numpy
        spec = importlib.util.find_spec("tavrel._libs.tavrel_datetime")
        sys.modules["numpy._core._multiarray_umath"] = None
        sys.modules["numpy.core._multiarray_umath"] = None
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except ImportError as e:
            print("numpy:", type(e).__name__, e)
        """
    )
    assert "numpy: ImportError numpy._core.multiarray failed to import" in result.stdout, result.stderr
    assert "ModuleNotFoundError" in result.stderr  # the cause is printed


def test_capsule_frees_table_when_package_drops_it():
    # In a child process, since the table of this process must stay alive.
    result = run_python(
        """
        import gc, importlib, sys, tavrel
        import tavrel._libs.tavrel_datetime
        first = tavrel._tavrel_datetime_CAPI
        del tavrel._tavrel_datetime_CAPI, first
        gc.collect()
        del sys.modules["tavrel._libs.tavrel_datetime"]
        importlib.import_module("tavrel._libs.tavrel_datetime")  # publishes a new table
        print(type(tavrel._tavrel_datetime_CAPI).__name__)
        """
    )
    assert result.returncode == 0 and result.stdout == "PyCapsule\n", result.stderr


# --- the core's slots, one group per slot -----------------------------------


def test_slot0_record_to_count(api):
    assert api.npy_datetimestruct_to_datetime(7, byref(record(2000))) == 946_684_800
    assert api.npy_datetimestruct_to_datetime(1, byref(record(1969, 12))) == -1
    edge = record(1677, 9, 21, 0, 12, 43, 145224, 193000)
    assert api.npy_datetimestruct_to_datetime(10, byref(edge)) == INT64_MIN + 1
    with pytest.raises(OverflowError, match="Overflow occurred in npy_datetimestruct_to_datetime"):
        api.npy_datetimestruct_to_datetime(10, byref(record(3000)))
    with pytest.raises(ValueError, match="NumPy datetime metadata with corrupt unit value"):
        api.npy_datetimestruct_to_datetime(14, byref(record()))


def test_slot1_scale_nanoseconds(api):
    value = c_int64(-1_500_000_000)
    assert api.scaleNanosecToUnit(byref(value), 7) == 0 and value.value == -1
    value = c_int64(123)
    assert api.scaleNanosecToUnit(byref(value), 4) == -1 and value.value == 123


def test_slot2_count_to_iso_text(api):
    length = c_size_t()
    text = api.take_text(api.int64_to_iso_string(0, 10, 10, byref(length)), length)
    assert (text, length.value) == ("1970-01-01T00:00:00.000000000", 29)
    text = api.take_text(api.int64_to_iso_string(86_400 + 3_661, 7, 6, byref(length)), length)
    assert text == "1970-01-02T01:01"


def test_slot5_duration_text(api):
    length = c_size_t()
    for value, expected in [(-1, "P-1DT23H59M59.999999999S"), (1_500_000, "P0DT0H0M0.001500S"), (10**9, "P0DT0H0M1S")]:
        assert api.take_text(api.int64_to_iso_duration_string(value, byref(length)), length) == expected


def test_slot6_count_to_record(api):
    out = DatetimeStruct()
    api.datetime_to_datetimestruct(-1, 10, byref(out))
    assert out.fields() == (1969, 12, 31, 23, 59, 59, 999999, 999000, 0)
    api.datetime_to_datetimestruct(-1, 1, byref(out))
    assert out.fields()[:2] == (1969, 12)
    with pytest.raises(RuntimeError, match="NumPy datetime metadata is corrupted with invalid base unit"):
        api.datetime_to_datetimestruct(5, 3, byref(out))


def test_slot7_duration_record(api):
    out = DurationStruct()
    api.timedelta_to_durationstruct(-3600, 7, byref(out))
    assert (out.days, out.hours, out.seconds_of_day) == (-1, 23, 82800)
    api.timedelta_to_durationstruct(-1, 5, byref(out))
    assert (out.days, out.hours, out.seconds_of_day) == (0, -1, -3600)
    with pytest.raises(RuntimeError, match="NumPy timedelta metadata is corrupted with invalid base unit"):
        api.timedelta_to_durationstruct(1, 0, byref(out))


def test_slot9_compare_records(api):
    a, b = record(2020, as_=1), record(2020, as_=2)
    assert api.cmp_datetimestruct(byref(a), byref(b)) == -1
    assert api.cmp_datetimestruct(byref(b), byref(a)) == 1
    assert api.cmp_datetimestruct(byref(a), byref(record(2020, as_=1))) == 0


def parse(api, text, fmt=b"", mode=2, raise_errors=1):
    out, best, has_zone, offset = DatetimeStruct(), c_int(-99), c_int(-99), c_int(-99)
    status = api.parse_iso8601(text, len(text), raise_errors, byref(out), byref(best), byref(has_zone), byref(offset), fmt, len(fmt), mode)
    return status, out.fields(), best.value, has_zone.value, offset.value


def test_slot11_parse_iso8601(api):
    assert parse(api, b"2020-05-17") == (0, (2020, 5, 17, 0, 0, 0, 0, 0, 0), 4, 0, -99)
    status, fields, best, has_zone, offset = parse(api, b"2020-01-01T10:00 +05:30")
    assert (status, fields[3], best, has_zone, offset) == (0, 10, 6, 1, 330)
    assert parse(api, b"2020-01-01 10:00", b"%Y-%m-%d", mode=0)[:3] == (0, (2020, 1, 1, 0, 0, 0, 0, 0, 0), 14)
    with pytest.raises(ValueError, match=r'Error parsing datetime string "2020/05-17" at position 7'):
        parse(api, b"2020/05-17")
    with pytest.raises(ValueError, match=r'Day out of range in datetime string "2019-02-29"'):
        parse(api, b"2019-02-29")
    assert parse(api, b"2020/05-17", raise_errors=0)[0] == -1


def test_slot12_slot13_format_iso8601(api):
    assert [api.iso8601_length(0, u) for u in (0, 7, 13, 14)] == [22, 38, 57, 5]
    assert api.iso8601_length(1, 7) == 42
    rec = record(2020, 5, 17, 12, 34, 56, 789012, 345678, 901234)
    buf = ctypes.create_string_buffer(64)
    assert api.format_iso8601(byref(rec), buf, 64, 1, 7) == 0 and buf.value == b"2020-05-17T12:34:56Z"
    assert api.format_iso8601(byref(rec), buf, 64, 0, 13) == 0
    assert buf.value == b"2020-05-17T12:34:56.789012345678901234"
    with pytest.raises(RuntimeError, match="too short, with length 18"):
        api.format_iso8601(byref(rec), buf, 18, 0, 7)


def test_slot14_format_duration(api):
    out = DurationStruct(days=1, hours=2, milliseconds=500)
    buf, length = ctypes.create_string_buffer(71), c_size_t(99)
    assert api.format_iso8601_duration(byref(out), buf, byref(length)) == 0
    assert (buf.value, length.value) == (b"P1DT2H0M0.500S", 14)
