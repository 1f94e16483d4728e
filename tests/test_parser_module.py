"""The tavrel_parser module, its capsule and table, the record layout, and
the source reader, reached through the capsule as a client module would."""

import ctypes
import io
import os
import subprocess
import sys
import textwrap

import pytest

import tavrel
import tavrel._libs.tavrel_parser as parser_module

from support import parser_client as tc

API, Dialect, Parser = tc.API, tc.Dialect, tc.Parser

POINTER_BITS = ctypes.sizeof(ctypes.c_void_p) * 8


def test_module_and_capsule():
    assert parser_module.__name__ == "tavrel._libs.tavrel_parser"
    assert parser_module.__doc__ == "Internal module with parser support for other extensions"
    public = [n for n in dir(parser_module) if not n.startswith("__")]
    assert public == []
    capsule = tavrel._tavrel_parser_CAPI
    assert type(capsule).__name__ == "PyCapsule"
    assert 'capsule object "tavrel._tavrel_parser_CAPI"' in repr(capsule)
    assert not hasattr(parser_module, "_tavrel_parser_CAPI")
    assert all(API.addresses) and len(set(API.addresses)) == 25


def test_record_layout_matches_the_header():
    size = ctypes.sizeof(tc.TextParser)
    off = lambda name: getattr(tc.TextParser, name).offset  # noqa: E731
    if POINTER_BITS == 64:
        assert size == 320
        assert (off("tok_state"), off("want_fields"), off("skip_predicate"), off("drop_blank_rows")) == (176, 216, 264, 312)
    else:
        assert size == 264
        assert (off("tok_state"), off("want_fields"), off("skip_predicate"), off("drop_blank_rows")) == (152, 192, 228, 260)
    assert ctypes.sizeof(tc.UintScan) == 12


def test_header_is_installed():
    header = os.path.join(tavrel.get_include(), "tavrel", "parser_api.h")
    with open(header) as f:
        text = f.read()
    assert '"tavrel._tavrel_parser_CAPI"' in text and "typedef struct ParserApi" in text


def test_defaults_and_setup_through_the_table():
    p = API.parser_alloc()
    r = p.contents
    assert (r.text_buf, r.comment, r.last_header_row) == (None, b"\0", 0)
    API.parser_apply_defaults(p)
    assert (r.decimal_mark, r.exponent_mark, r.sep, r.quote, r.comment) == (b".", b"E", b",", b'"', b"#")
    assert (r.want_fields, r.skip_below_row, r.newline_in_quotes, r.bad_row_mode) == (-1, -1, 1, 0)
    assert API.parser_setup(p) == 0
    assert (r.text_cap, r.field_cap, r.row_cap, r.comment, r.tok_state) == (32, 3, 3, b"\0", 0)
    API.parser_release(p)
    assert not r.text_buf and not r.field_ptrs
    API.parser_dealloc(p)


def test_converter_slots_are_reachable():
    err = ctypes.c_int(0)
    assert API.parse_int64(b" 42 ", -(1 << 63), (1 << 63) - 1, ctypes.byref(err), b"\0") == 42
    assert err.value == 0
    out = ctypes.c_uint8(9)
    assert API.parse_bool(b"True", ctypes.byref(out)) == 0 and out.value == 1
    value = ctypes.c_double()
    maybe_int = ctypes.c_int(0)
    assert API.text_to_double(b"2.5", ctypes.byref(value), b"E", b".", ctypes.byref(maybe_int)) == 1
    assert value.value == 2.5 and maybe_int.value == 0
    assert API.object_to_double("1e3", ctypes.byref(value), ctypes.byref(maybe_int)) == 0
    assert value.value == 1000.0


IMPORT_FAILURE = textwrap.dedent("""
    import importlib.machinery, importlib.util, sys
    path = sys.argv[1]
    sys.modules["tavrel"] = None          # the package cannot be imported
    loader = importlib.machinery.ExtensionFileLoader("tavrel._libs.tavrel_parser", path)
    spec = importlib.util.spec_from_file_location("tavrel._libs.tavrel_parser", path, loader=loader)
    try:
        loader.exec_module(loader.create_module(spec))
    except ImportError as exc:
        print(type(exc).__name__, exc)
""")


def test_import_fails_without_the_package():
    out = subprocess.run([sys.executable, "-c", IMPORT_FAILURE, parser_module.__file__],
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "ImportError tv_parser could not import module tavrel"


# ------------------------------------------------------------ source reader

def read_all(source, errors=None, chunk_bytes=7):
    """Rows of a one-column input read through the source reader."""
    with Parser(Dialect(), source, chunk_bytes=chunk_bytes) as ps:
        result = API.tokenize_to_end(ps.p, errors)
        return result, [row[0] for row in ps.rows()]


def test_reader_accepts_text_as_utf8():
    assert read_all(io.StringIO("é\nß€\n")) == (0, ["é".encode(), "ß€".encode()])
    assert read_all(io.StringIO("x\ny"), chunk_bytes=1) == (0, [b"x", b"y"])


def test_reader_error_handlers():
    class Surrogates:
        def __init__(self):
            self.parts = ["a\ud800b\n", ""]

        def read(self, size):
            return self.parts.pop(0)

    with Parser(Dialect(), Surrogates()) as ps:
        with pytest.raises(UnicodeEncodeError):
            API.tokenize_to_end(ps.p, None)
        assert tc._text(ps.rec.error_text) == "Unknown error in IO callback"
    assert read_all(Surrogates(), b"surrogatepass") == (0, [b"a\xed\xa0\x80b"])
    assert read_all(Surrogates(), b"replace") == (0, [b"a?b"])


def test_reader_failures():
    class Raising:
        def read(self, size):
            raise OSError("disk gone")

    with Parser(Dialect(), Raising()) as ps:
        with pytest.raises(OSError, match="disk gone"):
            API.tokenize_to_end(ps.p, None)
        assert tc._text(ps.rec.error_text) == "Calling read(nbytes) on source failed. Try engine='python'."
    with Parser(Dialect(), object()) as ps:
        with pytest.raises(AttributeError):
            API.tokenize_to_end(ps.p, None)
        assert tc._text(ps.rec.error_text).startswith("Calling read(nbytes)")

    class NotText:
        def read(self, size):
            return 42

    with Parser(Dialect(), NotText()) as ps:
        with pytest.raises(TypeError):
            API.tokenize_to_end(ps.p, None)
        assert tc._text(ps.rec.error_text) == "Unknown error in IO callback"


def test_read_gets_the_chunk_size_as_it_stands():
    # On every platform, 32-bit ones included: the reader sees the 64-bit
    # chunk size, and one that returns less is simply read again.
    sizes = [5, (1 << 31) - 1, 1 << 31, (1 << 31) + 5, (1 << 32) + 5, 1 << 62, (1 << 63) - 1,
             -1, -(1 << 31) - 5, -(1 << 63)]
    for chunk in sizes:
        reader = tc.ChunkedReader(b"a\nb\n", (2,))
        with Parser(Dialect(), reader, chunk_bytes=chunk) as ps:
            assert API.tokenize_to_end(ps.p, None) == 0
            assert ps.rows() == [[b"a"], [b"b"]]
        assert reader.asked == [chunk] * 3 and all(type(n) is int for n in reader.asked)


def test_a_size_the_reader_cannot_serve_is_its_error():
    with Parser(Dialect(), io.BytesIO(b"a\n"), chunk_bytes=(1 << 63) - 1) as ps:
        if sys.maxsize < (1 << 63) - 1:
            # A 32-bit BytesIO cannot take the size: the read fails cleanly.
            with pytest.raises(OverflowError):
                API.tokenize_to_end(ps.p, None)
            assert tc._text(ps.rec.error_text).startswith("Calling read(nbytes) on source failed")
        else:
            assert API.tokenize_to_end(ps.p, None) == 0
            assert ps.rows() == [[b"a"]]

    class Refusing:
        def read(self, size):
            raise MemoryError("cannot allocate %d bytes" % size)

    with Parser(Dialect(), Refusing(), chunk_bytes=(1 << 40) + 1) as ps:
        with pytest.raises(MemoryError, match="cannot allocate 1099511627777 bytes"):
            API.tokenize_to_end(ps.p, None)


def test_source_read_slot_with_the_lock_released():
    handle = API.source_open(io.BytesIO(b"hello"))
    try:
        got = ctypes.c_size_t(99)
        status = ctypes.c_int(-1)
        data = API.source_read(handle, 3, ctypes.byref(got), ctypes.byref(status), None)
        assert (ctypes.string_at(data, got.value), status.value) == (b"hel", 0)
        data = API.source_read(handle, 9, ctypes.byref(got), ctypes.byref(status), None)
        assert (ctypes.string_at(data, got.value), status.value) == (b"lo", 0)
        data = API.source_read(handle, 9, ctypes.byref(got), ctypes.byref(status), None)
        assert (got.value, status.value) == (0, 1)
    finally:
        API.source_close(handle)


def test_reader_keeps_no_references():
    source = io.BytesIO(b"a\nb\n")
    before = sys.getrefcount(source)
    for _ in range(20):
        read_all(source)
        source.seek(0)
    assert sys.getrefcount(source) == before


REIMPORT = textwrap.dedent("""
    import ctypes, gc, importlib, sys, tavrel
    import tavrel._libs.tavrel_parser
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    name = b"tavrel._tavrel_parser_CAPI"
    # A client keeps the table's pointer, not the capsule.
    address = get_pointer(tavrel._tavrel_parser_CAPI, name)
    slots = list((ctypes.c_void_p * 25).from_address(address))
    del sys.modules["tavrel._libs.tavrel_parser"]
    importlib.import_module("tavrel._libs.tavrel_parser")
    gc.collect()
    junk = [bytes(200) for _ in range(1000)]      # reuses whatever was freed
    print(get_pointer(tavrel._tavrel_parser_CAPI, name) == address)
    print(list((ctypes.c_void_p * 25).from_address(address)) == slots)
    parse_int64 = ctypes.CFUNCTYPE(ctypes.c_int64, ctypes.c_char_p, ctypes.c_int64, ctypes.c_int64,
                                   ctypes.POINTER(ctypes.c_int), ctypes.c_char)(slots[19])
    error = ctypes.c_int(0)
    print(parse_int64(b"42", -100, 100, ctypes.byref(error), b"\\0"), error.value)
    del tavrel._tavrel_parser_CAPI                # the destructor frees the table
    gc.collect()
    print("ok")
""")


def test_second_execution_keeps_the_published_table():
    # In a child process with the C allocator, so that a freed table is
    # overwritten at once (and reported under AddressSanitizer).
    out = subprocess.run([sys.executable, "-c", REIMPORT], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONSAFEPATH="1", PYTHONMALLOC="malloc"))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "True", "42", "0", "ok"]
