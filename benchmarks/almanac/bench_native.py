"""Native calendar functions through almanac's export table.

    python benchmarks/almanac/bench_native.py [--n 100000000]

Builds native_loop.cpp through meson (benchmarks/native.py), fetches the pointers of get_iso_calendar
and dayofweek from their capsules, and times n calls of each; the peer is an
inlined weekday from a 400-year-era day count.  Prints ns per call.
"""

import argparse
import ctypes
import os
import sys

from tavrel._libs.tslibs import almanac

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import native  # noqa: E402


def capsule_pointer(name, signature):
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    return get(almanac.__pyx_capi__[name], signature.encode())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=100_000_000)
    args = parser.parse_args()

    lib = ctypes.CDLL(native.build("almanac_native_loop"))
    i64p = ctypes.POINTER(ctypes.c_int64)
    for fn in (lib.time_iso, lib.time_dayofweek):
        fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_void_p, ctypes.c_int64, i64p]
    for fn in (lib.time_peer_weekday, lib.time_loop_alone):
        fn.restype, fn.argtypes = ctypes.c_double, [ctypes.c_int64, i64p]

    iso = capsule_pointer(
        "get_iso_calendar",
        "__pyx_t_6tavrel_5_libs_6tslibs_7almanac_iso_calendar_t (int, int, int, int __pyx_skip_dispatch)")
    dow = capsule_pointer("dayofweek", "int (int, int, int)")
    n, check = args.n, ctypes.c_int64()
    t_loop = lib.time_loop_alone(n, ctypes.byref(check))
    t_iso = lib.time_iso(iso, n, ctypes.byref(check))
    t_dow = lib.time_dayofweek(dow, n, ctypes.byref(check))
    t_peer = lib.time_peer_weekday(n, ctypes.byref(check))
    ns = 1e9 / n
    print(f"{n} dates; date-walk loop alone {t_loop * ns:.2f} ns")
    print(f"get_iso_calendar (exported)   {t_iso * ns:.2f} ns/call")
    print(f"dayofweek (exported)          {t_dow * ns:.2f} ns/call")
    print(f"peer weekday (inlined)        {t_peer * ns:.2f} ns/call   ratio peer/dayofweek {t_peer / t_dow:.2f}x")


if __name__ == "__main__":
    main()
