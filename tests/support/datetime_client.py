"""Test-only client of the date-time table: the capsule's pointer read as an
array of 15 function pointers and each slot called through ctypes
(PYFUNCTYPE: the interpreter lock stays held, and an exception the slot
leaves set is raised), with ctypes mirrors of the records of
tavrel/datetime_api.h."""

import ctypes
import importlib
from ctypes import POINTER, PYFUNCTYPE, Structure, byref, c_char_p, c_int, c_int32, c_int64, c_size_t, c_void_p, py_object

CAPSULE_NAME = b"tavrel._tavrel_datetime_CAPI"


class DatetimeStruct(Structure):
    _fields_ = [
        ("year", c_int64),
        ("month", c_int32),
        ("day", c_int32),
        ("hour", c_int32),
        ("min", c_int32),
        ("sec", c_int32),
        ("us", c_int32),
        ("ps", c_int32),
        ("as_", c_int32),
    ]

    def fields(self):
        return tuple(getattr(self, name) for name, _ in self._fields_)


def record(year=1970, month=1, day=1, hour=0, minute=0, second=0, us=0, ps=0, as_=0):
    return DatetimeStruct(year, month, day, hour, minute, second, us, ps, as_)


class DurationStruct(Structure):
    _fields_ = [("days", c_int64)] + [
        (name, c_int32)
        for name in (
            "hours",
            "minutes",
            "seconds",
            "milliseconds",
            "microseconds",
            "nanoseconds",
            "seconds_of_day",
            "microseconds_of_second",
            "nanoseconds_of_microsecond",
        )
    ]


class DatetimeMetaData(Structure):
    _fields_ = [("base", c_int), ("num", c_int)]


# Slot order and signatures of the table (tavrel/datetime_api.h).  Texts come
# back as c_void_p so that the test can free them with PyObject_Free.
SLOTS = [
    ("npy_datetimestruct_to_datetime", c_int64, [c_int, POINTER(DatetimeStruct)]),
    ("scaleNanosecToUnit", c_int, [POINTER(c_int64), c_int]),
    ("int64_to_iso_string", c_void_p, [c_int64, c_int, c_int, POINTER(c_size_t)]),
    ("pydatetime_to_iso_string", c_void_p, [py_object, c_int, POINTER(c_size_t)]),
    ("pydatetime_to_epoch", c_int64, [py_object, c_int]),
    ("int64_to_iso_duration_string", c_void_p, [c_int64, POINTER(c_size_t)]),
    ("datetime_to_datetimestruct", None, [c_int64, c_int, POINTER(DatetimeStruct)]),
    ("timedelta_to_durationstruct", None, [c_int64, c_int, POINTER(DurationStruct)]),
    ("pydatetime_to_datetimestruct", c_int, [py_object, POINTER(DatetimeStruct)]),
    ("cmp_datetimestruct", c_int, [POINTER(DatetimeStruct), POINTER(DatetimeStruct)]),
    ("datetime_metadata_from_dtype", DatetimeMetaData, [py_object]),
    (
        "parse_iso8601",
        c_int,
        [c_char_p, c_int, c_int, POINTER(DatetimeStruct), POINTER(c_int), POINTER(c_int), POINTER(c_int), c_char_p, c_int, c_int],
    ),
    ("iso8601_length", c_int, [c_int, c_int]),
    ("format_iso8601", c_int, [POINTER(DatetimeStruct), c_char_p, c_int, c_int, c_int]),
    ("format_iso8601_duration", c_int, [POINTER(DurationStruct), c_char_p, POINTER(c_size_t)]),
]

capsule_import = ctypes.pythonapi.PyCapsule_Import
capsule_import.restype = c_void_p
capsule_import.argtypes = [c_char_p, c_int]
capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
capsule_pointer.restype = c_void_p
capsule_pointer.argtypes = [py_object, c_char_p]
capsule_name = ctypes.pythonapi.PyCapsule_GetName
capsule_name.restype = c_char_p
capsule_name.argtypes = [py_object]
object_free = ctypes.pythonapi.PyObject_Free
object_free.restype = None
object_free.argtypes = [c_void_p]


def table_address():
    importlib.import_module("tavrel._libs.tavrel_datetime")
    return capsule_import(CAPSULE_NAME, 0)


class DatetimeApi:
    """The table as a client sees it: slot functions by name, plus helpers
    that take over the texts the table hands back."""

    def __init__(self, address):
        self.address = address
        pointers = (c_void_p * len(SLOTS)).from_address(address)
        for (name, restype, argtypes), pointer in zip(SLOTS, pointers):
            assert pointer, name
            setattr(self, name, PYFUNCTYPE(restype, *argtypes)(pointer))

    @staticmethod
    def take_text(pointer, length):
        assert pointer
        try:
            return ctypes.string_at(pointer, length.value).decode()
        finally:
            object_free(pointer)

    def iso_of_object(self, obj, unit):
        length = c_size_t(12345)
        return self.take_text(self.pydatetime_to_iso_string(obj, unit, byref(length)), length)

    def record_of_object(self, obj):
        out = DatetimeStruct()
        assert self.pydatetime_to_datetimestruct(obj, byref(out)) == 0
        return out.fields()
