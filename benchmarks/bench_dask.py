"""tavrel.dask.read_columns on a distributed.LocalCluster of one and of two
worker processes, against tavrel.read_columns on one core.

Run by hand (never part of the test suite):

    python benchmarks/bench_dask.py                 # a 300 MB file, best of 3
    python benchmarks/bench_dask.py --mb 50 --runs 1
    python benchmarks/bench_dask.py --plain          # no quoted field, read with quote=None

The file (generated into a temporary directory, or --data-dir where a file of
the right size is reused) mixes integers, floats with missing values, ISO
date-times, quoted text and bools.  For each cluster size the times are:

    survey    tavrel.dask.read_columns(): the graph, with the first pass over
              every range that decides the column types
    on the cluster   every column and mask computed on the workers, reduced
              there (a count per column), so nothing large travels
    to the client    .compute(): the whole table brought back as a Columns

Each worker runs one thread with threads=1 reads; the single-machine read is
tavrel.read_columns(path, threads=1).  Needs dask and distributed (the
"dask" extra).
"""

import argparse
import logging
import os
import random
import tempfile
import time

import tavrel


def make_file(path, megabytes, plain):
    rnd = random.Random(11)
    target = megabytes * 10**6
    with open(path, "w", newline="") as f:
        f.write("id,price,stamp,label,ok,qty\n")
        written, i = 0, 0
        while written < target:
            rows = []
            for _ in range(10000):
                price = "" if rnd.random() < 0.05 else f"{rnd.uniform(0, 5000):.4f}"
                stamp = f"2023-{rnd.randint(1, 12):02d}-{rnd.randint(1, 28):02d}T{rnd.randint(0, 23):02d}:" \
                        f"{rnd.randint(0, 59):02d}:{rnd.randint(0, 59):02d}.{rnd.randint(0, 999):03d}"
                label = f"sku{i % 5003}" if plain or i % 4 else f'"item {i % 997}, lot {i % 13}"'
                rows.append(f"{i},{price},{stamp},{label},{'true' if rnd.random() < 0.5 else 'false'},"
                            f"{rnd.randint(-50, 50)}\n")
                i += 1
            chunk = "".join(rows)
            f.write(chunk)
            written += len(chunk)


def best(runs, fn):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mb", type=int, default=300, help="size of the generated file (MB)")
    parser.add_argument("--runs", type=int, default=3, help="best of this many runs")
    parser.add_argument("--blocksize", default="16MiB", help="blocksize of the Dask read")
    parser.add_argument("--data-dir", help="keep the generated file here between runs")
    parser.add_argument("--plain", action="store_true",
                        help="no quoted field in the file, read with quote=None (a range finds its first row "
                             "without reading the file before it)")
    args = parser.parse_args()

    import dask
    import dask.array as da
    import distributed

    import tavrel.dask as tdask

    directory = args.data_dir or tempfile.mkdtemp(prefix="tavrel-dask-")
    path = os.path.join(directory, f"{'plain' if args.plain else 'mixed'}-{args.mb}mb.csv")
    if not os.path.exists(path):
        make_file(path, args.mb, args.plain)
    size = os.path.getsize(path) / 1e6
    options = {"threads": 1, "quote": None} if args.plain else {"threads": 1}

    one = best(args.runs, lambda: tavrel.read_columns(path, **options))
    print(f"file: {size:.0f} MB, blocksize {args.blocksize}")
    print(f"{'':24}{'survey':>10}{'on the cluster':>16}{'to the client':>15}{'total':>9}")
    print(f"{'tavrel.read_columns':24}{'':>10}{'':>16}{one:15.2f}{one:9.2f}")
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \
                distributed.Client(cluster):
            lazy = None

            def survey():
                nonlocal lazy
                lazy = tdask.read_columns(path, blocksize=args.blocksize, **options)

            built = best(args.runs, survey)
            counts = [da.count_nonzero(~m) for m in lazy.missing.values()]
            on_cluster = best(args.runs, lambda: dask.compute(*counts))
            to_client = best(args.runs, lazy.compute)
        label = f"dask, {workers} worker{'s' * (workers > 1)}"
        print(f"{label:24}{built:10.2f}{on_cluster:16.2f}{to_client:15.2f}{built + to_client:9.2f}")


if __name__ == "__main__":
    main()
