"""tavrel.read_columns / iter_columns: types, missing values, sources, bad
input under each policy, and hostile options."""

import bz2
import gzip
import io
import lzma
import os
import warnings

import numpy as np
import pytest

import tavrel
from tavrel import ParseError, ParseWarning

NUMPY2 = np.lib.NumpyVersion(np.__version__) >= "2.0.0"


def read(text, **options):
    data = text.encode("utf-8") if isinstance(text, str) else text
    return tavrel.read_columns(data, **options)


def values(column):
    return column.tolist()


# --- types --------------------------------------------------------------------------

def test_each_type_and_its_missing_placeholder():
    c = read("i,u,f,b,d,t,s\n"
             "1,18446744073709551615,2.5,true,2020-01-02,2020-01-02T03:04:05,x\n"
             ",,,,,,\n"
             "-3,0,-1e3,FALSE,1999-12-31,2020-01-02T03:04:06.5,007\n")
    assert {k: str(v) for k, v in c.dtypes.items()} == {
        "i": "int64", "u": "uint64", "f": "float64", "b": "bool", "d": "datetime64[D]",
        "t": "datetime64[ms]", "s": "StringDType()" if NUMPY2 else "object"}
    assert values(c["i"]) == [1, 0, -3]
    assert values(c["u"]) == [2**64 - 1, 0, 0]
    assert np.isnan(c["f"][1]) and c["f"][2] == -1000.0
    assert values(c["b"]) == [True, False, False]
    assert np.isnat(c["d"][1]) and str(c["d"][2]) == "1999-12-31"
    assert str(c["t"][2]) == "2020-01-02T03:04:06.500"
    assert values(c["s"]) == ["x", "", "007"]
    for name in c:
        assert c.missing[name].tolist() == [False, True, False]
    assert c.nrows == 3


def test_integer_limits_and_promotions():
    c = read("a,b,c,d,e\n"
             "9223372036854775807,9223372036854775808,-1,18446744073709551616,-9223372036854775808\n"
             "-9223372036854775808,1,9223372036854775808,1,-9223372036854775809\n")
    assert c["a"].dtype == np.int64 and values(c["a"]) == [2**63 - 1, -2**63]
    assert c["b"].dtype == np.uint64 and values(c["b"]) == [2**63, 1]
    # A negative value and one above the int64 maximum: no integer type holds both.
    assert c["c"].dtype == np.float64 and values(c["c"]) == [-1.0, float(2**63)]
    assert c["d"].dtype == np.float64 and values(c["d"]) == [float(2**64), 1.0]
    assert c["e"].dtype == np.float64 and values(c["e"]) == [-float(2**63), float(-2**63 - 1)]


@pytest.mark.parametrize("last, dtype, expect", [
    ("2.5", np.float64, None),
    ("x", None, "text"),
    ("true", None, "text"),
    ("", np.int64, None),
])
def test_the_last_row_decides(last, dtype, expect):
    rows = [str(i * 7 % 1000).zfill(3) for i in range(30000)]
    c = read("v\n" + "\n".join(rows + [last]) + "\n", chunk_bytes=4096, drop_blank_rows=last != "")
    col = c["v"]
    if expect == "text":
        # No value is altered: the texts stand as they were, "007" included.
        assert col.dtype.kind in "OT"
        assert values(col) == rows + [last]
    else:
        assert col.dtype == dtype
        assert values(col)[:3] == [0, 7, 14]
        assert c.missing["v"][-1] == (last == "")


def test_negative_zero_keeps_its_sign_when_integers_become_floats():
    c = read("v\n-0\n1\n0.5\n")
    assert np.signbit(c["v"][0]) and not np.signbit(c["v"][1])
    assert read("v\n-0\n")["v"].dtype == np.int64


def test_floats_equal_python_float():
    texts = ["0.1", "2.2250738585072011e-308", "1e400", "-1e-400", "nan", "-Infinity", " 3.5 ",
             "123456789012345678901234567890", "7.", ".5", "1E+2", "9007199254740993",
             "0.30000000000000004441", "4.9406564584124654e-324"]
    col = read("v\n" + "\n".join(texts) + "\n")["v"]
    for text, got in zip(texts, col.tolist()):
        want = float(text)
        assert (np.isnan(got) and np.isnan(want)) or (got == want and np.signbit(got) == np.signbit(want)), text


@pytest.mark.parametrize("algorithm", ["fast", "precise", "roundtrip"])
def test_other_float_algorithms(algorithm):
    col = read("v\n0.5\n-12.25\n1e3\n", float_algorithm=algorithm)["v"]
    assert values(col) == [0.5, -12.25, 1000.0]


def test_decimal_and_group_marks():
    c = read("a;b\n1.234,5;1.000\n2,25;12.000.000\n", sep=";", decimal_mark=",", group_mark=".")
    assert values(c["a"]) == [1234.5, 2.25]
    assert values(c["b"]) == [1000, 12000000]
    # Without a group mark a dot is no decimal mark when the mark is a comma.
    assert read("a;b\n1.5;1,5\n", sep=";", decimal_mark=",")["a"].dtype.kind in "OT"


def test_bool_spellings():
    assert values(read("b\nTrue\nFALSE\ntrue\n")["b"]) == [True, False, True]
    c = read("b\nyes\nno\n\n", true_values=["yes"], false_values=["no"], drop_blank_rows=False)
    assert values(c["b"]) == [True, False, False] and c.missing["b"].tolist() == [False, False, True]
    assert read("b\nyes\nno\n")["b"].dtype.kind in "OT"
    # Integers come first on the ladder, even when they are spellings.
    assert read("b\n1\n0\n", true_values=["1"], false_values=["0"])["b"].dtype == np.int64


def test_datetimes_units_zones_and_range():
    c = read("a,b,c,d,e\n"
             "2020-01-01,2020-01-01T10:00+05:30,2020-01-01T10:00Z,2020-01-01 10:00:00.123456789,1500-01-01\n"
             "2020-01-02,2020-01-01T10:00-01:00,2020-01-01T10:00,2020-01-01,2020-01-01T00:00:00.000000001\n")
    assert str(c["a"].dtype) == "datetime64[D]"
    # Offsets are converted to UTC.
    assert str(c["b"].dtype) == "datetime64[m]"
    assert [str(v) for v in c["b"]] == ["2020-01-01T04:30", "2020-01-01T11:00"]
    # With and without a zone: text, not a guess.
    assert c["c"].dtype.kind in "OT"
    assert str(c["d"].dtype) == "datetime64[ns]" and str(c["d"][1]) == "2020-01-01T00:00:00.000000000"
    # 1500 does not fit nanoseconds, the unit the other value needs.
    assert c["e"].dtype.kind in "OT" and values(c["e"]) == ["1500-01-01", "2020-01-01T00:00:00.000000001"]


def test_years_become_dates_when_a_date_arrives():
    rows = ["1999", "2000", "", "2024"] * 5000
    c = read("y\n" + "\n".join(rows + ["2020-06-01"]) + "\n", chunk_bytes=1000, drop_blank_rows=False)
    assert str(c["y"].dtype) == "datetime64[D]"
    assert str(c["y"][0]) == "1999-01-01" and np.isnat(c["y"][2]) and str(c["y"][-1]) == "2020-06-01"
    assert read("y\n1999\n2000\n")["y"].dtype == np.int64


def test_parse_dates_and_date_format():
    text = "a,b\n2020-01-01,2020-01-01\n"
    assert read(text, parse_dates=False)["a"].dtype.kind in "OT"
    c = read(text, parse_dates=["b"])
    assert c["a"].dtype.kind in "OT" and str(c["b"].dtype) == "datetime64[D]"
    c = read("a\n2020-01-01 10:00\n2020-01-02 11:30\n", date_format="%Y-%m-%d %H:%M")
    assert str(c["a"].dtype) == "datetime64[m]"
    assert read("a\n2020-01-01T10:00\n", date_format="%Y-%m-%d %H:%M")["a"].dtype.kind in "OT"


def test_empty_columns_and_missing_markers():
    c = read("a,b,c\n,NA,1\n,-,2\n", missing_values=["NA", "-"])
    assert c["a"].dtype == np.float64 and np.isnan(c["a"]).all() and c.missing["a"].all()
    assert c["b"].dtype == np.float64 and c.missing["b"].all()
    assert c["c"].dtype == np.int64
    c = read("a\n1\nNA\n3\n", missing_values=["NA"])
    assert c["a"].dtype == np.int64 and values(c["a"]) == [1, 0, 3]


def test_forced_dtypes():
    c = read("a,b,c,d\n1,2,2020-01-01T10:00,x\n", dtypes={"a": "float64", 1: str, "c": "datetime64[s]",
                                                          "d": np.dtypes.StringDType() if NUMPY2 else str})
    assert c["a"].dtype == np.float64 and c["b"].dtype.kind in "OT" and values(c["b"]) == ["2"]
    assert str(c["c"].dtype) == "datetime64[s]"
    with pytest.raises(ParseError, match=r"row 3.*'x'.*int64") as e:
        read("a\n1\nx\n", dtypes={"a": "int64"})
    assert e.value.row == 3
    with pytest.raises(ParseError):
        read("a\n2020-01-01T10:00:00.5\n", dtypes={"a": "datetime64[s]"})


def test_header_names_columns_and_skipping():
    text = "# note\nskip me\nx,y,x\n1,2,3\n4,5,6\n"
    c = read(text, comment="#", skip_rows=[1])
    assert list(c) == ["x", "y", "x.1"] and values(c["x.1"]) == [3, 6]
    c = read(text, comment="#", header=1, columns=["y", 0])
    assert list(c) == ["x", "y"]
    c = read("1,2\n3,4\n", header=None, names=["p", "q"])
    assert values(c["q"]) == [2, 4]
    assert list(read("1,2\n", header=None)) == ["0", "1"]
    c = read("h\n0\n1\n2\n3\n4\n", skip_rows=lambda r: r % 2 == 0 and r > 0, max_rows=2)
    assert values(c["h"]) == [0, 2]
    assert values(read("a\n1\n2\n3\n", skip_rows=2)["2"]) == [3]


def test_repr_and_mapping():
    c = read("name,value\n" + "".join(f"row{i},{i}\n" for i in range(100)))
    text = repr(c)
    assert text.splitlines()[0] == "Columns: 2 columns, 100 rows"
    assert "row0" in text and "row99" in text and "..." in text
    assert set(c.keys()) == {"name", "value"} and len(c) == 2 and dict(c.items()).keys() == c.keys()
    assert c.to_dict()["value"] is c["value"]
    with pytest.raises(TypeError):
        c["x"] = 1
    with pytest.raises(TypeError):
        c.missing["value"] = None
    assert repr(read("")) == "Columns: 0 columns, 0 rows"


# --- sources ------------------------------------------------------------------------

TABLE = "a,b,c\n1,x,2020-01-01\n2,\"y,\nz\",2020-01-02\n3,,\n"


class OneWay(io.RawIOBase):
    """A binary stream that cannot seek (forces the reader to spool)."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, b):
        return self._data.readinto(b)


def sources(tmp_path):
    raw = TABLE.encode()
    plain = tmp_path / "t.csv"
    plain.write_bytes(raw)
    out = {"path": str(plain), "pathlike": plain, "bytes": raw, "bytearray": bytearray(raw),
           "memoryview": memoryview(raw), "binary file": io.BytesIO(raw), "text file": io.StringIO(TABLE),
           "one-way stream": OneWay(raw)}
    openers = [(".gz", gzip.open), (".bz2", bz2.open), (".xz", lzma.open)]
    try:
        from compression import zstd  # Python 3.14

        openers.append((".zst", zstd.open))
    except ImportError:
        pass
    for suffix, opener in openers:
        path = tmp_path / ("t.csv" + suffix)
        with opener(path, "wb") as f:
            f.write(raw)
        out[suffix] = path
    return out


def test_every_source_kind_reads_the_same(tmp_path):
    want = read(TABLE)
    for kind, source in sources(tmp_path).items():
        got = tavrel.read_columns(source)
        assert list(got) == list(want), kind
        for name in want:
            assert values(got[name]) == values(want[name]), (kind, name)
            assert got.dtypes[name] == want.dtypes[name], (kind, name)
    assert values(want["b"]) == ["x", "y,\nz", ""]


def test_paths_that_are_not_files(tmp_path):
    with pytest.raises(FileNotFoundError):
        tavrel.read_columns(tmp_path / "missing.csv")
    with pytest.raises(IsADirectoryError):
        tavrel.read_columns(tmp_path)
    with pytest.raises(TypeError, match="source"):
        tavrel.read_columns(12)


def test_text_file_opened_in_text_mode(tmp_path):
    path = tmp_path / "u.csv"
    path.write_text("name\ncafé\n日本\n", encoding="utf-8")
    with open(path, encoding="utf-8") as f:
        assert values(tavrel.read_columns(f)["name"]) == ["café", "日本"]


# --- bad input ------------------------------------------------------------------------

def test_bad_rows_under_each_policy():
    text = "a,b\n1,2\n3,4,5\n6,7\n8,9,10,11\n"
    with pytest.raises(ParseError, match="row 3") as e:
        read(text)
    assert e.value.row == 3 and isinstance(e.value, ValueError)
    with pytest.warns(ParseWarning) as caught:
        c = read(text, bad_rows="warn")
    assert [str(w.message) for w in caught] == ["Skipping row 3: expected 2 fields, saw 3",
                                                "Skipping row 5: expected 2 fields, saw 4"]
    assert values(c["a"]) == [1, 6]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        c = read(text, bad_rows="skip")
    assert values(c["b"]) == [2, 7]
    # The first data row is checked too, in every batch.
    with pytest.raises(ParseError, match="row 2"):
        read("a\n1,2\n3\n")
    with pytest.raises(ParseError, match="row 1"):
        read("1,2,3\n", header=None, names=["p", "q"])
    many = "a\n" + "1\n" * 5000 + "1,2\n"
    with pytest.raises(ParseError) as e:
        read(many)
    assert e.value.row == 5002


def test_short_rows_are_padded_with_missing_values():
    c = read("a,b,c\n1\n2,3\n")
    assert c.missing["c"].tolist() == [True, True] and c.missing["b"].tolist() == [True, False]
    # The first row too, when the names give the width.
    c = read("1\n2,3\n", header=None, names=["p", "q"])
    assert values(c["q"]) == [0, 3] and c.missing["q"].tolist() == [True, False]
    first, second = tavrel.iter_columns(OneWay(b"1\n2,3\n"), header=None, names=["p", "q"], batch_rows=1)
    assert first.missing["q"].tolist() == [True] and values(second["q"]) == [3]


def test_unclosed_quote_and_empty_inputs():
    with pytest.raises(ParseError, match="unclosed quote") as e:
        read('a\n1\n"open\n2\n')
    assert e.value.row == 3
    assert len(read("")) == 0
    c = read("a,b\n")
    assert list(c) == ["a", "b"] and c.nrows == 0 and c["a"].dtype == np.float64
    c = read("", header=None, names=["x"])
    assert list(c) == ["x"] and c.nrows == 0


@pytest.mark.parametrize("handler, expect", [
    ("replace", "a\ufffdb"), ("ignore", "ab"), ("backslashreplace", "a\\xffb")])
def test_invalid_utf8_under_error_handlers(handler, expect):
    c = tavrel.read_columns(b"t\nok\na\xffb\n", encoding_errors=handler)
    assert values(c["t"]) == ["ok", expect]


def test_invalid_utf8_strict_and_surrogates():
    with pytest.raises(ParseError, match="UTF-8") as e:
        tavrel.read_columns(b"t\nok\na\xffb\n")
    assert e.value.row == 3
    if NUMPY2:
        with pytest.raises(ValueError, match="surrogate"):
            tavrel.read_columns(b"t\na\xffb\n", encoding_errors="surrogateescape")
    else:
        assert tavrel.read_columns(b"t\na\xffb\n", encoding_errors="surrogateescape")["t"][0] == "a\udcffb"
    # A text-mode source holding lone surrogates fails to encode under strict.
    with pytest.raises(UnicodeEncodeError):
        tavrel.read_columns(io.StringIO("t\na\udcffb\n"))
    c = tavrel.read_columns(io.StringIO("t\na\udcffb\n"), encoding_errors="replace")
    assert values(c["t"]) == ["a?b"]


class Failing(io.RawIOBase):
    def __init__(self, data, fail_after, result=None):
        self.data = io.BytesIO(data)
        self.calls = 0
        self.fail_after = fail_after
        self.result = result

    def readable(self):
        return True

    def read(self, size=-1):
        self.calls += 1
        if self.calls > self.fail_after:
            if self.result is not None:
                return self.result
            raise OSError("disk on fire")
        return self.data.read(size)


def test_read_that_raises_or_returns_garbage():
    data = b"a\n" + b"1\n" * 100000
    with pytest.raises(OSError, match="disk on fire"):
        tavrel.read_columns(Failing(data, 2), chunk_bytes=1000)
    with pytest.raises(TypeError, match="neither bytes nor str"):
        tavrel.read_columns(Failing(data, 2, result=42), chunk_bytes=1000)
    seekable = io.BytesIO(data)
    seekable.read = lambda size=-1: 42
    with pytest.raises(TypeError, match="neither bytes nor str") as caught:
        tavrel.read_columns(seekable)
    assert isinstance(caught.value.__cause__, TypeError)  # the tokenizer's own, kept as the cause
    c = tavrel.read_columns(io.BufferedReader(io.BytesIO(data)), chunk_bytes=1 << 20)
    assert c.nrows == 100000


# --- iteration -----------------------------------------------------------------------------

def test_iter_columns_types_by_the_whole_input():
    text = "a,b\n" + "".join(f"{i},{i}\n" for i in range(1000)) + "1.5,x\n"
    batches = list(tavrel.iter_columns(text.encode(), batch_rows=300))
    assert [b.nrows for b in batches] == [300, 300, 300, 101]
    assert all(b["a"].dtype == np.float64 and b["b"].dtype.kind in "OT" for b in batches)
    assert np.concatenate([b["b"] for b in batches]).tolist() == [str(i) for i in range(1000)] + ["x"]


def test_iter_columns_on_a_one_way_stream_types_each_batch():
    text = b"a\n1\n2\n3\nx\n"
    batches = list(tavrel.iter_columns(OneWay(text), batch_rows=2))
    assert [b["a"].dtype.kind for b in batches] == ["i", "OT"[NUMPY2]]
    assert values(batches[1]["a"]) == ["3", "x"]


# --- options ---------------------------------------------------------------------------------

BAD_OPTIONS = [
    ("sep", ",,", ValueError), ("sep", 5, TypeError), ("sep", None, TypeError), ("sep", "\n", ValueError),
    ("sep", "é", ValueError), ("quote", 1.0, TypeError), ("escape", "ab", ValueError),
    ("comment", b"", ValueError), ("sep", '"', ValueError), ("header", -1, ValueError),
    ("header", "0", TypeError), ("header", True, TypeError), ("names", "ab", TypeError),
    ("names", ["a", "a"], ValueError), ("names", [1], TypeError), ("columns", "a", TypeError),
    ("columns", [1.5], TypeError), ("skip_rows", -1, ValueError), ("skip_rows", [-2], ValueError),
    ("skip_rows", 1.5, TypeError), ("max_rows", -5, ValueError), ("max_rows", 2**80, ValueError),
    ("bad_rows", "ignore", ValueError), ("bad_rows", 1, TypeError), ("encoding_errors", "nope", ValueError),
    ("encoding_errors", b"strict", TypeError), ("drop_blank_rows", 1, TypeError),
    ("decimal_mark", "", ValueError), ("decimal_mark", "5", ValueError), ("group_mark", ".", ValueError),
    ("float_algorithm", "best", ValueError), ("dtypes", ["int64"], TypeError),
    ("dtypes", {"a": "int32"}, ValueError), ("dtypes", {"a": "nonsense"}, ValueError),
    ("dtypes", {1.5: "int64"}, TypeError), ("dtypes", {"a": "datetime64"}, ValueError),
    ("missing_values", "NA", TypeError), ("missing_values", [1], TypeError),
    ("true_values", [], ValueError), ("true_values", ["x"], None), ("parse_dates", "a", TypeError),
    ("date_format", 5, TypeError), ("date_format", "é", ValueError), ("chunk_bytes", 0, ValueError),
    ("chunk_bytes", 2**62, ValueError), ("chunk_bytes", -1, ValueError), ("chunk_bytes", "1", TypeError),
    ("progress", "yes", TypeError), ("colour", "red", TypeError),
]


@pytest.mark.parametrize("name, value, error", BAD_OPTIONS)
def test_bad_options_name_themselves(name, value, error):
    if error is None:
        read("a\nx\n", **{name: value})
        return
    with pytest.raises(error, match=name):
        read("a\n1\n", **{name: value})


def test_options_that_need_the_header():
    with pytest.raises(ValueError, match="columns: no column named 'z'"):
        read("a\n1\n", columns=["z"])
    with pytest.raises(ValueError, match="columns: no column at position 3"):
        read("a\n1\n", columns=[3])
    with pytest.raises(ValueError, match="dtypes: no column named"):
        read("a\n1\n", dtypes={"b": "int64"})
    with pytest.raises(ValueError, match="parse_dates: no column"):
        read("a\n1\n", parse_dates=[7])
    with pytest.raises(ValueError, match="batch_rows"):
        tavrel.iter_columns(b"a\n1\n", batch_rows=0)
    with pytest.raises(TypeError, match="skip_rows"):
        read("a\n1\n", skip_rows=object())


def test_progress_reports_bytes_total_and_rows(tmp_path):
    path = tmp_path / "p.csv"
    path.write_bytes(b"a\n" + b"12345\n" * 200000)
    seen = []
    tavrel.read_columns(path, progress=lambda done, total, rows: seen.append((done, total, rows)))
    assert seen and seen[-1] == (os.path.getsize(path), os.path.getsize(path), 200000)
    assert all(a[0] <= b[0] and a[2] <= b[2] for a, b in zip(seen, seen[1:]))


def test_progress_bar_on_stderr(tmp_path, capsys):
    path = tmp_path / "p.csv"
    path.write_bytes(b"a\n" + b"12345\n" * 1000000)
    tavrel.read_columns(path, progress=True)
    err = capsys.readouterr().err
    assert "MB" in err or "B/s" in err or "%" in err
    tavrel.read_columns(b"a\n1\n", progress=True)
    assert capsys.readouterr().err == ""
