"""Tokenize-and-convert against numpy.loadtxt, by hand:

    python benchmarks/bench_converters_loadtxt.py [--mb 20]

Generates a numeric file (10 float columns, "%.6f", comma-separated), then
reads it (from memory, through a file object) twice:
  * tavrel: a small native client (bench_converters_loadtxt_client.cpp,
    built through meson against the public headers) drives the parser table:
    tokenize batches of rows, convert every field with parse_double_precise
    (and, for comparison, parse_double_fast, and no conversion at all to
    show the tokenizer's share), discard the rows;
  * numpy.loadtxt(delimiter=",") on the same bytes.
Prints the CPU time of each and the ratio numpy / tavrel.  Run it with tavrel
installed (not from the source tree's tavrel/).
"""

import argparse
import ctypes
import io
import random
import time

import native
import numpy as np


def gen_numeric(size):
    rnd = random.Random(1)
    lines = [",".join("%.6f" % rnd.uniform(-1e4, 1e4) for _ in range(10)) for _ in range(997)]
    block = ("\n".join(lines) + "\n").encode()
    return block * (size // len(block) + 1)


def build_client():
    target = native.build("converters_loadtxt_client")
    lib = ctypes.PyDLL(target)  # keeps the interpreter lock during the call
    fn = lib.tv_bench_read_doubles
    fn.restype = ctypes.c_ssize_t
    fn.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.c_int]
    return fn


def best_cpu_time(fn, repeat):
    best = float("inf")
    result = None
    for _ in range(repeat):
        t0 = time.process_time()
        result = fn()
        best = min(best, time.process_time() - t0)
    return best, result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=float, default=20)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    data = gen_numeric(int(args.mb * 1e6))
    rows = data.count(b"\n")
    read_doubles = build_client()
    out = np.empty(rows * 10)

    def tavrel_read(mode):
        n = read_doubles(io.BytesIO(data), out.ctypes.data, out.size, mode)
        assert n == out.size, n

    tokenize_s, _ = best_cpu_time(lambda: tavrel_read(2), args.repeat)
    fast_s, _ = best_cpu_time(lambda: tavrel_read(1), args.repeat)
    precise_s, _ = best_cpu_time(lambda: tavrel_read(0), args.repeat)
    ours = out
    numpy_s, theirs = best_cpu_time(
        lambda: np.loadtxt(io.BytesIO(data), delimiter=","), max(1, args.repeat - 1))

    theirs = theirs.ravel()
    exact = np.count_nonzero(ours == theirs)
    worst = np.max(np.abs(ours - theirs) / np.maximum(np.abs(theirs), 1e-300))
    print(f"{len(data) / 1e6:.1f} MB, {rows} rows x 10 columns")
    print(f"tavrel tokenize only (no conversion)    {tokenize_s:7.3f} s CPU")
    print(f"tavrel tokenize + parse_double_precise  {precise_s:7.3f} s CPU")
    print(f"tavrel tokenize + parse_double_fast     {fast_s:7.3f} s CPU")
    print(f"numpy.loadtxt                           {numpy_s:7.3f} s CPU")
    print(f"ratio numpy.loadtxt / tavrel precise: {numpy_s / precise_s:.2f}x;"
          f" fast: {numpy_s / fast_s:.2f}x")
    print(f"values equal to loadtxt's: {exact / ours.size:.4%}; largest relative"
          f" difference {worst:.2e}")


if __name__ == "__main__":
    main()
