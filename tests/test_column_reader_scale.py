"""The column reader at scale: byte ranges that tile a file read every row
exactly once, and threads=N gives the table of threads=1 bit for bit, with
the same warnings and the same first error."""

import io
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrel
from tavrel import ParseError
from test_column_reader_model import concatenated, same, tables

EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"


def tasks():
    """Threads of this process (the reader's pool lives for one call)."""
    return len(os.listdir("/proc/self/task"))


# --- byte ranges ------------------------------------------------------------------------

FIELDS = [b"", b"1", b"-7", b"2.5", b"abc", b"true", b"2020-01-02", b'"a,b"', b'"x\ny"', b'"x\r\ny"',
          b'"q""q"', b'"\n"', b'"\r"', b'" "', b'ab"c', b"\xef\xbb\xbfbom", b'"#x"']
ESCAPED = [b"a\\,b", b"a\\\nb", b'"e\\"q"']


@st.composite
def delimited(draw):
    """(bytes, options): rows of random fields (quoted fields with line
    breaks, doubled quotes, quotes in unquoted fields), any line ends, blank
    and comment rows, with or without a final line end or a byte-order mark."""
    width = draw(st.integers(1, 4))
    eol = draw(st.sampled_from([b"\n", b"\r\n", b"\r"]))
    comment = draw(st.sampled_from([None, "#"]))
    escape = draw(st.sampled_from([None, "\\"]))
    quote = draw(st.sampled_from(['"', '"', None]))
    fields = FIELDS + (ESCAPED if escape else [])
    if quote is None:
        fields = [f for f in fields if b'"' not in f]
    header = draw(st.sampled_from([0, None]))
    lines = []
    if header == 0 and draw(st.booleans()):
        lines.append(b"" if comment is None else b'# before the header, "quoted')
    lines.append(b",".join(b"c%d" % i for i in range(width)))
    for _ in range(draw(st.integers(0, 25))):
        kind = draw(st.sampled_from(["row"] * 8 + ["blank", "comment"]))
        if kind == "blank":
            lines.append(draw(st.sampled_from([b"", b"  "])))
        elif kind == "comment" and comment is not None:
            lines.append(b'# a comment, "with a quote')
        else:
            lines.append(b",".join(draw(st.sampled_from(fields)) for _ in range(width)))
    data = eol.join(lines) + (eol if draw(st.booleans()) else b"")
    if draw(st.integers(0, 9)) == 0:
        data = b"\xef\xbb\xbf" + data
    options = dict(comment=comment, escape=escape, quote=quote, header=header,
                   drop_blank_rows=draw(st.booleans()), bad_rows=draw(st.sampled_from(["error", "skip"])),
                   dtypes={i: "str" for i in range(width)})
    if header is None and draw(st.booleans()):
        options["names"] = [f"n{i}" for i in range(width)]
    return data, options


@st.composite
def tilings(draw, size):
    cuts = sorted(draw(st.lists(st.integers(0, size), max_size=6)))
    bounds = [0, *cuts, size + draw(st.sampled_from([0, 0, 5]))]
    return list(zip(bounds, bounds[1:]))


def read_tiles(data, tiles, options, source=bytes):
    return [tavrel.read_columns(source(data), byte_range=tile, **options) for tile in tiles]


@settings(max_examples=60 if EMULATED else 600, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_any_tiling_reads_every_row_once(case):
    data, options = case.draw(delimited())
    tiles = case.draw(tilings(len(data)))
    try:
        whole = tavrel.read_columns(data, **options)
    except ValueError as exc:
        # A file that cannot be read whole fails in one of its ranges too.
        with pytest.raises(type(exc)):
            read_tiles(data, tiles, options)
        return
    parts = read_tiles(data, tiles, options)
    assert [list(p) for p in parts] == [list(whole)] * len(parts)
    same(whole, concatenated(parts, whole))


@settings(max_examples=40 if EMULATED else 300, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_row_starts_found_in_one_pass_tile_the_file(case):
    """tavrel.dask finds all its ranges' row starts in one pass and tells
    each range that its start is one: the tiles still read every row once."""
    from tavrel import _reader

    data, options = case.draw(delimited())
    try:
        whole = tavrel.read_columns(data, **options)
    except ValueError:
        return
    header_end = _reader._row_starts(data, [0], options)[0]
    if header_end >= len(data):
        return
    cuts = sorted(set(case.draw(st.lists(st.integers(header_end + 1, len(data)), max_size=6))))
    bounds = [0, *cuts, len(data) + 1]
    starts = _reader._row_starts(data, cuts, options)
    assert starts == sorted(starts) and all(s >= c for s, c in zip(starts, cuts))
    parts = [tavrel.read_columns(data, byte_range=(0, bounds[1]), **options)]
    for start, cut, stop in zip(starts, cuts, bounds[2:]):
        if start < stop:
            parts.append(tavrel.read_columns(data, byte_range=(start, stop), _row_start=True, **options))
        else:
            parts.append(tavrel.read_columns(data, byte_range=(cut, stop), **options))
    same(whole, concatenated(parts, whole))


def test_rows_start_and_end_where_the_rule_says():
    data = b"h\nr1\nr2\r\nr3\rr4"  # the data rows start at bytes 2, 5, 9 and 12
    for start in range(len(data) + 1):
        for stop in range(start, len(data) + 2):
            got = tavrel.read_columns(data, byte_range=(start, stop), dtypes={"h": "str"})["h"].tolist()
            expect = [f"r{i}" for i, first in enumerate([2, 5, 9, 12], 1) if start <= first < stop]
            assert got == expect, (start, stop)


def test_quoted_line_breaks_before_a_split_point():
    # Every line break but the row ends lies in a quoted field; the ranges
    # start in the middle of them.
    rows = [f'{i},"line {i}\nmore {i}\r\nend, {i}"' for i in range(200)]
    data = ("id,text\n" + "\n".join(rows) + "\n").encode()
    whole = tavrel.read_columns(data)
    for parts in (2, 3, 7, 50):
        bounds = [len(data) * k // parts for k in range(parts + 1)]
        got = read_tiles(data, list(zip(bounds, bounds[1:])), {})
        assert sum(g.nrows for g in got) == 200
        assert np.concatenate([g["id"] for g in got]).tolist() == list(range(200))
        assert np.concatenate([g["text"].astype(object) for g in got]).tolist() == whole["text"].tolist()


def test_every_seekable_source_kind(tmp_path):
    lines = [f'{i},{i / 4},"t{i},x"' for i in range(3000)]
    data = ("a,b,c\n" + "\n".join(lines) + "\n").encode()
    path = tmp_path / "f.csv"
    path.write_bytes(data)
    whole = tavrel.read_columns(data)
    bounds = [0, 1000, 1001, 20000, 40000, len(data)]
    tiles = list(zip(bounds, bounds[1:]))
    dtypes = dict(whole.dtypes)
    for source in (bytes, bytearray, memoryview, lambda d: path, lambda d: str(path),
                   lambda d: open(path, "rb"), lambda d: open(path, "rb", buffering=0), io.BytesIO):
        parts = read_tiles(data, tiles, {"dtypes": dtypes}, source)
        same(whole, concatenated(parts, whole))
    # iter_columns over a range: the same rows, in batches.
    batches = list(tavrel.iter_columns(path, batch_rows=100, byte_range=(1001, 40000), dtypes=dtypes))
    assert concatenated(batches, whole)["a"].tolist() == tavrel.read_columns(
        path, byte_range=(1001, 40000))["a"].tolist()


def test_header_names_and_widths_with_ranges():
    data = b"# intro\n\nx,y\n1,2\n3,4\n5,6\n"
    mid = data.index(b"3,4")
    # header=0: the file's header row (after the comment and blank rows)
    # names every range's columns and is no range's data.
    for start in range(0, data.index(b"1,2") + 1):
        got = tavrel.read_columns(data, byte_range=(start, mid), comment="#")
        assert list(got) == ["x", "y"] and got["x"].tolist() == [1]
    got = tavrel.read_columns(data, byte_range=(mid, len(data)), comment="#", names=["p", "q"])
    assert list(got) == ["p", "q"] and got["p"].tolist() == [3, 5]
    # header=None: every row is data; the width is the file's first row's.
    plain = b"1,2,3\n4,5\n6,7,8\n"
    got = tavrel.read_columns(plain, byte_range=(6, len(plain)), header=None)
    assert list(got) == ["0", "1", "2"] and got.missing["2"].tolist() == [True, False]
    # An empty range, and one past the end, still have the columns.
    for tile in ((7, 7), (100, 200)):
        got = tavrel.read_columns(plain, byte_range=tile, header=None, names=["a", "b", "c"])
        assert got.nrows == 0 and list(got) == ["a", "b", "c"]


def test_errors_in_a_range_name_where_rows_are_counted():
    data = b"a,b\n1,2\n3,4,5\n6,7\n"
    with pytest.raises(ParseError) as info:
        tavrel.read_columns(data, byte_range=(5, len(data)))
    assert info.value.row == 1
    assert "byte 8" in "".join(getattr(info.value, "__notes__", []))
    # Nothing counts rows in the file before a range: row numbers are the range's.
    with pytest.raises(ParseError):
        tavrel.read_columns(b'a\n"open\n', byte_range=(2, 3))


@pytest.mark.parametrize("value, error", [
    ((5, 2), ValueError), ((-1, 4), ValueError), ((0,), TypeError), ("0,5", TypeError), (5, TypeError),
    ((0.0, 5), TypeError), ((True, 5), TypeError), ((0, None), TypeError),
])
def test_bad_byte_ranges_name_the_option(value, error):
    with pytest.raises(error, match="byte_range"):
        tavrel.read_columns(b"a\n1\n", byte_range=value)


def test_sources_and_options_a_range_cannot_take(tmp_path):
    import gzip

    gz = tmp_path / "f.csv.gz"
    gz.write_bytes(gzip.compress(b"a\n1\n"))
    text = tmp_path / "f.csv"
    text.write_text("a\n1\n")
    r, w = os.pipe()
    os.close(w)

    class OneWay:
        def read(self, size):
            return b""

        def seekable(self):
            return False

    refused = [
        (lambda: tavrel.read_columns(gz, byte_range=(0, 2)), "compressed"),
        (lambda: tavrel.read_columns(open(text, encoding="utf-8"), byte_range=(0, 2)), "binary"),
        (lambda: tavrel.read_columns(OneWay(), byte_range=(0, 2)), "seekable"),
        (lambda: tavrel.read_columns(b"a\n1\n", byte_range=(0, 2), skip_rows=1), "skip_rows"),
        (lambda: tavrel.read_columns(b"a\n1\n", byte_range=(0, 2), header=1), "header"),
    ]
    try:
        with open(r, "rb", buffering=0, closefd=False) as pipe:
            refused.append((lambda: tavrel.read_columns(pipe, byte_range=(0, 2)), "byte_range"))
            for call, words in refused:
                with pytest.raises(ValueError, match=words):
                    call()
    finally:
        os.close(r)
    # Nothing was left open by the refusals.
    assert not [f for f in os.listdir("/proc/self/fd") if os.path.realpath(f"/proc/self/fd/{f}") == str(gz)]


# --- threads -----------------------------------------------------------------------------

def repeated(text, size):
    """The model table's rows repeated to about `size` bytes: the same
    types, in many batches."""
    end = "\r\n" if "\r\n" in text else "\n"
    head, _, body = text.partition(end)
    if not body:
        return text
    return head + end + body * (size // len(body) + 1)


@settings(max_examples=10 if EMULATED else 60, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.sampled_from([64, 1 << 16]))
def test_threads_give_the_table_of_one_thread(text, chunk):
    data = repeated(text, 100_000 if EMULATED else 600_000).encode()
    one = tavrel.read_columns(data, threads=1, chunk_bytes=chunk)
    for n in (2, 4):
        same(one, tavrel.read_columns(data, threads=n, chunk_bytes=chunk))
        batches = list(tavrel.iter_columns(data, threads=n, batch_rows=3000))
        same(one, concatenated(batches, one))


ROWS = 20_000 if EMULATED else 150_000


def typed_rows(n):
    """Rows of every type, with missing values."""
    out = ["i,u,f,b,d,t,s,e"]
    for k in range(n):
        m = k % 11 == 0
        out.append(",".join([
            "" if m else str(k - n // 2), "" if m else str(2**63 + k), f"{k / 3:.6f}",
            "" if m else ("true" if k % 2 else "False"), "" if m else f"20{k % 90:02d}-01-{1 + k % 28:02d}T01:02:03",
            f'"t{k},\n{k % 7}"', "" if m else f"s{k % 5}", ""]))
    return out


def outcome(call):
    """(result or None, (type, message, row) of the error or None, warning messages)."""
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        try:
            result = call()
        except (ParseError, ValueError) as exc:
            return None, (type(exc), str(exc), getattr(exc, "row", None)), [str(w.message) for w in seen]
    return result, None, [str(w.message) for w in seen]


def assert_same_outcome(data, **options):
    base = outcome(lambda: tavrel.read_columns(data, threads=1, **options))
    for n in (2, 4):
        got = outcome(lambda: tavrel.read_columns(data, threads=n, **options))
        assert got[1] == base[1] and got[2] == base[2], n
        if base[0] is not None:
            same(base[0], got[0])
    return base


def test_every_dtype_and_policy_on_threads():
    lines = typed_rows(ROWS)
    data = ("\n".join(lines) + "\n").encode()
    result, error, _ = assert_same_outcome(data)
    assert error is None
    assert [str(result[n].dtype) for n in "iufbd"] == ["int64", "uint64", "float64", "bool", "datetime64[s]"]
    assert_same_outcome(data, float_algorithm="fast", parse_dates=False, missing_values=["s0"])
    assert_same_outcome(data, dtypes={"i": "float64", "d": "datetime64[ms]", "s": "str"}, columns=["i", "d", "s"])
    # A bad row late in the file, a value a forced type rejects, text that
    # is not UTF-8, under each policy.
    late = list(lines)
    late.insert(ROWS - 100, "1,2,3,4,5,6,7,8,9")
    late.insert(ROWS - 50, "x,1,2,true,2020-01-01,t,s,")
    late[ROWS // 2] = late[ROWS // 2].replace("s", "\udcff", 1)
    bad = ("\n".join(late) + "\n").encode("utf-8", "surrogateescape")
    for policy in ("error", "warn", "skip"):
        for extra in ({}, {"dtypes": {"i": "int64"}}, {"encoding_errors": "replace"}):
            assert_same_outcome(bad, bad_rows=policy, **extra)
    _, error, _ = assert_same_outcome(bad, dtypes={"i": "int64"}, bad_rows="skip")
    assert error is not None and error[0] is ParseError and error[2] is not None


def test_a_failing_source_or_predicate_comes_after_the_batches_before_it():
    data = ("\n".join(typed_rows(ROWS)) + "\n").encode()

    def failing(limit):
        class Source:
            def __init__(self):
                self.f = io.BytesIO(data)

            def read(self, size):
                if self.f.tell() > limit:
                    raise OSError("the disk went away")
                return self.f.read(size)
        return Source()

    for n in (1, 2, 4):
        got = []
        with pytest.raises(OSError, match="went away"):
            tavrel.read_columns(failing(len(data) // 2), threads=n, chunk_bytes=1 << 16,
                                progress=lambda done, total, rows: got.append(rows))
        assert got and got[-1] < ROWS
        with pytest.raises(ZeroDivisionError):
            tavrel.read_columns(data, threads=n, skip_rows=lambda row: row // (ROWS - row))
        # A bad row before the failure is reported first.
        with pytest.raises(ParseError, match="row 3"):
            tavrel.read_columns(b"a\n1\n1,2\n" + data, threads=n, skip_rows=lambda row: row // (ROWS - row))


def test_a_conversion_failure_comes_before_a_later_source_failure():
    # The batch holding "x" fails its forced dtype while the next batch's
    # read raises: the earlier failure is the one reported, on any thread count.
    data = b"a\n" + b"1\n" * 5000 + b"x\n" + b"1\n" * 300000

    class Source:
        def __init__(self):
            self.f = io.BytesIO(data)

        def read(self, size):
            if self.f.tell() > 150_000:
                raise OSError("the disk went away")
            return self.f.read(size)

    for n in (1, 2, 4):
        with pytest.raises(ParseError, match="row 5002"):
            tavrel.read_columns(Source(), dtypes={"a": "int64"}, threads=n, chunk_bytes=1 << 12)


def test_the_pool_is_gone_after_every_call():
    data = ("\n".join(typed_rows(ROWS // 2)) + "\n").encode()
    before = tasks()
    tavrel.read_columns(data, threads=4)
    assert tasks() == before
    with pytest.raises(ParseError):
        tavrel.read_columns(data + b"x,1,2\n" + data, threads=4, dtypes={"i": "int64"})
    assert tasks() == before
    it = tavrel.iter_columns(data, threads=4, batch_rows=1000)
    next(it)
    assert tasks() == before
    it.close()
    it = tavrel.iter_columns(io.BufferedReader(io.BytesIO(data)), threads=3, batch_rows=5000)
    next(it)
    del it
    assert tasks() == before


@pytest.mark.parametrize("value, error", [(0, ValueError), (-2, ValueError), (2000, ValueError), (1.5, TypeError),
                                          ("2", TypeError), (True, TypeError)])
def test_bad_thread_counts_name_the_option(value, error):
    with pytest.raises(error, match="threads"):
        tavrel.read_columns(b"a\n1\n", threads=value)


def test_threads_default_to_the_cores_and_read_like_one():
    data = ("\n".join(typed_rows(ROWS // 4)) + "\n").encode()
    same(tavrel.read_columns(data, threads=1), tavrel.read_columns(data))
    # A warning per bad row, in order, whatever the threads.
    bad = data + b"1,2\n" * 3 + b"1,2,3,4,5,6,7,8,9,10\n" + data
    _, _, messages = assert_same_outcome(bad, bad_rows="warn")
    assert len(messages) == 1 and "expected 8 fields, saw 10" in messages[0]
