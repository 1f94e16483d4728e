"""tavrel.dask.read_columns: one task per byte range, the same table as one
read on one machine (values, dtypes, missing masks), on a two-process
distributed.LocalCluster and, for the finer cases, on Dask's synchronous
scheduler.  Skipped where Dask or distributed is not installed.

TAVREL_DASK_MB sets the size of the generated file of the cluster test
(default 32; run it by hand with a few hundred)."""

import bz2
import gzip
import logging
import os
import subprocess
import sys
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import tavrel  # noqa: E402
import tavrel.dask as tdask  # noqa: E402
from tavrel import ParseError, ParseWarning  # noqa: E402
from test_column_reader_model import same, tables  # noqa: E402

EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture
def sync():
    with dask.config.set(scheduler="sync"):
        yield


def write(path, text, mode="w"):
    opener = {"gz": gzip.open, "bz2": bz2.open}.get(str(path).rsplit(".", 1)[-1], open)
    with opener(path, mode + ("t" if opener is not open else ""), newline="") as f:
        f.write(text)
    return str(path)


def split_read(path, blocksize, **options):
    """The dask read, and its result computed."""
    cols = tdask.read_columns(path, blocksize=blocksize, **options)
    return cols, cols.compute()


# --- on the cluster -----------------------------------------------------------------------------

def generated(n_mb):
    """A mixed table of about n_mb megabytes: a block of rows repeated, then
    rows that change two columns' types far from the start."""
    rng = np.random.default_rng(7)
    lines = []
    for i in range(20000):
        x = "" if i % 11 == 0 else repr(float(rng.normal() * 1e3))
        when = f"2021-{1 + i % 12:02d}-{1 + i % 28:02d}T{i % 24:02d}:{i % 60:02d}:{(7 * i) % 60:02d}"
        name = '"quoted, with a comma"' if i % 17 == 0 else f"name{i % 1000}"
        lines.append(f"{i},{x},{when},{name},{'' if i % 5 == 0 else ('true' if i % 3 else 'false')},{i % 7 - 3}")
    block = ("\n".join(lines) + "\n").encode()
    head = b"id,x,when,name,flag,small\n"
    tail = b"-1,2.5,2022-01-01,late text,true,word\n1,3,2022-01-02T00:00:00.5,n,false,4\n"
    return head, block, max(1, n_mb * 2**20 // len(block)), tail


def test_large_file_on_two_workers_matches_one_machine(client, tmp_path):
    mb = int(os.environ.get("TAVREL_DASK_MB", "4" if EMULATED else "32"))
    head, block, times, tail = generated(mb)
    path = tmp_path / "big.csv"
    with open(path, "wb") as f:
        f.write(head)
        for _ in range(times):
            f.write(block)
        f.write(tail)
    blocksize = max(1 << 20, os.path.getsize(path) // 16)
    lazy, got = split_read(str(path), blocksize)
    assert lazy.npartitions >= 8 and lazy.nrows == got.nrows
    ref = tavrel.read_columns(path)
    same(ref, got)
    assert str(got.dtypes["when"]) == "datetime64[ms]" and got.dtypes["small"].kind in "OT"
    assert got["small"][0] == "-3" and got["id"][-2] == -1


def test_multiple_files_and_a_glob(client, tmp_path):
    texts = ["a,b,c\n1,x,2020-01-01\n2,y,\n", "a,b,c\n3,,2020-01-02T12:00\n", "a,b,c\n4.5,z,2020-02-01\n"]
    paths = [write(tmp_path / f"part{i}.csv", t) for i, t in enumerate(texts)]
    whole = tavrel.read_columns("".join(texts[:1] + [t.split("\n", 1)[1] for t in texts[1:]]).encode())
    same(whole, tdask.read_columns(paths, blocksize=8).compute())
    # Sorted, whatever the order in which the directory lists them.
    same(whole, tdask.read_columns(str(tmp_path / "part*.csv"), blocksize=8).compute())
    assert str(whole.dtypes["c"]) == "datetime64[m]" and whole["a"].dtype == np.float64
    write(tmp_path / "other.csv", "a,b\n1,2\n")
    with pytest.raises(ValueError, match="has columns"):
        tdask.read_columns([paths[0], str(tmp_path / "other.csv")])


def test_compressed_file_is_one_task(client, tmp_path):
    text = "n,t\n" + "".join(f"{i},{'w' if i == 900 else i}\n" for i in range(1000))
    gz = write(tmp_path / "a.csv.gz", text)
    bz = write(tmp_path / "b.csv.bz2", "n,t\n5,6\n")
    plain = write(tmp_path / "c.csv", text)
    lazy = tdask.read_columns([gz, bz, plain], blocksize=100)
    assert lazy.npartitions == 2 + tdask.read_columns(plain, blocksize=100).npartitions
    ref = tavrel.read_columns((text + "5,6\n" + text.split("\n", 1)[1]).encode())
    same(ref, lazy.compute())


def test_numeric_in_one_range_and_text_in_another(client, tmp_path):
    # "007" and "-0" keep their texts: the ranges that decided numbers are read again as text.
    rows = ["007", "-0", "1e3", "12"] * 200 + ["word"] + ["5"] * 200
    path = write(tmp_path / "t.csv", "v,w\n" + "".join(f"{r},{i}\n" for i, r in enumerate(rows)))
    lazy, got = split_read(path, 512)
    assert lazy.npartitions > 10 and lazy.dtypes["v"] == got.dtypes["v"]
    assert got["v"][:4].tolist() == ["007", "-0", "1e3", "12"] and got["w"].dtype == np.int64
    same(tavrel.read_columns(path), got)


def test_bad_row_policies(client, tmp_path):
    rows = [f"{i},{i}" if i % 250 else f"{i},{i},extra" for i in range(1, 1001)]
    path = write(tmp_path / "bad.csv", "a,b\n" + "\n".join(rows) + "\n")
    with pytest.raises(ParseError, match="saw 3") as err:
        tdask.read_columns(path, blocksize=1000)
    assert "bytes [" in str(err.value) and err.value.row >= 1
    same(tavrel.read_columns(path, bad_rows="skip"), tdask.read_columns(path, blocksize=1000, bad_rows="skip")
         .compute())
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        lazy = tdask.read_columns(path, blocksize=1000, bad_rows="warn")
        got = lazy.compute()
    messages = [str(w.message) for w in caught if w.category is ParseWarning]
    assert len(messages) == 4 and all("expected 2 fields, saw 3" in m and path in m for m in messages)
    same(tavrel.read_columns(path, bad_rows="skip"), got)


# --- the ranges' types reconciled (synchronous scheduler) -----------------------------------------

def ranges_agree(tmp_path, text, blocksizes=(7, 30, 101), **options):
    path = write(tmp_path / "r.csv", text)
    ref = tavrel.read_columns(path, **options)
    for blocksize in blocksizes:
        same(ref, tdask.read_columns(path, blocksize=blocksize, **options).compute())
    return ref


@pytest.mark.parametrize("first, later, expect", [
    (["1", "-2"], ["18446744073709551615"], "float64"),          # negative and above int64: floats
    (["1", "2"], ["18446744073709551615"], "uint64"),
    (["9007199254740993"], ["0.5"], "float64"),                  # correctly rounded, as one machine
    (["2020"] * 3, ["2021-03-04"], "datetime64[D]"),              # years, then a date
    (["1", "0"], ["yes", "no"], "bool"),                         # with these spellings, ints are bools
    (["1", "2"], ["yes", "x"], "str"),
    (["2020-01-01T00:00Z"], ["2020-01-01T00:00"], "str"),         # with and without a zone
    (["2020-01-01T00:00+01:00"], ["2020-01-02T10:00:00Z"], "datetime64[s]"),
    (["1500-01-01"], ["2020-01-01T00:00:00.000000001"], "str"),    # 1500 does not fit nanoseconds
    (["2020-01"], ["2020-01-01T00:00:00.123456789"], "datetime64[ns]"),
    (["true", ""], ["2020-01-01"], "str"),
    ([""], [""], "float64"),
])
def test_types_decided_across_ranges(sync, tmp_path, first, later, expect):
    options = {"true_values": ["1", "yes"], "false_values": ["0", "no"]} if "yes" in later else {}
    rows = first * 20 + later * 3 + first
    ref = ranges_agree(tmp_path, "k,v\n" + "".join(f"{i},{v}\n" for i, v in enumerate(rows)), **options)
    assert str(ref.dtypes["v"]).replace("StringDType()", "str").replace("object", "str") == expect


def test_date_time_span_checked_in_the_finest_unit(sync, tmp_path):
    # The first range's first value fits nanoseconds, its earliest does not.
    rows = ["2020-01-01"] * 20 + ["1500-01-01"] + ["2020-01-01"] * 5 + ["2020-01-01T00:00:00.000000001"] * 20
    ref = ranges_agree(tmp_path, "k,v\n" + "".join(f"{i},{v}\n" for i, v in enumerate(rows)), blocksizes=(300,))
    assert ref.dtypes["v"].kind in "OT"
    rows[20] = "1900-01-01"
    ref = ranges_agree(tmp_path, "k,v\n" + "".join(f"{i},{v}\n" for i, v in enumerate(rows)), blocksizes=(300,))
    assert str(ref.dtypes["v"]) == "datetime64[ns]"


def test_header_options_and_columns(sync, tmp_path):
    body = "".join(f"{i},{i * 2},w{i}\n" for i in range(60))
    # The header row below comment rows longer than a range: the first range grows to hold it.
    text = "# a comment row\n" * 4 + "\n" + "a,b,c\n" + body
    ranges_agree(tmp_path, text, comment="#", columns=["c", 0], dtypes={"b": "float64"})
    ranges_agree(tmp_path, text, comment="#", names=["x", "y", "z"], parse_dates=["z"])
    ranges_agree(tmp_path, body, header=None, blocksizes=(5, 64))
    ranges_agree(tmp_path, "a,a,b\n" + body)  # repeated names made unique alike in every range
    # Rows numbered from the file's start: such a file is read whole, by one task.
    skipped = "skipped\nalso skipped\n" + text
    for options in ({"skip_rows": 2}, {"skip_rows": [0, 1]}, {"skip_rows": lambda row: row < 2}):
        same(ranges_agree(tmp_path, skipped, comment="#", **options), tavrel.read_columns(text.encode(), comment="#"))
        assert tdask.read_columns(str(tmp_path / "r.csv"), blocksize=16, comment="#", **options).npartitions == 1
    ranges_agree(tmp_path, "junk\na,b,c\n" + body, header=1, parse_dates=False)


def test_max_rows_reads_only_the_ranges_it_needs(sync, tmp_path):
    rows = "".join(f"{i}\n" for i in range(100)) + "1,2,3\nword\n"
    path = write(tmp_path / "m.csv", "n\n" + rows)
    for limit in (0, 1, 37, 100):
        lazy = tdask.read_columns(path, blocksize=16, max_rows=limit)
        same(tavrel.read_columns(path, max_rows=limit), lazy.compute())
        assert lazy.nrows == limit
    with pytest.raises(ParseError):
        tdask.read_columns(path, blocksize=16, max_rows=101)


def test_every_dtype_given_skips_the_survey(sync, tmp_path):
    path = write(tmp_path / "g.csv", "a,b\n" + "".join(f"{i},x{i}\n" for i in range(50)) + "oops,y\n")
    lazy = tdask.read_columns(path, blocksize=40, dtypes={"a": "int64", "b": str})
    assert lazy.nrows is None and np.isnan(lazy["a"].shape[0])
    with pytest.raises(ParseError, match="oops"):
        lazy.compute()
    lazy = tdask.read_columns(path, blocksize=40, dtypes={"a": "str", "b": str})
    same(tavrel.read_columns(path, dtypes={"a": "str"}), lazy.compute())


@settings(max_examples=10 if EMULATED else 40,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(tables(), st.integers(1, 200))
def test_random_tables_and_blocksizes(sync, tmp_path, text, blocksize):
    # Quoted fields hold separators, quotes and line breaks: a range may begin inside one.
    path = write(tmp_path / "h.csv", text)
    same(tavrel.read_columns(path), tdask.read_columns(path, blocksize=blocksize).compute())


# --- the call ---------------------------------------------------------------------------------

def test_options_checked_when_the_graph_is_built(tmp_path):
    path = write(tmp_path / "o.csv", "a,b\n1,2\n")
    for options in ({"sep": ",,"}, {"bad_rows": "maybe"}, {"columns": ["zz"]}, {"dtypes": {"a": "int32"}}):
        with pytest.raises(ValueError) as expected:
            tavrel.read_columns(path, **options)
        with pytest.raises(ValueError) as got:
            tdask.read_columns(path, **options)
        assert str(got.value) == str(expected.value)
    with pytest.raises(TypeError, match="unexpected keyword argument 'sepp'"):
        tdask.read_columns(path, sepp=",")
    for bad, error in (("64 parsecs", ValueError), (0, ValueError), (1.5, TypeError), (True, TypeError)):
        with pytest.raises(error, match="blocksize"):
            tdask.read_columns(path, blocksize=bad)
    with pytest.raises(ValueError, match="progress"):
        tdask.read_columns(path, progress=True)
    with pytest.raises(FileNotFoundError):
        tdask.read_columns(str(tmp_path / "nothing*.csv"))
    with pytest.raises(FileNotFoundError):
        tdask.read_columns(str(tmp_path / "absent.csv"))
    with pytest.raises(IsADirectoryError):
        tdask.read_columns(str(tmp_path))
    with pytest.raises(TypeError):
        tdask.read_columns(b"a,b\n1,2\n")


def test_sizes_empty_files_and_the_result(sync, tmp_path):
    path = write(tmp_path / "z.csv", "a,b\n" + "1,x\n" * 1000)
    assert tdask.read_columns(path, blocksize="1KiB").npartitions == 4
    assert tdask.read_columns(path, blocksize="0.002 MB").npartitions == 3
    empty = write(tmp_path / "e.csv", "")
    assert len(tdask.read_columns(empty)) == 0 and tdask.read_columns(empty).compute().nrows == 0
    lazy = tdask.read_columns([empty, path], blocksize=1000)
    assert list(lazy) == ["a", "b"] and dict(lazy.dtypes) == dict(tavrel.read_columns(path).dtypes)
    assert lazy.missing["a"].dtype == bool and "5 partitions" in repr(lazy)
    assert lazy["a"].sum().compute() == 1000
    with pytest.raises(TypeError):
        lazy["a"] = None


def test_importing_tavrel_does_not_import_dask():
    code = "import sys, tavrel; tavrel.read_columns(b'a\\n1\\n'); print('dask' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"
