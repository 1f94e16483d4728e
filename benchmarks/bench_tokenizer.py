"""Tokenizer throughput, by hand:  python benchmarks/bench_tokenizer.py [--mb 100]

Tokenizes three generated files (numeric: 10 float columns; text: quoted
fields with embedded separators and doubled quotes; wide: 200 short columns)
from memory through the source reader with 256 KiB reads, and prints MB/s
with ratios against one pass over the same bytes (bytes.count) and against
Python's csv module.  Then shows that adversarial inputs cost time in
proportion to their size (ratio of the times at 2N and N, ideally 2).
Times are the process's CPU time (time.process_time), for the tokenizer and
its peers alike, so that a machine shared with other work still gives fair
ratios.  Run it with tavrel installed (not from the source tree's tavrel/).
"""

import argparse
import csv
import io
import os
import random
import sys
import time

# The test suite's ctypes client of the parser table.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))
from support import parser_client as tc  # noqa: E402

API, Dialect, Parser = tc.API, tc.Dialect, tc.Parser

CHUNK = 256 * 1024


def gen_numeric(size):
    rnd = random.Random(1)
    line_vals = [",".join("%.6f" % (rnd.uniform(-1e4, 1e4)) for _ in range(10)) for _ in range(997)]
    block = ("\n".join(line_vals) + "\n").encode()
    return block * (size // len(block) + 1)


def gen_text(size):
    rnd = random.Random(2)
    words = ["alpha", "beta, gamma", 'say ""hi""', "x", "delta epsilon", "a,b,c", "q"]
    lines = []
    for _ in range(997):
        lines.append(",".join('"%s"' % rnd.choice(words) for _ in range(6)))
    block = ("\n".join(lines) + "\n").encode()
    return block * (size // len(block) + 1)


def gen_wide(size):
    rnd = random.Random(3)
    lines = [",".join(str(rnd.randrange(100)) for _ in range(200)) for _ in range(97)]
    block = ("\n".join(lines) + "\n").encode()
    return block * (size // len(block) + 1)


def tokenize(data, dialect=Dialect(), chunk=CHUNK):
    with Parser(dialect, io.BytesIO(data), chunk_bytes=chunk) as ps:
        t0 = time.process_time()
        r = API.tokenize_to_end_nogil(ps.p, None)
        t = time.process_time() - t0
        assert r == 0, (r, tc._text(ps.rec.error_text))
        return t, ps.rec.row_count


def tokenize_batches(data, dialect=Dialect(), rows=2000, chunk=CHUNK):
    """As a client reads: batches of rows, each discarded after use."""
    with Parser(dialect, io.BytesIO(data), chunk_bytes=chunk) as ps:
        t0 = time.process_time()
        while ps.rec.tok_state != 17:
            r = API.tokenize_row_count_nogil(ps.p, rows, None)
            assert r == 0, (r, tc._text(ps.rec.error_text))
            API.parser_discard_rows(ps.p, ps.rec.row_count)
        return time.process_time() - t0


def best(fn, repeat=2):
    return min(fn() for _ in range(repeat))


def time_count(data):
    t0 = time.process_time()
    data.count(b"\n")
    return time.process_time() - t0


def time_csv(data):
    t0 = time.process_time()
    n = 0
    for _ in csv.reader(io.TextIOWrapper(io.BytesIO(data), encoding="utf-8", newline="")):
        n += 1
    return time.process_time() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mb", type=float, default=100)
    ap.add_argument("--adversarial-mb", type=float, default=16)
    args = ap.parse_args()
    size = int(args.mb * 1e6)
    print("tokenize_to_end, %d KiB reads, from memory" % (CHUNK // 1024))
    print("(to end: every row kept in the tables; batches: 2000 rows at a time, discarded)")
    print("%-8s %6s %10s %10s %10s %10s %10s %10s %10s" % (
        "file", "MB", "end MB/s", "batch MB/s", "count MB/s", "csv MB/s", "end/count",
        "end/csv", "batch/csv"))
    dq = Dialect(quote_doubling=True)
    for name, gen, d in [("numeric", gen_numeric, Dialect()), ("text", gen_text, dq),
                         ("wide", gen_wide, Dialect())]:
        data = gen(size)[:size]
        data = data[:data.rfind(b"\n") + 1]
        mb = len(data) / 1e6
        t_tok = best(lambda: tokenize(data, d)[0])
        t_bat = best(lambda: tokenize_batches(data, d))
        t_cnt = best(lambda: time_count(data))
        t_csv = time_csv(data)
        print("%-8s %6.1f %10.0f %10.0f %10.0f %10.1f %10.2f %10.1f %10.1f" % (
            name, mb, mb / t_tok, mb / t_bat, mb / t_cnt, mb / t_csv, t_cnt / t_tok,
            t_csv / t_tok, t_csv / t_bat))
        del data

    n = int(args.adversarial_mb * 1e6)
    print("\nadversarial inputs: time at 2N / time at N (linear = 2.0), N = %.0f MB" % (n / 1e6))

    def huge_quoted(k):
        # Four times larger: a single field runs at memory speed, and below
        # some tens of MB the allocator's reuse of the last run's pages
        # hides the page-fault cost that the larger size pays.
        k *= 4
        return b'"' + b"x," * (k // 2) + b'"\n', dq

    def empty_fields(k):
        return b"," * k + b"\n", Dialect()

    def bad_rows(k):
        return b"a\n" + b"b,c\n" * (k // 4), Dialect(bad_row_mode=1)

    def skipped_rows(k):
        return b"s,t\n" * (k // 4) + b"a\n", Dialect(skip_leading=k // 4)

    for name, make in [("one huge quoted field", huge_quoted), ("empty fields", empty_fields),
                       ("bad rows, warn", bad_rows), ("skipped rows", skipped_rows)]:
        times = []
        for k in (n, 2 * n):
            data, d = make(k)
            times.append(best(lambda: tokenize(data, d)[0], repeat=3))
        print("%-24s %6.3f s  %6.3f s  ratio %.2f" % (name, times[0], times[1], times[1] / times[0]))


if __name__ == "__main__":
    sys.exit(main())
