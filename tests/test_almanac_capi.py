"""The native export table of almanac, used the way a consuming native module
uses it: each pointer is fetched from its capsule under the exact signature
string and called (ctypes drops the interpreter lock around the calls)."""

import ctypes
import datetime
import threading

import pytest

from tavrel._libs.tslibs import almanac

SIGNATURES = [
    ("MONTH_TO_CAL_NUM", "PyObject *"),
    ("c_MONTH_NUMBERS", "PyObject *"),
    ("month_offset", "__pyx_t_5numpy_int32_t *"),
    ("get_days_in_month", "__pyx_t_5numpy_int32_t (int, Py_ssize_t, int __pyx_skip_dispatch)"),
    ("get_day_of_year", "__pyx_t_5numpy_int32_t (int, int, int, int __pyx_skip_dispatch)"),
    ("get_week_of_year", "__pyx_t_5numpy_int32_t (int, int, int, int __pyx_skip_dispatch)"),
    (
        "get_iso_calendar",
        "__pyx_t_6tavrel_5_libs_6tslibs_7almanac_iso_calendar_t (int, int, int, int __pyx_skip_dispatch)",
    ),
    ("is_leapyear", "int (__pyx_t_5numpy_int64_t)"),
    ("get_firstbday", "int (int, int, int __pyx_skip_dispatch)"),
    ("get_lastbday", "int (int, int, int __pyx_skip_dispatch)"),
    ("dayofweek", "int (int, int, int)"),
]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_get_name = ctypes.pythonapi.PyCapsule_GetName
_get_name.restype = ctypes.c_char_p
_get_name.argtypes = [ctypes.py_object]


def pointer(name):
    signature = dict(SIGNATURES)[name]
    return _get_pointer(almanac.__pyx_capi__[name], signature.encode())


class IsoCalendar(ctypes.Structure):
    _fields_ = [("year", ctypes.c_int32), ("week", ctypes.c_int32), ("day", ctypes.c_int32)]


c_int, c_int32 = ctypes.c_int, ctypes.c_int32
PROTOTYPES = {
    "get_days_in_month": ctypes.CFUNCTYPE(c_int32, c_int, ctypes.c_ssize_t, c_int),
    "get_day_of_year": ctypes.CFUNCTYPE(c_int32, c_int, c_int, c_int, c_int),
    "get_week_of_year": ctypes.CFUNCTYPE(c_int32, c_int, c_int, c_int, c_int),
    "get_iso_calendar": ctypes.CFUNCTYPE(IsoCalendar, c_int, c_int, c_int, c_int),
    "is_leapyear": ctypes.CFUNCTYPE(c_int, ctypes.c_int64),
    "get_firstbday": ctypes.CFUNCTYPE(c_int, c_int, c_int, c_int),
    "get_lastbday": ctypes.CFUNCTYPE(c_int, c_int, c_int, c_int),
    "dayofweek": ctypes.CFUNCTYPE(c_int, c_int, c_int, c_int),
}


@pytest.fixture(scope="module")
def native():
    return {name: proto(pointer(name)) for name, proto in PROTOTYPES.items()}


def test_entries_names_signatures_and_order():
    capi = almanac.__pyx_capi__
    assert type(capi) is dict
    assert list(capi) == [name for name, _ in SIGNATURES]
    for name, signature in SIGNATURES:
        assert _get_name(capi[name]) == signature.encode()
        assert pointer(name)


@pytest.mark.parametrize("name", [n for n, _ in SIGNATURES])
def test_any_other_name_is_refused(name):
    capsule = almanac.__pyx_capi__[name]
    signature = dict(SIGNATURES)[name]
    for wrong in (signature.replace(" ", "", 1), signature + " ", b"int".decode()):
        if wrong == signature:
            continue
        with pytest.raises(ValueError):
            _get_pointer(capsule, wrong.encode())


def read_object_slot(name):
    slot = pointer(name)
    return ctypes.cast(slot, ctypes.POINTER(ctypes.py_object)).contents.value


def test_object_variables():
    month_to_cal_num = read_object_slot("MONTH_TO_CAL_NUM")
    assert type(month_to_cal_num) is dict
    assert list(month_to_cal_num.items()) == [(m, i + 1) for i, m in enumerate(almanac.MONTHS)]
    assert read_object_slot("c_MONTH_NUMBERS") is almanac.MONTH_NUMBERS


def test_c_month_numbers_stays_on_the_first_object():
    original = almanac.MONTH_NUMBERS
    try:
        almanac.MONTH_NUMBERS = {}
        assert read_object_slot("c_MONTH_NUMBERS") is original
    finally:
        almanac.MONTH_NUMBERS = original


def test_month_offset_table():
    slot = pointer("month_offset")
    table = ctypes.cast(slot, ctypes.POINTER(ctypes.POINTER(ctypes.c_int32))).contents
    values = [table[i] for i in range(26)]
    assert values == [0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365,
                      0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366]


def test_native_functions_agree_with_python_level(native):
    for y in (-401, -1, 0, 1, 1900, 2000, 2023, 2024, 9999, 2**31 - 1, -(2**31)):
        assert native["is_leapyear"](y) == (1 if almanac.get_days_in_month(y, 2) == 29 else 0)
        for m in range(1, 13):
            assert native["get_days_in_month"](y, m, 0) == almanac.get_days_in_month(y, m)
            assert native["get_firstbday"](y, m, 1) == almanac.get_firstbday(y, m)
            assert native["get_lastbday"](y, m, 0) == almanac.get_lastbday(y, m)
            for d in (1, 4, 15, 28, almanac.get_days_in_month(y, m)):
                iso = native["get_iso_calendar"](y, m, d, 0)
                want = almanac.get_iso_calendar(y, m, d)
                # the native record holds the ISO year in 32 bits
                assert (iso.year, iso.week, iso.day) == (ctypes.c_int32(want[0]).value, *want[1:])
                assert native["get_week_of_year"](y, m, d, 0) == want[1]
                assert native["get_day_of_year"](y, m, d, 0) == almanac.get_day_of_year(y, m, d)
                assert native["dayofweek"](y, m, d) == want[2] - 1


def test_native_against_datetime(native):
    date = datetime.date(1999, 11, 20)
    for _ in range(1500):
        y, m, d = date.year, date.month, date.day
        assert native["dayofweek"](y, m, d) == date.weekday()
        iso = native["get_iso_calendar"](y, m, d, 0)
        assert (iso.year, iso.week, iso.day) == tuple(date.isocalendar())
        date += datetime.timedelta(days=1)


def test_documented_native_examples(native):
    leap = native["is_leapyear"]
    assert [leap(y) for y in (2024, 2023, 2000, 1900, 2100, 0, -4, -1, -100, -400)] == [1, 0, 1, 0, 0, 1, 1, 0, 0, 1]
    dow = native["dayofweek"]
    assert [dow(2024, 1, 1), dow(2024, 3, 1), dow(2000, 2, 29), dow(1970, 1, 1)] == [0, 4, 1, 3]


def test_invalid_month_gives_the_fixed_result(native):
    for m in (0, 13, -1, 2**31 - 1, -(2**31)):
        assert native["dayofweek"](2024, m, 1) == -1
        assert native["get_days_in_month"](2024, m, 0) == -1
        assert native["get_day_of_year"](2024, m, 1, 0) == -1
        assert native["get_week_of_year"](2024, m, 1, 0) == -1
        iso = native["get_iso_calendar"](2024, m, 1, 0)
        assert (iso.year, iso.week, iso.day) == (-1, -1, -1)
        assert native["get_firstbday"](2024, m, 0) == -1
        assert native["get_lastbday"](2024, m, 0) == -1


def test_callable_from_threads_without_the_lock(native):
    results = []

    def work():
        results.append([native["get_week_of_year"](2021, 1, d, 0) for d in range(1, 32)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and all(r == results[0] for r in results)
    assert results[0][:4] == [53, 53, 53, 1]
