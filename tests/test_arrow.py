"""Columns as an Arrow table through the PyCapsule interface: read by a
ctypes consumer of the C structures (every target) and by pyarrow, polars
and DuckDB where they are installed.  Values, types, nulls, shared buffers,
release (once, from any thread, at exit) and memory over many round trips."""

import ctypes
import datetime
import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import tavrel
from support import arrow_consumer as consumer
from tavrel._libs import column_reader

EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"

CSV = (
    "n,big,x,flag,day,stamp,zoned,größe\n"
    "1,18446744073709551615,1.5,true,2020-01-31,2020-01-01T10:00:00.123456,2020-01-01T10:00:00+01:00,Zürich\n"
    ",7,,,,,,\n"
    "-7,0,-0.25,FALSE,1969-12-31,1969-12-31T23:59:59,2020-06-30T23:00:00Z,名前\n"
).encode()

FORMATS = {"n": "l", "big": "L", "x": "g", "flag": "b", "day": "tdD", "stamp": "tsu:", "zoned": "tss:UTC",
           "größe": "u"}


@pytest.fixture
def cols():
    return tavrel.read_columns(CSV)


def expected(cols):
    """{name: values} with None where missing, as an Arrow reader sees them."""
    out = {}
    for name, a in cols.items():
        vals = a.astype(object).tolist() if a.dtype == "M8[D]" else list(a) if a.dtype.kind == "M" else a.tolist()
        out[name] = [None if m else v for v, m in zip(vals, cols.missing[name].tolist())]
    return out


def stream(obj, **kw):
    return consumer.read_stream(obj.__arrow_c_stream__(**kw))


def test_every_type_with_nulls_and_shared_buffers(cols):
    assert cols.utc == {"zoned"}
    got = stream(cols)
    assert got["fields"] == [(name, fmt, True) for name, fmt in FORMATS.items()]
    assert consumer.read_schema(cols.__arrow_c_schema__()) == got["fields"]
    [batch] = got["batches"]
    assert batch["length"] == 3
    assert batch["columns"] == expected(cols)
    assert batch["columns"]["zoned"][0] == np.datetime64("2020-01-01T09:00:00")
    assert batch["columns"]["big"][0] == 2**64 - 1
    for name in ("n", "big", "x", "stamp", "zoned"):  # no copy: the arrays' own memory
        assert batch["buffers"][name][1] == cols[name].ctypes.data


def test_shared_buffers_outlive_the_columns():
    c = tavrel.read_columns(b"a,b\n" + b"5,x\n" * 1000)
    a = c["a"]
    refs = sys.getrefcount(a)
    got = consumer.read_stream(c.__arrow_c_stream__(), keep=True)
    assert sys.getrefcount(a) == refs + 1  # the export holds the array
    address = got["batches"][0]["buffers"]["a"][1]
    del c, a
    gc.collect()
    array = got["arrays"][0]
    child = array.children[0].contents
    assert child.buffers[1] == address and consumer.column(child, "l") == [5] * 1000
    consumer.release(array)


def test_hand_made_columns():
    """Types the reader never makes but a Columns may hold: narrow numbers,
    strided and byte-swapped arrays, other date-time units, objects."""
    n = 4
    data = {
        "i8": np.array([1, -2, 3, -4], np.int8), "u16": np.array([1, 2, 3, 65535], np.uint16),
        "i32": np.arange(8, dtype=np.int32)[::2], "f32": np.array([0.5, 1, 2, 3], np.float32),
        "f16": np.array([1, 2, 3, 4], np.float16), "swapped": np.array([1, 2, 3, 2**40], ">i8"),
        "years": np.array(["1970", "2000", "NaT", "1969"], "M8[Y]"),
        "months": np.array(["1970-02", "1969-12", "2000-03", "NaT"], "M8[M]"),
        "weeks": np.array([0, 1, -1, 2], "M8[W]"),
        "hours": np.array(["2020-01-01T05", "NaT", "1969-12-31T23", "1970-01-01T00"], "M8[h]"),
        "ps": np.array([1000, -2000, 0, 5000], "M8[ps]"),
        "obj": np.array(["a", None, "é", ""], object),
    }
    c = tavrel.Columns(data, {"i8": np.array([False, True, False, False])}, n, utc=["hours"])
    got = stream(c)
    fmt = dict((name, f) for name, f, _ in got["fields"])
    assert [fmt[k] for k in data] == ["c", "S", "i", "f", "e", "l", "tdD", "tdD", "tdD", "tss:UTC", "tsn:", "u"]
    v = consumer.values(got)
    assert v["i8"] == [1, None, 3, -4] and v["u16"][3] == 65535 and v["i32"] == [0, 2, 4, 6]
    assert v["f16"] == [1, 2, 3, 4] and v["swapped"] == [1, 2, 3, 2**40]
    day = datetime.date
    assert v["years"] == [day(1970, 1, 1), day(2000, 1, 1), None, day(1969, 1, 1)]
    assert v["months"] == [day(1970, 2, 1), day(1969, 12, 1), day(2000, 3, 1), None]
    assert v["weeks"] == [day(1970, 1, 1), day(1970, 1, 8), day(1969, 12, 25), day(1970, 1, 15)]
    assert v["hours"] == [np.datetime64("2020-01-01T05:00:00"), None, np.datetime64("1969-12-31T23:00:00"),
                          np.datetime64(0, "s")]
    assert v["ps"] == [np.datetime64(n, "ns") for n in (1, -2, 0, 5)]
    assert v["obj"] == ["a", None, "é", ""]


@pytest.mark.parametrize("data, error, says", [
    ({"c": np.zeros(2, complex)}, TypeError, "complex128, which has no Arrow type"),
    ({"c": np.array(["a", "b"])}, TypeError, "no Arrow type"),
    ({"c": np.zeros((2, 1))}, ValueError, "1-d array of 2 rows"),
    ({"c": np.zeros(3)}, ValueError, "1-d array of 2 rows"),
    ({"c": [1, 2]}, TypeError, "not a NumPy array"),
    ({5: np.zeros(2)}, TypeError, "column name must be a str"),
    ({"a\0b": np.zeros(2)}, ValueError, "contains NUL"),
    ({"c": np.array(["x", 5], object)}, TypeError, "row 1: a int in a text column"),
    ({"c": np.array(["x", "\udcff"], object)}, UnicodeEncodeError, "surrogate"),
    ({"c": np.array([1000, 1001], "M8[ps]")}, ValueError, "row 1: the date-time is finer than nanoseconds"),
    ({"c": np.array([0, 2**40], "M8[D]")}, ValueError, "row 1: the date is outside the range of Arrow's date32"),
    ({"c": np.array([0, 2**62], "M8[m]")}, ValueError, "row 1: the date-time is outside the range"),
    ({"c": np.array([0, 1], "M8[10s]")}, TypeError, "multiplied unit"),
])
def test_what_has_no_arrow_form_is_a_clear_error(data, error, says):
    c = tavrel.Columns(data, {}, 2)
    with pytest.raises(error, match=says):
        c.__arrow_c_stream__()


def test_bad_masks_and_arguments():
    c = tavrel.Columns({"a": np.zeros(2)}, {"a": np.zeros(3, bool)}, 2)
    with pytest.raises(ValueError, match="missing mask of column 'a' must have 2 rows"):
        c.__arrow_c_stream__()
    c = tavrel.Columns({"a": np.zeros(2)}, {"a": np.array([0, 1])}, 2)
    with pytest.raises(TypeError):
        c.__arrow_c_stream__()
    with pytest.raises(TypeError, match="columns must be a tuple"):
        column_reader.arrow_stream([], 0)
    with pytest.raises(TypeError, match="tuples"):
        column_reader.arrow_stream((("a", np.zeros(1)),), 1)
    with pytest.raises(ValueError):
        column_reader.arrow_stream((), -1)
    with pytest.raises(ValueError):
        column_reader.arrow_stream((), 0, None, 0)
    with pytest.raises(TypeError, match="requested_schema must be an \"arrow_schema\" capsule"):
        c.__arrow_c_stream__(requested_schema="schema")


def test_empty_table_zero_columns_and_unicode_names():
    empty = tavrel.read_columns("größe,名前\n".encode())
    got = stream(empty)
    assert got["fields"] == [("größe", "g", True), ("名前", "g", True)]
    assert [b["length"] for b in got["batches"]] == [0]
    for rows in (0, 5):
        got = stream(tavrel.Columns({}, {}, rows))
        assert got["fields"] == [] and [b["length"] for b in got["batches"]] == [rows]


def test_requested_schema(cols):
    assert stream(cols, requested_schema=None)["fields"] == stream(cols)["fields"]
    assert stream(cols, requested_schema=cols.__arrow_c_schema__())["batches"][0]["columns"] == expected(cols)
    # large_utf8 asked for, in a schema the consumer owns.
    capsule = cols.__arrow_c_schema__()
    schema = consumer.ArrowSchema.from_address(consumer._get_pointer(capsule, b"arrow_schema"))
    text = schema.children[7].contents
    text.format = b"U"
    got = stream(cols, requested_schema=capsule)
    assert got["fields"][7] == ("größe", "U", True)
    assert consumer.values(got)["größe"] == ["Zürich", None, "名前"]
    text.format, schema.children[0].contents.format = b"u", b"i"
    with pytest.raises(ValueError, match=r"column 'n' is int64 \('l'\); the requested schema asks for int32"):
        cols.__arrow_c_stream__(requested_schema=capsule)
    schema.children[0].contents.format = b"l"
    schema.children[1].contents.flags = 0  # a column without nulls may be declared so; one with nulls not
    assert stream(cols, requested_schema=capsule)["fields"][1] == ("big", "L", False)
    schema.children[0].contents.flags = 0
    with pytest.raises(ValueError, match="column 'n', row 1: a missing value, but the requested schema"):
        cols.__arrow_c_stream__(requested_schema=capsule)
    other = tavrel.Columns({"n": cols["n"]}, {}, 3).__arrow_c_schema__()
    with pytest.raises(ValueError, match="has 1 columns, the data 8"):
        cols.__arrow_c_stream__(requested_schema=other)


def test_text_beyond_the_offset_width_is_split_into_batches():
    words = ["", "a", "bb", "ccc", "dddd", "é" * 3, None, "x" * 9]
    data = np.array(words * 5, object)
    n = len(data)
    columns = (("t", data, None, False), ("i", np.arange(n), np.arange(n) % 4 == 0, False))
    got = consumer.read_stream(column_reader.arrow_stream(columns, n, None, 10))
    assert len(got["batches"]) > 5
    for b in got["batches"]:
        assert sum(len((w or "").encode()) for w in b["columns"]["t"]) <= 10
    v = consumer.values(got)
    assert v["t"] == words * 5 and v["i"] == [None if i % 4 == 0 else i for i in range(n)]
    with pytest.raises(ValueError, match="longer than 8 bytes, too long for utf8"):
        column_reader.arrow_stream(columns, n, None, 8)


def test_release_from_other_threads_drops_the_arrays_once():
    """Released without the interpreter lock, from a Python thread (ctypes
    drops the lock around foreign calls) and from a raw native thread that
    has never run Python."""
    c = tavrel.read_columns(b"a,b\n" + b"1,2.5\n" * 100)
    a = c["a"]
    refs = sys.getrefcount(a)
    got = consumer.read_stream(c.__arrow_c_stream__(), keep=True)
    got2 = consumer.read_stream(c.__arrow_c_stream__(), keep=True)
    assert sys.getrefcount(a) == refs + 2
    t = threading.Thread(target=consumer.release, args=(got["arrays"][0],))
    t.start()
    t.join()
    assert sys.getrefcount(a) == refs + 1
    array = got2["arrays"][0]
    libc = ctypes.CDLL(None)
    libc.pthread_create.argtypes = [ctypes.POINTER(ctypes.c_ulong), ctypes.c_void_p, ctypes.c_void_p,
                                    ctypes.c_void_p]
    libc.pthread_join.argtypes = [ctypes.c_ulong, ctypes.c_void_p]
    tid = ctypes.c_ulong()
    # The release callback run as the thread's start routine.
    assert libc.pthread_create(ctypes.byref(tid), None, array.release, ctypes.addressof(array)) == 0
    assert libc.pthread_join(tid, None) == 0
    assert not array.release
    assert sys.getrefcount(a) == refs


def test_exports_alive_at_interpreter_exit():
    """Capsules, a taken stream and an unreleased array still alive when
    the interpreter shuts down: no crash, no hang."""
    code = textwrap.dedent("""
        import sys
        sys.path.insert(0, %r)
        import tavrel
        from support import arrow_consumer as consumer
        c = tavrel.read_columns(b"a,b\\n1,x\\n2,y\\n")
        keep = [c.__arrow_c_stream__(), c.__arrow_c_schema__()]
        got = consumer.read_stream(c.__arrow_c_stream__(), keep=True)
        stream = consumer.take(c.__arrow_c_stream__(), "stream")
        print("ok")
    """ % os.path.dirname(__file__))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip(), done.stderr) == (0, "ok", "")


def test_no_leaks_over_many_round_trips():
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    # Big enough for a leaked bitmap or text copy to show in the process size.
    rows = 50_000 if EMULATED else 200_000
    c = tavrel.read_columns(b"a,b,c,d\n" + b"1,2.5,true,text\n,,,\n" * (rows // 2))
    refs = [sys.getrefcount(a) for a in c.values()]
    pyarrow = _optional("pyarrow")

    def round_trip():
        consumer.read_stream(c.__arrow_c_stream__(), decode=False)
        consumer.read_schema(c.__arrow_c_schema__())
        c.__arrow_c_stream__()  # dropped unread
        with pytest.raises(ValueError):
            c.__arrow_c_stream__(requested_schema=tavrel.Columns({}, {}, 0).__arrow_c_schema__())
        if pyarrow is not None:
            pyarrow.table(c)

    for _ in range(5):
        round_trip()
    gc.collect()
    before = rss() if os.path.exists("/proc/self/statm") else 0
    for _ in range(30 if EMULATED else 100):
        round_trip()
    gc.collect()
    assert [sys.getrefcount(a) for a in c.values()] == refs
    # (AddressSanitizer's quarantine of freed memory grows the process.)
    if before and "libasan" not in os.environ.get("LD_PRELOAD", ""):
        assert rss() - before < 8 << 20


def test_utc_only_where_every_value_had_an_offset():
    data = b"a,b,c,d\n2020-01-01T00:00Z,2020-01-01T00:00,2020-01-01T00:00+02:00,x\n" \
           b"2020-01-02T00:00+05:30,2020-01-02T00:00,2020-01-02T00:00,\n"
    forced = {k: "datetime64[s]" for k in "abc"}
    assert tavrel.read_columns(data).utc == {"a"}  # c mixes, so it is text
    c = tavrel.read_columns(data, dtypes=forced)
    assert c.utc == {"a"}
    assert [f for _, f, _ in stream(c)["fields"]] == ["tss:UTC", "tss:", "tss:", "u"]
    assert tavrel.read_columns(b"a\n\n", dtypes={"a": "datetime64[s]"}).utc == set()


def test_each_batch_of_iter_columns_is_a_table():
    data = b"t,v\n" + b"".join(b"2020-01-0%dT00:00:00+02:00,%d\n" % (i % 9 + 1, i) for i in range(50))
    batches = list(tavrel.iter_columns(data, batch_rows=7))
    assert all(b.utc == {"t"} for b in batches)
    joined = {"t": [], "v": []}
    for b in batches:
        got = stream(b)
        assert got["fields"] == [("t", "tss:UTC", True), ("v", "l", True)]
        for k, v in consumer.values(got).items():
            joined[k] += v
    assert joined == expected(tavrel.read_columns(data))


# --- real consumers -----------------------------------------------------------------------

def _optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def test_pyarrow(cols):
    pa = pytest.importorskip("pyarrow")
    table = pa.table(cols)
    assert [str(t) for t in table.schema.types] == ["int64", "uint64", "double", "bool", "date32[day]",
                                                    "timestamp[us]", "timestamp[s, tz=UTC]", "string"]
    assert table.schema.names == list(cols)
    assert [table.column(k).null_count for k in cols] == [1, 0, 1, 1, 1, 1, 1, 1]
    want = expected(cols)
    got = table.to_pydict()
    assert got["n"] == want["n"] and got["big"] == want["big"] and got["größe"] == want["größe"]
    assert got["zoned"][0] == datetime.datetime(2020, 1, 1, 9, tzinfo=datetime.timezone.utc)
    for name in ("n", "big", "x", "stamp"):
        assert table.column(name).chunks[0].buffers()[1].address == cols[name].ctypes.data
    reader = pa.RecordBatchReader.from_stream(cols)
    assert reader.read_all().equals(table)
    large = pa.schema([f.with_type(pa.large_string()) if f.name == "größe" else f for f in table.schema])
    assert pa.table(cols, schema=large).column("größe").type == pa.large_string()
    assert pa.schema(cols) == table.schema
    with pytest.raises(ValueError, match="requested_schema"):
        pa.table(cols, schema=pa.schema([("n", pa.int32())]))


def test_pyarrow_reads_batches_with_split_text():
    pa = pytest.importorskip("pyarrow")
    words = np.array(["x" * (i % 5) for i in range(100)], object)
    capsule = column_reader.arrow_stream((("w", words, None, False), ("i", np.arange(100), None, False)), 100, None, 16)
    table = pa.RecordBatchReader._import_from_c_capsule(capsule).read_all()
    assert table.column("w").num_chunks > 1
    assert table.column("w").to_pylist() == words.tolist() and table.column("i").to_pylist() == list(range(100))


def test_polars(cols):
    pl = pytest.importorskip("polars")
    # A capsule object other than pyarrow's comes in as a struct Series.
    df = pl.from_arrow(cols).struct.unnest()
    assert df.columns == list(cols)
    assert [str(t) for t in df.dtypes] == ["Int64", "UInt64", "Float64", "Boolean", "Date", "Datetime(time_unit='us', "
                                          "time_zone=None)", "Datetime(time_unit='ms', time_zone='UTC')", "String"]
    assert df.null_count().row(0) == (1, 0, 1, 1, 1, 1, 1, 1)
    want = expected(cols)
    assert df["n"].to_list() == want["n"] and df["größe"].to_list() == want["größe"]
    assert df["day"].to_list() == want["day"]
    c = tavrel.read_columns(b"a\n" + b"3\n" * 100)
    assert pl.from_arrow(c).struct.unnest()["a"].to_numpy().ctypes.data == c["a"].ctypes.data


def test_duckdb(cols):
    duckdb = pytest.importorskip("duckdb")
    con = duckdb.connect()
    rows = con.execute('select n, big, x, flag, day, stamp, zoned, "größe" from cols').fetchall()
    want = expected(cols)
    assert [r[0] for r in rows] == want["n"] and [r[7] for r in rows] == want["größe"]
    assert rows[0][4] == datetime.date(2020, 1, 31) and rows[1][4] is None
    assert rows[0][6].astimezone(datetime.timezone.utc) == datetime.datetime(2020, 1, 1, 9,
                                                                             tzinfo=datetime.timezone.utc)
    big = tavrel.read_columns(b"k,v\n" + b"".join(b"%d,%d\n" % (i % 3, i) for i in range(30_000)))
    sums = con.execute("select k, sum(v), count(*) from big group by k order by k").fetchall()
    assert sums == [(k, sum(range(k, 30_000, 3)), 10_000) for k in range(3)]
    types = con.execute("describe select * from cols").fetchall()
    assert [t[1] for t in types] == ["BIGINT", "UBIGINT", "DOUBLE", "BOOLEAN", "DATE", "TIMESTAMP",
                                     "TIMESTAMP WITH TIME ZONE", "VARCHAR"]
