"""Test-only client of the parser table, and a reference tokenizer.

The client reaches the native tokenizer and converters as another extension
module would: through the capsule "tavrel._tavrel_parser_CAPI", with ctypes
mirroring the records of tavrel/parser_api.h.  Slots that need the
interpreter lock held (source_open, source_close, object_to_double and
parser_release, which closes the source) are called through PYFUNCTYPE
prototypes (a pending exception is raised); the others with the lock
released.  The tokenizer runs and the round-trip float parser, which take
the lock themselves for their Python calls, are available both ways.

`Converters` wraps the converter slots in calls that return plain tuples.

The reference tokenizer is a direct transcription of the tokenizer's state
table in plain Python, working on the whole input at once (so it has no
chunk boundaries), with skipped rows scanned by the kept-row rules.
"""

import ctypes
from dataclasses import dataclass, field
from typing import Callable, Optional

import tavrel
import tavrel._libs.tavrel_parser  # noqa: F401  (publishes the capsule)

c_int64 = ctypes.c_int64
c_uint64 = ctypes.c_uint64
c_int = ctypes.c_int
c_char = ctypes.c_char
c_void_p = ctypes.c_void_p
c_char_p = ctypes.c_char_p
c_size_t = ctypes.c_size_t


class TextParser(ctypes.Structure):
    _fields_ = [
        ("src_handle", c_void_p),
        ("read_fn", c_void_p),
        ("release_fn", c_void_p),
        ("chunk_bytes", c_int64),
        ("chunk", c_void_p),
        ("chunk_len", c_int64),
        ("chunk_pos", c_int64),
        ("text_buf", c_void_p),
        ("text_len", c_uint64),
        ("text_cap", c_uint64),
        ("field_ptrs", ctypes.POINTER(c_void_p)),
        ("field_offsets", ctypes.POINTER(c_int64)),
        ("field_count", c_uint64),
        ("field_cap", c_uint64),
        ("field_cap_peak", c_uint64),
        ("cur_field_ptr", c_void_p),
        ("cur_field_offset", c_int64),
        ("row_first_field", ctypes.POINTER(c_int64)),
        ("row_field_count", ctypes.POINTER(c_int64)),
        ("row_count", c_uint64),
        ("source_rows", c_uint64),
        ("row_cap", c_uint64),
        ("tok_state", c_int),
        ("quote_doubling", c_int),
        ("sep", c_char),
        ("split_on_blanks", c_int),
        ("quote", c_char),
        ("escape", c_char),
        ("row_end", c_char),
        ("skip_space_after_sep", c_int),
        ("quote_mode", c_int),
        ("comment", c_char),
        ("newline_in_quotes", c_int),
        ("column_subset", c_int),
        ("want_fields", ctypes.c_ssize_t),
        ("bad_row_mode", c_int),
        ("decimal_mark", c_char),
        ("exponent_mark", c_char),
        ("group_mark", c_char),
        ("reserved_int", c_int),
        ("reserved_int64", c_int64),
        ("last_header_row", c_uint64),
        ("skip_rows", c_void_p),
        ("skip_predicate", c_void_p),
        ("skip_below_row", c_int64),
        ("reserved_counter", c_int64),
        ("reserved_ptr", c_void_p),
        ("warning_text", c_void_p),
        ("error_text", c_void_p),
        ("drop_blank_rows", c_int),
    ]


class ColumnCursor(ctypes.Structure):
    _fields_ = [
        ("field_ptrs", ctypes.POINTER(c_void_p)),
        ("first_field_of_row", ctypes.POINTER(c_int64)),
        ("column", c_int64),
    ]


class UintScan(ctypes.Structure):
    _fields_ = [("seen_negative", c_int), ("seen_above_signed", c_int), ("seen_missing", c_int)]


PP = ctypes.POINTER(TextParser)
C = ctypes.CFUNCTYPE      # the lock is released around the call
PY = ctypes.PYFUNCTYPE    # the lock stays held; a pending exception is raised

# (text, end, decimal mark, exponent mark, group mark, skip trailing, error, may be integer)
DOUBLE_ARGS = [c_char_p, ctypes.POINTER(c_void_p), c_char, c_char, c_char, c_int, ctypes.POINTER(c_int),
               ctypes.POINTER(c_int)]

SLOTS = [
    ("text_to_double", C, c_int, [c_char_p, ctypes.POINTER(ctypes.c_double), c_char, c_char, ctypes.POINTER(c_int)]),
    ("object_to_double", PY, c_int, [ctypes.py_object, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(c_int)]),
    ("source_open", PY, c_void_p, [ctypes.py_object]),
    ("source_close", PY, None, [c_void_p]),
    ("source_read", C, c_void_p, [c_void_p, c_size_t, ctypes.POINTER(c_size_t), ctypes.POINTER(c_int), c_char_p]),
    ("uint_scan_reset", C, None, [ctypes.POINTER(UintScan)]),
    ("uint_scan_conflict", C, c_int, [ctypes.POINTER(UintScan)]),
    ("column_cursor_init", C, None, [ctypes.POINTER(ColumnCursor), PP, c_int64, c_int64]),
    ("parser_alloc", C, PP, []),
    ("parser_setup", C, c_int, [PP]),
    ("parser_release", PY, None, [PP]),
    ("parser_dealloc", C, None, [PP]),
    ("parser_skip_row", C, c_int, [PP, c_int64]),
    ("parser_skip_leading_rows", C, None, [PP, c_int64]),
    ("parser_apply_defaults", C, None, [PP]),
    ("parser_discard_rows", C, c_int, [PP, c_size_t]),
    ("parser_shrink_buffers", C, c_int, [PP]),
    ("tokenize_to_end", PY, c_int, [PP, c_char_p]),
    ("tokenize_row_count", PY, c_int, [PP, c_size_t, c_char_p]),
    ("parse_int64", C, c_int64, [c_char_p, c_int64, c_int64, ctypes.POINTER(c_int), c_char]),
    ("parse_uint64", C, c_uint64, [ctypes.POINTER(UintScan), c_char_p, c_int64, c_uint64, ctypes.POINTER(c_int), c_char]),
    ("parse_double_fast", C, ctypes.c_double, DOUBLE_ARGS),
    ("parse_double_precise", C, ctypes.c_double, DOUBLE_ARGS),
    ("parse_double_roundtrip", C, ctypes.c_double, DOUBLE_ARGS),
    ("parse_bool", C, c_int, [c_char_p, ctypes.POINTER(ctypes.c_uint8)]),
]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = c_void_p
_get_pointer.argtypes = [ctypes.py_object, c_char_p]


class Api:
    """The 25 slots as ctypes functions, in table order."""

    def __init__(self):
        capsule = tavrel._tavrel_parser_CAPI
        self.table_address = _get_pointer(capsule, b"tavrel._tavrel_parser_CAPI")
        table = (c_void_p * 25).from_address(self.table_address)
        self.addresses = list(table)
        for (name, kind, res, args), address in zip(SLOTS, self.addresses):
            setattr(self, name, kind(res, *args)(address))
        # Run variants with the lock released during the call.
        self.tokenize_to_end_nogil = C(c_int, PP, c_char_p)(self.addresses[17])
        self.tokenize_row_count_nogil = C(c_int, PP, c_size_t, c_char_p)(self.addresses[18])
        # The round-trip parser with the lock held during the call.
        self.parse_double_roundtrip_locked = PY(ctypes.c_double, *DOUBLE_ARGS)(self.addresses[23])


API = Api()

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
UINT64_MAX = 2**64 - 1


class Converters:
    """The converter slots as calls returning plain values."""

    def __init__(self, api=API):
        self.api = api

    def parse_double(self, fn, text, decimal=b".", exponent=b"E", group=b"\0", skip_trailing=1):
        """(value, error, maybe_int, consumed) with consumed None when the end
        pointer was left unwritten."""
        buf = ctypes.create_string_buffer(text)
        end = c_void_p(None)
        error = c_int(0)
        maybe_int = c_int(-7)
        value = fn(ctypes.cast(buf, c_char_p), ctypes.byref(end), decimal, exponent, group, skip_trailing,
                   ctypes.byref(error), ctypes.byref(maybe_int))
        consumed = None if end.value is None else end.value - ctypes.addressof(buf)
        return value, error.value, maybe_int.value, consumed

    def fast(self, text, *args, **kw):
        return self.parse_double(self.api.parse_double_fast, text, *args, **kw)

    def precise(self, text, *args, **kw):
        return self.parse_double(self.api.parse_double_precise, text, *args, **kw)

    def roundtrip(self, text, *args, locked=False, **kw):
        fn = self.api.parse_double_roundtrip_locked if locked else self.api.parse_double_roundtrip
        return self.parse_double(fn, text, *args, **kw)

    def text_to_double(self, text, exponent=b"E", decimal=b"."):
        out = ctypes.c_double(-1.0)
        maybe_int = c_int(-7)
        ok = self.api.text_to_double(text, ctypes.byref(out), exponent, decimal, ctypes.byref(maybe_int))
        return ok, out.value, maybe_int.value

    def object_to_double(self, obj):
        out = ctypes.c_double(-1.0)
        maybe_int = c_int(-7)
        self.api.object_to_double(obj, ctypes.byref(out), ctypes.byref(maybe_int))
        return out.value, maybe_int.value

    def parse_int64(self, text, lo=INT64_MIN, hi=INT64_MAX, group=b"\0"):
        error = c_int(-1)
        value = self.api.parse_int64(text, lo, hi, ctypes.byref(error), group)
        return value, error.value

    def parse_uint64(self, scan, text, signed_max=INT64_MAX, hi=UINT64_MAX, group=b"\0"):
        error = c_int(-1)
        value = self.api.parse_uint64(ctypes.byref(scan), text, signed_max, hi, ctypes.byref(error), group)
        return value, error.value

    def parse_bool(self, text):
        out = ctypes.c_uint8(9)
        status = self.api.parse_bool(text, ctypes.byref(out))
        return status, out.value


def _text(address):
    return None if not address else ctypes.string_at(address).decode("latin-1")


class ChunkedReader:
    """File-like object that hands out the data in pieces of fixed sizes."""

    def __init__(self, data, sizes):
        self.data = data
        self.pos = 0
        self.sizes = list(sizes) or [len(data) or 1]
        self.calls = 0
        self.asked = []

    def read(self, size):
        self.asked.append(size)
        n = self.sizes[self.calls % len(self.sizes)]
        self.calls += 1
        piece = self.data[self.pos:self.pos + n]
        self.pos += len(piece)
        return piece


@dataclass
class Dialect:
    sep: int = ord(",")
    quote: int = ord('"')
    escape: int = 0
    row_end: int = 0
    comment: int = 0
    quote_mode: int = 0
    quote_doubling: bool = False
    split: bool = False
    skip_space: bool = False
    drop_blank: bool = False
    column_subset: bool = False
    want_fields: int = -1
    bad_row_mode: int = 0
    header: Optional[int] = None   # last header row, None for none
    skip_set: tuple = ()
    skip_leading: int = 0
    skip_predicate: Optional[Callable[[int], bool]] = None


@dataclass
class Outcome:
    result: int
    rows: list
    source_rows: int
    field_count: int
    error: Optional[str]
    warnings: Optional[str]
    finished: bool = True
    extra: dict = field(default_factory=dict)

    def key(self):
        return (self.result, self.rows, self.source_rows, self.field_count, self.error, self.warnings)


class Parser:
    """A native parser record set up like a client would."""

    def __init__(self, dialect=Dialect(), source=None, chunk_bytes=262144):
        self.p = API.parser_alloc()
        assert self.p
        self.rec = self.p.contents
        API.parser_apply_defaults(self.p)
        assert API.parser_setup(self.p) == 0
        self.apply(dialect)
        self.predicate = None
        if dialect.skip_predicate is not None:
            # Borrowed by the record: this object keeps the reference.
            self.predicate = dialect.skip_predicate
            self.rec.skip_predicate = id(self.predicate)
        self.rec.chunk_bytes = chunk_bytes
        if source is not None:
            self.open(source)

    def apply(self, d):
        r = self.rec
        r.sep = bytes([d.sep])
        r.quote = bytes([d.quote])
        r.escape = bytes([d.escape])
        r.row_end = bytes([d.row_end])
        r.comment = bytes([d.comment])
        r.quote_mode = d.quote_mode
        r.quote_doubling = int(d.quote_doubling)
        r.split_on_blanks = int(d.split)
        r.skip_space_after_sep = int(d.skip_space)
        r.drop_blank_rows = int(d.drop_blank)
        r.column_subset = int(d.column_subset)
        r.want_fields = d.want_fields
        r.bad_row_mode = d.bad_row_mode
        r.last_header_row = (1 << 64) - 1 if d.header is None else d.header
        for row in d.skip_set:
            API.parser_skip_row(self.p, row)
        API.parser_skip_leading_rows(self.p, d.skip_leading)

    def open(self, source):
        handle = API.source_open(source)
        assert handle
        self.rec.src_handle = handle
        self.rec.read_fn = API.addresses[4]
        self.rec.release_fn = API.addresses[3]

    def close(self):
        if self.p:
            API.parser_release(self.p)
            API.parser_dealloc(self.p)
            self.p = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def field(self, i):
        return ctypes.string_at(self.rec.field_ptrs[i])

    def rows(self):
        r = self.rec
        out = []
        for k in range(r.row_count):
            first = r.row_first_field[k]
            out.append([self.field(first + j) for j in range(r.row_field_count[k])])
        return out

    def outcome(self, result):
        r = self.rec
        return Outcome(result, self.rows(), r.source_rows, r.field_count,
                       _text(r.error_text), _text(r.warning_text), r.tok_state == 17)


def run_native(data, dialect, sizes=(), row_batches=None, nogil=False):
    """Tokenizes data with reads of the given sizes; returns an Outcome.

    row_batches: when given, tokenize_row_count with that batch size until
    the end (rows are collected across batches without discarding)."""
    reader = ChunkedReader(data, sizes)
    with Parser(dialect, reader, chunk_bytes=(sizes[0] if sizes else 1 << 18)) as ps:
        if row_batches is None:
            run = API.tokenize_to_end_nogil if nogil else API.tokenize_to_end
            result = run(ps.p, None)
        else:
            while True:
                before = ps.rec.row_count
                result = API.tokenize_row_count(ps.p, row_batches, None)
                if result != 0 or ps.rec.tok_state == 17:
                    break
                assert ps.rec.row_count - before == row_batches
        return ps.outcome(result)


# --------------------------------------------------------------------------
# Reference tokenizer

BOM = b"\xef\xbb\xbf"


def reference(data, d):
    T = d.row_end or 10
    R = 13 if not d.row_end else None
    Cm = d.comment or None
    E = d.escape or None
    Q = d.quote if d.quote_mode != 3 else None
    blank = (32, 9)

    def is_sep(b):
        return b in blank if d.split else b == d.sep

    rows = []
    cur_row = []        # fields of the row being built
    field = bytearray()
    st = "RowStart"
    source_rows = 0
    field_count = 0
    warnings = ""
    header_rows = 0 if d.header is None else (d.header + 1) % (1 << 64)
    i = 3 if data.startswith(BOM) else 0
    row_begin = i

    def is_skipped():
        if d.skip_predicate is not None:
            return bool(d.skip_predicate(source_rows))
        if d.skip_set:
            return source_rows in d.skip_set
        return source_rows <= d.skip_leading - 1

    class Stop(Exception):
        pass

    def end_field():
        nonlocal field, field_count
        cur_row.append(bytes(field))
        field = bytearray()
        field_count += 1

    def end_row():
        nonlocal cur_row, source_rows, warnings, field_count
        F = len(cur_row)
        X = d.want_fields
        if X < 0 and rows:
            X = len(rows[-1])
        rc = len(rows)
        if rc < header_rows or (rc > header_rows and F > X and d.column_subset):
            pass
        elif rc > header_rows and F > X:
            source_rows += 1
            cur_row = []
            if d.bad_row_mode == 0:
                raise Stop("Expected %d fields in line %d, saw %d\n" % (X, source_rows, F))
            if d.bad_row_mode == 1:
                warnings += "Skipping line %d: expected %d fields, saw %d\n" % (source_rows, X, F)
            return
        elif F < X:
            for _ in range(X - F):
                cur_row.append(b"")
                field_count += 1
        source_rows += 1
        rows.append(cur_row)
        cur_row = []

    def count_row():
        nonlocal source_rows
        source_rows += 1

    def skipped_end():
        nonlocal source_rows
        source_rows += 1

    error = None
    result = 0
    try:
        while i < len(data):
            b = data[i]
            if st == "RowStart":
                row_begin = i
                if is_skipped():
                    st = "SkippedFieldStart"
                    continue
                if b == T:
                    i += 1
                    if d.drop_blank:
                        count_row()
                    else:
                        end_row()
                elif b == R:
                    i += 1
                    if d.drop_blank:
                        count_row()
                        st = "AfterCRQuiet"
                    else:
                        st = "AfterCR"
                elif b == Cm:
                    i += 1
                    st = "InCommentRow"
                elif b in blank and d.split:
                    i += 1
                    st = "BlankRowCheck" if d.drop_blank else "SkipSpaces"
                elif b in blank and b != d.sep and d.drop_blank:
                    i += 1
                    st = "BlankRowCheck"
                else:
                    st = "FieldStart"
                continue
            i += 1
            if st == "FieldStart":
                if b == T:
                    end_field(); end_row(); st = "RowStart"
                elif b == R:
                    end_field(); st = "AfterCR"
                elif b == Q:
                    st = "InQuotes"
                elif b == E:
                    st = "AfterEscape"
                elif d.split and b in blank:
                    st = "SkipSpaces"
                elif not d.split and d.skip_space and b == 32:
                    pass
                elif not d.split and b == d.sep:
                    end_field()
                elif b == Cm:
                    end_field(); st = "InComment"
                else:
                    field.append(b); st = "InField"
            elif st == "AfterEscape":
                field.append(b); st = "InField"
            elif st == "InField":
                if b == T:
                    end_field(); end_row(); st = "RowStart"
                elif b == R:
                    end_field(); st = "AfterCR"
                elif b == E:
                    st = "AfterEscape"
                elif is_sep(b):
                    end_field(); st = "SkipSpaces" if d.split else "FieldStart"
                elif b == Cm:
                    end_field(); st = "InComment"
                else:
                    field.append(b)
            elif st == "InQuotes":
                if b == E:
                    st = "EscapeInQuotes"
                elif b == Q:
                    st = "QuoteInQuotes" if d.quote_doubling else "InField"
                else:
                    field.append(b)
            elif st == "EscapeInQuotes":
                field.append(b); st = "InQuotes"
            elif st == "QuoteInQuotes":
                if b == Q:
                    field.append(b); st = "InQuotes"
                elif is_sep(b):
                    end_field(); st = "SkipSpaces" if d.split else "FieldStart"
                elif b == T:
                    end_field(); end_row(); st = "RowStart"
                elif b == R:
                    end_field(); st = "AfterCR"
                else:
                    field.append(b); st = "InField"
            elif st == "AfterCR":
                end_row(); st = "RowStart"
                if b != 10:
                    i -= 1
            elif st == "AfterCRQuiet":
                st = "RowStart"
                if b != 10:
                    i -= 1
            elif st == "SkipSpaces":
                if b == T:
                    end_row(); st = "RowStart"
                elif b == R:
                    st = "AfterCR"
                elif b == Cm:
                    st = "InComment"
                elif b in blank:
                    pass
                else:
                    i -= 1; st = "FieldStart"
            elif st == "InComment":
                if b == T:
                    end_row(); st = "RowStart"
                elif b == R:
                    st = "AfterCR"
            elif st == "InCommentRow":
                if b == T:
                    count_row(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
            elif st == "BlankRowCheck":
                if b == T:
                    count_row(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
                elif d.split:
                    if b == Cm:
                        st = "InComment"
                    elif b in blank:
                        pass
                    else:
                        i -= 1; st = "FieldStart"
                elif b in blank and b != d.sep:
                    pass
                else:
                    # The row is real: read it again from its first byte.
                    i = row_begin; st = "FieldStart"
            elif st == "SkippedFieldStart":
                if b == T:
                    skipped_end(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
                elif b == Q:
                    st = "SkippedInQuotes"
                elif b == E:
                    st = "SkippedAfterEscape"
                elif d.split and b in blank:
                    st = "SkippedSkipSpaces"
                elif not d.split and d.skip_space and b == 32:
                    pass
                elif not d.split and b == d.sep:
                    pass
                elif b == Cm:
                    st = "SkippedInComment"
                else:
                    st = "SkippedInField"
            elif st == "SkippedInField":
                if b == T:
                    skipped_end(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
                elif b == E:
                    st = "SkippedAfterEscape"
                elif is_sep(b):
                    st = "SkippedSkipSpaces" if d.split else "SkippedFieldStart"
                elif b == Cm:
                    st = "SkippedInComment"
            elif st == "SkippedAfterEscape":
                st = "SkippedInField"
            elif st == "SkippedInQuotes":
                if b == E:
                    st = "SkippedEscapeInQuotes"
                elif b == Q:
                    st = "SkippedQuoteInQuotes" if d.quote_doubling else "SkippedInField"
            elif st == "SkippedEscapeInQuotes":
                st = "SkippedInQuotes"
            elif st == "SkippedQuoteInQuotes":
                if b == Q:
                    st = "SkippedInQuotes"
                elif is_sep(b):
                    st = "SkippedSkipSpaces" if d.split else "SkippedFieldStart"
                elif b == T:
                    skipped_end(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
                else:
                    st = "SkippedInField"
            elif st == "SkippedInComment":
                if b == T:
                    skipped_end(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
            elif st == "SkippedSkipSpaces":
                if b == T:
                    skipped_end(); st = "RowStart"
                elif b == R:
                    count_row(); st = "AfterCRQuiet"
                elif b == Cm:
                    st = "SkippedInComment"
                elif b in blank:
                    pass
                else:
                    i -= 1; st = "SkippedFieldStart"
            else:
                raise AssertionError(st)
        # End of data.
        if st in ("FieldStart", "InField", "QuoteInQuotes"):
            end_field(); end_row()
        elif st == "AfterEscape":
            raise Stop("EOF following escape character")
        elif st in ("InQuotes", "EscapeInQuotes"):
            raise Stop("EOF inside string starting at row %d" % source_rows)
        elif st in ("AfterCR", "SkipSpaces", "InComment"):
            end_row()
        elif st.startswith("Skipped"):
            skipped_end()
    except Stop as exc:
        error = str(exc)
        result = -1
    return Outcome(result, rows, source_rows, field_count, error, warnings or None)
