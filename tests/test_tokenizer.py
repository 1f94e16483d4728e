"""The tokenizer through the parser table: worked examples, chunking
invariance, errors and warnings, row skipping, and a differential test
against the reference tokenizer of support/parser_client.py."""

import io
import os
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import parser_client as tc

API, Dialect, Parser, run_native, reference = tc.API, tc.Dialect, tc.Parser, tc.run_native, tc.reference

CHUNKINGS = [(), (1,), (2,), (3,), (7,), (1, 5, 2)]

# Emulated ARM is slow: fewer property examples there.
SCALE = 10 if os.environ.get("TAVREL_TARGET_ARCH") == "armhf" else 1


def rows_of(data, dialect=Dialect(), **kw):
    out = run_native(data, dialect, **kw)
    assert out.result == 0, out
    return out.rows


def check_all_chunkings(data, dialect):
    """Native equals the reference for every chunking, and returns it."""
    expected = reference(data, dialect)
    for sizes in CHUNKINGS:
        got = run_native(data, dialect, sizes)
        assert got.key() == expected.key(), (data, dialect, sizes)
    return expected


B = lambda *xs: [x.encode() for x in xs]  # noqa: E731


# ---------------------------------------------------------------- examples

@pytest.mark.parametrize("data", [b"a,b\nc,d\n", b"a,b\r\nc,d", b"a,b\rc,d"])
def test_line_endings(data):
    assert check_all_chunkings(data, Dialect()).rows == [B("a", "b"), B("c", "d")]


def test_custom_terminator_makes_cr_text():
    d = Dialect(row_end=ord(";"))
    assert check_all_chunkings(b"a,b;c,d", d).rows == [B("a", "b"), B("c", "d")]
    assert check_all_chunkings(b"a\rb;", d).rows == [[b"a\rb"]]


def test_empty_fields():
    assert rows_of(b"a,\n") == [B("a", "")]
    assert rows_of(b",\n") == [B("", "")]


def test_quotes():
    d = Dialect(quote_doubling=True)
    assert check_all_chunkings(b'"a""b",c\n', d).rows == [[b'a"b', b"c"]]
    # Without doubling the second quote closes the quoting; the rest is text.
    assert check_all_chunkings(b'"a""b",c\n', Dialect()).rows == [[b'a"b"', b"c"]]
    assert rows_of(b'"x,y\nz",w\n') == [[b"x,y\nz", b"w"]]
    # Quote processing off: the quote byte is text everywhere.
    assert rows_of(b'"a,b"\n', Dialect(quote_mode=3)) == [[b'"a', b'b"']]
    assert rows_of(b'a"b\n') == [[b'a"b']]


def test_escape():
    d = Dialect(escape=ord("\\"))
    assert check_all_chunkings(b'a\\,b,"q\\"r"\n', d).rows == [[b"a,b", b'q"r']]
    out = run_native(b"a\\", d)
    assert (out.result, out.error) == (-1, "EOF following escape character")


def test_unclosed_quote_reports_its_row():
    out = check_all_chunkings(b'a\nb\n"open\nmore', Dialect())
    assert (out.result, out.error) == (-1, "EOF inside string starting at row 2")


def test_split_on_blanks():
    d = Dialect(split=True)
    assert check_all_chunkings(b"  a   b\t c\n", d).rows == [B("a", "b", "c")]
    assert rows_of(b"  a,b\n") == [[b"  a", b"b"]]
    assert rows_of(b"  a,b\n", Dialect(skip_space=True)) == [B("a", "b")]


def test_blank_rows():
    data = b"a\n\n  \nb\n"
    out = check_all_chunkings(data, Dialect(drop_blank=True))
    assert out.rows == [[b"a"], [b"b"]] and out.source_rows == 4
    # Kept, an empty line is a row of no fields padded to the previous row.
    assert rows_of(b"a,b\n\n", Dialect()) == [B("a", "b"), B("", "")]


def test_blank_prefix_of_a_real_row_is_kept_across_chunks():
    # The leading blanks of a row that turns out to be real belong to its
    # first field, wherever the reads were cut.
    d = Dialect(drop_blank=True)
    out = check_all_chunkings(b"x,w\n   \t y,z\n", d)
    assert out.rows == [B("x", "w"), [b"   \t y", b"z"]]
    d = Dialect(drop_blank=True, sep=ord("\t"))
    assert check_all_chunkings(b"  \tq\n", d).rows == [[b"  ", b"q"]]


def test_comments():
    d = Dialect(comment=ord("#"))
    out = check_all_chunkings(b"#c\na,b#rest\nc,d\n", d)
    assert out.rows == [B("a", "b"), B("c", "d")] and out.source_rows == 3


def test_blanks_then_comment_is_a_row_whether_or_not_blank_rows_are_dropped():
    # The line holds more than blanks, so dropping blank rows leaves it
    # alone: a row without fields, as when blank rows are kept.  A comment
    # line starts with the comment byte.
    data = b"a b\n   # note\n# line\nc d\n"
    for drop in (False, True):
        d = Dialect(split=True, drop_blank=drop, comment=ord("#"), want_fields=2)
        out = check_all_chunkings(data, d)
        assert out.rows == [B("a", "b"), B("", ""), B("c", "d")] and out.source_rows == 4


def test_rows_of_blank_special_bytes_with_blank_rows_dropped():
    # A row that starts with blanks is read again from its first byte once
    # it turns out real; here the blanks are also the escape or the quote,
    # and the rows are longer than one 16-byte block.
    data = b" \t" * 9 + b"x\n"
    for drop in (False, True):
        out = check_all_chunkings(data, Dialect(escape=ord(" "), drop_blank=drop))
        assert out.rows == [[b"\t" * 9 + b"x"]]
    data = b" \t\t\t\t  \t\t\t\t\t\t\t\t\t\t  \tx"
    for drop in (False, True):
        out = check_all_chunkings(data, Dialect(quote=ord(" "), quote_doubling=True, drop_blank=drop))
        assert (out.result, out.error, out.rows) == (-1, "EOF inside string starting at row 0", [])


def test_padding_bad_rows_and_column_subset():
    d = Dialect(want_fields=3)
    assert rows_of(b"a\n", d) == [B("a", "", "")]
    data = b"a,b,c\na,b,c,d\ne,f\n"
    out = check_all_chunkings(data, d)
    assert out.result == -1 and out.error == "Expected 3 fields in line 2, saw 4\n"
    assert out.rows == [B("a", "b", "c")]
    warn = check_all_chunkings(data, Dialect(want_fields=3, bad_row_mode=1))
    assert warn.rows == [B("a", "b", "c"), B("e", "f", "")]
    assert warn.warnings == "Skipping line 2: expected 3 fields, saw 4\n"
    drop = check_all_chunkings(data, Dialect(want_fields=3, bad_row_mode=2))
    assert drop.rows == warn.rows and drop.warnings is None
    # The dropped row's fields stay in the field table, outside any row.
    assert drop.field_count == 3 + 4 + 3
    subset = check_all_chunkings(data, Dialect(want_fields=3, column_subset=True))
    assert subset.rows[1] == B("a", "b", "c", "d")


def test_first_data_row_is_never_rejected():
    out = check_all_chunkings(b"a,b,c,d\n", Dialect(want_fields=3))
    assert out.result == 0 and out.rows == [B("a", "b", "c", "d")]
    # Measured against the previous kept row when want_fields is negative.
    out = check_all_chunkings(b"a,b\nc,d,e\n", Dialect())
    assert out.error == "Expected 2 fields in line 2, saw 3\n"


def test_header_rows_are_not_measured():
    d = Dialect(want_fields=2, header=1)
    out = check_all_chunkings(b"h\nh1,h2,h3\nx,y,z\nq\nr,s,t\n", d)
    assert out.rows[:4] == [[b"h"], B("h1", "h2", "h3"), B("x", "y", "z"), B("q", "")]
    assert out.error == "Expected 2 fields in line 5, saw 3\n"


def test_byte_order_mark_split_across_reads():
    data = b"\xef\xbb\xbfa,b\n"
    for sizes in [(1,), (2,), (1, 2), (2, 1, 5), (3,)]:
        assert rows_of(data, sizes=sizes) == [B("a", "b")]
    # Only at the very start of the input, and a prefix alone is data.
    assert rows_of(b"x\n\xef\xbb\xbfy\n", sizes=(2,)) == [[b"x"], [b"\xef\xbb\xbfy"]]
    assert check_all_chunkings(b"\xef\xbb", Dialect()).rows == [[b"\xef\xbb"]]
    assert check_all_chunkings(b"\xef\xbbz\n", Dialect()).rows == [[b"\xef\xbbz"]]


# ---------------------------------------------------------------- carriage returns

def test_lone_cr_after_a_dropped_row_keeps_the_next_separator():
    d = Dialect(comment=ord("#"))
    assert check_all_chunkings(b"#c\r,x\n", d).rows == [B("", "x")]
    d = Dialect(drop_blank=True)
    assert check_all_chunkings(b"\r,x\n", d).rows == [B("", "x")]


def test_skipped_row_starting_with_cr_ends_there():
    d = Dialect(skip_set=(0,))
    out = check_all_chunkings(b"\ra,b\n", d)
    assert out.rows == [B("a", "b")] and out.source_rows == 2


def test_row_after_cr_goes_through_the_skip_test():
    d = Dialect(skip_set=(1,))
    out = check_all_chunkings(b"a\r,b\nc\n", d)
    assert out.rows == [[b"a"], [b"c"]] and out.source_rows == 3


# ---------------------------------------------------------------- skipping

def test_skip_rows_by_set_leading_count_and_predicate():
    data = b"r0\nr1\nr2\nr3\n"
    assert rows_of(data, Dialect(skip_set=(1, 3))) == [[b"r0"], [b"r2"]]
    assert rows_of(data, Dialect(skip_leading=3)) == [[b"r3"]]
    assert rows_of(data, Dialect(skip_leading=0)) == [[b"r0"], [b"r1"], [b"r2"], [b"r3"]]
    assert rows_of(data, Dialect(skip_leading=-2)) == [[b"r0"], [b"r1"], [b"r2"], [b"r3"]]
    seen = []

    def pred(n):
        seen.append(n)
        return n % 2 == 0

    assert rows_of(data, Dialect(skip_predicate=pred)) == [[b"r1"], [b"r3"]]
    assert seen == [0, 1, 2, 3]
    assert all(type(n) is int for n in seen)


def test_predicate_is_asked_once_per_row_when_splitting():
    seen = []
    d = Dialect(split=True, skip_predicate=lambda n: seen.append(n) or False)
    assert rows_of(b"a b c\n d e f\n", d) == [B("a", "b", "c"), B("d", "e", "f")]
    assert seen == [0, 1]


def test_skipped_rows_end_where_kept_rows_would():
    d = Dialect(skip_set=(0,), quote_doubling=True)
    assert check_all_chunkings(b',"x\ny"\nz\n', d).rows == [[b"z"]]
    d = Dialect(skip_set=(0,), escape=ord("\\"))
    assert check_all_chunkings(b'a\\\nb,"q\\"\nr"\nz\n', d).rows == [[b"z"]]
    d = Dialect(skip_set=(0,), comment=ord("#"))
    assert check_all_chunkings(b'a#"\nz\n', d).rows == [[b"z"]]
    d = Dialect(skip_set=(0,), skip_space=True)
    assert check_all_chunkings(b'  "a\nb"\nz\n', d).rows == [[b"z"]]


def test_predicate_error_stops_the_run_with_the_exception():
    def pred(n):
        raise KeyError(n)

    with Parser(Dialect(skip_predicate=pred), tc.ChunkedReader(b"a\n", ())) as ps:
        with pytest.raises(KeyError):
            API.tokenize_to_end(ps.p, None)
        assert ps.rec.error_text is None

    class Falsy:
        def __bool__(self):
            raise ValueError("no truth")

    with Parser(Dialect(skip_predicate=lambda n: Falsy()), tc.ChunkedReader(b"a\n", ())) as ps:
        with pytest.raises(ValueError, match="no truth"):
            API.tokenize_to_end(ps.p, None)


# ---------------------------------------------------------------- run modes

def test_row_count_mode_continues_where_it_stopped():
    with Parser(Dialect(), io.BytesIO(b"1\n2\n3\n")) as ps:
        assert API.tokenize_row_count(ps.p, 0, None) == 0 and ps.rec.chunk_len == 0
        assert API.tokenize_row_count(ps.p, 2, None) == 0
        assert ps.rows() == [[b"1"], [b"2"]]
        assert API.tokenize_row_count(ps.p, 2, None) == 0
        assert ps.rows() == [[b"1"], [b"2"], [b"3"]] and ps.rec.tok_state == 17
        assert API.tokenize_to_end(ps.p, None) == 0


def test_no_read_after_the_end():
    reader = tc.ChunkedReader(b"a\n", ())
    with Parser(Dialect(), reader) as ps:
        assert API.tokenize_to_end(ps.p, None) == 0
        calls = reader.calls
        assert API.tokenize_to_end(ps.p, None) == 0
        assert API.tokenize_row_count(ps.p, 5, None) == 0
        assert reader.calls == calls


def test_runs_with_the_lock_released():
    out = run_native(b"a,b\nc,d\n", Dialect(skip_predicate=lambda n: n == 0), (3,), nogil=True)
    assert out.rows == [B("c", "d")]


def test_discarding_between_batches_keeps_the_partial_row():
    data = b"".join(b"%d,%d\n" % (i, i * i) for i in range(200))
    with Parser(Dialect(), tc.ChunkedReader(data, (13,))) as ps:
        ps.rec.chunk_bytes = 13
        got = []
        while ps.rec.tok_state != 17:
            assert API.tokenize_row_count(ps.p, 7, None) == 0
            got += ps.rows()
            assert API.parser_discard_rows(ps.p, ps.rec.row_count + 5) == 0
            assert API.parser_shrink_buffers(ps.p) == 0
        assert got == [[b"%d" % i, b"%d" % (i * i)] for i in range(200)]


# ---------------------------------------------------------------- differential

ALPHABET = b',;"\'\\# \t\r\n|ab'


@st.composite
def dialects(draw):
    skip = draw(st.sampled_from(["none", "set", "leading", "predicate"]))
    rows = draw(st.frozensets(st.integers(0, 8), max_size=4))
    d = Dialect(
        sep=draw(st.sampled_from(b",; \t")),
        quote=draw(st.sampled_from(b"\"'\"' \t")),
        escape=draw(st.sampled_from([0, ord("\\"), 0, ord("\\"), ord(" "), ord("\t")])),
        row_end=draw(st.sampled_from([0, 0, ord("|")])),
        comment=draw(st.sampled_from([0, ord("#"), 0, ord("#"), ord(" "), ord("\t")])),
        quote_mode=draw(st.sampled_from([0, 3])),
        quote_doubling=draw(st.booleans()),
        split=draw(st.booleans()),
        skip_space=draw(st.booleans()),
        drop_blank=draw(st.booleans()),
        column_subset=draw(st.booleans()),
        want_fields=draw(st.integers(-1, 4)),
        bad_row_mode=draw(st.integers(0, 2)),
        header=draw(st.sampled_from([None, None, 0, 1])),
    )
    if skip == "set":
        d.skip_set = tuple(sorted(rows))
    elif skip == "leading":
        d.skip_leading = draw(st.integers(-1, 4))
    elif skip == "predicate":
        d.skip_predicate = lambda n, rows=rows: n in rows
    return d


inputs = st.one_of(
    st.binary(max_size=60).map(lambda b: bytes(ALPHABET[x % len(ALPHABET)] for x in b)),
    st.binary(max_size=30).map(lambda b: b"\xef\xbb\xbf" + bytes(ALPHABET[x % len(ALPHABET)] for x in b)),
)


@settings(max_examples=400 // SCALE, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=inputs, d=dialects(), sizes=st.lists(st.integers(1, 9), min_size=1, max_size=3))
def test_matches_reference(data, d, sizes):
    expected = reference(data, d)
    assert run_native(data, d, tuple(sizes)).key() == expected.key()
    assert run_native(data, d).key() == expected.key()


@settings(max_examples=150 // SCALE, deadline=None)
@given(data=inputs, d=dialects(), batch=st.integers(1, 3), size=st.integers(1, 5))
def test_row_batches_match_reference(data, d, batch, size):
    expected = reference(data, d)
    assert run_native(data, d, (size,), row_batches=batch).key() == expected.key()


def test_predicate_row_numbers_are_not_cut_to_32_bits():
    seen = []
    with Parser(Dialect(skip_predicate=lambda n: seen.append(n) or False), io.BytesIO(b"a\nb\n")) as ps:
        ps.rec.source_rows = (1 << 32) + 5
        assert API.tokenize_to_end(ps.p, None) == 0
    assert seen == [(1 << 32) + 5, (1 << 32) + 6]


long_inputs = st.lists(st.sampled_from([b"abc", b"12.5", b",", b'"', b"\n", b"\r\n", b"#", b"\\",
                                        b"  ", b"\t", b"xxxxxxxxxxxxxxxxxxxx", b";", b"|"]),
                       max_size=120).map(b"".join)


@settings(max_examples=300 // SCALE, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=long_inputs, d=dialects(), size=st.integers(16, 70))
def test_long_inputs_match_reference(data, d, size):
    # Long runs of ordinary bytes go through the 16-byte block scans.
    expected = reference(data, d)
    assert run_native(data, d, (size,)).key() == expected.key()
    assert run_native(data, d).key() == expected.key()


def give_every_line_text(data, row_end):
    """data with an "x" added to every line that is empty or only blanks.

    Lines end at row_end, or at LF, CR and CR LF when row_end is NUL; a
    byte-order mark at the start is no text of the first line."""
    bom = b"\xef\xbb\xbf" if data.startswith(b"\xef\xbb\xbf") else b""
    ends = re.escape(bytes([row_end])) if row_end else rb"\r\n|\r|\n"
    parts = re.split(b"(" + ends + b")", data[len(bom):])
    lines, terminators = parts[0::2], parts[1::2] + [b""]
    out = bom
    for line, end in zip(lines, terminators):
        if line.strip(b" \t") == b"" and (line or end):
            line += b"x"
        out += line + end
    return out


@settings(max_examples=300 // SCALE, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.one_of(inputs, long_inputs), d=dialects(), size=st.integers(1, 40),
       batch=st.sampled_from([None, 1, 3]))
def test_dropping_blank_rows_changes_nothing_when_every_line_holds_text(data, d, size, batch):
    data = give_every_line_text(data, d.row_end)
    d.drop_blank = False
    kept = run_native(data, d)
    d.drop_blank = True
    dropped = run_native(data, d, (size,), row_batches=batch)
    assert (kept.result, kept.rows, kept.source_rows, kept.error, kept.warnings) == \
        (dropped.result, dropped.rows, dropped.source_rows, dropped.error, dropped.warnings)
    if batch is None:
        assert kept.field_count == dropped.field_count
