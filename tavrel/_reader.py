"""Delimited text into typed NumPy columns: read_columns() and iter_columns().

The work is done natively by tavrel._libs.column_reader, a client of the
package's parser and date-time tables; this module checks the options,
opens the source, decides which columns to keep and wraps the result.

Types are decided by every value of a column (never a sample):
int64, uint64 (a value above the int64 maximum and none negative),
float64, bool (the true/false spellings), datetime64 at the finest unit
seen (ISO 8601; values with an offset are converted to UTC), text.  A
column that ends up as text holds every field's text unchanged.  A missing
value (the empty field, or one of missing_values) is flagged in
Columns.missing; the data holds NaN, NaT, 0, False or "" there.  A column
with no value at all is float64.  Text is numpy.dtypes.StringDType() on
NumPy 2 and an object array of str on NumPy 1.
"""

import codecs
import io
import numbers
import os
import re
import stat
import sys
import time
import types
from collections.abc import Mapping

import numpy as np

from ._libs import column_reader as _native

__all__ = ["read_columns", "iter_columns", "Columns", "ParseError", "ParseWarning"]

ParseError = _native.ParseError
ParseWarning = _native.ParseWarning

# Column kinds of the native reader.
_EMPTY, _INT64, _UINT64, _FLOAT64, _BOOL, _DATETIME, _TEXT = range(7)
# Families a column may take (parse_dates leaves out the date-time one).
_ALL_FAMILIES, _DATETIME_FAMILY = 15, 8
_UNITS = {"Y": 0, "M": 1, "D": 4, "h": 5, "m": 6, "s": 7, "ms": 8, "us": 9, "ns": 10, "ps": 11,
          "fs": 12, "as": 13}
_BAD_ROWS = {"error": 0, "warn": 1, "skip": 2}
_FLOAT_ALGORITHMS = {"exact": 0, "fast": 1, "precise": 2, "roundtrip": 3}
_DEFAULT_CHUNK = 1 << 20
_MAX_CHUNK = 1 << 26
_PROGRESS_MIN_BYTES = 4 << 20


# --- options ---------------------------------------------------------------------------

def _is_int(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _byte(name, value, none_ok=False):
    """One ASCII byte given as a str or bytes of length 1; 0 for None."""
    if value is None:
        if none_ok:
            return 0
        raise TypeError(f"{name} must be a single character, not None")
    if isinstance(value, str):
        if len(value) != 1 or ord(value) > 127:
            raise ValueError(f"{name} must be a single ASCII character, not {value!r}")
        code = ord(value)
    elif isinstance(value, (bytes, bytearray)):
        if len(value) != 1:
            raise ValueError(f"{name} must be a single byte, not {bytes(value)!r}")
        code = value[0]
    else:
        raise TypeError(f"{name} must be a str or bytes of length 1, not {type(value).__name__}")
    if code == 0 or value in ("\n", "\r", b"\n", b"\r"):
        raise ValueError(f"{name} cannot be {value!r}")
    return code


def _flag(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(value)


def _count(name, value, minimum=0, maximum=None, none_ok=True):
    if value is None and none_ok:
        return None
    if not _is_int(value):
        raise TypeError(f"{name} must be an int{' or None' if none_ok else ''}, not {type(value).__name__}")
    value = int(value)
    if value < minimum or (maximum is not None and value > maximum):
        bounds = f"at least {minimum}" if maximum is None else f"between {minimum} and {maximum}"
        raise ValueError(f"{name} must be {bounds}, not {value}")
    return value


def _choice(name, value, choices):
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if value not in choices:
        raise ValueError(f"{name} must be one of {', '.join(map(repr, choices))}, not {value!r}")
    return choices[value]


def _texts(name, value):
    """A collection of str (not a str itself), as UTF-8 bytes."""
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise TypeError(f"{name} must be a collection of str, not {type(value).__name__}")
    out = []
    for item in value:
        if not isinstance(item, str):
            raise TypeError(f"{name} must hold str values, not {type(item).__name__}")
        try:
            out.append(item.encode("utf-8"))
        except UnicodeEncodeError:
            raise ValueError(f"{name}: {item!r} cannot be encoded as UTF-8") from None
    return tuple(out)


def _column_keys(name, value):
    """A collection of column names (str) or positions (int)."""
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise TypeError(f"{name} must be a collection of column names or positions, not {type(value).__name__}")
    keys = []
    for key in value:
        if not isinstance(key, str) and not _is_int(key):
            raise TypeError(f"{name} must hold column names (str) or positions (int), not {type(key).__name__}")
        keys.append(key if isinstance(key, str) else int(key))
    return keys


def _dtype_spec(key, value):
    """(kind, unit) for a dtype-like value of the dtypes option."""
    if value in ("str", "text") or value is str or value is object:
        return _TEXT, -1
    try:
        dt = np.dtype(value)
    except Exception:
        raise ValueError(f"dtypes: {value!r} for column {key!r} is not a dtype") from None
    if dt.kind in "UOT":
        return _TEXT, -1
    if dt == np.int64:
        return _INT64, -1
    if dt == np.uint64:
        return _UINT64, -1
    if dt == np.float64:
        return _FLOAT64, -1
    if dt == np.bool_:
        return _BOOL, -1
    if dt.kind == "M":
        unit, count = np.datetime_data(dt)
        if unit in _UNITS and count == 1:
            return _DATETIME, _UNITS[unit]
    raise ValueError(f"dtypes: {dt} for column {key!r} is not supported (int64, uint64, float64, bool, "
                     "datetime64[unit] or str)")


_OPTIONS = {
    "sep": ",", "quote": '"', "quote_doubling": True, "escape": None, "comment": None, "header": 0,
    "names": None, "columns": None, "skip_rows": None, "max_rows": None, "bad_rows": "error",
    "encoding_errors": "strict", "drop_blank_rows": True, "decimal_mark": ".", "group_mark": None,
    "float_algorithm": "exact", "dtypes": None, "missing_values": None, "true_values": None,
    "false_values": None, "parse_dates": True, "date_format": None, "chunk_bytes": _DEFAULT_CHUNK,
    "progress": False, "threads": None, "byte_range": None,
}
_MAX_THREADS = 1024
# Options of the package's own callers (tavrel.dask), not of users.
# _row_start=True: byte_range's start is known to be a row start, so the
# bytes before it need no tokenizing to find one.
_PRIVATE_OPTIONS = {"_row_start": False}


def _cores():
    """The CPUs this process may run on."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return count() or 1
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


class _Plan:
    """Checked options: what the native reader takes, and what is resolved
    against the header (columns, dtypes, parse_dates)."""

    def __init__(self, func, options):
        for key in options:
            if key not in _OPTIONS and key not in _PRIVATE_OPTIONS:
                raise TypeError(f"{func}() got an unexpected keyword argument {key!r}")
        o = dict(_OPTIONS, **_PRIVATE_OPTIONS)
        o.update(options)
        sep = _byte("sep", o["sep"])
        quote = _byte("quote", o["quote"], none_ok=True)
        escape = _byte("escape", o["escape"], none_ok=True)
        comment = _byte("comment", o["comment"], none_ok=True)
        decimal = _byte("decimal_mark", o["decimal_mark"])
        group = _byte("group_mark", o["group_mark"], none_ok=True)
        specials = {"sep": sep, "quote": quote, "escape": escape, "comment": comment}
        seen = {}
        for name, code in specials.items():
            if code:
                if code in seen:
                    raise ValueError(f"{name} and {seen[code]} cannot be the same character")
                seen[code] = name
        if group and group == decimal:
            raise ValueError("group_mark and decimal_mark cannot be the same character")
        if decimal in range(48, 58) or group in range(48, 58):
            raise ValueError("decimal_mark and group_mark cannot be digits")
        header = _count("header", o["header"])
        names = o["names"]
        if names is not None:
            if isinstance(names, (str, bytes)) or not hasattr(names, "__iter__"):
                raise TypeError(f"names must be a sequence of str, not {type(names).__name__}")
            names = list(names)
            if not all(isinstance(n, str) for n in names):
                raise TypeError("names must hold str values only")
            if len(set(names)) != len(names):
                raise ValueError("names must not repeat a name")
        self.names = names
        self.columns = None if o["columns"] is None else _column_keys("columns", o["columns"])
        skip = o["skip_rows"]
        self.skip_leading, self.skip_set, self.skip_predicate = 0, None, None
        if skip is None:
            pass
        elif _is_int(skip):
            self.skip_leading = _count("skip_rows", skip, maximum=2**62)
        elif callable(skip):
            self.skip_predicate = skip
        elif isinstance(skip, (str, bytes)) or not hasattr(skip, "__iter__"):
            raise TypeError(f"skip_rows must be an int, a collection of row numbers or a callable, "
                            f"not {type(skip).__name__}")
        else:
            rows = []
            for row in skip:
                rows.append(_count("skip_rows", row, maximum=2**62, none_ok=False))
            self.skip_set = tuple(sorted(set(rows)))
        self.max_rows = _count("max_rows", o["max_rows"], maximum=2**62)
        bad_rows = _choice("bad_rows", o["bad_rows"], _BAD_ROWS)
        errors = o["encoding_errors"]
        if not isinstance(errors, str):
            raise TypeError(f"encoding_errors must be a str, not {type(errors).__name__}")
        try:
            codecs.lookup_error(errors)
        except LookupError:
            raise ValueError(f"encoding_errors: no error handler named {errors!r}") from None
        if "\0" in errors:
            raise ValueError("encoding_errors must not contain NUL")
        self.errors = errors
        drop_blank = _flag("drop_blank_rows", o["drop_blank_rows"])
        quote_doubling = _flag("quote_doubling", o["quote_doubling"])
        algorithm = _choice("float_algorithm", o["float_algorithm"], _FLOAT_ALGORITHMS)
        dtypes = o["dtypes"]
        if dtypes is None:
            dtypes = {}
        elif not isinstance(dtypes, Mapping):
            raise TypeError(f"dtypes must be a mapping of column to dtype, not {type(dtypes).__name__}")
        self.dtypes = {}
        for key, value in dtypes.items():
            if not isinstance(key, str) and not _is_int(key):
                raise TypeError(f"dtypes keys must be column names (str) or positions (int), not "
                                f"{type(key).__name__}")
            self.dtypes[key if isinstance(key, str) else int(key)] = _dtype_spec(key, value)
        missing = _texts("missing_values", o["missing_values"])
        true_values = _texts("true_values", o["true_values"])
        false_values = _texts("false_values", o["false_values"])
        for name, values in (("true_values", true_values), ("false_values", false_values)):
            if values is not None and (not values or b"" in values):
                raise ValueError(f"{name} must hold at least one spelling and no empty one")
        if true_values and false_values and set(true_values) & set(false_values):
            raise ValueError("true_values and false_values must not share a spelling")
        parse_dates = o["parse_dates"]
        if isinstance(parse_dates, (bool, np.bool_)):
            self.parse_dates = bool(parse_dates)
        else:
            self.parse_dates = _column_keys("parse_dates", parse_dates)
        date_format = o["date_format"]
        if date_format is not None:
            if not isinstance(date_format, str):
                raise TypeError(f"date_format must be a str or None, not {type(date_format).__name__}")
            if not date_format.isascii() or not 0 < len(date_format) <= 200 or "\0" in date_format:
                raise ValueError("date_format must be an ASCII format of 1 to 200 characters")
            date_format = date_format.encode("ascii")
        chunk = _count("chunk_bytes", o["chunk_bytes"], minimum=1, maximum=_MAX_CHUNK, none_ok=False)
        progress = o["progress"]
        if not isinstance(progress, (bool, np.bool_)) and not callable(progress):
            raise TypeError(f"progress must be True, False or a callable, not {type(progress).__name__}")
        self.progress = progress
        threads = o["threads"]
        self.threads = _cores() if threads is None else _count("threads", threads, minimum=1, maximum=_MAX_THREADS)
        self.byte_range = _byte_range(o["byte_range"])
        self.row_start_known = o["_row_start"] is True
        if self.byte_range is not None:
            if skip is not None:
                raise ValueError("byte_range cannot be combined with skip_rows: a range does not know the "
                                 "numbers of its rows in the file")
            if header not in (0, None):
                raise ValueError("byte_range takes header=0 (the file's first row) or header=None, "
                                 f"not header={header}")
        self.header = header
        self.native = dict(
            chunk_bytes=chunk, sep=sep, quote=quote, quote_doubling=quote_doubling, escape=escape,
            comment=comment, drop_blank_rows=drop_blank, bad_rows=bad_rows, encoding_errors=errors,
            skip_leading=self.skip_leading, skip_set=self.skip_set,
            header=-1 if header is None else header,
            names_count=-1 if names is None else len(names),
            max_rows=-1 if self.max_rows is None else self.max_rows,
            decimal_mark=decimal, group_mark=group, float_algorithm=algorithm, missing=missing,
            true_values=true_values, false_values=false_values, date_format=date_format,
            threads=min(self.threads, _MAX_THREADS))

    def resolve(self, header, width):
        """Column names, the kept positions and their native descriptions."""
        if self.names is not None:
            names = list(self.names)
        elif header is not None:
            names = _unique(header)
        else:
            names = [str(i) for i in range(width)]

        def position(option, key):
            if isinstance(key, str):
                try:
                    return names.index(key)
                except ValueError:
                    raise ValueError(f"{option}: no column named {key!r}") from None
            if not 0 <= key < width:
                raise ValueError(f"{option}: no column at position {key} (there are {width})")
            return key

        if self.columns is None:
            keep = list(range(width))
        else:
            keep = sorted({position("columns", key) for key in self.columns})
        forced = {}
        for key, spec in self.dtypes.items():
            forced[position("dtypes", key)] = spec
        if self.parse_dates is True:
            dates = set(range(width))
        elif self.parse_dates is False:
            dates = set()
        else:
            dates = {position("parse_dates", key) for key in self.parse_dates}
        kinds = tuple(forced.get(i, (-1, -1))[0] for i in keep)
        units = tuple(forced.get(i, (-1, -1))[1] for i in keep)
        allowed = tuple(_ALL_FAMILIES if i in dates else _ALL_FAMILIES & ~_DATETIME_FAMILY for i in keep)
        return [names[i] for i in keep], (tuple(keep), kinds, units, allowed)


def _byte_range(value):
    """(start, stop) of the byte_range option, or None."""
    if value is None:
        return None
    if isinstance(value, (str, bytes)) or not hasattr(value, "__len__") or len(value) != 2:
        raise TypeError(f"byte_range must be a pair of ints (start, stop), not {type(value).__name__}")
    start, stop = value
    if not _is_int(start) or not _is_int(stop):
        raise TypeError("byte_range must be a pair of ints (start, stop), not "
                        f"({type(start).__name__}, {type(stop).__name__})")
    start, stop = int(start), int(stop)
    if start < 0 or stop < start:
        raise ValueError(f"byte_range must satisfy 0 <= start <= stop, not ({start}, {stop})")
    return start, stop


def _unique(header):
    """Header names made unique: a repeated name gets ".1", ".2", ..."""
    out, seen = [], set(header)
    counts = {}
    for name in header:
        if name in counts:
            k = counts[name]
            while f"{name}.{k}" in seen:
                k += 1
            counts[name] = k + 1
            name = f"{name}.{k}"
            seen.add(name)
        else:
            counts[name] = 1
        out.append(name)
    return out


# --- sources ------------------------------------------------------------------------------

def _open_path(path):
    """A file opened for reading, decompressed by its suffix.  The
    compression modules are imported on use: an interpreter may lack one."""
    lower = path.lower() if isinstance(path, str) else path.lower().decode("utf-8", "replace")
    if lower.endswith(".gz"):
        import gzip

        return gzip.open(path, "rb")
    if lower.endswith(".bz2"):
        import bz2

        return bz2.open(path, "rb")
    if lower.endswith(".xz"):
        import lzma

        return lzma.open(path, "rb")
    if lower.endswith(".zst"):
        try:
            from compression import zstd
        except ImportError:
            raise ValueError(f"{os.fsdecode(path)!r}: reading .zst files needs Python 3.14 or later") from None
        return zstd.open(path, "rb")
    return open(path, "rb", buffering=0)


class _Spool:
    """A one-way stream read through: every chunk is also kept in a
    temporary file, from which the source can be read again."""

    def __init__(self, stream, errors):
        import tempfile

        self._stream = stream
        self._errors = errors
        self.copy = tempfile.TemporaryFile()

    def read(self, size):
        data = self._stream.read(size)
        if isinstance(data, str):
            data = data.encode("utf-8", self._errors)
        elif isinstance(data, (bytearray, memoryview)):
            data = bytes(data)
        elif not isinstance(data, bytes):
            raise TypeError(f"source.read() returned {type(data).__name__}: an object that is neither bytes nor str")
        self.copy.write(data)
        return data


class _Source:
    """The user's source, ready for the native reader, and able to start
    over where that is possible (a path, bytes, a seekable file; a one-way
    stream is spooled to a temporary file)."""

    def __init__(self, source, errors, spool, ranged=False):
        self._close = []
        self.total = None
        self._path = None
        self._stream = None
        self._spool = None
        # A byte range's reads start here (a position in the file).
        self.offset = 0 if ranged else None
        try:
            self._take(source, errors, spool and not ranged)
            if ranged:
                self._check_ranged()
        except BaseException:
            self.close()
            raise

    def _take(self, source, errors, spool):
        if isinstance(source, (str, os.PathLike)):
            path = os.fspath(source)
            if isinstance(path, str) and "\0" in path:
                raise ValueError("source: a path cannot contain NUL")
            if os.path.isdir(path):
                raise IsADirectoryError(f"source is a directory: {os.fsdecode(path)!r}")
            self._path = path
            self.obj = self._open()
            if not isinstance(self.obj, io.FileIO):
                self.total = None
            else:
                self.total = os.fstat(self.obj.fileno()).st_size
        elif isinstance(source, (bytes, bytearray, memoryview)) or _is_buffer(source):
            view = memoryview(source)
            if not view.c_contiguous:
                raise ValueError("source: a buffer must be C-contiguous")
            self.obj = view.cast("B") if view.format != "B" or view.ndim != 1 else view
            self.total = self.obj.nbytes
        elif callable(getattr(source, "read", None)):
            self._stream = source
            self._start = None
            try:
                if source.seekable():
                    self._start = source.tell()
            except Exception:
                self._start = None
            if self._start is None and spool:
                self._spool = _Spool(source, errors)
                self._close.append(self._spool.copy.close)
                self.obj = self._spool
            else:
                self.obj = source
        else:
            raise TypeError(f"source must be a path, a bytes-like object or an object with read(), "
                            f"not {type(source).__name__}")

    def _check_ranged(self):
        """A byte range needs positions that are byte offsets in the file."""
        if self._path is not None:
            if not isinstance(self.obj, io.FileIO):
                raise ValueError(f"byte_range: {os.fsdecode(self._path)!r} is compressed; a compressed file "
                                 "cannot be split into byte ranges (read it whole)")
            if not stat.S_ISREG(os.fstat(self.obj.fileno()).st_mode):
                raise ValueError(f"byte_range: {os.fsdecode(self._path)!r} is not a regular file, "
                                 "so it cannot be read at an offset")
        elif self._stream is not None:
            if isinstance(self._stream, io.TextIOBase):
                raise ValueError("byte_range needs a binary source: the positions of a file opened in text "
                                 "mode are not byte offsets")
            if self._start is None:
                raise ValueError("byte_range needs a seekable source, not a one-way stream")

    def at(self, offset):
        """The source positioned at a byte offset, for one read of a range."""
        if self._path is None and self._stream is None:
            return self.obj[offset:]
        self.obj.seek(offset)
        return self.obj

    def read_at(self, offset, size):
        """Up to `size` bytes at a byte offset (fewer at the end)."""
        if self._path is None and self._stream is None:
            return bytes(self.obj[offset:offset + size])
        self.obj.seek(offset)
        data = self.obj.read(size)
        if not isinstance(data, bytes):
            data = bytes(data) if isinstance(data, (bytearray, memoryview)) else b""
        return data

    def _open(self):
        f = _open_path(self._path)
        self._close.append(f.close)
        return f

    @property
    def rereadable(self):
        return self._stream is None or self._start is not None or self._spool is not None

    def reopen(self):
        """The source again from its start (a byte range's: its first row), or None."""
        if self._path is not None:
            f = self._open()
            if self.offset:
                f.seek(self.offset)
            return f
        if self._stream is None:
            return self.obj[self.offset:] if self.offset else self.obj
        if self._spool is not None:
            self._spool.copy.seek(0)
            return self._spool.copy
        if self._start is not None:
            self._stream.seek(self._start if self.offset is None else self.offset)
            return self._stream
        return None

    def close(self):
        while self._close:
            self._close.pop()()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# --- byte ranges ----------------------------------------------------------------------------
#
# A range (start, stop) reads the rows whose first byte lies in [start, stop).
# Its first row begins at the first row start at or after `start`; its last
# row is the one that straddles `stop`, read to its end (the native reader,
# given the bytes after the first row start and a limit of stop minus that,
# stops at the limit and finishes the row in progress, asking the tokenizer
# itself whether a line break ends a row).  Both ends are found by the same
# rule, so ranges that tile a file read each of its rows exactly once.
#
# Whether a line break before `start` ends a row is plain when the dialect
# has neither a quote nor an escape byte, or when none occurs in the file
# before the candidate row start: then it does.  Otherwise a quoted field may
# hold line breaks, and only the tokenizer, reading from a known row start,
# can tell: the bytes from the last line break before the file's first quote
# or escape byte up to `start` are tokenized (and dropped) to find the row
# start.  That costs a read of the range's prefix, once per range.

_SCAN_BYTES = 1 << 20
_LINE_BREAK = re.compile(b"[\r\n]")


class _Window:
    """Where a byte range's rows are: they begin at `offset`; no row starts
    after `limit` bytes from there.  `header` and `width` are the file's."""

    def __init__(self, offset, limit, header, width):
        self.offset, self.limit, self.header, self.width = offset, limit, header, width


def _scan_reader(plan, src, offset, **native):
    return _native.Reader(src.at(offset), fd=_fd(src.obj), **dict(
        plan.native, threads=1, max_rows=-1, skip_leading=0, skip_set=None, mid_file=offset > 0, **native))


def _naive_row_start(src, start):
    """The first position at or after `start` that follows a line break (a
    row start unless the break lies in a quoted field)."""
    if start == 0:
        return 0
    pair = src.read_at(start - 1, 2)
    if not pair:
        return start
    if pair[0] == 10:
        return start
    if pair[0] == 13:
        return start + 1 if pair[1:2] == b"\n" else start
    pos = start
    while True:
        data = src.read_at(pos, 1 << 16)
        if not data:
            return pos
        m = _LINE_BREAK.search(data)
        if m is not None:
            end = pos + m.end()
            if data[m.start()] == 13 and src.read_at(end, 1) == b"\n":
                end += 1
            return end
        pos += len(data)


def _row_start(plan, src, start, base):
    """The first row start at or after `start`; `base` is a known row start
    before it."""
    candidate = _naive_row_start(src, start)
    specials = [bytes([c]) for c in (plan.native["quote"], plan.native["escape"]) if c]
    if not specials:
        return candidate
    # The file's first quote or escape byte before the candidate, and the
    # last line feed before that byte.
    known, pos = base, base
    while pos < candidate:
        data = src.read_at(pos, min(_SCAN_BYTES, candidate - pos))
        if not data:
            return candidate
        hits = [i for i in (data.find(c) for c in specials) if i >= 0]
        first = min(hits) if hits else len(data)
        newline = data.rfind(b"\n", 0, first)
        if newline >= 0:
            known = pos + newline + 1
        if hits:
            break
        pos += len(data)
    else:
        return candidate
    # A quoted field may hold line breaks: the tokenizer reads from `known`
    # (a row start: no quote or escape byte before it) to the row start.
    reader = _scan_reader(plan, src, known, header=-1, names_count=-1, bad_rows=_BAD_ROWS["skip"],
                          limit=start - known)
    try:
        reader.open()
        reader.configure((), (), (), ())
        reader.read(None)
        return known + reader.consumed
    finally:
        reader.close()


def _locate(plan, src):
    """The _Window of plan.byte_range in the source."""
    start, stop = plan.byte_range
    # A byte-order mark at the start of the file belongs to no row.
    header, width, header_end = None, None, 3 if src.read_at(0, 3) == b"\xef\xbb\xbf" else 0
    if plan.header is not None or plan.names is None:
        # The file's first row: the header (its names, and the data begin
        # after it), or the first data row (the width).
        first = _scan_reader(plan, src, 0, limit=-1)
        try:
            header, width = first.open()
            if plan.header is not None:
                header_end = first.consumed
        finally:
            first.close()
    if plan.names is not None:
        width = len(plan.names)
    if start <= header_end:
        offset = header_end
    else:
        offset = _row_start(plan, src, start, start if plan.row_start_known else header_end)
    return _Window(offset, max(stop - offset, 0), header, width)


def _row_starts(path, offsets, options):
    """The first row start at or after each of `offsets` (ascending) in the
    file at `path`, read with `options`; the file's size where no row starts
    after an offset.  One pass over the file: each search begins at the row
    start found before it, so a dialect with quoted line breaks costs one
    tokenizing of the file instead of one of each range's prefix."""
    plan = _Plan("read_columns", dict(options, byte_range=(0, 0)))
    with _Source(path, plan.errors, spool=False, ranged=True) as src:
        base = _locate(plan, src).offset  # the end of the header row
        found = []
        for offset in offsets:
            if offset > base:
                base = _row_start(plan, src, offset, base)
            found.append(base)
        return found


def _is_buffer(obj):
    try:
        memoryview(obj)
    except TypeError:
        return False
    return True


class _SkipRecorder:
    """Wraps a skip_rows callable and remembers the rows it skipped, so
    that a second read skips the same rows without calling it again."""

    def __init__(self, predicate):
        self.predicate = predicate
        self.rows = []

    def __call__(self, row):
        if self.predicate(row):
            self.rows.append(row)
            return True
        return False


# --- progress ---------------------------------------------------------------------------------

class _Bar:
    """Progress on standard error: through tqdm when it is installed, else
    one self-rewriting line.  Shown only for inputs above a few MB."""

    def __init__(self, total):
        self.total = total
        self.started = time.monotonic()
        self.shown = False
        self.tqdm = None
        self.last = 0

    def __call__(self, done, total, rows):
        if not self.shown:
            if (total or done) < _PROGRESS_MIN_BYTES:
                return
            self.shown = True
            try:
                from tqdm import tqdm
            except ImportError:
                tqdm = None
            if tqdm is not None:
                self.tqdm = tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024, file=sys.stderr,
                                 leave=False)
        if self.tqdm is not None:
            self.tqdm.update(done - self.last)
            self.tqdm.set_postfix(rows=rows, refresh=False)
            self.last = done
            return
        elapsed = max(time.monotonic() - self.started, 1e-9)
        rate = done / elapsed / 1e6
        line = f"\r{done / 1e6:9.1f} MB  {rows:12,d} rows  {rate:7.1f} MB/s"
        if total:
            left = (total - done) / (rate * 1e6) if rate > 0 else 0.0
            line += f"  {100.0 * done / total:5.1f}%  {left:5.1f} s left"
        sys.stderr.write(line)
        sys.stderr.flush()

    def close(self):
        if self.tqdm is not None:
            self.tqdm.close()
        elif self.shown:
            sys.stderr.write("\n")
            sys.stderr.flush()


def _progress(option, total):
    """(callback for the native reader, closer)."""
    if option is True:
        bar = _Bar(total)
        return (lambda done, rows: bar(done, total, rows)), bar.close
    if option is False or option is None or isinstance(option, (bool, np.bool_)):
        return None, lambda: None
    return (lambda done, rows: option(done, total, rows)), lambda: None


# --- the result ------------------------------------------------------------------------------

class Columns(Mapping):
    """The columns of a read: a read-only mapping of name to NumPy array.

    .missing maps each name to a boolean mask of its missing values,
    .dtypes each name to its dtype, .nrows is the number of rows, .utc
    names the date-time columns whose values had offsets and were
    converted to UTC.

    A Columns is also an Arrow table (the Arrow PyCapsule interface:
    __arrow_c_stream__ and __arrow_c_schema__), so pyarrow.table(cols),
    polars.from_arrow(cols) or DuckDB read it; numeric values are shared
    with the NumPy arrays, not copied.
    """

    __slots__ = ("_data", "_missing", "_nrows", "_utc")

    def __init__(self, data, missing, nrows, utc=()):
        self._data = dict(data)
        self._missing = dict(missing)
        self._nrows = int(nrows)
        self._utc = frozenset(utc)

    def __getitem__(self, name):
        return self._data[name]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)

    @property
    def missing(self):
        return types.MappingProxyType(self._missing)

    @property
    def dtypes(self):
        return types.MappingProxyType({name: a.dtype for name, a in self._data.items()})

    @property
    def nrows(self):
        return self._nrows

    @property
    def utc(self):
        return self._utc

    def _arrow_columns(self):
        return tuple((name, a, self._missing.get(name), name in self._utc) for name, a in self._data.items())

    def __arrow_c_schema__(self):
        """The Arrow schema of the columns, as an "arrow_schema" capsule."""
        return _native.arrow_schema(self._arrow_columns(), self._nrows)

    def __arrow_c_stream__(self, requested_schema=None):
        """The columns as an Arrow stream ("arrow_array_stream" capsule).
        requested_schema (an "arrow_schema" capsule) may ask for the same
        schema or for large_utf8 instead of utf8 text; anything else is a
        ValueError."""
        return _native.arrow_stream(self._arrow_columns(), self._nrows, requested_schema)

    def to_dict(self):
        """A plain dict of name to array."""
        return dict(self._data)

    def __repr__(self):
        rows, most, width = 5, 8, 18
        n = self._nrows
        count = len(self._data)
        head = f"Columns: {count} column{'s' * (count != 1)}, {n} row{'s' * (n != 1)}"
        if not self._data:
            return head
        names = list(self._data)
        shown = names if count <= most else names[:most - 1] + [names[-1]]
        picks = list(range(n)) if n <= 2 * rows else [*range(rows), None, *range(n - rows, n)]

        def cut(text):
            return text if len(text) <= width else text[:width - 3] + "..."

        def cell(name, i):
            if i is None:
                return "..."
            return "<NA>" if self._missing[name][i] else cut(str(self._data[name][i]))

        # Each column of the preview: its name, its dtype, then its cells.
        table = [["", ""] + ["..." if i is None else str(i) for i in picks]]
        for name in shown:
            table.append([cut(name), str(self._data[name].dtype)] + [cell(name, i) for i in picks])
        if len(shown) < count:
            table.insert(len(shown), ["...", ""] + ["..."] * len(picks))
        widths = [max(map(len, col)) for col in table]
        lines = [head]
        for r in range(len(table[0])):
            lines.append("  ".join(col[r].rjust(w) for col, w in zip(table, widths)).rstrip())
        return "\n".join(lines)


# --- reading ---------------------------------------------------------------------------------

def _fd(obj):
    """The descriptor of a plain file, which the native reader reads
    itself (no Python call, no new bytes object per chunk), else -1."""
    return obj.fileno() if type(obj) is io.FileIO else -1


def _native_options(plan, window):
    """The native reader's options; a byte range's rows have no header row
    and the file's width."""
    if window is None:
        return plan.native
    return dict(plan.native, header=-1, names_count=window.width, limit=window.limit,
                mid_file=window.offset > 0)


def _start(plan, obj, predicate, window=None):
    reader = _native.Reader(obj, skip_predicate=predicate, fd=_fd(obj), **_native_options(plan, window))
    header, width = reader.open()
    if window is not None:
        header = window.header
    names, config = plan.resolve(header, width)
    reader.configure(*config)
    return reader, names, config


def _open_window(plan, src):
    """The source positioned for the read: at its start, or at a byte
    range's first row (then with the range's _Window)."""
    if plan.byte_range is None:
        return src.obj, None
    window = _locate(plan, src)
    src.offset = window.offset
    return src.at(window.offset), window


class _RangeNote:
    """Adds to a ParseError of a byte range's read where its rows are counted from."""

    def __init__(self, window):
        self.window = window

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if self.window is not None and isinstance(exc, ParseError):
            exc.add_note(f"rows are counted from the byte range's first row, at byte {self.window.offset} "
                         "of the source")
        return False


def read_columns(source, **options):
    """Reads delimited text into typed columns; returns a Columns.

    source: a path (str or os.PathLike; .gz, .bz2, .xz and, on Python
    3.14+, .zst are decompressed), a bytes-like object, or an object with
    read() in binary or text mode.

    Options (keyword only):
      sep=","  quote='"' (or None)  quote_doubling=True  escape=None
      comment=None  header=0 (row of the header, or None)  names=None
      columns=None (names or positions to keep)  skip_rows=None (a count,
      a collection of 0-based source rows, or a callable(row) -> bool)
      max_rows=None  bad_rows="error" | "warn" | "skip"
      encoding_errors="strict"  drop_blank_rows=True  decimal_mark="."
      group_mark=None  float_algorithm="exact" | "fast" | "precise" |
      "roundtrip"  dtypes=None (column -> dtype: int64, uint64, float64,
      bool, datetime64[unit], str)  missing_values=None  true_values=None
      false_values=None  parse_dates=True (or False, or columns)
      date_format=None (an ISO format such as "%Y-%m-%d %H:%M")
      chunk_bytes=1 MiB  progress=False (True: a bar on stderr; or a
      callable(bytes_read, total_bytes_or_None, rows))  threads=None
      (threads converting columns; None: the CPUs the process may use)
      byte_range=None ((start, stop): see below)

    A row with more fields than the header is a bad row: ParseError names
    it ("error"), a ParseWarning reports it ("warn"), or it is dropped
    ("skip").  Shorter rows are padded with missing values.

    threads=N converts the columns of each batch on N threads while the
    next batch is tokenized; the result, warnings and errors are those of
    threads=1.  float_algorithm="roundtrip" converts on one thread.

    byte_range=(start, stop) reads only the rows whose first byte lies in
    [start, stop) of a plain file (a path, not a compressed one), a
    bytes-like object or a seekable binary file object (offsets are
    positions in the file, as seek() takes them).  A range starts at the
    first row start at or after `start` and ends with the row that
    straddles `stop`, read to its end; so ranges that tile a file read
    each of its rows exactly once.  Quoted fields may hold line breaks:
    where a quote or escape byte occurs before `start`, the row start is
    found by tokenizing the file from a known row start up to `start`
    (correct, but a read of the range's prefix).  header=0 (the default)
    means the file's first row is its header: it names the columns of
    every range (names= replaces them) and is no range's data; header=None
    means every row is data, the width being that of names= or of the
    file's first row.  Other header rows and skip_rows cannot be combined
    with a range; max_rows counts the range's rows.  Row numbers in errors
    and warnings count from the range's first row.
    """
    plan = _Plan("read_columns", options)
    with _Source(source, plan.errors, spool=True, ranged=plan.byte_range is not None) as src:
        recorder = _SkipRecorder(plan.skip_predicate) if plan.skip_predicate is not None else None
        obj, window = _open_window(plan, src)
        callback, close_progress = _progress(plan.progress, src.total if window is None else window.limit)
        try:
            with _RangeNote(window):
                reader, names, _ = _start(plan, obj, recorder, window)
                try:
                    reader.read(callback)
                    if reader.pending():
                        again = src.reopen()
                        reader.reread(again, None if recorder is None else tuple(recorder.rows), _fd(again))
                    utc = reader.utc()
                    arrays, masks, nrows = reader.result()
                finally:
                    reader.close()
        finally:
            close_progress()
    return Columns(zip(names, arrays), zip(names, masks), nrows, _flagged(names, utc))


def _flagged(names, flags):
    return [name for name, flag in zip(names, flags) if flag]


def iter_columns(source, batch_rows=100_000, **options):
    """Reads delimited text in batches: yields one Columns per batch of at
    most batch_rows rows, holding no more than a batch in memory.

    Column types are decided by the whole input when the source can be
    read twice (a path, bytes, a seekable file: a first pass decides them,
    a second converts), so every batch has the same dtypes.  A one-way
    stream is typed batch by batch instead, each batch by its own values.
    Options as for read_columns(), byte_range and threads included.
    """
    plan = _Plan("iter_columns", options)
    batch_rows = _count("batch_rows", batch_rows, minimum=1, maximum=2**31 - 1, none_ok=False)
    return _iterate(plan, source, batch_rows)


def _iterate(plan, source, batch_rows):
    with _Source(source, plan.errors, spool=False, ranged=plan.byte_range is not None) as src:
        recorder = _SkipRecorder(plan.skip_predicate) if plan.skip_predicate is not None else None
        obj, window = _open_window(plan, src)
        callback, close_progress = _progress(plan.progress, src.total if window is None else window.limit)
        try:
            with _RangeNote(window):
                reader, names, config = _start(plan, obj, recorder, window)
                infer = True
                try:
                    if src.rereadable:
                        decided = reader.classify(callback)
                        utc = reader.utc()
                        reader.close()
                        keep, kinds, units, allowed = config
                        kinds = tuple(_FLOAT64 if k == _EMPTY else k for k, _ in decided)
                        units = tuple(u for _, u in decided)
                        skip = None if recorder is None else tuple(recorder.rows)
                        native = dict(_native_options(plan, window))
                        if skip is not None:
                            native["skip_set"] = skip
                        again = src.reopen()
                        reader = _native.Reader(again, fd=_fd(again), **native)
                        reader.open()
                        reader.configure(keep, kinds, units, allowed)
                        infer = False
                    while True:
                        got = reader.next_batch(batch_rows, infer, callback)
                        if got == 0:
                            break
                        if infer:
                            utc = reader.utc()
                        arrays, masks, nrows = reader.result()
                        yield Columns(zip(names, arrays), zip(names, masks), nrows, _flagged(names, utc))
                finally:
                    reader.close()
        finally:
            close_progress()
