"""Byte-order readers against struct.unpack_from, and against the floor of a
three-argument native call: dict.get(d, 1, None) on an empty dict, a vectorcall
that does next to nothing and returns an existing object.

Run by hand:  python benchmarks/bench_orderflip.py
"""

import struct
import timeit

from tavrel._libs import orderflip

DATA = bytes(range(64))
OFFSET = 13
N = 2_000_000

CASES = [
    ("read_uint16_with_orderflip", "<H", ">H"),
    ("read_uint32_with_orderflip", "<I", ">I"),
    ("read_uint64_with_orderflip", "<Q", ">Q"),
    ("read_float_with_orderflip", "<f", ">f"),
    ("read_double_with_orderflip", "<d", ">d"),
]


def per_call(stmt, env):
    best = min(timeit.repeat(stmt, globals=env, number=N, repeat=5))
    return best / N * 1e9


def main():
    floor = per_call("g(d, 1, None)", {"g": dict.get, "d": {}})
    print(f"floor: dict.get(d, 1, None)  {floor:6.1f} ns/call")
    print(f"{'reader':30s} {'ns/call':>8s} {'struct':>8s} {'vs struct':>9s} {'vs floor':>9s}")
    for name, little, big in CASES:
        for flip, fmt in ((False, little), (True, big)):
            ours = per_call("f(d, o, flip)", {"f": getattr(orderflip, name), "d": DATA, "o": OFFSET, "flip": flip})
            theirs = per_call("u(fmt, d, o)[0]", {"u": struct.unpack_from, "fmt": fmt, "d": DATA, "o": OFFSET})
            label = f"{name}{' (flip)' if flip else ''}"
            print(f"{label:30s} {ours:8.1f} {theirs:8.1f} {theirs / ours:8.2f}x {ours / floor:8.2f}x")


if __name__ == "__main__":
    main()
