"""A short demonstration: imports every native module of tavrel and exercises it."""

import ctypes
import importlib
import struct

import numpy as np


def section(title):
    print(f"\n--- {title}")


def demo_orderflip():
    from tavrel._libs import orderflip

    section("orderflip: scalar reads from bytes")
    data = struct.pack("<IdH", 67305985, 1.5, 513) + b"\x00"
    print("uint32 LE:", orderflip.read_uint32_with_orderflip(data, 0, False))
    print("uint32 flipped:", orderflip.read_uint32_with_orderflip(data, 0, True))
    print("double LE:", orderflip.read_double_with_orderflip(data, 4, False))
    print("uint16 LE:", orderflip.read_uint16_with_orderflip(data, 12, False))


def demo_ufunc_bridge():
    from tavrel._libs.ufunc_bridge import maybe_dispatch_ufunc_to_dunder_op

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


def try_module(name, body):
    try:
        module = importlib.import_module(name)
    except ImportError as exc:
        section(f"{name}: not available ({exc})")
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


def demo_capsule(module_name, attribute):
    try:
        importlib.import_module(module_name)
    except ImportError as exc:
        section(f"{module_name}: not available ({exc})")
        return
    import tavrel

    capsule = getattr(tavrel, attribute)
    pointer = capsule_pointer(capsule, "tavrel." + attribute)
    section(f"{module_name}: function table published")
    print(f"tavrel.{attribute} -> table at {pointer:#x}")


def main():
    import tavrel

    print("tavrel", tavrel.__version__, "headers in", tavrel.get_include())
    demo_orderflip()
    demo_ufunc_bridge()
    try_module("tavrel._libs.tslibs.almanac", demo_almanac)
    try_module("tavrel._libs.properties", demo_properties)
    try_module("tavrel._libs.indexing", demo_indexing)
    demo_capsule("tavrel._libs.tavrel_parser", "_tavrel_parser_CAPI")
    demo_capsule("tavrel._libs.tavrel_datetime", "_tavrel_datetime_CAPI")


if __name__ == "__main__":
    main()
