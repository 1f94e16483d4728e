"""Column reader against its peers: seconds, MB/s and peak memory on generated files.

Run by hand (never part of the test suite):

    python benchmarks/bench_reader.py                  # 100 MB files, best of 3
    python benchmarks/bench_reader.py --mb 10 --runs 1 # a quick look
    python benchmarks/bench_reader.py --data-dir /tmp/bench-data   # keep the files between runs

Five files are generated into a temporary directory (or --data-dir, where files
of the right size are reused): numeric, mixed (with ISO dates and date-times),
text (quoted fields holding separators and quotes), bools with missing values,
and wide (200 columns).  Every tool reads every file in a child process of its
own, one read per child, single-threaded:

    tavrel        tavrel.read_columns(path, threads=1)
    numpy         numpy.loadtxt with a structured dtype of the file's column types
    csv           the csv module, then each column converted to a NumPy array
    pyarrow       pyarrow.csv.read_csv with use_threads=False
    polars        polars.read_csv(try_parse_dates=True) with POLARS_MAX_THREADS=1
    duckdb        read_csv with SET threads=1, fetched as an Arrow table

--threads N (or several: --threads 1 2) runs the tools again with N threads:
tavrel with threads=N, pyarrow with use_threads=True, polars with
POLARS_MAX_THREADS=N, DuckDB with SET threads=N (numpy and csv have no threads
and run only in the single-threaded round).  With more than one N, a last
table gives each threaded tool's scaling from the first N to the others.
One more tool shows how tavrel extends past one tokenizer:

    tavrel-ranges the file split into N byte ranges, each read by
                  read_columns(path, byte_range=..., threads=1) on a Python
                  thread of its own (the reads release the GIL), and the
                  columns concatenated

The time is the best of --runs.  Peak memory is the child's peak resident set
above its resident set after its imports (the kernel's high-water mark is
reset there), and it is also given as a ratio to the size of the tool's
result (NumPy arrays and masks, the Arrow table, the polars frame's estimate).
A tool that is not installed, or that cannot read a file, is reported as such.

Then the date-time micro-benchmark: one million ISO date-times, converted by
tavrel (reading a one-column text on one thread), by pyarrow's string-to-timestamp cast and
by numpy.array(texts, dtype="M8[us]"), in nanoseconds per value.

Peers: pip install pyarrow polars duckdb (the "bench" extra of pyproject.toml).
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

TOOLS = ("tavrel", "numpy", "csv", "pyarrow", "polars", "duckdb", "tavrel-ranges")
MICRO_TOOLS = ("tavrel", "pyarrow", "numpy")
FILES = ("numeric", "mixed", "text", "bools_missing", "wide")
MICRO_VALUES = 1_000_000
# Fields generated at a time.
BLOCK_FIELDS = 240_000


# --- the files ---------------------------------------------------------------------
#
# A schema is a list of (name, kind); kinds are int, float, bool, date, datetime
# and text.  A kind ending in "?" has missing values (empty fields).  Each block
# generator returns the block's columns as lists of field texts, already quoted.

def _floats(rng, n, digits, scale=100.0):
    return np.round(rng.normal(0.0, scale, n), digits).astype(str).tolist()


def _ints(rng, n, low, high):
    return rng.integers(low, high, n).astype(str).tolist()


def _with_missing(rng, texts, share=0.1):
    for i in np.flatnonzero(rng.random(len(texts)) < share).tolist():
        texts[i] = ""
    return texts


def _dates(rng, n, unit):
    days = rng.integers(0, 60 * 365, n)
    if unit == "D":
        return np.datetime_as_string(days.astype("M8[D]"), unit="D").tolist()
    ms = days.astype(np.int64) * 86_400_000 + rng.integers(0, 86_400_000, n)
    return np.datetime_as_string(ms.astype("M8[ms]"), unit="ms").tolist()


_WORDS = np.array("alpha bravo charlie delta echo foxtrot golf hotel india juliett kilo lima mike november "
                  "oscar papa quebec romeo sierra tango uniform victor whiskey xray yankee zulu".split())
_CITIES = np.array(["Oslo", "Bergen", '"Rio de Janeiro, RJ"', '"São Paulo, SP"', "Reykjavík", "Nairobi",
                    '"Hobart, TAS"', "Kraków", '"The ""Old"" Town"', "Ushuaia", "Nuuk", "Lima"])


def _sentences(rng, count):
    """A pool of quoted sentences: separators inside, some doubled quotes."""
    pool = []
    for _ in range(count):
        words = rng.choice(_WORDS, rng.integers(3, 12)).tolist()
        if rng.random() < 0.2:
            words[len(words) // 2] = '""' + words[len(words) // 2] + '""'
        text = " ".join(words[:3]) + ", " + " ".join(words[3:])
        pool.append('"' + text + '"')
    return np.array(pool)


def _numeric(rng, n, start):
    return [np.arange(start, start + n).astype(str).tolist(), _ints(rng, n, -1_000_000, 1_000_000),
            _ints(rng, n, 0, 10**12), _floats(rng, n, 2), _floats(rng, n, 2), _floats(rng, n, 3),
            _floats(rng, n, 4, 1000.0), _floats(rng, n, 6, 10.0), rng.random(n).astype(str).tolist(),
            np.exp(rng.normal(0.0, 6.0, n)).round(3).astype(str).tolist(), _ints(rng, n, 0, 100),
            _ints(rng, n, 0, 100)]


def _mixed(rng, n, start):
    return [np.arange(start, start + n).astype(str).tolist(), _dates(rng, n, "D"), _dates(rng, n, "ms"),
            rng.choice(_WORDS, n).tolist(), _floats(rng, n, 2, 50.0), _ints(rng, n, 0, 10_000),
            _floats(rng, n, 4, 1.0)]


_SENTENCES = None


def _text(rng, n, start):
    global _SENTENCES
    if _SENTENCES is None:
        _SENTENCES = _sentences(np.random.default_rng(1), 5000)
    first, last = rng.choice(_WORDS, n), rng.choice(_WORDS, n)
    codes = ["K" + format(v, "07x") for v in rng.integers(0, 1 << 28, n).tolist()]
    return [np.arange(start, start + n).astype(str).tolist(),
            [f"{a.title()} {b.title()}" for a, b in zip(first.tolist(), last.tolist())],
            rng.choice(_CITIES, n).tolist(), rng.choice(_SENTENCES, n).tolist(), codes]


def _bools_missing(rng, n, start):
    flags = np.where(rng.random(n) < 0.7, "true", "false")
    return [np.arange(start, start + n).astype(str).tolist(), flags.tolist(),
            _with_missing(rng, np.where(rng.random(n) < 0.5, "true", "false").tolist()),
            _with_missing(rng, _ints(rng, n, -500, 500)), _with_missing(rng, _floats(rng, n, 2)),
            _with_missing(rng, rng.choice(_WORDS, n).tolist()), _with_missing(rng, _dates(rng, n, "D"))]


WIDE_COLUMNS = 200


def _wide(rng, n, start):
    return [_ints(rng, n, 0, 1000) if i % 2 == 0 else _floats(rng, n, 1, 30.0) for i in range(WIDE_COLUMNS)]


SCHEMAS = {
    "numeric": [("id", "int"), ("delta", "int"), ("big", "int"), ("a", "float"), ("b", "float"), ("c", "float"),
                ("d", "float"), ("e", "float"), ("uniform", "float"), ("lognormal", "float"), ("small", "int"),
                ("tiny", "int")],
    "mixed": [("id", "int"), ("day", "date"), ("stamp", "datetime"), ("word", "text"), ("price", "float"),
              ("qty", "int"), ("ratio", "float")],
    "text": [("id", "int"), ("name", "text"), ("city", "text"), ("comment", "text"), ("code", "text")],
    "bools_missing": [("id", "int"), ("flag", "bool"), ("maybe", "bool?"), ("count", "int?"), ("value", "float?"),
                      ("label", "text?"), ("day", "date?")],
    "wide": [(f"c{i}", "int" if i % 2 == 0 else "float") for i in range(WIDE_COLUMNS)],
}
BLOCKS = {"numeric": _numeric, "mixed": _mixed, "text": _text, "bools_missing": _bools_missing, "wide": _wide}


def generate(kind, path, target_bytes):
    """Write about ``target_bytes`` of the file ``kind``; returns its row count."""
    rng = np.random.default_rng(FILES.index(kind))
    block_rows = max(1000, BLOCK_FIELDS // len(SCHEMAS[kind]))
    rows = 0
    written = 0
    with open(path, "w", encoding="utf-8", newline="") as f:
        written += f.write(",".join(name for name, _ in SCHEMAS[kind]) + "\n")
        while written < target_bytes:
            columns = BLOCKS[kind](rng, block_rows, rows)
            lines = [",".join(fields) for fields in zip(*columns)]
            for i in range(0, len(lines), 1000):
                if written >= target_bytes:
                    break
                piece = "\n".join(lines[i:i + 1000]) + "\n"
                written += f.write(piece)
                rows += len(lines[i:i + 1000])
    return rows


def prepare_files(directory, names, target_bytes):
    """Generate the files that are missing; returns {name: (path, rows)}."""
    files = {}
    for name in names:
        path = os.path.join(directory, f"{name}-{target_bytes}.csv")
        meta = path + ".rows"
        if not (os.path.exists(path) and os.path.exists(meta)):
            started = time.perf_counter()
            rows = generate(name, path, target_bytes)
            with open(meta, "w") as f:
                f.write(str(rows))
            print(f"  generated {name}: {os.path.getsize(path) / 1e6:.1f} MB, {rows:,} rows "
                  f"({time.perf_counter() - started:.1f} s)", flush=True)
        with open(meta) as f:
            files[name] = (path, int(f.read()))
    return files


# --- inside a child: one read, timed, with its peak memory ------------------------------

def _status_kb(field):
    with open("/proc/self/status") as f:
        return int(re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M).group(1))


def _reset_peak():
    """Reset the kernel's peak-RSS mark to the current RSS; returns the current RSS in bytes."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass   # kernels without the reset: the mark then includes the imports
    return _status_kb("VmRSS") * 1024


def _array_bytes(a):
    """Bytes held by a NumPy array, counting the strings of text columns."""
    a = np.asarray(a)
    size = a.nbytes
    if a.dtype == object:
        size += sum(map(sys.getsizeof, a.tolist()))
    elif a.dtype.kind == "T":
        # Strings longer than the inline limit live in the array's arena.
        inline = 2 * np.dtype(np.intp).itemsize - 1
        lengths = np.strings.str_len(a)
        size += int(lengths[lengths > inline].sum())
    return size


def _numpy_dtype(kind):
    base = kind.rstrip("?")
    if base == "text":
        return "O"
    return {"int": "i8", "float": "f8", "bool": "?", "date": "M8[D]", "datetime": "M8[ms]"}[base]


def _csv_columns(path, schema):
    import csv

    def convert(kind, texts):
        base, missing = kind.rstrip("?"), np.array([t == "" for t in texts]) if kind.endswith("?") else None
        if base == "int":
            data = np.array([int(t) if t else 0 for t in texts], dtype=np.int64)
        elif base == "float":
            data = np.array([float(t) if t else np.nan for t in texts])
        elif base == "bool":
            data = np.array([t == "true" for t in texts])
        elif base in ("date", "datetime"):
            data = np.array([t or "NaT" for t in texts], dtype="M8[D]" if base == "date" else "M8[ms]")
        else:
            data = np.array(texts, dtype=object)
        return data, missing

    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.reader(f)
        next(reader)
        rows = list(reader)
    columns = {}
    for i, (name, kind) in enumerate(schema):
        columns[name] = convert(kind, [row[i] for row in rows])
    return columns


THREADED = ("tavrel", "pyarrow", "polars", "duckdb", "tavrel-ranges")


def _read_ranges(path, parts):
    """The file read as `parts` byte ranges on as many Python threads; the
    columns concatenated (NumPy promotes where the ranges' types differ)."""
    import threading

    import tavrel

    size = os.path.getsize(path)
    bounds = [size * k // parts for k in range(parts + 1)]
    results = [None] * parts

    def work(i):
        try:
            results[i] = tavrel.read_columns(path, byte_range=(bounds[i], bounds[i + 1]), threads=1)
        except BaseException as exc:  # re-raised below, in the calling thread
            results[i] = exc

    workers = [threading.Thread(target=work, args=(i,)) for i in range(parts)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    for r in results:
        if isinstance(r, BaseException):
            raise r
    data = {n: np.concatenate([r[n] for r in results]) for n in results[0]}
    missing = {n: np.concatenate([r.missing[n] for r in results]) for n in results[0]}
    return tavrel.Columns(data, missing, sum(r.nrows for r in results))


def child_read(tool, path, schema, threads=1):
    """Import the tool, read ``path`` once with ``threads`` threads; returns the
    measurements as a dict."""
    if tool in ("tavrel", "tavrel-ranges"):
        import tavrel

        if not hasattr(tavrel, "read_columns"):
            raise ImportError("tavrel.read_columns is not available in this build")

        def read(p):
            if tool == "tavrel-ranges":
                return _read_ranges(p, threads)
            return tavrel.read_columns(p, threads=threads)

        def size(cols):
            return sum(_array_bytes(cols[n]) + _array_bytes(cols.missing[n]) for n in cols)

        def types(cols):
            return [str(cols[n].dtype) for n in cols]
    elif tool == "numpy":
        dtype = [(name, _numpy_dtype(kind)) for name, kind in schema]
        converters = {i: (lambda s: s == "true") for i, (_, kind) in enumerate(schema) if kind.startswith("bool")}

        def read(p):
            return np.loadtxt(p, delimiter=",", skiprows=1, quotechar='"', dtype=dtype, converters=converters or None,
                              encoding="utf-8")

        def size(a):
            return a.nbytes + sum(_array_bytes(a[name]) - a[name].nbytes for name in a.dtype.names
                                  if a.dtype[name] == object)

        def types(a):
            return [str(a.dtype[i]) for i in range(len(a.dtype))]
    elif tool == "csv":
        def read(p):
            return _csv_columns(p, schema)

        def size(cols):
            return sum(_array_bytes(d) + (0 if m is None else m.nbytes) for d, m in cols.values())

        def types(cols):
            return [str(d.dtype) for d, _ in cols.values()]
    elif tool == "pyarrow":
        import pyarrow.csv as pacsv

        options = pacsv.ReadOptions(use_threads=threads > 1)

        def read(p):
            return pacsv.read_csv(p, read_options=options)

        def size(table):
            return table.nbytes

        def types(table):
            return [str(t) for t in table.schema.types]
    elif tool == "polars":
        import polars as pl

        assert pl.thread_pool_size() == threads, f"POLARS_MAX_THREADS={threads} was not applied"

        def read(p):
            return pl.read_csv(p, try_parse_dates=True)

        def size(df):
            return df.estimated_size()

        def types(df):
            return [str(t) for t in df.dtypes]
    elif tool == "duckdb":
        import duckdb
        import pyarrow  # noqa: F401  (the result is an Arrow table)

        con = duckdb.connect()
        con.execute(f"SET threads={threads}")

        def read(p):
            return con.execute("SELECT * FROM read_csv(?)", [p]).to_arrow_table()

        def size(table):
            return table.nbytes

        def types(table):
            return [str(t) for t in table.schema.types]
    else:
        raise ValueError(f"unknown tool {tool!r}")

    baseline = _reset_peak()
    started = time.perf_counter()
    result = read(path)
    seconds = time.perf_counter() - started
    peak = _status_kb("VmHWM") * 1024 - baseline
    return {"seconds": seconds, "peak": peak, "result": size(result), "types": types(result)}


# --- the date-time micro-benchmark (inside a child) -------------------------------------

def micro_texts(count):
    rng = np.random.default_rng(7)
    us = rng.integers(0, 60 * 365 * 86_400 * 10**6, count, dtype=np.int64)
    return np.datetime_as_string(us.astype("M8[us]"), unit="us").tolist()


def child_micro(tool, count, runs):
    texts = micro_texts(count)
    if tool == "tavrel":
        import tavrel

        if not hasattr(tavrel, "read_columns"):
            raise ImportError("tavrel.read_columns is not available in this build")
        data = ("stamp\n" + "\n".join(texts) + "\n").encode()

        def convert():
            return tavrel.read_columns(data, threads=1)["stamp"]
    elif tool == "pyarrow":
        import pyarrow as pa
        import pyarrow.compute as pc

        strings = pa.array(texts, type=pa.string())

        def convert():
            return pc.cast(strings, pa.timestamp("us"))
    elif tool == "numpy":
        def convert():
            return np.array(texts, dtype="M8[us]")
    else:
        raise ValueError(f"unknown tool {tool!r}")
    expected = np.array(texts[:3], dtype="M8[us]")
    first = convert()
    got = np.asarray(first[:3]) if tool != "pyarrow" else first[:3].to_numpy(zero_copy_only=False)
    if not np.array_equal(got.astype("M8[us]"), expected):
        raise AssertionError(f"wrong values: {got[:3]} != {expected}")
    best = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        convert()
        best = min(best, time.perf_counter() - started)
    return {"seconds": best, "ns_per_value": best / count * 1e9, "type": str(first.type if tool == "pyarrow" else first.dtype)}


def child_main(argv):
    job = json.loads(argv[0])
    try:
        if job["kind"] == "read":
            out = child_read(job["tool"], job["path"], job["schema"], job.get("threads", 1))
        else:
            out = child_micro(job["tool"], job["count"], job["runs"])
    except ImportError as exc:
        out = {"missing": str(exc)}
    except Exception as exc:  # a tool that cannot read a file is reported, not fatal
        out = {"error": f"{type(exc).__name__}: {exc}".splitlines()[0][:160]}
    print(json.dumps(out))


# --- the parent --------------------------------------------------------------------

def run_child(job, timeout):
    env = dict(os.environ)
    if job["tool"] == "polars":
        env["POLARS_MAX_THREADS"] = str(job.get("threads", 1))
    try:
        proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(job)],
                              capture_output=True, text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"took longer than {timeout} s"}
    lines = proc.stdout.strip().splitlines()
    if proc.returncode != 0 or not lines:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"child exited with {proc.returncode}: {tail[:160]}"}
    return json.loads(lines[-1])


def best_of(job, runs, timeout):
    """Best time of ``runs`` children; the largest peak of them."""
    outcomes = [run_child(job, timeout) for _ in range(runs)]
    good = [o for o in outcomes if "seconds" in o]
    if not good:
        return outcomes[0]
    best = min(good, key=lambda o: o["seconds"])
    return dict(best, peak=max(o["peak"] for o in good))


def warm(path):
    """Read the file once so that every tool finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def fmt_row(cells, widths):
    return "  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))


def print_table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    print(f"\n{title}")
    print("  " + fmt_row(header, widths))
    for r in rows:
        print("  " + fmt_row(r, widths))


def fastest_peer(results):
    """(tool, seconds) of the fastest peer that read the file, or None
    (tavrel-ranges is tavrel itself, not a peer)."""
    peers = [(r["seconds"], tool) for tool, r in results.items() if not tool.startswith("tavrel") and "seconds" in r]
    return min(peers)[::-1] if peers else None


def report_file(name, path, rows, results, verbose, threads=1):
    nbytes = os.path.getsize(path)
    fastest = (fastest_peer(results) or (None, None))[1]
    table = []
    for tool, r in results.items():
        if "seconds" not in r:
            table.append((tool, "missing" if "missing" in r else "failed", "", "", "", "", ""))
            continue
        ratio = f"{r['seconds'] / fastest:.2f}" if fastest else "-"
        table.append((tool, f"{r['seconds']:.3f}", f"{nbytes / r['seconds'] / 1e6:.1f}", ratio,
                      f"{r['peak'] / 1e6:.1f}", f"{r['result'] / 1e6:.1f}",
                      f"{r['peak'] / r['result']:.2f}" if r["result"] else "-"))
    ncols = len(SCHEMAS[name])
    mode = "1 thread" if threads == 1 else f"{threads} threads"
    print_table(f"{name}: {nbytes / 1e6:.1f} MB, {rows:,} rows x {ncols} columns, {mode}",
                ("tool", "seconds", "MB/s", "vs fastest peer", "peak MB", "result MB", "peak/result"), table)
    for tool, r in results.items():
        if "seconds" not in r:
            print(f"    {tool}: {r.get('missing') or r.get('error')}")
        elif verbose:
            print(f"    {tool} types: {', '.join(sorted(set(r['types'])))}")


def report_summary(all_results, threads=1):
    """tavrel against the fastest peer of each file."""
    table = []
    for name, results in all_results.items():
        peer = fastest_peer(results)
        own = results.get("tavrel", {})
        if peer is None or "seconds" not in own:
            shown = (peer[0], f"{peer[1]:.3f}") if peer else ("-", "-")
            mine = f"{own['seconds']:.3f}" if "seconds" in own else "missing" if "missing" in own else "failed"
            table.append((name, *shown, mine, "-", "-"))
            continue
        table.append((name, peer[0], f"{peer[1]:.3f}", f"{own['seconds']:.3f}", f"{own['seconds'] / peer[1]:.2f}",
                      f"{own['peak'] / own['result']:.2f}" if own["result"] else "-"))
    mode = "1 thread" if threads == 1 else f"{threads} threads"
    print_table(f"tavrel against the fastest peer of each file, {mode}",
                ("file", "fastest peer", "seconds", "tavrel seconds", "tavrel/peer", "tavrel peak/result"), table)


def report_scaling(rounds):
    """Each threaded tool's time on each file with the first thread count,
    and its speedup with each of the others."""
    counts = list(rounds)
    base = counts[0]
    header = ["file", "tool", f"{base} thr s"]
    for n in counts[1:]:
        header += [f"{n} thr s", f"speedup {base}->{n}"]
    table = []
    for name in rounds[base]:
        for tool in THREADED:
            first = rounds[base][name].get(tool, {})
            if "seconds" not in first:
                continue
            row = [name, tool, f"{first['seconds']:.3f}"]
            for n in counts[1:]:
                r = rounds[n].get(name, {}).get(tool, {})
                row += [f"{r['seconds']:.3f}", f"{first['seconds'] / r['seconds']:.2f}"] if "seconds" in r else ["-", "-"]
            table.append(row)
    print_table("Scaling with threads (best of runs; each count in its own child processes)", header, table)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mb", type=float, default=100.0, help="size of each generated file in MB (default 100)")
    parser.add_argument("--runs", type=int, default=3, help="runs per tool and file; the best counts (default 3)")
    parser.add_argument("--files", nargs="+", choices=FILES, default=list(FILES))
    parser.add_argument("--tools", nargs="+", choices=TOOLS, default=list(TOOLS))
    parser.add_argument("--data-dir", help="where the files are generated and kept (default: a temporary directory)")
    parser.add_argument("--micro-values", type=int, default=MICRO_VALUES,
                        help="date-times in the micro-benchmark; 0 skips it (default 1,000,000)")
    parser.add_argument("--timeout", type=float, default=600.0, help="seconds allowed for one child (default 600)")
    parser.add_argument("--verbose", action="store_true", help="also print the column types each tool produced")
    parser.add_argument("--threads", type=int, nargs="+", default=[1],
                        help="thread counts to run the threaded tools with, each in a round of its own "
                             "(default 1; e.g. --threads 1 2)")
    args = parser.parse_args(argv)
    if any(n < 1 for n in args.threads):
        parser.error("--threads takes counts of at least 1")

    print(f"Python {sys.version.split()[0]}, NumPy {np.__version__}; {os.cpu_count()} CPUs; "
          f"thread counts {', '.join(map(str, args.threads))}; a child process per read; best of {args.runs}")
    target = int(args.mb * 1e6)
    rounds = {}
    with tempfile.TemporaryDirectory(prefix="bench_reader-") as scratch:
        directory = args.data_dir or scratch
        os.makedirs(directory, exist_ok=True)
        files = prepare_files(directory, args.files, target)
        for threads in args.threads:
            tools = [t for t in args.tools if threads == 1 or t in THREADED]
            all_results = {}
            for name, (path, rows) in files.items():
                warm(path)
                results = {}
                for tool in tools:
                    job = {"kind": "read", "tool": tool, "path": path, "schema": SCHEMAS[name], "threads": threads}
                    results[tool] = best_of(job, args.runs, args.timeout)
                report_file(name, path, rows, results, args.verbose, threads)
                all_results[name] = results
            report_summary(all_results, threads)
            rounds[threads] = all_results
        if len(rounds) > 1:
            report_scaling(rounds)

    if args.micro_values:
        table = []
        notes = []
        for tool in MICRO_TOOLS:
            job = {"kind": "micro", "tool": tool, "count": args.micro_values, "runs": max(args.runs, 3)}
            r = run_child(job, args.timeout)
            if "seconds" in r:
                table.append((tool, f"{r['ns_per_value']:.1f}", f"{r['seconds']:.3f}", r["type"]))
            else:
                table.append((tool, "missing" if "missing" in r else "failed", "", ""))
                notes.append(f"    {tool}: {r.get('missing') or r.get('error')}")
        got = {row[0]: float(row[1]) for row in table if row[2]}
        if "tavrel" in got:
            table = [row + ((f"{got['tavrel'] / got[row[0]]:.2f}" if row[0] in got else "-"),) for row in table]
            header = ("tool", "ns/value", "seconds", "result", "tavrel/tool")
        else:
            header = ("tool", "ns/value", "seconds", "result")
        print_table(f"ISO date-times to datetime64[us]: {args.micro_values:,} values, best of {max(args.runs, 3)}",
                    header, table)
        for note in notes:
            print(note)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child_main(sys.argv[2:])
    else:
        main()
