"""A short demonstration: imports every native module of tavrel and exercises it
with single calls (``python3 -m tavrel`` shows the column reader on a whole file).

Exits with status 1 when a module is missing, after trying all of them.
"""

import ctypes
import importlib
import struct
import sys

import numpy as np


def section(title):
    print(f"\n--- {title}")


def demo_orderflip(orderflip):
    section("orderflip: scalar reads from bytes")
    data = struct.pack("<IdH", 67305985, 1.5, 513) + b"\x00"
    print("uint32 LE:", orderflip.read_uint32_with_orderflip(data, 0, False))
    print("uint32 flipped:", orderflip.read_uint32_with_orderflip(data, 0, True))
    print("double LE:", orderflip.read_double_with_orderflip(data, 4, False))
    print("uint16 LE:", orderflip.read_uint16_with_orderflip(data, 12, False))


def demo_ufunc_bridge(ufunc_bridge):
    maybe_dispatch_ufunc_to_dunder_op = ufunc_bridge.maybe_dispatch_ufunc_to_dunder_op
    section("ufunc_bridge: NumPy ufuncs to operator methods")

    class Money:
        def __init__(self, cents):
            self.cents = cents

        def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
            return maybe_dispatch_ufunc_to_dunder_op(self, ufunc, method, *inputs, **kwargs)

        def __add__(self, other):
            return Money(self.cents + other)

        def __rsub__(self, other):
            return Money(other - self.cents)

        def __gt__(self, other):
            return self.cents > other

        def __repr__(self):
            return f"Money({self.cents})"

    m = Money(250)
    print("np.add(m, 50) ->", np.add(m, 50))
    print("np.subtract(1000, m) ->", np.subtract(1000, m))
    print("np.less(100, m) ->", np.less(100, m))


MISSING = []


def try_module(name, body):
    """Import a module and run its demonstration; a missing module is noted."""
    try:
        module = importlib.import_module(name)
    except ImportError as exc:
        section(f"{name}: not available ({exc})")
        MISSING.append(name)
        return
    body(module)


def demo_almanac(almanac):
    section("almanac: calendar arithmetic")
    print("ISO calendar of 2024-12-30:", almanac.get_iso_calendar(2024, 12, 30))
    print("days in February 2024:", almanac.get_days_in_month(2024, 2))
    print("day of year of 2023-03-01:", almanac.get_day_of_year(2023, 3, 1))
    print("exported native functions:", ", ".join(almanac.__pyx_capi__))


def demo_properties(properties):
    section("properties: cached and axis properties")

    class Frame:
        calls = 0

        @properties.cache_readonly
        def total(self):
            Frame.calls += 1
            return 42

    f = Frame()
    print("cached value:", f.total, f.total, "computed", Frame.calls, "time(s)")


def demo_indexing(indexing):
    section("indexing: indexer base class")

    class Obj:
        ndim = 2

    idx = indexing.NDFrameIndexerBase("loc", Obj())
    print("indexer", idx.name, "ndim", idx.ndim)


def capsule_pointer(capsule, name):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(capsule, name.encode())


def table(module_name, attribute):
    """The function table a module publishes on the package, as a client sees it."""
    importlib.import_module(module_name)
    import tavrel

    return capsule_pointer(getattr(tavrel, attribute), "tavrel." + attribute)


def demo_parser(_module):
    """Converts field texts through the parser table, as a native client would."""
    section("tavrel_parser: converters through the capsule")
    from ctypes import CFUNCTYPE, POINTER, byref, c_char, c_char_p, c_double, c_int, c_int64, c_uint8, c_void_p

    slots = (c_void_p * 25).from_address(table("tavrel._libs.tavrel_parser", "_tavrel_parser_CAPI"))
    parse_int64 = CFUNCTYPE(c_int64, c_char_p, c_int64, c_int64, POINTER(c_int), c_char)(slots[19])
    parse_double = CFUNCTYPE(c_double, c_char_p, POINTER(c_void_p), c_char, c_char, c_char, c_int, POINTER(c_int),
                             POINTER(c_int))(slots[22])
    parse_bool = CFUNCTYPE(c_int, c_char_p, POINTER(c_uint8))(slots[24])

    error, maybe_int = c_int(), c_int()
    for text in (b"-9223372036854775808", b"1,204", b"12x"):
        value = parse_int64(text, -(1 << 63), (1 << 63) - 1, byref(error), b",")
        print(f"parse_int64({text!r}, group mark ',') = {value} (error {error.value})")
    for text, mark in ((b"-3.5", b"."), (b"6.02e23", b"."), (b"31,25", b",")):
        error.value = 0   # the float parsers only ever set it
        value = parse_double(text, None, mark, b"e", b"\0", 1, byref(error), byref(maybe_int))
        print(f"parse_double_precise({text!r}, decimal mark {mark.decode()!r}) = {value!r} (error {error.value})")
    flag = c_uint8()
    for text in (b"True", b"FALSE", b"yes"):
        print(f"parse_bool({text!r}) -> status {parse_bool(text, byref(flag))}, value {flag.value}")


def demo_datetime(_module):
    """Parses and formats ISO 8601 text through the date-time table."""
    section("tavrel_datetime: ISO 8601 through the capsule")
    from ctypes import POINTER, PYFUNCTYPE, Structure, byref, c_char_p, c_int, c_int32, c_int64

    class DatetimeStruct(Structure):
        _fields_ = [("year", c_int64)] + [(n, c_int32) for n in ("month", "day", "hour", "min", "sec", "us", "ps", "as_")]

    slots = (ctypes.c_void_p * 15).from_address(table("tavrel._libs.tavrel_datetime", "_tavrel_datetime_CAPI"))
    to_count = PYFUNCTYPE(c_int64, c_int, POINTER(DatetimeStruct))(slots[0])
    parse = PYFUNCTYPE(c_int, c_char_p, c_int, c_int, POINTER(DatetimeStruct), POINTER(c_int), POINTER(c_int),
                       POINTER(c_int), c_char_p, c_int, c_int)(slots[11])
    fmt = PYFUNCTYPE(c_int, POINTER(DatetimeStruct), c_char_p, c_int, c_int, c_int)(slots[13])

    text = b"2024-02-29T23:59:58.123456789+05:30"
    rec, best, has_zone, offset = DatetimeStruct(), c_int(), c_int(), c_int()
    infer_format = 2
    status = parse(text, len(text), 1, byref(rec), byref(best), byref(has_zone), byref(offset), b"", 0, infer_format)
    print("parsed", text.decode(), "status", status, "-> best unit", best.value, "(ns is 10), zone",
          bool(has_zone.value), "offset", offset.value, "minutes")
    ns = 10
    # The record holds the clock reading; the zone offset comes back separately.
    print("nanosecond count of the clock reading:", to_count(ns, byref(rec)))
    print("NumPy's count of the same reading:   ", np.datetime64("2024-02-29T23:59:58.123456789", "ns").astype("int64"))
    buf = ctypes.create_string_buffer(64)
    fmt(byref(rec), buf, len(buf), 0, ns)
    print("formatted back at ns:", buf.value.decode())


def demo_column_reader(_module):
    section("column reader: tavrel.read_columns")
    import tavrel

    cols = tavrel.read_columns(b'city,day,temp\n"Rio, RJ",2024-02-29,31.25\nOslo,2024-03-01,\n')
    print(cols)
    print("types:", dict(cols.dtypes), "missing temp:", cols.missing["temp"])


def main():
    import tavrel

    print("tavrel", tavrel.__version__, "headers in", tavrel.get_include())
    for name, body in (("tavrel._libs.orderflip", demo_orderflip),
                       ("tavrel._libs.ufunc_bridge", demo_ufunc_bridge),
                       ("tavrel._libs.tslibs.almanac", demo_almanac),
                       ("tavrel._libs.properties", demo_properties),
                       ("tavrel._libs.indexing", demo_indexing),
                       ("tavrel._libs.tavrel_parser", demo_parser),
                       ("tavrel._libs.tavrel_datetime", demo_datetime),
                       ("tavrel._libs.column_reader", demo_column_reader)):
        try_module(name, body)
    if MISSING:
        print(f"\nmissing: {', '.join(MISSING)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
