"""Python-level calendar calls against the standard library on the same dates.

    python benchmarks/almanac/bench_python.py [--n 1000000]

Prints CPU seconds per run and the ratio peer / almanac (above 1: almanac faster),
and for scale the floor of a native call that returns a new tuple of ints
(divmod(y, m)): get_iso_calendar cannot be much cheaper than that.
"""

import argparse
import calendar
import datetime
import random
import time

from tavrel._libs.tslibs import almanac


def best_of(repeat, fn):
    best = float("inf")
    for _ in range(repeat):
        # CPU time of this thread: less disturbed by other work on the machine
        start = time.thread_time()
        fn()
        best = min(best, time.thread_time() - start)
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    rng = random.Random(7)
    dates = []
    for _ in range(args.n):
        y, m = rng.randint(1, 9999), rng.randint(1, 12)
        dates.append((y, m, rng.randint(1, calendar.monthrange(y, m)[1])))

    date, get_iso, get_dim, monthrange = datetime.date, almanac.get_iso_calendar, almanac.get_days_in_month, calendar.monthrange

    def ours_iso():
        for y, m, d in dates:
            get_iso(y, m, d)

    def peer_iso():
        for y, m, d in dates:
            date(y, m, d).isocalendar()

    def ours_dim():
        for y, m, _ in dates:
            get_dim(y, m)

    def peer_dim():
        for y, m, _ in dates:
            monthrange(y, m)

    def floor_tuple():
        for y, m, _ in dates:
            divmod(y, m)

    def empty_loop():
        for y, m, d in dates:
            pass

    baseline = best_of(args.repeat, empty_loop)
    print(f"{args.n} dates, best of {args.repeat}; loop alone {baseline:.3f} s; "
          f"floor divmod(y, m) {best_of(args.repeat, floor_tuple):.3f} s")
    for label, ours, peer, peer_name in [
        ("get_iso_calendar", ours_iso, peer_iso, "date(y, m, d).isocalendar()"),
        ("get_days_in_month", ours_dim, peer_dim, "calendar.monthrange(y, m)"),
    ]:
        t_ours, t_peer = best_of(args.repeat, ours), best_of(args.repeat, peer)
        print(f"{label:18s} {t_ours:.3f} s   {peer_name:28s} {t_peer:.3f} s   ratio {t_peer / t_ours:.2f}x"
              f"   (net of loop: {(t_peer - baseline) / (t_ours - baseline):.2f}x)")


if __name__ == "__main__":
    main()
