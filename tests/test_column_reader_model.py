"""The column reader against an independent plain-Python model (the csv
module plus per-column conversion), and the same table whatever the chunk
size, batch size, source kind or entry point."""

import csv
import io
import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tavrel
from support import csv_model

EMULATED = os.environ.get("TAVREL_TARGET_ARCH") == "armhf"

WORDS = ["alpha", "b,c", 'say "hi"', "two\nlines", "cr\r\nlf", " padded ", "x", "Ünïcödé", "tab\there", "#"]


def cells(flavor):
    """Texts of one column flavor; "" is a missing value."""
    missing = st.just("")
    if flavor == "int":
        value = st.integers(-2**63, 2**63 - 1).map(str)
    elif flavor == "bigint":
        value = st.one_of(st.integers(2**63, 2**64 - 1), st.integers(0, 10)).map(str)
    elif flavor == "mixedint":
        value = st.one_of(st.integers(-2**64, 2**64), st.sampled_from(["-0", "+7", "007", " 12 "])).map(str)
    elif flavor == "float":
        value = st.one_of(st.floats(allow_nan=False).map(repr), st.floats(width=32).map(lambda f: f"{f:.6g}"),
                          st.integers(-1000, 1000).map(str), st.sampled_from(["nan", "-inf", "1e400", ".5", "5."]))
    elif flavor == "bool":
        value = st.sampled_from(["true", "false", "TRUE", "False"])
    elif flavor == "date":
        value = st.dates().map(lambda d: f"{d.year:04d}-{d.month:02d}-{d.day:02d}")
    elif flavor == "datetime":
        value = st.datetimes().map(lambda t: t.strftime("%Y-%m-%dT%H:%M:%S") + f".{t.microsecond:06d}")
    elif flavor == "aware":
        value = st.tuples(st.datetimes(), st.integers(-23 * 60, 23 * 60)).map(
            lambda p: p[0].strftime("%Y-%m-%d %H:%M") + ("+" if p[1] >= 0 else "-")
            + f"{abs(p[1]) // 60:02d}:{abs(p[1]) % 60:02d}")
    elif flavor == "text":
        value = st.one_of(st.sampled_from(WORDS), st.text(st.characters(blacklist_categories=("Cs", "Nd")),
                                                          max_size=8))
    else:  # anything at all, mixed
        value = st.one_of(st.sampled_from(WORDS), st.integers(-5, 5).map(str), st.just("1.5"), st.just("true"),
                          st.just("2020-01-01"))
    return st.one_of(missing, value)


FLAVORS = ["int", "bigint", "mixedint", "float", "bool", "date", "datetime", "aware", "text", "mixed"]


@st.composite
def tables(draw):
    flavors = draw(st.lists(st.sampled_from(FLAVORS), min_size=1, max_size=5))
    nrows = draw(st.integers(0, 25))
    columns = [draw(st.lists(cells(f), min_size=nrows, max_size=nrows)) for f in flavors]
    names = [f"{f}{i}" for i, f in enumerate(flavors)]
    rows = [list(r) for r in zip(*columns)] if nrows else []
    out = io.StringIO(newline="")
    writer = csv.writer(out, lineterminator=draw(st.sampled_from(["\n", "\r\n"])))
    writer.writerow(names)
    writer.writerows(rows)
    return out.getvalue()


@settings(max_examples=40 if EMULATED else 300, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.sampled_from([1, 7, 64, 1 << 20]))
def test_reads_like_the_model(text, chunk):
    model = csv_model.read(text)
    got = tavrel.read_columns(text.encode("utf-8"), chunk_bytes=chunk)
    csv_model.assert_matches(got, model)


def same(a, b):
    assert list(a) == list(b)
    assert a.nrows == b.nrows
    for name in a:
        assert a.dtypes[name] == b.dtypes[name], name
        assert a.missing[name].tolist() == b.missing[name].tolist(), name
        x, y = a[name], b[name]
        if x.dtype.kind == "f":
            assert np.array_equal(x, y, equal_nan=True) and (np.signbit(x) == np.signbit(y)).all(), name
        else:
            assert x.tolist() == y.tolist(), name


def concatenated(batches, like):
    """One Columns from the batches of iter_columns."""
    data = {name: np.concatenate([b[name] for b in batches]) if batches else like[name][:0] for name in like}
    missing = {name: np.concatenate([b.missing[name] for b in batches]) if batches else like.missing[name][:0]
               for name in like}
    return tavrel.Columns(data, missing, sum(b.nrows for b in batches))


@settings(max_examples=20 if EMULATED else 100, suppress_health_check=[HealthCheck.too_slow])
@given(tables(), st.sampled_from([1, 7, 1000]), st.sampled_from([1, 13, 1 << 16]))
def test_iteration_and_chunking_give_the_same_table(text, batch, chunk):
    data = text.encode("utf-8")
    whole = tavrel.read_columns(data)
    same(whole, tavrel.read_columns(data, chunk_bytes=chunk))
    same(whole, tavrel.read_columns(io.StringIO(text, newline=""), chunk_bytes=chunk))
    batches = list(tavrel.iter_columns(data, batch_rows=batch, chunk_bytes=chunk))
    assert all(b.nrows <= batch for b in batches)
    same(whole, concatenated(batches, whole))


def test_large_table_over_every_source_and_batch(tmp_path):
    n = 3000 if EMULATED else 30000
    lines = ["id,x,when,name,flag"]
    for i in range(n):
        lines.append(f'{i},{i / 7:.5f},2020-01-{1 + i % 28:02d}T{i % 24:02d}:00:00,"n,{i}",{"true" if i % 3 else ""}')
    lines.append('x,1e5,2021-01-01,"last\nrow",false')  # the last row decides two types
    text = "\n".join(lines) + "\n"
    path = tmp_path / "big.csv"
    path.write_text(text)
    whole = tavrel.read_columns(path)
    assert whole["id"].dtype.kind in "OT" and whole["id"][0] == "0" and whole["id"][-1] == "x"
    assert str(whole["when"].dtype) == "datetime64[s]"
    assert whole["name"][-1] == "last\nrow"
    for chunk in (97, 4096):
        same(whole, tavrel.read_columns(text.encode(), chunk_bytes=chunk))
        with open(path, "rb") as f:
            same(whole, tavrel.read_columns(f, chunk_bytes=chunk))
    for batch in (1 if not EMULATED else 97, 7, 100000):
        if batch == 1 and n > 5000:
            continue
        same(whole, concatenated(list(tavrel.iter_columns(path, batch_rows=batch)), whole))


@st.composite
def hostile(draw):
    """Any bytes of a delimited-text alphabet, under any dialect."""
    data = draw(st.binary(max_size=300) | st.lists(st.sampled_from(
        [b"a", b"1", b"-2.5", b",", b";", b'"', b"\n", b"\r", b"\r\n", b"#", b"\\", b" ", b"\x00", b"\xff", b"",
         b"2020-01-01", b"true", b"NA"]), max_size=80).map(b"".join))
    options = dict(
        sep=draw(st.sampled_from([",", ";"])),
        quote=draw(st.sampled_from(['"', None])),
        escape=draw(st.sampled_from([None, "\\"])),
        comment=draw(st.sampled_from([None, "#"])),
        header=draw(st.sampled_from([0, 1, None])),
        drop_blank_rows=draw(st.booleans()),
        bad_rows=draw(st.sampled_from(["error", "warn", "skip"])),
        encoding_errors=draw(st.sampled_from(["strict", "replace"])),
        chunk_bytes=draw(st.sampled_from([1, 3, 64])),
    )
    if draw(st.booleans()):
        options["names"] = draw(st.lists(st.sampled_from("pqrst"), min_size=1, max_size=4, unique=True))
    if draw(st.booleans()):
        options["skip_rows"] = draw(st.sampled_from([1, [0, 2], lambda r: r % 3 == 1]))
    if draw(st.booleans()):
        options["max_rows"] = draw(st.integers(0, 5))
    if draw(st.booleans()):
        options["missing_values"] = ["NA"]
    return data, options


@settings(max_examples=60 if EMULATED else 500, suppress_health_check=[HealthCheck.too_slow])
@given(hostile(), st.sampled_from([1, 2, 50]))
def test_any_input_reads_or_fails_cleanly(case, batch):
    data, options = case
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for run in (lambda: [tavrel.read_columns(data, **options)],
                    lambda: list(tavrel.iter_columns(data, batch_rows=batch, **options))):
            try:
                results = run()
            except (tavrel.ParseError, UnicodeError):
                continue
            for c in results:
                for name in c:
                    assert len(c[name]) == c.nrows == len(c.missing[name])
