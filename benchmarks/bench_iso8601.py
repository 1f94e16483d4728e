"""ISO 8601 parsing and formatting: the native core against Python's and
NumPy's, on the same 1 million texts of mixed forms, in one run.

    python benchmarks/bench_iso8601.py [COUNT]

Builds benchmarks/bench_iso8601.cpp with the core through meson
(benchmarks/native.py), times it, times datetime.fromisoformat, numpy.array(texts, dtype="M8[ns]") and
datetime.isoformat on the same data, and prints per-item times and ratios.
All times are CPU time of the process (best of three), on both sides."""

import os
import random
import subprocess
import sys
import tempfile
import time
import warnings
from datetime import datetime, timedelta, timezone

import numpy as np

import native


def make_texts(count):
    rng = random.Random(1)
    texts = []
    for _ in range(count):
        dt = datetime(2000, 1, 1) + timedelta(seconds=rng.randint(0, 40 * 365 * 86400), microseconds=rng.randint(0, 999999))
        form = rng.randrange(6)
        if form == 0:
            text = dt.strftime("%Y-%m-%d")
        elif form == 1:
            text = dt.strftime("%Y-%m-%dT%H:%M")
        elif form == 2:
            text = dt.strftime("%Y-%m-%d %H:%M:%S")
        elif form == 3:
            text = dt.strftime("%Y-%m-%dT%H:%M:%S.") + f"{dt.microsecond // 1000:03d}"
        elif form == 4:
            text = dt.isoformat(timespec="microseconds")
        else:
            minutes = rng.randint(-12 * 60, 12 * 60)
            text = dt.replace(tzinfo=timezone(timedelta(minutes=minutes))).isoformat(timespec="seconds")
        texts.append(text)
    return texts


def best_of(fn, rounds=3):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    texts = make_texts(count)
    exe = native.build("bench_iso8601")
    with tempfile.TemporaryDirectory() as tmp:
        data = os.path.join(tmp, "texts.bin")
        with open(data, "wb") as f:
            f.write("\0".join(texts).encode())
        out = subprocess.run([exe, data], check=True, capture_output=True, text=True).stdout.split()
    native_parse, native_format = float(out[0]), float(out[1])

    per = 1e9 / count
    fromiso = best_of(lambda: [datetime.fromisoformat(t) for t in texts]) * per
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # NumPy warns about zone offsets once per call
        numpy_parse = best_of(lambda: np.array(texts, dtype="M8[ns]")) * per
    objects = [datetime.fromisoformat(t).replace(tzinfo=None) for t in texts]
    isoformat = best_of(lambda: [d.isoformat() for d in objects]) * per

    print(f"{count} texts of mixed forms (dates, minutes, seconds, fractions, offsets)")
    print(f"parse   native {native_parse:8.1f} ns/item")
    print(f"        datetime.fromisoformat {fromiso:8.1f} ns/item   ratio {fromiso / native_parse:6.1f}x")
    print(f"        numpy M8[ns] array     {numpy_parse:8.1f} ns/item   ratio {numpy_parse / native_parse:6.1f}x")
    print(f"format  native (ns unit) {native_format:8.1f} ns/item")
    print(f"        datetime.isoformat     {isoformat:8.1f} ns/item   ratio {isoformat / native_format:6.1f}x")


if __name__ == "__main__":
    main()
